#include "tests/e2e/E2eSupport.h"

#include <objbase.h>

#include <filesystem>
#include <stdexcept>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"

namespace orvo::test::e2e {
namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace

std::wstring payloadServerState() { return joinPath(buildDirectory(), L"testenv\\payload-server"); }

std::string payloadServerUnavailable() {
  const std::wstring state = payloadServerState();
  if (fileExists(joinPath(state, L"unavailable"))) return readBytes(joinPath(state, L"unavailable"));
  if (!fileExists(joinPath(state, L"server.pid"))) return "the payload server of this build tree is not running";
  if (!fileExists(payloadArchive())) return "the payload archive is not built";
  return {};
}

std::wstring payloadArchive() {
  return joinPath(buildDirectory(), L"payload\\orvo-game-payload-2026101905.7z");
}

std::wstring payloadManifest() { return joinPath(buildDirectory(), L"payload\\installer-files.tsv"); }

ServerRules::ServerRules() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  file_ = joinPath(payloadServerState(), std::wstring(L"rules\\e2e-") + std::wstring(text).substr(1, 36) + L".rule");
}

ServerRules::~ServerRules() { ::DeleteFileW(file_.c_str()); }

void ServerRules::set(const std::wstring& urlPath, const std::string& query) {
  rules_[urlPath] = query;
  write();
}

void ServerRules::write() const {
  std::string text;
  for (const auto& [path, query] : rules_) text += wideToUtf8(path) + "?" + query + "\n";
  writeBytes(file_, text);
}

RequestLog::RequestLog() {
  const std::wstring log = joinPath(payloadServerState(), L"requests.log");
  start_ = fileExists(log) ? readBytes(log).size() : 0;
}

std::vector<std::string> RequestLog::linesSince() const {
  const std::wstring log = joinPath(payloadServerState(), L"requests.log");
  if (!fileExists(log)) return {};
  const std::string text = readBytes(log);
  return splitLines(text.size() > start_ ? text.substr(start_) : std::string());
}

int RequestLog::countPath(const std::wstring& urlPath) const {
  const std::string path = "\t" + wideToUtf8(urlPath) + "\t";
  int count = 0;
  for (const auto& line : linesSince()) {
    if (line.find(path) != std::string::npos) ++count;
  }
  return count;
}

bool InstallerRun::hasMarker(const std::string& line) const {
  for (const auto& marker : markerLines) {
    if (marker == line) return true;
  }
  return false;
}

std::string InstallerRun::lastMarker() const {
  // The failure marker may span several lines: it starts at the last "failed: ".
  const std::size_t failed = markers.rfind("failed: ");
  if (failed != std::string::npos) {
    std::string text = markers.substr(failed);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  return markerLines.empty() ? std::string() : markerLines.back();
}

InstallerRun runInstaller(const std::wstring& arguments, const std::wstring& markerFile, std::chrono::seconds timeout) {
  InstallerRun run;
  ChildProcess installer = ChildProcess::start(installerExecutable(), arguments);
  run.exitCode = installer.waitExit(timeout);
  if (run.exitCode < 0) installer.terminate();
  if (fileExists(markerFile)) run.markers = readBytes(markerFile);
  run.markerLines = splitLines(run.markers);
  return run;
}

InstallerRun verifyInstall(const std::wstring& directory, const std::wstring& markerFile,
                           const std::wstring& extraArguments) {
  std::wstring arguments = L"--verify-install \"" + directory + L"\" \"" + markerFile + L"\"";
  if (!extraArguments.empty()) arguments += L" " + extraArguments;
  return runInstaller(arguments, markerFile);
}

std::set<std::wstring> namesMatching(const std::wstring& directory, const std::wstring& pattern) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW data{};
  orvo::UniqueFindHandle find(::FindFirstFileW(joinPath(directory, pattern).c_str(), &data));
  if (!find) return names;
  do {
    names.insert(data.cFileName);
  } while (::FindNextFileW(find.get(), &data));
  return names;
}

std::vector<ManifestLine> shippedManifest() {
  std::vector<ManifestLine> lines;
  for (const auto& line : splitLines(readBytes(payloadManifest()))) {
    std::string text = line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) continue;
    const std::size_t first = text.find('\t');
    const std::size_t second = text.find('\t', first + 1);
    // digest TAB size TAB path
    lines.push_back(ManifestLine{utf8ToWide(text.substr(second + 1)),
                                 std::stoull(text.substr(first + 1, second - first - 1)),
                                 utf8ToWide(text.substr(0, first))});
  }
  return lines;
}

}  // namespace orvo::test::e2e
