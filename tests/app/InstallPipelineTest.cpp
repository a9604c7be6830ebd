#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "app/InstallPipeline.h"
#include "app/RealTransactionAdapter.h"
#include "common/PathText.h"
#include "common/Utf.h"
#include "tests/app/FakePipelineSteps.h"
#include "tests/support/TestSupport.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"

using namespace orvo;
using orvo::test::FakePipelineSteps;

namespace {

// A hidden window of the test thread that the pipeline posts its notices to.
class NoticeWindow {
 public:
  NoticeWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvoPipelineTestNotices";
    ::RegisterClassW(&windowClass);
    window_ = ::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  }
  ~NoticeWindow() { ::DestroyWindow(window_); }
  HWND handle() const { return window_; }
  // Collects the notices posted so far: (message, wParam) pairs in order.
  std::vector<std::pair<UINT, WPARAM>> drain() {
    std::vector<std::pair<UINT, WPARAM>> notices;
    MSG message{};
    while (::PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) notices.emplace_back(message.message, message.wParam);
    return notices;
  }

 private:
  HWND window_ = nullptr;
};

class InstallPipelineTest : public orvo::test::TempDirTest {
 protected:
  InstallPipelineTest() {
    settings.installDirectory = temp / L"orvo game";
    settings.stageMarkerFile = temp / L"markers.txt";
    settings.verifyInstall = true;
    settings.autoRun = true;
    settings.launchAfterInstall = false;
    settings.createDesktopShortcut = false;
    status.attachWindow(notices.handle());
  }

  void runAttempt() {
    InstallPipeline pipeline(settings, status, steps, endpoints);
    pipeline.installWorker();
    posted = notices.drain();
  }

  std::vector<std::string> markers() const {
    std::vector<std::string> lines;
    if (!orvo::test::fileExists(settings.stageMarkerFile)) return lines;
    const std::string bytes = orvo::test::readBytes(settings.stageMarkerFile);
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(bytes.substr(start, end - start));
    }
    EXPECT_EQ(start, bytes.size()) << "every marker ends with a line feed";
    return lines;
  }

  // The marker file's whole content (a failure marker may span several lines).
  std::string markerFileText() const {
    return orvo::test::fileExists(settings.stageMarkerFile) ? orvo::test::readBytes(settings.stageMarkerFile) : "";
  }
  std::wstring failureText() const { return status.snapshot().error; }
  int finishedNotices(WPARAM success) const {
    return static_cast<int>(std::count(posted.begin(), posted.end(), std::make_pair(WM_INSTALL_FINISHED, success)));
  }

  InstallerSettings settings;
  InstallStatus status;
  FakePipelineSteps steps{status};
  NoticeWindow notices;
  PipelineEndpoints endpoints{L"https://127.0.0.1/primary", L"https://localhost/fallback", L"aa11"};
  std::vector<std::pair<UINT, WPARAM>> posted;
};

const std::vector<std::string> kVerifyRunMarkers = {
    "download-ok",   "archive-sha256-ok",       "manifest-all-files-ok", "install-copy-ok",
    "platform-configured", "install-files-committed", "install-complete"};

}  // namespace

TEST_F(InstallPipelineTest, SuccessfulVerifyRunWritesEveryMarkerInOrderAndPostsSuccess) {
  runAttempt();
  EXPECT_EQ(markers(), kVerifyRunMarkers);
  EXPECT_TRUE(status.installSucceeded.load());
  EXPECT_EQ(finishedNotices(1), 1);
  EXPECT_EQ(finishedNotices(0), 0);
  const auto record = status.snapshot();
  EXPECT_EQ(record.percent, 100);
  EXPECT_EQ(record.status, L"安装完成");
  EXPECT_TRUE(record.error.empty());
  EXPECT_TRUE(std::is_sorted(steps.percentAtCall.begin(), steps.percentAtCall.end()));
  EXPECT_FALSE(orvo::test::directoryExists(steps.workDirectory)) << "work directory removed";
  EXPECT_FALSE(steps.called("registerInstallation")) << "verify runs do not register";
  EXPECT_FALSE(steps.called("runPlatformProgram:launch"));
}

