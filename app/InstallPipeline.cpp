#include "app/InstallPipeline.h"

#include <objbase.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "BuildConfig.h"
#include "PayloadBuild.h"
#include "app/StageMarkers.h"
#include "app/WorkerThread.h"
#include "common/FileSystemErrors.h"
#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/PrivateDirectory.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/ArchiveExtractor.h"
#include "system/Registration.h"

namespace orvo {
namespace {

constexpr DWORD kReadExecuteMask = 0x1200A9;
constexpr DWORD kModifyMask = 0x1301BF;

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::wstring newWorkDirectory() {
  std::wstring temp(32768, L'\0');
  const DWORD length = ::GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
  if (length == 0 || length >= temp.size()) throw std::runtime_error("Temporary folder unavailable");
  temp.resize(length);
  GUID guid{};
  if (FAILED(::CoCreateGuid(&guid))) throw std::runtime_error("Cannot create work directory name");
  wchar_t text[40] = {};
  if (::StringFromGUID2(guid, text, 40) == 0) throw std::runtime_error("Cannot create work directory name");
  return joinPath(temp, std::wstring(L"orvo-install-") + text);
}

// The identity file's first line: the bytes up to the first line feed. The
// user writes its directory, so the file is read through a handle on the file
// itself, never through a link put in its place; a file that is missing,
// unreadable, no regular file or larger than any SID line gives an empty line.
std::string readFirstLine(const std::wstring& path) {
  constexpr std::uint64_t kMaxIdentityFileBytes = 4096;
  UniqueHandle file = openNoFollow(path, GENERIC_READ, FILE_SHARE_READ);
  std::uint64_t size = 0;
  if (!file || nodeKindOf(file.get()) != NodeKind::RegularFile || !fileSizeOf(file.get(), size) ||
      size > kMaxIdentityFileBytes) {
    return {};
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  DWORD read = 0;
  if (size != 0 && (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(size), &read, nullptr) || read != size)) {
    return {};
  }
  return bytes.substr(0, bytes.find('\n'));
}

// The manifest's entry for the platform program: every run starts that file.
ManifestEntry platformProgramEntry(const std::vector<ManifestEntry>& manifest) {
  for (const auto& entry : manifest) {
    if (entry.relativePath == kPlatformProgramName) return entry;
  }
  throw std::runtime_error("平台文件校验失败：" + wideToUtf8(kPlatformProgramName));
}

}  // namespace

PipelineEndpoints buildEndpoints() {
  return PipelineEndpoints{std::wstring(L"https://") + build::kPrimaryHost + kPrimaryPath,
                           std::wstring(L"https://") + build::kFallbackHost + kFallbackPath,
                           build::kPayloadSha256};
}

InstallPipeline::InstallPipeline(InstallerSettings& settings, InstallStatus& status, PipelineSteps& steps,
                                 PipelineEndpoints endpoints)
    : settings_(settings), status_(status), steps_(steps), endpoints_(std::move(endpoints)) {}

InstallPipeline::~InstallPipeline() { joinWorker(); }

void InstallPipeline::joinWorker() {
  if (worker_.joinable()) worker_.join();
}

void InstallPipeline::marker(const std::wstring& text) const { writeStageMarker(settings_.stageMarkerFile, text); }

void InstallPipeline::startInstall(const std::wstring& directoryText, const std::function<void()>& hidePathBox) {
  if (status_.installBusy.load()) return;
  settings_.installDirectory = directoryText;
  const HWND window = status_.window();
  try {
    const std::wstring copy = settings_.installDirectory;
    steps_.validateInstallDirectory(copy);
  } catch (const std::exception& e) {
    const std::wstring message = utf8ToWideLenient(e.what());
    status_.setError(message);
    if (window) ::InvalidateRect(window, nullptr, FALSE);
    if (settings_.autoRun) {
      marker(L"failed: " + message);
      status_.postFinished(false);
    }
    return;
  }
  joinWorker();
  status_.resetForInstall();
  status_.cancelRequested.store(false);
  status_.installSucceeded.store(false);
  status_.installBusy.store(true);
  if (hidePathBox) hidePathBox();
  try {
    worker_ = startWorkerThread([this] { installWorker(); });
  } catch (const std::exception& e) {
    // Without a worker nothing else would ever clear the busy flag, or tell an
    // unattended caller that the run is over.
    const std::wstring failureText = utf8ToWideLenient(e.what());
    status_.setFailure(failureText);
    if (settings_.autoRun) marker(L"failed: " + failureText);
    status_.postFinished(false);
  }
  if (window) ::InvalidateRect(window, nullptr, FALSE);
}

void InstallPipeline::installWorker() {
  ComApartment com;
  std::wstring workDirectory;
  UniqueHandle token;
  std::unique_ptr<PipelineMigration> migration;
  std::unique_ptr<PipelineTransaction> transaction;
  bool migrated = false;
  bool migrationCommitted = false;
  bool filesCommitted = false;

  const ProgressReport report = [this](int percent, const std::wstring& status, const std::wstring& detail) {
    status_.reportProgress(percent, status, detail);
  };
  const std::function<void()> checkCancelled = [this] { status_.throwIfCancelled(); };

  try {
    // Absolute path, then its lexically normal form for every later step.
    const std::wstring typed = settings_.installDirectory;
    if (!isCompletePath(typed)) throw std::runtime_error("请选择完整的平台安装目录");
    const std::wstring installDirectory = normalizeLexically(typed);

    steps_.validateInstallDirectory(installDirectory);
    if (steps_.isGameRunningUnder(installDirectory)) throw std::runtime_error("请先退出游戏，再安装或升级平台");
    if (steps_.isPlatformRunningIn(installDirectory)) throw std::runtime_error("请先退出安装目录中运行的 orvo game");

    const std::wstring newDirectory = newWorkDirectory();
    steps_.checkNoLinks(newDirectory);
    createDirectories(std::wstring(parentPathText(newDirectory)));
    // The user's temp folder is the user's to write; this directory is not,
    // so nothing in it can be swapped before the installer uses it.
    createPrivateDirectory(newDirectory);
    workDirectory = newDirectory;

    const std::wstring archive = joinPath(workDirectory, L"platform.7z");
    const std::wstring extractionDirectory = joinPath(workDirectory, L"platform");
    const std::wstring extractor = joinPath(workDirectory, L"7z.exe");
    // Held from their writing until 7-Zip has exited, so that the program that
    // runs minutes later is the one written now.
    UniqueHandle extractorFile = steps_.writeEmbeddedResource(kExtractorResource, extractor);
    UniqueHandle libraryFile =
        steps_.writeEmbeddedResource(kExtractorLibraryResource, joinPath(workDirectory, L"7z.dll"));

    report(0, L"正在连接下载服务器", L"");
    try {
      steps_.downloadPayload(settings_.verifyFallback ? endpoints_.fallbackUrl : endpoints_.primaryUrl, archive, report,
                             checkCancelled);
    } catch (const std::exception&) {
      // The first attempt's failure is never shown: one fallback attempt follows.
      status_.throwIfCancelled();
      report(0, L"正在切换备用下载服务器", L"");
      steps_.downloadPayload(endpoints_.fallbackUrl, archive, report, checkCancelled);
    }
    marker(L"download-ok");

    report(70, L"正在校验下载文件", L"");
    // Held from its digest until the extraction ends: what 7-Zip reads is what was checked.
    UniqueHandle archiveFile = openNoFollow(archive, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ);
    if (!archiveFile || nodeKindOf(archiveFile.get()) != NodeKind::RegularFile) {
      throw std::runtime_error("平台文件校验失败，请重试下载");
    }
    const std::wstring digest = steps_.sha256File(
        archiveFile.get(),
        [&report](std::uint64_t hashed) {
          report(static_cast<int>(70 + hashed * 5 / kPayloadSize), L"正在校验下载文件", L"");
        },
        checkCancelled);
    if (digest != endpoints_.payloadSha256) throw std::runtime_error("平台文件校验失败，请重试下载");
    marker(L"archive-sha256-ok");

    steps_.extractArchive(extractor, extractorFile.get(), libraryFile.get(), archive, extractionDirectory, report);
    archiveFile.reset();
    libraryFile.reset();
    extractorFile.reset();
    status_.throwIfCancelled();

    const std::vector<ManifestEntry> manifest = steps_.verifyPayloadFiles(extractionDirectory, report, checkCancelled);
    marker(L"manifest-all-files-ok");

    status_.throwIfCancelled();
    steps_.validateInstallDirectory(installDirectory);
    if (steps_.isGameRunningUnder(installDirectory) || steps_.isPlatformRunningIn(installDirectory)) {
      throw std::runtime_error("请退出游戏和平台后重试安装");
    }

    std::vector<TransactionEntry> entries;
    entries.reserve(manifest.size() + 1);
    for (const auto& entry : manifest) entries.push_back(TransactionEntry{entry.relativePath, entry.size, entry.sha256});

    steps_.prepareMarker(extractionDirectory, installDirectory, entries);

    transaction = steps_.createTransaction(installDirectory, entries, checkCancelled);
    if (transaction->isActive()) throw std::runtime_error("Transaction already active");
    if (transaction->areaExists()) transaction->recoverEarlier();

    const auto verifyMarkerUnchanged = steps_.prepareMarker(extractionDirectory, installDirectory, entries);
    transaction->prepare(extractionDirectory);
    verifyMarkerUnchanged();

    steps_.checkNoLinks(installDirectory);
    createDirectories(installDirectory);
    steps_.checkNoLinks(installDirectory);

    token.reset(steps_.getDesktopUserToken());
    migration = steps_.createMigration(installDirectory, token.get());
    migrated = migration->run();
    migration->commit();
    migrationCommitted = true;
    if (migrated) marker(L"legacy-platform-data-migrated-and-committed");

    status_.throwIfCancelled();
    report(94, L"正在安装 orvo game", L"已备份原平台文件");
    transaction->apply();
    marker(L"install-copy-ok");

    report(97, L"正在配置平台", L"");
    const std::wstring sid = steps_.tokenUserSid(token.get());
    steps_.grantDirectoryAccess(workDirectory, sid, kReadExecuteMask);
    const std::wstring identityDirectory = joinPath(workDirectory, L"q9-install-identity");
    createDirectories(identityDirectory);
    steps_.grantDirectoryAccess(identityDirectory, sid, kModifyMask);
    const std::wstring identityFile = joinPath(identityDirectory, L"installer-user.sid");

    const std::wstring program = joinPath(installDirectory, kPlatformProgramName);
    const ManifestEntry programEntry = platformProgramEntry(manifest);
    steps_.runPlatformProgram(program, programEntry, L"--record-install-user " + quoted(identityFile), installDirectory, true,
                              token.get(), L"记录安装用户");
    if (utf8ToWide(readFirstLine(identityFile)) != sid) throw std::runtime_error("安装用户身份验证失败");
    steps_.runPlatformProgram(program, programEntry, L"--configure-platform-install " + quoted(identityFile), installDirectory,
                              true, nullptr, L"配置平台数据目录");
    marker(L"platform-configured");

    if (!settings_.verifyInstall) steps_.registerInstallation(installDirectory, token.get(), manifest);

    transaction->commit();
    filesCommitted = true;
    marker(L"install-files-committed");

    report(99, L"安装完成", settings_.launchAfterInstall ? L"正在启动 orvo game" : L"orvo game 已安装完成");
    if (settings_.launchAfterInstall && (!settings_.verifyInstall || settings_.verifyStart)) {
      const DWORD pid = steps_.runPlatformProgram(program, programEntry, L"", installDirectory, false, token.get(), L"安装配置");
      marker(L"platform-launch-ok pid=" + std::to_wstring(pid));
    }

    marker(L"install-complete");
    // A link left inside (one that this platform cannot remove without
    // touching its target) keeps the directory, and fails the run.
    if (!removeTreeNoFollow(workDirectory)) {
      throwFilesystemError("remove_all", std::error_code(ERROR_DIR_NOT_EMPTY, std::system_category()), workDirectory);
    }

    status_.installSucceeded.store(true);
    report(100, L"安装完成", L"");
    status_.postFinished(true);
  } catch (const std::exception& error) {
    std::wstring notes;
    if (migration && !migrationCommitted) {
      try {
        migration->rollback();
        marker(L"legacy-platform-data-restored");
      } catch (...) {
        notes += L"\n个人数据迁移恢复待完成，备份已保留；请用同一安装器重试。";
      }
    } else if (migrated && migrationCommitted) {
      notes += L"\n个人数据目录已恢复并保留；原数据位置和链接备份仍保留。";
    }

    // The note describes what is on disk now: a transaction that holds no area
    // (never prepared, or an earlier run's area refused or already finished)
    // changed no file under the install directory and has nothing to restore.
    if (transaction && filesCommitted) {
      notes += L"\n平台文件已安装完成，后续配置或启动未完成，请重试。";
    } else if (transaction && transaction->isActive()) {
      if (transaction->state() == TransactionState::Committed) {
        notes += L"\n平台文件已安装完成，事务清理尚未完成；请释放文件占用后使用同一安装器重试完成清理。恢复目录：" +
                 transaction->areaPath();
      } else {
        try {
          transaction->rollback();
          notes += L"\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。";
        } catch (const std::exception& rollbackError) {
          notes += L"\n原文件恢复仍待完成，请释放文件占用后使用同一安装器重试。恢复目录：" + transaction->areaPath() +
                   L"\n" + utf8ToWideLenient(rollbackError.what());
        }
      }
    }

    if (!workDirectory.empty()) removeTreeNoFollow(workDirectory);  // best effort

    const std::wstring failureText = utf8ToWideLenient(error.what()) + notes;
    status_.setFailure(failureText);
    marker(L"failed: " + failureText);
    status_.postFinished(false);
  }

  // Clean-up of every attempt: the token, then the migration and the transaction
  // (their destructors release handles and leases; the transaction's also rolls
  // back what is still uncommitted), then COM with the apartment guard.
  token.reset();
  migration.reset();
  transaction.reset();
}

}  // namespace orvo
