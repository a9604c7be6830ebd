// The identity hand-off and the launch as the pipeline runs them: the real
// desktop token, SID, grants and platform program runs (the test platform
// program installed as "OrvoQ9.exe"), with the download, extraction, manifest,
// transaction and migration steps played by stand-ins that only put the
// program in place, since those are not what is examined here.
#include <windows.h>

#include <filesystem>
#include <sstream>

#include "app/InstallPipeline.h"
#include "app/InstallStatus.h"
#include "app/InstallerSettings.h"
#include "app/InstallDirectory.h"
#include "system/DesktopUser.h"
#include "system/PlatformRunLimits.h"
#include "system/RunningPrograms.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

constexpr char kArchiveBytes[] = "a stand-in archive";

class InstallingTransaction final : public PipelineTransaction {
 public:
  explicit InstallingTransaction(std::wstring installDirectory) : installDirectory_(std::move(installDirectory)) {}
  // Holds an area from preparation until commit or rollback, as the real one does.
  bool isActive() const override { return active_; }
  bool areaExists() override { return false; }
  void recoverEarlier() override {}
  void prepare(const std::wstring&) override { active_ = true; }
  void apply() override {
    test::copyFileOrThrow(test::helperProgram(L"SystemPlatform"), installDirectory_ + L"\\OrvoQ9.exe");
    state_ = TransactionState::Applied;
  }
  void commit() override {
    state_ = TransactionState::Committed;
    active_ = false;
  }
  void rollback() override {
    state_ = TransactionState::RolledBack;
    active_ = false;
  }
  TransactionState state() const override { return state_; }
  std::wstring areaPath() const override { return installDirectory_ + L".txn"; }

 private:
  std::wstring installDirectory_;
  TransactionState state_ = TransactionState::Preparing;
  bool active_ = false;
};

class NoMigration final : public PipelineMigration {
 public:
  bool run() override { return false; }
  void commit() override {}
  void rollback() override {}
};

// The system operations for real; the rest put the platform program in place.
class HandOffSteps final : public PipelineSteps {
 public:
  explicit HandOffSteps(DWORD runLimitMilliseconds) : limits_{runLimitMilliseconds, 10000} {}

  void validateInstallDirectory(const std::wstring& directory) override { orvo::validateInstallDirectory(directory); }
  void checkNoLinks(const std::wstring& path) override { orvo::checkNoLinks(path); }
  bool isGameRunningUnder(const std::wstring& directory) override { return orvo::isGameRunningUnder(directory); }
  bool isPlatformRunningIn(const std::wstring& directory) override { return orvo::isPlatformRunningIn(directory); }
  UniqueHandle writeEmbeddedResource(int, const std::wstring& target) override {
    test::writeBytes(target, "");
    return UniqueHandle();
  }
  void downloadPayload(const std::wstring&, const std::wstring& target, const ProgressReport&,
                       const std::function<void()>&) override {
    test::writeBytes(target, kArchiveBytes);
  }
  std::wstring sha256File(HANDLE file, const std::function<void(std::uint64_t)>& progress,
                          const std::function<void()>& checkCancelled) override {
    return sha256OfHandle(file, progress, checkCancelled);
  }
  void extractArchive(const std::wstring&, HANDLE, HANDLE, const std::wstring&, const std::wstring&,
                      const ProgressReport&) override {}
  // The entry of the program that apply() puts in place: the runs start only that file.
  std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring&, const ProgressReport&,
                                                const std::function<void()>&) override {
    const std::wstring program = test::helperProgram(L"SystemPlatform");
    return {ManifestEntry{L"OrvoQ9.exe", orvo::sha256File(program), std::filesystem::file_size(program)}};
  }
  std::function<void()> prepareMarker(const std::wstring&, const std::wstring&,
                                      std::vector<TransactionEntry>&) override {
    return [] {};
  }
  std::unique_ptr<PipelineTransaction> createTransaction(const std::wstring& installDirectory,
                                                         const std::vector<TransactionEntry>&,
                                                         const std::function<void()>&) override {
    return std::make_unique<InstallingTransaction>(installDirectory);
  }
  HANDLE getDesktopUserToken() override { return orvo::getDesktopUserToken().release(); }
  std::unique_ptr<PipelineMigration> createMigration(const std::wstring&, HANDLE) override {
    return std::make_unique<NoMigration>();
  }
  std::wstring tokenUserSid(HANDLE token) override { return orvo::tokenUserSid(token); }
  void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD mask) override {
    orvo::grantDirectoryAccess(directory, sid, mask);
  }
  DWORD runPlatformProgram(const std::wstring& program, const ManifestEntry& expected, const std::wstring& arguments,
                           const std::wstring& workingDirectory, bool wait, HANDLE token,
                           const std::wstring& label) override {
    const DWORD id =
        runPlatformProgramWithin(program, expected, arguments, workingDirectory, wait, token, label, limits_);
    if (afterRecord && arguments.rfind(L"--record-install-user \"", 0) == 0) {
      afterRecord(arguments.substr(23, arguments.size() - 24));
    }
    return id;
  }
  void registerInstallation(const std::wstring&, HANDLE, const std::vector<ManifestEntry>&) override {
    throw std::runtime_error("registration is not part of an unattended verification run");
  }

  // The user's move once the record run has written the identity file (its path).
  std::function<void(const std::wstring&)> afterRecord;

 private:
  PlatformRunLimits limits_;
};

