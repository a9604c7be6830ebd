#pragma once
// A scripted stand-in for the pipeline's collaborators: records every call in
// order, fails the operation a test names (optionally only its n-th call), and
// plays transactions and migrations whose state a test controls. The pipeline
// itself, its work directory, markers and status stay real.
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/InstallStatus.h"
#include "app/PipelineSteps.h"
#include "common/Utf.h"

namespace orvo::test {

class FakePipelineSteps;

class FakeTransaction final : public PipelineTransaction {
 public:
  explicit FakeTransaction(FakePipelineSteps& steps) : steps_(steps) {}
  bool isActive() const override;
  bool areaExists() override;
  void recoverEarlier() override;
  void prepare(const std::wstring& extractionDirectory) override;
  void apply() override;
  void commit() override;
  void rollback() override;
  TransactionState state() const override { return state_; }
  std::wstring areaPath() const override { return L"C:\\games\\.orvo-file-txn-0123456789abcdef01234567"; }

 private:
  FakePipelineSteps& steps_;
  TransactionState state_ = TransactionState::Preparing;
  // Holds an area: from the start of preparation until a commit or rollback ends it.
  bool active_ = false;
};

class FakeMigration final : public PipelineMigration {
 public:
  explicit FakeMigration(FakePipelineSteps& steps) : steps_(steps) {}
  bool run() override;
  void commit() override;
  void rollback() override;

 private:
  FakePipelineSteps& steps_;
};

class FakePipelineSteps final : public PipelineSteps {
 public:
  explicit FakePipelineSteps(InstallStatus& status) : status_(status) {}

  // --- script -------------------------------------------------------------
  // Operation name -> message; the operation throws on its `failOnCall`-th call.
  std::map<std::string, std::string> failures;
  std::map<std::string, int> failOnCall;
  // Operation name -> one message per call in order ("" lets that call pass).
  std::map<std::string, std::vector<std::string>> failureSequence;
  bool gameRunningAtFirstCheck = false;
  bool gameRunningAtSecondCheck = false;
  bool platformRunningAtFirstCheck = false;
  bool transactionActive = false;
  bool earlierAreaExists = false;
  bool migrationMovesData = false;
  // commit() fails only after the state became Committed.
  bool commitFailsAfterCommitted = false;
  std::wstring digest = L"aa11";
  std::wstring sid = L"S-1-5-21-1000-2000-3000-1001";
  // What the record run writes into the identity file; empty string: no file.
  std::string identityFileBytes = "S-1-5-21-1000-2000-3000-1001\n";
  bool cancelDuringFirstDownload = false;
  // When set, the pipeline drives the transaction this returns instead of the scripted one.
  std::function<std::unique_ptr<PipelineTransaction>(const std::wstring&, const std::vector<TransactionEntry>&,
                                                     const std::function<void()>&)>
      transactionFactory;
  int primaryDownloadReachesPercent = 0;
  DWORD launchedProcessId = 4242;

  // --- observations ---------------------------------------------------------
  std::vector<std::string> calls;
  std::vector<int> percentAtCall;
  std::vector<std::wstring> downloadUrls;
  std::vector<std::wstring> validatedDirectories;
  std::wstring workDirectory;
  HANDLE tokenHandedOut = nullptr;

  // Records the call, notes the progress at that moment, and throws when scripted to.
  void step(const std::string& name) {
    calls.push_back(name);
    percentAtCall.push_back(status_.snapshot().percent);
    const int n = ++callCounts_[name];
    auto sequence = failureSequence.find(name);
    if (sequence != failureSequence.end() && n <= static_cast<int>(sequence->second.size()) &&
        !sequence->second[n - 1].empty()) {
      throw std::runtime_error(sequence->second[n - 1]);
    }
    auto failure = failures.find(name);
    if (failure == failures.end()) return;
    auto nth = failOnCall.find(name);
    if (nth == failOnCall.end() || nth->second == n) throw std::runtime_error(failure->second);
  }
  int callCount(const std::string& name) const {
    auto it = callCounts_.find(name);
    return it == callCounts_.end() ? 0 : it->second;
  }
  bool called(const std::string& name) const { return callCount(name) > 0; }