TEST_F(InstallPipelineTest, CallsTheSubsystemsInTheirFixedOrder) {
  runAttempt();
  const std::vector<std::string> expected = {
      "validateInstallDirectory", "isGameRunningUnder", "isPlatformRunningIn", "checkNoLinks",
      "writeEmbeddedResource", "writeEmbeddedResource", "downloadPayload", "sha256File", "extractArchive",
      "verifyPayloadFiles", "validateInstallDirectory", "isGameRunningUnder", "isPlatformRunningIn",
      "prepareMarker", "createTransaction", "txn.areaExists", "prepareMarker", "txn.prepare",
      "verifyMarkerUnchanged", "checkNoLinks", "checkNoLinks", "getDesktopUserToken", "createMigration",
      "migration.run", "migration.commit", "txn.apply", "tokenUserSid", "grantDirectoryAccess",
      "grantDirectoryAccess", "runPlatformProgram:record", "runPlatformProgram:configure", "txn.commit"};
  EXPECT_EQ(steps.calls, expected);
  EXPECT_EQ(steps.grantedMasks, (std::vector<DWORD>{0x1200A9, 0x1301BF}));
  ASSERT_EQ(steps.platformRuns.size(), 2u);
  EXPECT_TRUE(steps.platformRuns[0].withToken);
  EXPECT_TRUE(steps.platformRuns[0].wait);
  EXPECT_EQ(steps.platformRuns[0].label, L"记录安装用户");
  const std::wstring identityFile = steps.workDirectory + L"\\q9-install-identity\\installer-user.sid";
  EXPECT_EQ(steps.platformRuns[0].arguments, L"--record-install-user \"" + identityFile + L"\"");
  EXPECT_FALSE(steps.platformRuns[1].withToken);
  EXPECT_EQ(steps.platformRuns[1].label, L"配置平台数据目录");
  EXPECT_EQ(steps.platformRuns[1].arguments, L"--configure-platform-install \"" + identityFile + L"\"");
  // The marker's own entry travels with the manifest copy into the transaction.
  ASSERT_EQ(steps.transactionEntries.size(), 3u);
  EXPECT_EQ(steps.transactionEntries[1].relativePath, L"q9/data.bin");
  EXPECT_EQ(steps.transactionEntries[1].size, 20u);
  EXPECT_EQ(steps.transactionEntries[2].relativePath, L"platform-installation.json");
}

TEST_F(InstallPipelineTest, WorkDirectoryIsNamedByARegistryFormGuidUnderTemp) {
  runAttempt();
  const std::wstring name = steps.workDirectory.substr(steps.workDirectory.find_last_of(L'\\') + 1);
  ASSERT_EQ(name.size(), std::wstring(L"orvo-install-").size() + 38);
  EXPECT_EQ(name.rfind(L"orvo-install-{", 0), 0u);
  EXPECT_EQ(name.back(), L'}');
  for (wchar_t c : name.substr(14, 36)) EXPECT_TRUE(c == L'-' || (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'));
}

TEST_F(InstallPipelineTest, InteractiveRunRegistersAndLaunchesAsTheDesktopUser) {
  settings.verifyInstall = false;
  settings.autoRun = false;
  settings.launchAfterInstall = true;
  runAttempt();
  EXPECT_TRUE(steps.called("registerInstallation"));
  ASSERT_EQ(steps.platformRuns.size(), 3u);
  EXPECT_EQ(steps.platformRuns[2].arguments, L"");
  EXPECT_FALSE(steps.platformRuns[2].wait);
  EXPECT_TRUE(steps.platformRuns[2].withToken);
  EXPECT_EQ(steps.platformRuns[2].label, L"安装配置");
  const auto lines = markers();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "platform-launch-ok pid=4242");
  EXPECT_EQ(lines.back(), "install-complete");
}

TEST_F(InstallPipelineTest, VerifyStartLaunchesInVerifyMode) {
  settings.verifyStart = true;
  settings.launchAfterInstall = true;
  runAttempt();
  EXPECT_TRUE(steps.called("runPlatformProgram:launch"));
  EXPECT_FALSE(steps.called("registerInstallation"));
}

TEST_F(InstallPipelineTest, MigratedDataIsAnnouncedAfterItsCommit) {
  steps.migrationMovesData = true;
  runAttempt();
  const auto lines = markers();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[3], "legacy-platform-data-migrated-and-committed");
  EXPECT_EQ(lines[4], "install-copy-ok");
}

