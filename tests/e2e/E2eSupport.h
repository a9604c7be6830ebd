#pragma once
// Black-box driving of OrvoGameSetup.exe for the end-to-end suite: only the
// command line, window messages, the stage-marker file, the disk, the
// registry and the local payload server's rules and request log.
#include <windows.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace orvo::test::e2e {

inline constexpr wchar_t kPrimaryUrlPath[] = L"/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z";
inline constexpr wchar_t kFallbackUrlPath[] =
    L"/downloads/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z";

std::wstring payloadServerState();
// Empty when the build tree's payload server runs, else why it does not.
std::string payloadServerUnavailable();
std::wstring payloadArchive();
std::wstring payloadManifest();

// Steers the payload server for the fixed payload paths while the object
// lives ("status=404", "cut=1000", "body=file&path=/..."); removed afterwards.
// Tests of other processes that rely on the normal answers for those paths
// wait on the same lock meanwhile.
class ServerRules {
 public:
  ServerRules();
  ~ServerRules();
  ServerRules(const ServerRules&) = delete;
  ServerRules& operator=(const ServerRules&) = delete;
  void set(const std::wstring& urlPath, const std::string& query);

 private:
  void write() const;
  CrossProcessLock lock_{kPayloadPathsLock};
  std::wstring file_;
  std::map<std::wstring, std::string> rules_;
};

// Request-log lines written since the object was made.
class RequestLog {
 public:
  RequestLog();
  std::vector<std::string> linesSince() const;
  int countPath(const std::wstring& urlPath) const;

 private:
  std::size_t start_ = 0;
};

// Every marker of a successful verification run without "--verify-start", in order.
inline const std::vector<std::string> kVerifyRunMarkers = {
    "download-ok",         "archive-sha256-ok",       "manifest-all-files-ok", "install-copy-ok",
    "platform-configured", "install-files-committed", "install-complete"};

// Base of the end-to-end fixtures: skipped with the reason when the payload
// server does not run; an install directory and a marker file in a fresh
// temporary directory.
class E2eTest : public TempDirTest {
 protected:
  void SetUp() override {
    const std::string why = payloadServerUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
  std::wstring installDirectory() const { return temp / L"orvo game"; }
  std::wstring markerFile() const { return temp / L"markers.txt"; }
};

// Requests for the two payload paths while the object lives. Other tests'
// requests share the server's log, so it holds the paths' lock meanwhile.
class PayloadRequests {
 public:
  int count() const { return log_.countPath(kPrimaryUrlPath) + log_.countPath(kFallbackUrlPath); }

 private:
  CrossProcessLock lock_{kPayloadPathsLock};
  RequestLog log_;
};

struct InstallerRun {
  long long exitCode = -1;
  std::string markers;  // the marker file's whole content
  std::vector<std::string> markerLines;
  bool hasMarker(const std::string& line) const;
  std::string lastMarker() const;
};

// Runs the installer with `arguments` to its end and reads `markerFile`.
InstallerRun runInstaller(const std::wstring& arguments, const std::wstring& markerFile,
                          std::chrono::seconds timeout = std::chrono::seconds(240));
InstallerRun verifyInstall(const std::wstring& directory, const std::wstring& markerFile,
                           const std::wstring& extraArguments = L"");

// Names matching the wildcard `pattern` in `directory`.
std::set<std::wstring> namesMatching(const std::wstring& directory, const std::wstring& pattern);

// The lines of the manifest the build embedded: (path, size, digest).
struct ManifestLine {
  std::wstring path;
  std::uint64_t size;
  std::wstring sha256;
};
std::vector<ManifestLine> shippedManifest();

}  // namespace orvo::test::e2e