class IdentityHandOff : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    installDirectory = temp / L"orvo game";
    std::filesystem::create_directories(installDirectory);
    settings.installDirectory = installDirectory;
    settings.stageMarkerFile = temp / L"markers.txt";
    settings.verifyInstall = settings.autoRun = true;
    settings.createDesktopShortcut = settings.launchAfterInstall = false;
  }
  void TearDown() override {
    // A launched platform is ended by its id from the marker.
    const std::string text = markers();
    const auto at = text.find("platform-launch-ok pid=");
    if (at == std::string::npos) return;
    const DWORD pid = static_cast<DWORD>(std::stoul(text.substr(at + 23)));
    test::endProcessIfRunning(pid, installDirectory + L"\\OrvoQ9.exe");
  }

  void setPlatformMode(const std::string& mode) { test::writeBytes(installDirectory + L"\\system-platform-mode.txt", mode); }

  void runAttempt(DWORD runLimitMilliseconds = 120000,
                  std::function<void(const std::wstring&)> afterRecord = {}) {
    const std::wstring archive = temp / L"archive-digest.bin";
    test::writeBytes(archive, kArchiveBytes);
    HandOffSteps steps(runLimitMilliseconds);
    steps.afterRecord = std::move(afterRecord);
    InstallPipeline pipeline(settings, status, steps, PipelineEndpoints{L"https://primary", L"https://fallback",
                                                                        orvo::sha256File(archive)});
    pipeline.installWorker();
  }

  std::string markers() {
    return test::fileExists(settings.stageMarkerFile) ? test::readBytes(settings.stageMarkerFile) : "";
  }
  // The failure marker with its recovery note: the last entry of a failed run.
  std::string failureMarker() {
    const std::string text = markers();
    const auto at = text.find("failed: ");
    return at == std::string::npos ? "" : text.substr(at);
  }
  static std::string failedBeforeCommit(const std::string& message) {
    return "failed: " + message + "\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。\n";
  }
  // The steps the platform program logged, in order.
  std::vector<std::string> platformSteps() {
    std::vector<std::string> steps;
    const std::wstring log = installDirectory + L"\\system-platform-runs.txt";
    if (!test::fileExists(log)) return steps;
    std::istringstream text(test::readBytes(log));
    for (std::string line; std::getline(text, line);) steps.push_back(line.substr(0, line.find('\t')));
    return steps;
  }

  InstallerSettings settings;
  InstallStatus status;
  std::wstring installDirectory;
};