TEST_F(InstallPipelineTest, EarlierTransactionAreaIsRecoveredBeforePreparing) {
  steps.earlierAreaExists = true;
  runAttempt();
  const auto recover = std::find(steps.calls.begin(), steps.calls.end(), "txn.recoverEarlier");
  const auto prepare = std::find(steps.calls.begin(), steps.calls.end(), "txn.prepare");
  ASSERT_NE(recover, steps.calls.end());
  EXPECT_LT(recover, prepare);
  EXPECT_EQ(status.snapshot().percent, 100);
}

TEST_F(InstallPipelineTest, FallbackAfterAPrimaryFailureKeepsTheBarWhereItWas) {
  steps.failures["downloadPayload"] = "Download connection failed";
  steps.failOnCall["downloadPayload"] = 1;
  steps.primaryDownloadReachesPercent = 35;
  runAttempt();
  EXPECT_EQ(steps.downloadUrls, (std::vector<std::wstring>{L"https://127.0.0.1/primary", L"https://localhost/fallback"}));
  const auto lines = markers();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "download-ok"), 1);
  EXPECT_EQ(steps.percentAtCall[std::find(steps.calls.begin(), steps.calls.end(), "downloadPayload") - steps.calls.begin() + 1], 35)
      << "the fallback starts where the primary left the bar";
  EXPECT_TRUE(status.installSucceeded.load());
}

TEST_F(InstallPipelineTest, VerifyFallbackTriesTheFallbackEndpointTwice) {
  settings.verifyFallback = true;
  steps.failures["downloadPayload"] = "Download connection failed";
  steps.failOnCall["downloadPayload"] = 1;
  runAttempt();
  EXPECT_EQ(steps.downloadUrls, (std::vector<std::wstring>{L"https://localhost/fallback", L"https://localhost/fallback"}));
  EXPECT_TRUE(status.installSucceeded.load());
}

TEST_F(InstallPipelineTest, OnlyTheFallbackFailureIsShownWhenBothDownloadsFail) {
  steps.failureSequence["downloadPayload"] = {"Download connection failed", "Download HTTP status invalid"};
  runAttempt();
  EXPECT_EQ(failureText(), L"Download HTTP status invalid");
  EXPECT_EQ(markers(), std::vector<std::string>{"failed: Download HTTP status invalid"});
  EXPECT_EQ(status.snapshot().status, L"正在切换备用下载服务器");
}

TEST_F(InstallPipelineTest, CancellationDuringTheFirstDownloadEndsTheRunBeforeTheFallback) {
  steps.failures["downloadPayload"] = "Download connection failed";
  steps.cancelDuringFirstDownload = true;
  runAttempt();
  EXPECT_EQ(failureText(), L"CANCELLED");
  EXPECT_EQ(steps.downloadUrls.size(), 1u);
}

TEST_F(InstallPipelineTest, DigestThatDiffersOnlyInLetterCaseIsAMismatch) {
  steps.digest = L"AA11";
  runAttempt();
  EXPECT_EQ(failureText(), L"平台文件校验失败，请重试下载");
  EXPECT_EQ(markers(), (std::vector<std::string>{"download-ok", "failed: 平台文件校验失败，请重试下载"}));
}

TEST_F(InstallPipelineTest, RelativeDirectoryFailsBeforeAnythingElse) {
  settings.installDirectory = L"relative\\orvo";
  runAttempt();
  EXPECT_EQ(failureText(), L"请选择完整的平台安装目录");
  EXPECT_TRUE(steps.calls.empty());
}

TEST_F(InstallPipelineTest, LaterStepsSeeTheLexicallyNormalisedDirectory) {
  settings.installDirectory = temp.path() + L"/x/..//orvo game";
  runAttempt();
  EXPECT_EQ(settings.installDirectory, temp.path() + L"/x/..//orvo game") << "the typed text is kept";
  ASSERT_EQ(steps.validatedDirectories.size(), 2u);
  EXPECT_EQ(steps.validatedDirectories[0], temp / L"orvo game");
  EXPECT_EQ(steps.validatedDirectories[1], temp / L"orvo game");
  EXPECT_TRUE(status.installSucceeded.load());
}

