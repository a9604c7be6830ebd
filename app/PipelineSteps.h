#pragma once
// The operations the install pipeline calls in other subsystems, behind one
// seam: the executable binds them to the real implementations
// (RealPipelineSteps), tests bind scripted fakes, so that any step can fail and
// a transaction or migration can be in any state.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Progress.h"
#include "common/UniqueHandle.h"
#include "payload/ManifestEntry.h"
#include "txn/TransactionEntry.h"

namespace orvo {

// The file transaction of one attempt, as the pipeline drives it.
class PipelineTransaction {
 public:
  virtual ~PipelineTransaction() = default;
  virtual bool isActive() const = 0;
  // True when a transaction area of an earlier run is on disk.
  virtual bool areaExists() = 0;
  // Finishes an earlier run's area: cleaned up when it was committed or rolled
  // back, rolled back otherwise.
  virtual void recoverEarlier() = 0;
  virtual void prepare(const std::wstring& extractionDirectory) = 0;
  virtual void apply() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
  virtual TransactionState state() const = 0;
  virtual std::wstring areaPath() const = 0;
};

// The legacy data migration of one attempt.
class PipelineMigration {
 public:
  virtual ~PipelineMigration() = default;
  // True when personal data was moved.
  virtual bool run() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
};

class PipelineSteps {
 public:
  virtual ~PipelineSteps() = default;

  virtual void validateInstallDirectory(const std::wstring& directory) = 0;
  virtual void checkNoLinks(const std::wstring& path) = 0;
  virtual bool isGameRunningUnder(const std::wstring& directory) = 0;
  virtual bool isPlatformRunningIn(const std::wstring& directory) = 0;

  // Writes a resource into a new file and returns it held open for reading
  // without write or delete sharing.
  virtual UniqueHandle writeEmbeddedResource(int resourceId, const std::wstring& target) = 0;
  virtual void downloadPayload(const std::wstring& url, const std::wstring& target, const ProgressReport& report,
                               const std::function<void()>& checkCancelled) = 0;
  // The digest of the file behind an open handle, from its start.
  virtual std::wstring sha256File(HANDLE file, const std::function<void(std::uint64_t)>& progress,
                                  const std::function<void()>& checkCancelled) = 0;
  // `extractorFile` and `libraryFile` are 7z.exe and 7z.dll as
  // writeEmbeddedResource returned them; both must still hold their resources.
  virtual void extractArchive(const std::wstring& extractor, HANDLE extractorFile, HANDLE libraryFile,
                              const std::wstring& archive, const std::wstring& directory,
                              const ProgressReport& report) = 0;
  virtual std::vector<ManifestEntry> verifyPayloadFiles(const std::wstring& directory, const ProgressReport& report,
                                                        const std::function<void()>& checkCancelled) = 0;

  // Stages the installation marker into `entries`; the returned check throws
  // when the marker on disk changed since this call.
  virtual std::function<void()> prepareMarker(const std::wstring& extractionDirectory,
                                              const std::wstring& installDirectory,
                                              std::vector<TransactionEntry>& entries) = 0;
  virtual std::unique_ptr<PipelineTransaction> createTransaction(const std::wstring& installDirectory,
                                                                 const std::vector<TransactionEntry>& entries,
                                                                 const std::function<void()>& checkCancelled) = 0;

  // A primary token of the desktop user; the caller owns and closes it.
  virtual HANDLE getDesktopUserToken() = 0;
  virtual std::unique_ptr<PipelineMigration> createMigration(const std::wstring& installDirectory, HANDLE token) = 0;
  virtual std::wstring tokenUserSid(HANDLE token) = 0;
  virtual void grantDirectoryAccess(const std::wstring& directory, const std::wstring& sid, DWORD accessMask) = 0;
  // Starts `program` only when it is the file `expected` describes. Returns the
  // process id; a waited run that does not end with 0 in time throws.
  virtual DWORD runPlatformProgram(const std::wstring& program, const ManifestEntry& expected,
                                   const std::wstring& arguments,
                                   const std::wstring& workingDirectory, bool wait, HANDLE tokenOrNull,
                                   const std::wstring& label) = 0;
  virtual void registerInstallation(const std::wstring& installDirectory, HANDLE token,
                                    const std::vector<ManifestEntry>& manifest) = 0;
};

// The real subsystems.
std::unique_ptr<PipelineSteps> makeRealPipelineSteps();

}  // namespace orvo