TEST_F(IdentityHandOff, RecordsThenConfiguresAndMarksThePlatformConfigured) {
  runAttempt();
  EXPECT_EQ(status.snapshot().error, L"");
  EXPECT_EQ(markers(),
            "download-ok\narchive-sha256-ok\nmanifest-all-files-ok\ninstall-copy-ok\nplatform-configured\n"
            "install-files-committed\ninstall-complete\n");
  EXPECT_EQ(platformSteps(), (std::vector<std::string>{"--record-install-user", "--configure-platform-install"}));
}

TEST_F(IdentityHandOff, LaunchesThePlatformAsTheDesktopUserAndMarksItsRealProcessId) {
  settings.launchAfterInstall = settings.verifyStart = true;
  runAttempt();
  const std::string text = markers();
  const auto at = text.find("platform-launch-ok pid=");
  ASSERT_NE(at, std::string::npos) << text;
  const DWORD pid = static_cast<DWORD>(std::stoul(text.substr(at + 23)));
  UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  ASSERT_TRUE(process) << "the marked id names no process";
  ASSERT_TRUE(test::waitForFile(installDirectory + L"\\system-platform-runs.txt", std::chrono::seconds(30)));
  for (int i = 0; i < 100 && platformSteps().size() < 3; ++i) ::Sleep(100);
  EXPECT_EQ(platformSteps(),
            (std::vector<std::string>{"--record-install-user", "--configure-platform-install", "launch"}));
}

TEST_F(IdentityHandOff, RefusesASidFileEndingInCarriageReturnLineFeed) {
  setPlatformMode("crlf-sid");
  runAttempt();
  EXPECT_EQ(failureMarker(), failedBeforeCommit("安装用户身份验证失败")) << markers();
  EXPECT_EQ(platformSteps(), std::vector<std::string>{"--record-install-user"}) << "configured after a failed check";
}

TEST_F(IdentityHandOff, AcceptsASidFileWhoseFirstLineEndsInALineFeed) {
  setPlatformMode("lf-sid");
  runAttempt();
  EXPECT_NE(markers().find("platform-configured\n"), std::string::npos) << markers();
}

TEST_F(IdentityHandOff, RefusesAnEmptySidFileAndAnotherUsersSid) {
  for (const char* mode : {"empty-sid", "wrong-sid"}) {
    ::DeleteFileW(settings.stageMarkerFile.c_str());
    setPlatformMode(mode);
    runAttempt();
    EXPECT_EQ(failureMarker(), failedBeforeCommit("安装用户身份验证失败")) << mode << ": " << markers();
  }
}

TEST_F(IdentityHandOff, RefusesAnIdentityFileLargerThanAnySidLine) {
  // The user writes the identity directory: after the record run the file can
  // grow without end, and the elevated read takes no more than a SID line needs.
  runAttempt(120000, [](const std::wstring& path) {
    test::writeBytes(path, test::readBytes(path) + "\n" + std::string(5000, 'x'));
  });
  EXPECT_EQ(failureMarker(), failedBeforeCommit("安装用户身份验证失败")) << markers();
  EXPECT_EQ(platformSteps(), std::vector<std::string>{"--record-install-user"}) << "configured after a failed check";
}

TEST_F(IdentityHandOff, EndsWithInvalidUtf8ForASidFileThatIsNotUtf8) {
  setPlatformMode("invalid-utf8");
  runAttempt();
  EXPECT_EQ(failureMarker(), failedBeforeCommit("Invalid UTF8")) << markers();
}

TEST_F(IdentityHandOff, ReportsARecordStepThatExitsWithThree) {
  setPlatformMode("exit3");
  runAttempt();
  EXPECT_EQ(failureMarker(), failedBeforeCommit("记录安装用户失败，错误码 3")) << markers();
}

TEST_F(IdentityHandOff, EndsAHangingRecordStepAfterItsLimit) {
  setPlatformMode("hang");
  runAttempt(2000);
  EXPECT_EQ(failureMarker(), failedBeforeCommit("安装配置超时，请重试")) << markers();
  EXPECT_FALSE(isPlatformRunningIn(installDirectory)) << "the hanging program was left running";
}

}  // namespace
}  // namespace orvo
