#include "migration/LegacyDataMigration.h"

#include <map>
#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "common/ScopeExit.h"
#include "migration/MigrationSwitchSeam.h"

namespace orvo {
namespace {

constexpr DWORD kLinkAccess = WRITE_DAC | READ_CONTROL | DELETE | FILE_READ_ATTRIBUTES;
// The private copy's root while it is filled and verified: everything but the
// DELETE access its move needs (see takePrivateCopyForTheSwitch).
constexpr DWORD kCopyBuildAccess = WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES;
constexpr DWORD kCopyChunk = 262144;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

std::uint64_t sizeOf(const FileSnapshot& s) {
  return (static_cast<std::uint64_t>(s.nFileSizeHigh) << 32) | s.nFileSizeLow;
}

// The fields that tell whether a held object was touched since it was snapshot.
bool sameHeldState(const FileSnapshot& a, const FileSnapshot& b) {
  return a.dwFileAttributes == b.dwFileAttributes && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
         a.nNumberOfLinks == b.nNumberOfLinks && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow && ::CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

std::function<void(MigrationSwitchPoint)>& switchObserver() {
  static std::function<void(MigrationSwitchPoint)> observer;
  return observer;
}

}  // namespace

void bindMigrationSwitchObserver(std::function<void(MigrationSwitchPoint)> observer) {
  switchObserver() = std::move(observer);
}

void reachMigrationSwitchPoint(MigrationSwitchPoint point) {
  if (switchObserver()) switchObserver()(point);
}

LegacyDataMigration::LegacyDataMigration(const std::wstring& installDirectory, HANDLE desktopToken) {
  installDirectory_ = normalizeMigrationPath(installDirectory);
  journalPath_ = installDirectory_ + L'\\' + std::wstring(kLiveJournalName);
  if (desktopToken == nullptr || desktopToken == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(::GetCurrentProcess(), desktopToken, ::GetCurrentProcess(), token_.put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    fail("Migration desktop token unavailable");
  }
  privateDescriptor_ = buildPrivateSecurityDescriptor(token_.get());
  installChain_ = pinMigrationChain(installDirectory_);
}

std::wstring LegacyDataMigration::legacyDataPath() const {
  return installDirectory_ + L'\\' + std::wstring(kLegacyDataName);
}

SECURITY_ATTRIBUTES LegacyDataMigration::privateAttributes() const {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = privateDescriptor_.get();
  attributes.bInheritHandle = FALSE;
  return attributes;
}

bool LegacyDataMigration::runMigration() {
  if (used_) fail("Migration transaction already used");
  used_ = true;
  recoverMigration();
  if (!detectLegacyLink()) return false;

  // The user's directories are pinned only for the run itself.
  ScopeExit releaseSource([this] {
    sourceRoot_.reset();
    sourceChain_.release();
  });

  FileSnapshot sourceSnapshot{};
  std::vector<MigrationTreeEntry> entries = readSourceAsDesktopUser(sourceSnapshot);
  requireFreeSpace(entries);
  beginJournalHeader();
  createPrivateCopy();
  {
    // The copy's directories are the desktop user's to change: held from
    // their creation until the copy is verified, none can be swapped for a
    // link that would lead the elevated writes elsewhere. They are let go
    // before the switch: a directory whose children are held open without
    // delete sharing may be refused its move.
    const std::vector<UniqueHandle> copiedDirectories = copyEntries(entries);
    reachMigrationSwitchPoint(MigrationSwitchPoint::SourceCopied);
    reverifySource(entries, sourceSnapshot);
    verifyCopiedTree(entries);
  }
  switchDirectories();
  return true;
}

// Step 3 to 6: true when ".platform" is a junction to migrate, whose target is
// now read and outside the installation.
bool LegacyDataMigration::detectLegacyLink() {
  const std::wstring legacyPath = legacyDataPath();
  const DWORD attributes = ::GetFileAttributesW(legacyPath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (isAbsentError(::GetLastError())) return false;
    fail("Migration state inaccessible");
  }
  if (attributes & kAttributeReparsePoint) {
    if (!(attributes & kAttributeDirectory)) fail("Migration accepts only a directory junction");
  } else {
    if (!(attributes & kAttributeDirectory) || (attributes & (kAttributeDevice | kAttributeOffline | kAttributeEncrypted))) {
      fail("Migration personal data is not an ordinary directory");
    }
    return false;
  }
  legacyLink_ = migrationLinkPlatform().openLink(legacyPath, kLinkAccess, FILE_SHARE_READ);
  source_ = readJunctionTarget(legacyLink_.get());
  if (isSameOrInside(source_, installDirectory_) || isSameOrInside(installDirectory_, source_)) {
    fail("Migration source overlaps installation");
  }
  return true;
}

std::vector<MigrationTreeEntry> LegacyDataMigration::readSourceAsDesktopUser(FileSnapshot& sourceSnapshot) {
  DesktopImpersonation asUser(token_.get());
  sourceChain_ = pinMigrationChain(source_);
  // The path texts were compared before; a short alias or another drive
  // letter for the same directory passes that, the identities do not.
  if (pinnedChainsOverlap(sourceChain_, installChain_)) fail("Migration source overlaps installation");
  sourceRoot_ = openMigrationPath(source_, GENERIC_READ, FILE_SHARE_READ);
  sourceSnapshot = takeFileSnapshot(sourceRoot_.get());
  if (!isOrdinaryDirectory(sourceSnapshot.dwFileAttributes)) fail("Migration source is not an ordinary directory");
  std::vector<MigrationTreeEntry> entries;
  walkMigrationTree(source_, L"", entries, 0);
  asUser.end();
  return entries;
}

void LegacyDataMigration::requireFreeSpace(const std::vector<MigrationTreeEntry>& entries) {
  std::uint64_t total = 0;
  for (const MigrationTreeEntry& entry : entries) {
    if (entry.isDirectory) continue;
    const std::uint64_t size = sizeOf(entry.snapshot);
    if (total + size < total) fail("Migration size overflow");
    total += size;
  }
  totalSourceBytes_ = total;
  ULARGE_INTEGER available{};
  const std::wstring root = installDirectory_ + L'\\';
  if (!::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr) ||
      !hasRoomForMigration(total, available.QuadPart)) {
    fail("Migration needs more free disk space");
  }
}

void LegacyDataMigration::beginJournalHeader() {
  journal_.reset();
  journal_.header.migrationId = newMigrationId();
  journal_.header.installDirectory = readFileIdentity(installChain_.last());
  journal_.header.legacyLink = readFileIdentity(legacyLink_.get());
  names_ = deriveMigrationNames(installDirectory_, journal_.header.migrationId);
  journal_.savedDescriptor = saveObjectDacl(legacyLink_.get());
  journal_.header.descriptorLength = static_cast<std::uint32_t>(journal_.savedDescriptor.size());
}

void LegacyDataMigration::createPrivateCopy() {
  SECURITY_ATTRIBUTES attributes = privateAttributes();
  if (!::CreateDirectoryW(names_.privateCopy.c_str(), &attributes)) fail("Migration private copy cannot be created");
  privateCopy_ = openMigrationPath(names_.privateCopy, kCopyBuildAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
  const FileSnapshot snapshot = takeFileSnapshot(privateCopy_.get());
  if (!isOrdinaryDirectory(snapshot.dwFileAttributes)) fail("Migration private copy cannot be created");
  journal_.header.privateCopy = identityOf(snapshot);
  applyPrivateDacl(privateDescriptor_.get(), privateCopy_.get());
}

std::vector<UniqueHandle> LegacyDataMigration::copyEntries(const std::vector<MigrationTreeEntry>& entries) {
  std::vector<UniqueHandle> directories;
  for (const MigrationTreeEntry& entry : entries) {
    const std::wstring destination = joinMigrationPath(names_.privateCopy, entry.relativePath);
    if (entry.isDirectory) {
      SECURITY_ATTRIBUTES attributes = privateAttributes();
      if (!::CreateDirectoryW(destination.c_str(), &attributes)) fail("Migration directory copy failed");
      UniqueHandle directory = openMigrationPath(destination, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
      if (!isOrdinaryDirectory(takeFileSnapshot(directory.get()).dwFileAttributes)) {
        fail("Migration directory copy failed");
      }
      directories.push_back(std::move(directory));
    } else {
      copyFile(entry, destination);
    }
  }
  return directories;
}

void LegacyDataMigration::copyFile(const MigrationTreeEntry& entry, const std::wstring& destination) {
  SECURITY_ATTRIBUTES attributes = privateAttributes();
  UniqueHandle target(::CreateFileW(destination.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!target) fail("Migration private file copy failed");
  {
    DesktopImpersonation asUser(token_.get());
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(entry.handle.get(), zero, nullptr, FILE_BEGIN)) fail("Migration source seek failed");
    asUser.end();
  }
  std::vector<std::uint8_t> buffer(kCopyChunk);
  for (;;) {
    DWORD read = 0;
    {
      DesktopImpersonation asUser(token_.get());
      if (!::ReadFile(entry.handle.get(), buffer.data(), kCopyChunk, &read, nullptr)) {
        fail("Migration source read failed");
      }
      asUser.end();
    }
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(target.get(), buffer.data(), read, &written, nullptr) || written != read) {
      fail("Migration private file write failed");
    }
  }
  if (!::FlushFileBuffers(target.get())) fail("Migration copied data hash mismatch");
  if (hashOpenFile(target.get()) != entry.digest) fail("Migration copied data hash mismatch");
}

void LegacyDataMigration::reverifySource(const std::vector<MigrationTreeEntry>& entries,
                                         const FileSnapshot& sourceSnapshot) {
  DesktopImpersonation asUser(token_.get());
  reverifySourceTree(entries);
  if (!sameHeldState(takeFileSnapshot(sourceRoot_.get()), sourceSnapshot)) fail("Migration source directory changed");
  if (normalizeMigrationPath(source_) != readJunctionTarget(legacyLink_.get())) {
    fail("Migration original junction changed");
  }
  asUser.end();
}

void LegacyDataMigration::reverifySourceTree(const std::vector<MigrationTreeEntry>& entries) {
  std::map<std::wstring, const MigrationTreeEntry*> byPath;
  for (const MigrationTreeEntry& entry : entries) byPath.emplace(entry.relativePath, &entry);

  std::vector<std::wstring> pending{L""};
  std::size_t met = 0;
  while (!pending.empty()) {
    const std::wstring directory = std::move(pending.back());
    pending.pop_back();
    std::vector<std::wstring> subdirectories;
    for (const std::wstring& name : listChildNames(joinMigrationPath(source_, directory))) {
      const std::wstring child = directory.empty() ? name : directory + L'\\' + name;
      ++met;
      const auto found = byPath.find(child);
      if (found == byPath.end()) fail("Migration source tree changed");
      const MigrationTreeEntry& entry = *found->second;
      const std::wstring full = joinMigrationPath(source_, child);
      UniqueHandle current = openMigrationPath(full, FILE_READ_ATTRIBUTES, FILE_SHARE_READ);
      const FileSnapshot now = takeFileSnapshot(current.get());
      const FileSnapshot held = takeFileSnapshot(entry.handle.get());
      if (identityOf(now) != identityOf(held) || !sameHeldState(held, entry.snapshot)) {
        fail("Migration source identity changed");
      }
      if (entry.isDirectory) {
        subdirectories.push_back(child);
      } else {
        if (hashOpenFile(entry.handle.get()) != entry.digest) fail("Migration source content changed");
        requireSingleDataStream(full);
      }
    }
    // Depth first, in listing order.
    pending.insert(pending.end(), subdirectories.rbegin(), subdirectories.rend());
  }
  if (met != entries.size()) fail("Migration source tree changed");
}

void LegacyDataMigration::verifyCopiedTree(const std::vector<MigrationTreeEntry>& entries) {
  std::vector<MigrationTreeEntry> copied;
  walkMigrationTree(names_.privateCopy, L"", copied, 0);
  if (copied.size() != entries.size()) fail("Migration copied tree changed");
  std::map<std::wstring, const MigrationTreeEntry*> byPath;
  for (const MigrationTreeEntry& entry : copied) byPath.emplace(entry.relativePath, &entry);
  for (const MigrationTreeEntry& entry : entries) {
    const auto found = byPath.find(entry.relativePath);
    if (found == byPath.end()) fail("Migration copied tree changed");
    const MigrationTreeEntry& copy = *found->second;
    if (copy.isDirectory != entry.isDirectory ||
        (!entry.isDirectory && (copy.digest != entry.digest || sizeOf(copy.snapshot) != sizeOf(entry.snapshot)))) {
      fail("Migration copied tree changed");
    }
  }
}

// The copy's root is held with DELETE access only for its move: a directory
// that a handle holds with DELETE cannot be listed where the listing does not
// share delete (Wine), and the verification walk lists it. Its own sharing
// excludes delete, so the held handle is let go before the new one is taken;
// the identity then proves the name still leads to the verified copy. Nothing
// is written into the copy any more.
void LegacyDataMigration::takePrivateCopyForTheSwitch() {
  privateCopy_.reset();
  privateCopy_ = openMigrationPath(names_.privateCopy, kLinkAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
  const FileSnapshot snapshot = takeFileSnapshot(privateCopy_.get());
  if (identityOf(snapshot) != journal_.header.privateCopy || !isOrdinaryDirectory(snapshot.dwFileAttributes)) {
    fail("Migration copied directory changed");
  }
}

void LegacyDataMigration::switchDirectories() {
  takePrivateCopyForTheSwitch();
  SECURITY_ATTRIBUTES attributes = privateAttributes();
  journal_.handle = createMigrationJournalFile(journalPath_, &attributes);
  writeMigrationState(journal_, 1);
  journalActive_ = true;
  reachMigrationSwitchPoint(MigrationSwitchPoint::JournalCreated);
  applyPrivateDacl(privateDescriptor_.get(), legacyLink_.get());
  migrationLinkPlatform().moveLink(legacyLink_.get(), names_.parkedLink);
  reachMigrationSwitchPoint(MigrationSwitchPoint::LinkParkedOnDisk);
  writeMigrationState(journal_, 2);
  reachMigrationSwitchPoint(MigrationSwitchPoint::LinkParkedRecorded);
  moveByHandle(privateCopy_.get(), legacyDataPath());
  reachMigrationSwitchPoint(MigrationSwitchPoint::CopyPlacedOnDisk);
  writeMigrationState(journal_, 3);
  reachMigrationSwitchPoint(MigrationSwitchPoint::CopyPlacedRecorded);
}

void LegacyDataMigration::commitMigration() {
  if (!journalActive_ || finished_) return;
  writeMigrationState(journal_, 4);
  journalActive_ = false;
  finished_ = true;
  closeRunHandles();
}

void LegacyDataMigration::closeRunHandles() {
  legacyLink_.reset();
  privateCopy_.reset();
  journal_.handle.reset();
  sourceRoot_.reset();
  sourceChain_.release();
}

}  // namespace orvo