// One failure per step position: the failure text is the message followed by
// the recovery notes, in order, and exactly the right rollbacks run.
struct FailureCase {
  const char* name;
  std::function<void(FakePipelineSteps&)> script;
  std::wstring expectedText;
  bool migrationRolledBack;
  bool transactionRolledBack;
  std::vector<std::string> markersBeforeFailure;
};

const std::wstring kFilesRestored = L"\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。";

std::vector<FailureCase> failureCases() {
  auto fail = [](std::string op, std::string message, int call = 0) {
    return [op, message, call](FakePipelineSteps& s) {
      s.failures[op] = message;
      if (call) s.failOnCall[op] = call;
    };
  };
  const std::vector<std::string> verified = {"download-ok", "archive-sha256-ok", "manifest-all-files-ok"};
  const std::vector<std::string> applied = {"download-ok", "archive-sha256-ok", "manifest-all-files-ok",
                                            "install-copy-ok"};
  const std::vector<std::string> configured = {"download-ok", "archive-sha256-ok", "manifest-all-files-ok",
                                               "install-copy-ok", "platform-configured"};
  return {
      {"ValidationInWorker", fail("validateInstallDirectory", "安装磁盘可用空间不足，至少需要 768 MB"),
       L"安装磁盘可用空间不足，至少需要 768 MB", false, false, {}},
      {"GameRunning", [](FakePipelineSteps& s) { s.gameRunningAtFirstCheck = true; }, L"请先退出游戏，再安装或升级平台",
       false, false, {}},
      {"PlatformRunning", [](FakePipelineSteps& s) { s.platformRunningAtFirstCheck = true; },
       L"请先退出安装目录中运行的 orvo game", false, false, {}},
      {"WorkDirectoryLinked", fail("checkNoLinks", "Install directory cannot use links", 1),
       L"Install directory cannot use links", false, false, {}},
      {"ExtractorNotWritten", fail("writeEmbeddedResource", "Cannot prepare installer files"),
       L"Cannot prepare installer files", false, false, {}},
      {"DigestUnavailable", fail("sha256File", "Cannot verify downloaded files"), L"Cannot verify downloaded files",
       false, false, {"download-ok"}},
      {"Extraction", fail("extractArchive", "平台文件解压失败"), L"平台文件解压失败", false, false,
       {"download-ok", "archive-sha256-ok"}},
      {"Verification", fail("verifyPayloadFiles", "平台文件校验失败：q9/data.bin"), L"平台文件校验失败：q9/data.bin", false,
       false, {"download-ok", "archive-sha256-ok"}},
      {"GameStartedDuringDownload", [](FakePipelineSteps& s) { s.gameRunningAtSecondCheck = true; },
       L"请退出游戏和平台后重试安装", false, false, verified},
      {"Marker", fail("prepareMarker", "Installation marker invalid; existing file retained", 1),
       L"Installation marker invalid; existing file retained", false, false, verified},
      {"TransactionAlreadyActive", [](FakePipelineSteps& s) { s.transactionActive = true; },
       L"Transaction already active" + kFilesRestored, false, true, verified},
      {"Recovery",
       [](FakePipelineSteps& s) {
         s.earlierAreaExists = true;
         s.failures["txn.recoverEarlier"] = "Transaction journal state mismatch";
       },
       L"Transaction journal state mismatch", false, false, verified},
      {"Prepare", fail("txn.prepare", "Transaction staged file mismatch"),
       L"Transaction staged file mismatch" + kFilesRestored, false, true, verified},
      {"MarkerChanged", fail("verifyMarkerUnchanged", "Installation marker changed during preparation; existing file retained"),
       L"Installation marker changed during preparation; existing file retained" + kFilesRestored, false, true, verified},
      {"InstallDirectoryLinked", fail("checkNoLinks", "Install directory cannot use links", 2),
       L"Install directory cannot use links" + kFilesRestored, false, true, verified},
      {"NoDesktopUser", fail("getDesktopUserToken", "无法获取桌面用户身份"), L"无法获取桌面用户身份" + kFilesRestored, false,
       true, verified},
      {"MigrationRun", fail("migration.run", "Migration needs more free disk space"),
       L"Migration needs more free disk space" + kFilesRestored, true, true, verified},
      {"MigrationRollbackFails",
       [](FakePipelineSteps& s) {
         s.failures["migration.run"] = "Migration atomic rename failed (5)";
         s.failures["migration.rollback"] = "Migration rollback target occupied";
       },
       L"Migration atomic rename failed (5)\n个人数据迁移恢复待完成，备份已保留；请用同一安装器重试。" + kFilesRestored, false, true,
       verified},
      {"ApplyAfterMigration",
       [](FakePipelineSteps& s) {
         s.migrationMovesData = true;
         s.failures["txn.apply"] = "Transaction destination locked";
       },
       L"Transaction destination locked\n个人数据目录已恢复并保留；原数据位置和链接备份仍保留。" + kFilesRestored, false, true,
       {"download-ok", "archive-sha256-ok", "manifest-all-files-ok", "legacy-platform-data-migrated-and-committed"}},
      {"RecordRun", fail("runPlatformProgram:record", "记录安装用户失败，错误码 3"), L"记录安装用户失败，错误码 3" + kFilesRestored,
       false, true, applied},
      {"IdentityMismatch", [](FakePipelineSteps& s) { s.identityFileBytes = "S-1-5-21-9\n"; },
       L"安装用户身份验证失败" + kFilesRestored, false, true, applied},
      {"IdentityWithCarriageReturn",
       [](FakePipelineSteps& s) { s.identityFileBytes = "S-1-5-21-1000-2000-3000-1001\r\n"; },
       L"安装用户身份验证失败" + kFilesRestored, false, true, applied},
      {"IdentityFileMissing", [](FakePipelineSteps& s) { s.identityFileBytes.clear(); },
       L"安装用户身份验证失败" + kFilesRestored, false, true, applied},
      {"IdentityNotUtf8", [](FakePipelineSteps& s) { s.identityFileBytes = "S-1-5-\xFF\n"; },
       L"Invalid UTF8" + kFilesRestored, false, true, applied},
      {"ConfigureRun", fail("runPlatformProgram:configure", "安装配置超时，请重试"), L"安装配置超时，请重试" + kFilesRestored,
       false, true, applied},
      {"CommitBeforeCommitted", fail("txn.commit", "Transaction commit verification failed"),
       L"Transaction commit verification failed" + kFilesRestored, false, true, configured},
      {"CommitCleanupAfterCommitted",
       [](FakePipelineSteps& s) {
         s.commitFailsAfterCommitted = true;
         s.failures["txn.commit"] = "Transaction cleanup failed";
       },
       L"Transaction cleanup failed\n平台文件已安装完成，事务清理尚未完成；请释放文件占用后使用同一安装器重试完成清理。恢复目录："
       L"C:\\games\\.orvo-file-txn-0123456789abcdef01234567",
       false, false, configured},
      {"TransactionRollbackFails",
       [](FakePipelineSteps& s) {
         s.failures["txn.apply"] = "Transaction destination locked";
         s.failures["txn.rollback"] = "Transaction rollback incomplete";
       },
       L"Transaction destination locked\n原文件恢复仍待完成，请释放文件占用后使用同一安装器重试。恢复目录："
       L"C:\\games\\.orvo-file-txn-0123456789abcdef01234567\nTransaction rollback incomplete",
       false, true, verified},
  };
}

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class PipelineFailureTest : public InstallPipelineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PipelineFailureTest, ComposesTheFailureTextAndRunsExactlyTheRightRollbacks) {
  const FailureCase& c = GetParam();
  c.script(steps);
  runAttempt();

  EXPECT_EQ(failureText(), c.expectedText);
  const auto record = status.snapshot();
  EXPECT_EQ(record.heading, L"安装未完成");
  EXPECT_EQ(record.subheading, L"请检查后重新安装");
  EXPECT_FALSE(status.installSucceeded.load());
  EXPECT_EQ(finishedNotices(0), 1);
  EXPECT_EQ(finishedNotices(1), 0);

  std::string expectedMarkers;
  for (const auto& line : c.markersBeforeFailure) expectedMarkers += line + "\n";
  if (c.migrationRolledBack) expectedMarkers += "legacy-platform-data-restored\n";
  expectedMarkers += "failed: " + wideToUtf8(c.expectedText) + "\n";
  EXPECT_EQ(markerFileText(), expectedMarkers);

  EXPECT_EQ(steps.called("migration.rollback"), c.migrationRolledBack || std::string(c.name) == "MigrationRollbackFails");
  EXPECT_EQ(steps.called("txn.rollback"), c.transactionRolledBack);
  EXPECT_TRUE(std::is_sorted(steps.percentAtCall.begin(), steps.percentAtCall.end()));
  if (!steps.workDirectory.empty()) {
    EXPECT_FALSE(orvo::test::directoryExists(steps.workDirectory)) << "work directory removed";
  }
  if (steps.tokenHandedOut != nullptr) {
    DWORD flags = 0;
    EXPECT_FALSE(::GetHandleInformation(steps.tokenHandedOut, &flags)) << "the token was closed";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PipelineFailureTest, ::testing::ValuesIn(failureCases()),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(InstallPipelineTest, FailureAfterCommitKeepsTheInstalledFiles) {
  settings.verifyStart = true;
  settings.launchAfterInstall = true;
  steps.migrationMovesData = true;
  steps.failures["runPlatformProgram:launch"] = "安装配置失败，错误码 2";
  runAttempt();
  EXPECT_EQ(failureText(),
            L"安装配置失败，错误码 2\n个人数据目录已恢复并保留；原数据位置和链接备份仍保留。\n平台文件已安装完成，后续配置或启动未完成，请重试。");
  EXPECT_FALSE(steps.called("txn.rollback"));
  const auto lines = markers();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "legacy-platform-data-restored"), 0);
}