  // --- seam -----------------------------------------------------------------
  void validateInstallDirectory(const std::wstring& directory) override {
    validatedDirectories.push_back(directory);
    step("validateInstallDirectory");
  }
  void checkNoLinks(const std::wstring&) override { step("checkNoLinks"); }
  bool isGameRunningUnder(const std::wstring&) override {
    step("isGameRunningUnder");
    return callCount("isGameRunningUnder") == 1 ? gameRunningAtFirstCheck : gameRunningAtSecondCheck;
  }
  bool isPlatformRunningIn(const std::wstring&) override {
    step("isPlatformRunningIn");
    return callCount("isPlatformRunningIn") == 1 && platformRunningAtFirstCheck;
  }
  UniqueHandle writeEmbeddedResource(int id, const std::wstring& target) override {
    if (workDirectory.empty()) workDirectory = target.substr(0, target.find_last_of(L'\\'));
    step("writeEmbeddedResource");
    writeFile(target, "resource " + std::to_string(id));
    // Held like the real one, so that the pipeline must let go before it removes the work directory.
    return UniqueHandle(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  void downloadPayload(const std::wstring& url, const std::wstring& target, const ProgressReport& report,
                       const std::function<void()>& checkCancelled) override {
    downloadUrls.push_back(url);
    const bool first = downloadUrls.size() == 1;
    if (first && primaryDownloadReachesPercent > 0) report(primaryDownloadReachesPercent, L"正在下载平台文件", L"");
    if (first && cancelDuringFirstDownload) status_.cancelRequested.store(true);
    checkCancelled();
    step("downloadPayload");
    report(70, L"正在下载平台文件", L"");
    writeFile(target, "archive");
  }
  std::wstring sha256File(HANDLE, const std::function<void(std::uint64_t)>& progress,
                          const std::function<void()>&) override {
    step("sha256File");
    if (progress) progress(63144044);
    return digest;
  }
  void extractArchive(const std::wstring&, HANDLE, HANDLE, const std::wstring&, const std::wstring&,
                      const ProgressReport& report) override {
    step("extractArchive");
    report(90, L"正在解压平台文件", L"100%");
  }
  std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring&, const ProgressReport& report,
                                                const std::function<void()>&) override {
    step("verifyPayloadFiles");
    report(94, L"正在校验安装文件", L"OrvoQ9.exe");
    return {ManifestEntry{L"OrvoQ9.exe", std::wstring(64, L'a'), 10}, ManifestEntry{L"q9/data.bin", std::wstring(64, L'b'), 20}};
  }
  std::function<void()> prepareMarker(const std::wstring&, const std::wstring&,
                                      std::vector<TransactionEntry>& entries) override {
    step("prepareMarker");
    entries.push_back(TransactionEntry{L"platform-installation.json", 30, std::wstring(64, L'c')});
    return [this] { step("verifyMarkerUnchanged"); };
  }
  std::unique_ptr<PipelineTransaction> createTransaction(const std::wstring& directory,
                                                         const std::vector<TransactionEntry>& entries,
                                                         const std::function<void()>& checkCancelled) override {
    step("createTransaction");
    transactionEntries = entries;
    if (transactionFactory) return transactionFactory(directory, entries, checkCancelled);
    return std::make_unique<FakeTransaction>(*this);
  }
  HANDLE getDesktopUserToken() override {
    step("getDesktopUserToken");
    // A real handle, so the pipeline's ownership (closing it) is observable.
    tokenHandedOut = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return tokenHandedOut;
  }
  std::unique_ptr<PipelineMigration> createMigration(const std::wstring&, HANDLE) override {
    step("createMigration");
    return std::make_unique<FakeMigration>(*this);
  }
  std::wstring tokenUserSid(HANDLE) override {
    step("tokenUserSid");
    return sid;
  }
  void grantDirectoryAccess(const std::wstring&, const std::wstring&, DWORD mask) override {
    step("grantDirectoryAccess");
    grantedMasks.push_back(mask);
  }
  DWORD runPlatformProgram(const std::wstring&, const ManifestEntry&, const std::wstring& arguments,
                           const std::wstring&, bool wait, HANDLE token, const std::wstring& label) override {
    const std::string name = arguments.rfind(L"--record-install-user ", 0) == 0         ? "runPlatformProgram:record"
                             : arguments.rfind(L"--configure-platform-install ", 0) == 0 ? "runPlatformProgram:configure"
                                                                                         : "runPlatformProgram:launch";
    platformRuns.push_back(PlatformRun{arguments, wait, token != nullptr, label});
    step(name);
    if (name == "runPlatformProgram:record" && !identityFileBytes.empty()) {
      const std::size_t open = arguments.find(L'"');
      const std::wstring path = arguments.substr(open + 1, arguments.size() - open - 2);
      writeFile(path, identityFileBytes);
    }
    return launchedProcessId;
  }
  void registerInstallation(const std::wstring&, HANDLE, const std::vector<ManifestEntry>&) override {
    step("registerInstallation");
  }

  struct PlatformRun {
    std::wstring arguments;
    bool wait;
    bool withToken;
    std::wstring label;
  };
  std::vector<PlatformRun> platformRuns;
  std::vector<DWORD> grantedMasks;
  std::vector<TransactionEntry> transactionEntries;

 private:
  static void writeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("fake could not write " + wideToUtf8(path));
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
  }

  InstallStatus& status_;
  std::map<std::string, int> callCounts_;
};

inline bool FakeTransaction::isActive() const { return active_ || steps_.transactionActive; }
inline bool FakeTransaction::areaExists() {
  steps_.step("txn.areaExists");
  return steps_.earlierAreaExists;
}
inline void FakeTransaction::recoverEarlier() { steps_.step("txn.recoverEarlier"); }
inline void FakeTransaction::prepare(const std::wstring&) {
  active_ = true;
  steps_.step("txn.prepare");
  state_ = TransactionState::Prepared;
}
inline void FakeTransaction::apply() {
  state_ = TransactionState::Applying;
  steps_.step("txn.apply");
  state_ = TransactionState::Applied;
}
inline void FakeTransaction::commit() {
  if (steps_.commitFailsAfterCommitted) state_ = TransactionState::Committed;
  steps_.step("txn.commit");
  state_ = TransactionState::Committed;
  active_ = false;
}
inline void FakeTransaction::rollback() {
  steps_.step("txn.rollback");
  state_ = TransactionState::RolledBack;
  active_ = false;
}

inline bool FakeMigration::run() {
  steps_.step("migration.run");
  return steps_.migrationMovesData;
}
inline void FakeMigration::commit() { steps_.step("migration.commit"); }
inline void FakeMigration::rollback() { steps_.step("migration.rollback"); }

}  // namespace orvo::test
