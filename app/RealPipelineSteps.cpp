// Binds the pipeline's seam to the real subsystems.
#include <stdexcept>
#include <string>

#include "app/InstallDirectory.h"
#include "app/InstallerSettings.h"
#include "app/PipelineSteps.h"
#include "app/PipelineStepsSeam.h"
#include "app/RealMigrationAdapter.h"
#include "app/RealTransactionAdapter.h"
#include "payload/ArchiveExtractor.h"
#include "payload/EmbeddedResource.h"
#include "payload/PayloadDownloader.h"
#include "payload/PayloadVerification.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "system/RunningPrograms.h"

namespace orvo {
namespace {

class RealPipelineSteps final : public PipelineSteps {
 public:
  explicit RealPipelineSteps(TransactionEvent onEvent) : onEvent_(std::move(onEvent)) {}

  void validateInstallDirectory(const std::wstring& directory) override { orvo::validateInstallDirectory(directory); }
  void checkNoLinks(const std::wstring& path) override { orvo::checkNoLinks(path); }
  bool isGameRunningUnder(const std::wstring& directory) override { return orvo::isGameRunningUnder(directory); }
  bool isPlatformRunningIn(const std::wstring& directory) override { return orvo::isPlatformRunningIn(directory); }

  UniqueHandle writeEmbeddedResource(int id, const std::wstring& target) override {
    UniqueHandle held = writeEmbeddedResourceHeld(id, target);
    announce("resource-written", static_cast<std::uint64_t>(id));
    return held;
  }
  void downloadPayload(const std::wstring& url, const std::wstring& target, const ProgressReport& report,
                       const std::function<void()>& checkCancelled) override {
    orvo::downloadPayload(url, target, report, checkCancelled);
  }
  std::wstring sha256File(HANDLE file, const std::function<void(std::uint64_t)>& progress,
                          const std::function<void()>& checkCancelled) override {
    return sha256OfHandle(file, progress, checkCancelled);
  }
  void extractArchive(const std::wstring& extractor, HANDLE extractorFile, HANDLE libraryFile,
                      const std::wstring& archive, const std::wstring& directory,
                      const ProgressReport& report) override {
    const std::vector<unsigned char> program = readEmbeddedResource(kExtractorResource);
    const std::vector<unsigned char> library = readEmbeddedResource(kExtractorLibraryResource);
    announce("before-extract", 0);
    orvo::extractArchive(extractor, {{extractorFile, &program}, {libraryFile, &library}}, archive, directory, report);
  }
  std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring& directory, const ProgressReport& report,
                                                const std::function<void()>& checkCancelled) override {
    std::vector<ManifestEntry> manifest = orvo::verifyPayloadFiles(directory, report, checkCancelled);
    announce("payload-verified", 0);
    return manifest;
  }

  std::function<void()> prepareMarker(const std::wstring& extractionDirectory, const std::wstring& installDirectory,
                                      std::vector<TransactionEntry>& entries) override {
    return prepareRealMarker(extractionDirectory, installDirectory, entries);
  }
  std::unique_ptr<PipelineTransaction> createTransaction(const std::wstring& installDirectory,
                                                         const std::vector<TransactionEntry>& entries,
                                                         const std::function<void()>& checkCancelled) override {
    return makeRealTransaction(installDirectory, entries, checkCancelled, onEvent_);
  }

  HANDLE getDesktopUserToken() override { return orvo::getDesktopUserToken().release(); }
  std::unique_ptr<PipelineMigration> createMigration(const std::wstring& installDirectory, HANDLE token) override {
    return makeRealMigration(installDirectory, token);
  }
  std::wstring tokenUserSid(HANDLE token) override { return orvo::tokenUserSid(token); }
  void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD accessMask) override {
    orvo::grantDirectoryAccess(directory, sid, accessMask);
  }
  DWORD runPlatformProgram(const std::wstring& program, const ManifestEntry& expected, const std::wstring& arguments,
                           const std::wstring& workingDirectory, bool wait, HANDLE token,
                           const std::wstring& label) override {
    const DWORD id = orvo::runPlatformProgram(program, expected, arguments, workingDirectory, wait, token, label);
    announce("platform-program-ran", programRuns_++);
    return id;
  }
  void registerInstallation(const std::wstring& installDirectory, HANDLE token,
                            const std::vector<ManifestEntry>& manifest) override {
    orvo::registerInstallation(installDirectory, token, manifest, installerSettings().createDesktopShortcut);
  }

 private:
  void announce(const char* label, std::uint64_t index) const {
    if (onEvent_) onEvent_(label, index);
  }
  TransactionEvent onEvent_;
  std::uint64_t programRuns_ = 0;
};

}  // namespace

std::unique_ptr<PipelineSteps> makeRealPipelineSteps() { return std::make_unique<RealPipelineSteps>(TransactionEvent{}); }

std::unique_ptr<PipelineSteps> makeObservedPipelineSteps(TransactionEvent onEvent) {
  return std::make_unique<RealPipelineSteps>(std::move(onEvent));
}

}  // namespace orvo