TEST_F(InstallPipelineTest, UnwritableMarkerFileDoesNotFailTheRun) {
  settings.stageMarkerFile = temp / L"no such directory\\markers.txt";
  runAttempt();
  EXPECT_TRUE(status.installSucceeded.load());
}

// startInstall on the window thread.
TEST_F(InstallPipelineTest, InvalidDirectoryInAutoRunFailsWithoutAWorker) {
  steps.failures["validateInstallDirectory"] = "请选择完整的平台安装目录";
  InstallPipeline pipeline(settings, status, steps, endpoints);
  pipeline.startInstall(L"relative");
  EXPECT_FALSE(pipeline.workerJoinable());
  EXPECT_FALSE(status.installBusy.load());
  EXPECT_EQ(settings.installDirectory, L"relative");
  EXPECT_EQ(failureText(), L"请选择完整的平台安装目录");
  EXPECT_EQ(status.snapshot().heading, L"安装 orvo game") << "only the error changes";
  EXPECT_EQ(markers(), std::vector<std::string>{"failed: 请选择完整的平台安装目录"});
  posted = notices.drain();
  EXPECT_EQ(finishedNotices(0), 1);
}

TEST_F(InstallPipelineTest, StartedAttemptRunsOnAWorkerAndANewAttemptStartsAfresh) {
  InstallPipeline pipeline(settings, status, steps, endpoints);
  steps.failures["extractArchive"] = "平台文件解压失败";
  steps.failOnCall["extractArchive"] = 1;
  bool hidden = false;
  pipeline.startInstall(temp / L"orvo game", [&] { hidden = true; });
  EXPECT_TRUE(hidden);
  EXPECT_TRUE(status.installBusy.load());
  pipeline.startInstall(temp / L"other") ;  // ignored while busy
  pipeline.joinWorker();
  EXPECT_EQ(settings.installDirectory, temp / L"orvo game");
  EXPECT_EQ(failureText(), L"平台文件解压失败");
  const std::wstring firstWorkDirectory = steps.workDirectory;

  // The window clears the busy flag when it handles the failure notice.
  status.installBusy.store(false);
  steps.workDirectory.clear();
  pipeline.startInstall(temp / L"orvo game");
  pipeline.joinWorker();
  EXPECT_TRUE(status.installSucceeded.load());
  EXPECT_TRUE(failureText().empty()) << "a new attempt resets the record";
  EXPECT_NE(steps.workDirectory, firstWorkDirectory);
}

