#pragma once
// Black-box driving of the installer: only its command line, the stage-marker file, the disk, the
// processes, the registry and the local payload server's rules and request log.
#include <sstream>

#include "common/PathText.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/support/TestSupport.h"
#include "txn/TransactionPathRules.h"

namespace orvo::test::e2e {

inline constexpr wchar_t kPrimaryPath[] = L"/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z";
inline constexpr wchar_t kFallbackPath[] = L"/downloads/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z";
inline const std::string kVerifyRunMarkers = "download-ok\narchive-sha256-ok\nmanifest-all-files-ok\ninstall-copy-ok\n"
                                             "platform-configured\ninstall-files-committed\ninstall-complete\n";
inline const std::string kRestoredNote = "\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。\n";

inline std::wstring serverFile(const wchar_t* name) { return buildDirectory() + L"\\testenv\\payload-server\\" + name; }

// Skipped, with the reason, where the build tree's payload server does not run.
struct E2eTest : TempDirTest {
  void SetUp() override {
    if (fileExists(serverFile(L"unavailable"))) GTEST_SKIP() << readBytes(serverFile(L"unavailable"));
    if (!fileExists(serverFile(L"server.pid"))) GTEST_SKIP() << "the payload server of this build tree is not running";
  }
};

// While it lives, the server answers the payload paths by `rules` (path, query such as "status=404"),
// and requests() counts the requests for a path made since.
class PayloadServer {
  CrossProcessLock lock_{kPayloadPathsLock};
  std::wstring rules_ = serverFile(L"rules\\e2e-") + std::to_wstring(::GetCurrentProcessId()) + L".rule";
  static std::string log() { return fileExists(serverFile(L"requests.log")) ? readBytes(serverFile(L"requests.log")) : ""; }
  std::size_t start_ = log().size();

 public:
  explicit PayloadServer(const std::vector<std::pair<std::wstring, std::string>>& rules = {}) {
    std::string text;
    for (const auto& [path, query] : rules) text += wideToUtf8(path) + "?" + query + "\n";
    if (!rules.empty()) writeBytes(rules_, text);
  }
  ~PayloadServer() { ::DeleteFileW(rules_.c_str()); }
  int requests(const std::wstring& path) const {
    std::istringstream lines(log().substr(start_));
    int count = 0;
    for (std::string line; std::getline(lines, line);) count += line.find(std::string(1, '\t').append(wideToUtf8(path)) + '\t') != line.npos;
    return count;
  }
};

// The exit code of a --verify-install run and its stage markers.
inline std::pair<long long, std::string> runInstaller(const std::wstring& program, const std::wstring& directory,
                                                      const std::wstring& markers, const std::wstring& extra = L"") {
  ::DeleteFileW(markers.c_str());
  const long long code = ChildProcess::start(program, L"--verify-install \"" + directory + L"\" \"" + markers + L"\" " + extra)
                             .waitExit(std::chrono::seconds(240));
  return {code, fileExists(markers) ? readBytes(markers) : ""};
}

// Every file of the manifest the build embedded ("digest TAB size TAB path") is in `directory` with its digest, or none is.
inline void expectEveryManifestFileIn(const std::wstring& directory, bool present = true) {
  std::istringstream lines(readBytes(buildDirectory() + L"\\payload\\installer-files.tsv"));
  int files = 0;
  for (std::string line; std::getline(lines, line) && line.size() > 1; ++files) {
    if (line.back() == '\r') line.pop_back();
    const std::wstring file = joinPath(directory, utf8ToWide(line.substr(line.rfind('\t') + 1)));
    const std::string digest = fileExists(file) ? wideToUtf8(sha256File(file)) : "missing";
    EXPECT_EQ(digest, present ? line.substr(0, 64) : "missing") << wideToUtf8(file);
  }
  EXPECT_EQ(files, 14);
}

// The first entry of `parent` named `pattern`, or empty.
inline std::wstring entryIn(const std::wstring& parent, const wchar_t* pattern) {
  WIN32_FIND_DATAW data{};
  return UniqueFindHandle(::FindFirstFileW((parent + L"\\" + pattern).c_str(), &data)).valid() ? parent + L"\\" + data.cFileName : L"";
}
inline bool transactionAreaIn(const std::wstring& parent) { return !entryIn(parent, L".orvo-file-txn-*").empty(); }

// The named events "<name>-reached" and "<name>-resume" of the hooked installer's --pause-at.
struct PausePoint {
  std::wstring name = L"orvo-e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
  UniqueHandle reached{::CreateEventW(nullptr, TRUE, FALSE, (name + L"-reached").c_str())};
  UniqueHandle resume{::CreateEventW(nullptr, TRUE, FALSE, (name + L"-resume").c_str())};
  bool waitReached() const { return ::WaitForSingleObject(reached.get(), 240000) == WAIT_OBJECT_0; }
};

}  // namespace orvo::test::e2e
