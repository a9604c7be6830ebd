#include "migration/MigrationJournal.h"

#include <stdexcept>

#include "common/FileSystemErrors.h"
#include "migration/MigrationPaths.h"

namespace orvo {
namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

bool writeAll(HANDLE handle, const void* data, DWORD size) {
  DWORD written = 0;
  return ::WriteFile(handle, data, size, &written, nullptr) && written == size;
}

bool readAll(HANDLE handle, void* data, DWORD size) {
  DWORD read = 0;
  return ::ReadFile(handle, data, size, &read, nullptr) && read == size;
}

}  // namespace

void MigrationJournal::reset() {
  header = MigrationJournalHeader{};
  header.state = 0;
  savedDescriptor.clear();
}

UniqueHandle createMigrationJournalFile(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
  UniqueHandle handle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) fail("Migration journal already exists");
  return handle;
}

void writeMigrationState(MigrationJournal& journal, std::uint32_t state) {
  const HANDLE file = journal.handle.get();
  if (state == 1) {
    journal.state = 1;
    journal.header.state = 1;
    journal.header.descriptorLength = static_cast<std::uint32_t>(journal.savedDescriptor.size());
    const auto header = encodeJournalHeader(journal.header);
    LARGE_INTEGER zero{};
    const bool written =
        ::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) && writeAll(file, header.data(), kJournalHeaderSize) &&
        (journal.savedDescriptor.empty() ||
         writeAll(file, journal.savedDescriptor.data(), static_cast<DWORD>(journal.savedDescriptor.size()))) &&
        ::SetEndOfFile(file) && ::FlushFileBuffers(file);
    if (!written) fail("Migration journal could not be committed");
    return;
  }
  const auto record = encodeStateRecord(state);
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_END) || !writeAll(file, record.data(), kStateRecordSize) ||
      !::FlushFileBuffers(file)) {
    fail("Migration state could not be committed");
  }
  journal.state = state;
}

JournalReading readMigrationJournal(MigrationJournal& journal, const std::wstring& journalPath,
                                    HANDLE installDirectory) {
  if (::GetFileAttributesW(journalPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (isAbsentError(::GetLastError())) return JournalReading::Absent;
    fail("Migration state inaccessible");
  }
  journal.handle = openMigrationPath(journalPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0);
  const HANDLE file = journal.handle.get();
  const FileSnapshot snapshot = takeFileSnapshot(file);
  const std::uint64_t size = (static_cast<std::uint64_t>(snapshot.nFileSizeHigh) << 32) | snapshot.nFileSizeLow;
  if ((snapshot.dwFileAttributes & kOrdinaryDirectoryMask) != 0 || snapshot.nNumberOfLinks != 1 ||
      snapshot.nFileSizeHigh != 0 || size > kJournalHeaderSize + kMaxJournalExcess) {
    fail("Migration journal is not an ordinary bounded file");
  }
  if (size < kJournalHeaderSize) {
    journal.reset();
    return JournalReading::CutBeforeFirstState;
  }

  std::uint8_t headerBytes[kJournalHeaderSize] = {};
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !readAll(file, headerBytes, kJournalHeaderSize)) {
    fail("Migration journal identity invalid");
  }
  MigrationJournalHeader header = decodeJournalHeader(headerBytes);
  if (readFileIdentity(installDirectory) != header.installDirectory || header.state != 1) {
    fail("Migration journal identity invalid");
  }
  const std::uint64_t descriptorLength = header.descriptorLength;
  if (descriptorLength > kMaxSavedDescriptorSize) fail("Migration journal identity invalid");
  if (descriptorLength > size - kJournalHeaderSize) {
    journal.reset();
    journal.header = std::move(header);
    return JournalReading::CutBeforeFirstState;
  }

  std::vector<std::uint8_t> descriptor(static_cast<std::size_t>(descriptorLength));
  if (descriptor.empty() || !readAll(file, descriptor.data(), static_cast<DWORD>(descriptor.size())) ||
      !isValidSavedSecurityDescriptor(descriptor)) {
    fail("Migration saved security metadata invalid");
  }

  const std::uint64_t historyLength = size - descriptorLength - kJournalHeaderSize;
  if (historyLength > kMaxStateHistorySize) fail("Migration state history exceeds safety bound");
  std::vector<std::uint8_t> history(static_cast<std::size_t>(historyLength));
  if (!history.empty() && !readAll(file, history.data(), static_cast<DWORD>(history.size()))) {
    fail("Migration state history unreadable");
  }
  const std::uint32_t state = parseStateHistory(history.data(), history.size());

  journal.header = std::move(header);
  journal.savedDescriptor = std::move(descriptor);
  journal.state = state;
  return JournalReading::Loaded;
}

bool isValidSavedSecurityDescriptor(const std::vector<std::uint8_t>& bytes) {
  if (!hasValidSavedDescriptorLayout(bytes.data(), bytes.size())) return false;
  // The layout rules proved the ACL lies inside the bytes; the system checks
  // its entries and the descriptor as a whole. Both read only.
  auto* descriptor = const_cast<std::uint8_t*>(bytes.data());
  const std::uint32_t daclOffset = static_cast<std::uint32_t>(bytes[16]) | (static_cast<std::uint32_t>(bytes[17]) << 8) |
                                   (static_cast<std::uint32_t>(bytes[18]) << 16) |
                                   (static_cast<std::uint32_t>(bytes[19]) << 24);
  if (!::IsValidAcl(reinterpret_cast<PACL>(descriptor + daclOffset))) return false;
  return ::IsValidSecurityDescriptor(reinterpret_cast<PSECURITY_DESCRIPTOR>(descriptor)) != FALSE;
}

}  // namespace orvo