// A failure after the recovery of an earlier run's area, with the real file
// transaction: the note must describe what that recovery left on disk.
struct RecoveryNoteCase {
  const char* name;
  // Lays out the earlier run's area; returns a handle to hold during the run.
  std::function<UniqueHandle(const FileTransaction& earlier)> layOut;
  std::string message;  // the error that ends the run
  bool areaRemains;
  bool cleanupNote;  // the "cleanup not finished" note with the area path
};

void writeAreaFile(const FileTransaction& earlier, const wchar_t* name, const std::string& bytes) {
  std::filesystem::create_directories(earlier.areaPath());
  orvo::test::writeBytes(earlier.areaPath() + L"\\" + name, bytes);
}

void writeEarlierJournal(const FileTransaction& earlier, std::uint32_t state, std::uint32_t cursor) {
  const auto bytes = encodeJournal(earlier.root(), state, cursor, earlier.entries(),
                                   std::vector<OriginalFileRecord>(earlier.entries().size()));
  writeAreaFile(earlier, L"journal.bin", std::string(bytes.begin(), bytes.end()));
}

std::vector<RecoveryNoteCase> recoveryNoteCases() {
  const std::string laterFailure = "Installation marker invalid; existing file retained";
  auto journal = [](std::uint32_t state, std::uint32_t cursor) {
    return [state, cursor](const FileTransaction& earlier) {
      writeEarlierJournal(earlier, state, cursor);
      return UniqueHandle();
    };
  };
  return {
      {"CommittedAreaCleanedUp", journal(5, 3), laterFailure, false, false},
      {"RolledBackAreaCleanedUp", journal(6, 0), laterFailure, false, false},
      {"PreparedAreaRolledBack", journal(2, 0), laterFailure, false, false},
      {"AreaHoldingOnlyItsLeaseRemoved",
       [](const FileTransaction& earlier) {
         writeAreaFile(earlier, L"lease.lock", "");
         return UniqueHandle();
       },
       laterFailure, false, false},
      {"AreaWithoutJournalRefused",
       [](const FileTransaction& earlier) {
         writeAreaFile(earlier, L"lease.lock", "");
         writeAreaFile(earlier, L"journal.tmp", "partial");
         return UniqueHandle();
       },
       "Transaction journal missing; area retained for inspection", true, false},
      {"CommittedAreaWhoseCleanupIsBlocked",
       [](const FileTransaction& earlier) {
         writeEarlierJournal(earlier, 5, 3);
         writeAreaFile(earlier, L"old-0", "backup");
         return UniqueHandle(::CreateFileW(earlier.backupPath(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
       },
       "Cannot clean transaction-owned file; recovery retained", true, true},
  };
}

void PrintTo(const RecoveryNoteCase& c, std::ostream* out) { *out << c.name; }

class PipelineRecoveryNoteTest : public InstallPipelineTest, public ::testing::WithParamInterface<RecoveryNoteCase> {};

TEST_P(PipelineRecoveryNoteTest, NotesWhatTheRecoveryReallyLeft) {
  const RecoveryNoteCase& c = GetParam();
  const std::vector<TransactionEntry> entries = {{L"OrvoQ9.exe", 10, std::wstring(64, L'a')},
                                                 {L"q9/data.bin", 20, std::wstring(64, L'b')},
                                                 {L"platform-installation.json", 30, std::wstring(64, L'c')}};
  const FileTransaction earlier(settings.installDirectory, entries, orvo::test::fileDigest);
  const UniqueHandle held = c.layOut(earlier);
  steps.transactionFactory = [](const std::wstring& directory, const std::vector<TransactionEntry>& manifest,
                                const std::function<void()>& checkCancelled) {
    return makeRealTransaction(directory, manifest, checkCancelled);
  };
  // The run fails right after the recovery, before its own preparation.
  steps.failures["prepareMarker"] = "Installation marker invalid; existing file retained";
  steps.failOnCall["prepareMarker"] = 2;
  runAttempt();

  std::wstring expected = utf8ToWide(c.message);
  if (c.cleanupNote) {
    expected += L"\n平台文件已安装完成，事务清理尚未完成；请释放文件占用后使用同一安装器重试完成清理。恢复目录：" +
                earlier.areaPath();
  }
  EXPECT_EQ(failureText(), expected);
  EXPECT_EQ(orvo::test::directoryExists(earlier.areaPath()), c.areaRemains);
}

INSTANTIATE_TEST_SUITE_P(ByEarlierArea, PipelineRecoveryNoteTest, ::testing::ValuesIn(recoveryNoteCases()),
                         [](const ::testing::TestParamInfo<RecoveryNoteCase>& info) { return std::string(info.param.name); });
