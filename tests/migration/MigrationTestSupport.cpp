#include "tests/migration/MigrationTestSupport.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <stdexcept>

#include "common/Utf.h"
#include "tests/migration/HostLinkEmulation.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

UniqueHandle makeDesktopToken() {
  UniqueHandle process;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put())) {
    throw std::runtime_error("OpenProcessToken failed");
  }
  UniqueHandle primary;
  if (!::DuplicateTokenEx(process.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          primary.put())) {
    throw std::runtime_error("DuplicateTokenEx failed");
  }
  return primary;
}

FileIdentity identityOfPath(const std::wstring& path) {
  UniqueHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!handle || !::GetFileInformationByHandle(handle.get(), &info)) {
    throw std::runtime_error("cannot read identity of " + wideToUtf8(path));
  }
  return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::vector<std::uint8_t> descriptorFromSddl(const std::wstring& sddl) {
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  ULONG size = 0;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(), &size)) {
    throw std::runtime_error("bad SDDL in test");
  }
  const auto* bytes = static_cast<const std::uint8_t*>(descriptor.get());
  return std::vector<std::uint8_t>(bytes, bytes + size);
}

std::wstring daclSddlOf(const std::wstring& path) {
  UniqueHandle handle(::CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  if (!handle) throw std::runtime_error("cannot open for DACL: " + wideToUtf8(path));
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  PACL dacl = nullptr;
  if (::GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        descriptor.put()) != ERROR_SUCCESS) {
    throw std::runtime_error("GetSecurityInfo failed");
  }
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, text.put(), nullptr)) {
    throw std::runtime_error("cannot convert DACL to SDDL");
  }
  return text.get();
}

void appendU32(std::string& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void appendAscii(std::string& bytes, const char* text) { bytes.append(text); }

std::string stateRecordBytes(std::uint32_t state) {
  std::string bytes;
  appendAscii(bytes, "MSG1");
  appendU32(bytes, state);
  appendU32(bytes, ~state);
  appendAscii(bytes, "END1");
  return bytes;
}

std::string craftJournalBytes(const CraftedJournal& journal) {
  std::string bytes;
  appendAscii(bytes, "ORVOMIG1");
  appendU32(bytes, 1);
  appendU32(bytes, journal.headerState);
  for (wchar_t c : journal.migrationId) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  appendU32(bytes, 0);
  for (const FileIdentity* id : {&journal.installDirectory, &journal.legacyLink, &journal.privateCopy}) {
    appendU32(bytes, id->volumeSerial);
    appendU32(bytes, id->indexHigh);
    appendU32(bytes, id->indexLow);
  }
  appendU32(bytes, static_cast<std::uint32_t>(journal.descriptor.size()));
  bytes.append(journal.descriptor.begin(), journal.descriptor.end());
  for (std::uint32_t state : journal.records) bytes += stateRecordBytes(state);
  return bytes;
}

DaclText splitDacl(const std::wstring& sddl) {
  DaclText text;
  if (sddl.rfind(L"D:", 0) != 0) return text;
  const std::size_t entries = sddl.find(L'(');
  const std::wstring flags = sddl.substr(2, entries == std::wstring::npos ? std::wstring::npos : entries - 2);
  text.isProtected = flags.find(L'P') != std::wstring::npos;
  if (entries != std::wstring::npos) text.entries = sddl.substr(entries);
  return text;
}

DaclText daclOf(const std::wstring& path) { return splitDacl(daclSddlOf(path)); }

bool platformStoresFileDacls() {
  static const bool stores = [] {
    try {
      TempDir scratch;
      const std::wstring probe = scratch / L"dacl-probe";
      if (!::CreateDirectoryW(probe.c_str(), nullptr)) return false;
      const std::wstring wanted = L"D:P(A;;0x1200a9;;;WD)";
      const auto descriptor = descriptorFromSddl(wanted);
      BOOL present = FALSE, defaulted = FALSE;
      PACL dacl = nullptr;
      if (!::GetSecurityDescriptorDacl(const_cast<std::uint8_t*>(descriptor.data()), &present, &dacl, &defaulted)) {
        return false;
      }
      std::wstring path = probe;
      if (::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  dacl, nullptr) != ERROR_SUCCESS) {
        return false;
      }
      return daclOf(probe) == splitDacl(wanted);
    } catch (const std::exception&) {
      return false;
    }
  }();
  return stores;
}

std::wstring sidOfToken(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    throw std::runtime_error("GetTokenInformation failed");
  }
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put())) {
    throw std::runtime_error("ConvertSidToStringSidW failed");
  }
  return text.get();
}

std::vector<std::wstring> namesIn(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(::FindFirstFileW((directory + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

void retargetDirectoryLink(const std::wstring& link, const std::wstring& target) {
  if (!platformHasJunctions()) {
    // The host's link is replaced by name; a handle held on it denotes its
    // old target and does not stand in the way.
    removeDirectoryLink(link);
    makeDirectoryLink(link, target);
    return;
  }
  // Writing a junction's reparse data needs no access that sharing refuses.
  UniqueHandle handle(::CreateFileW(link.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::vector<std::uint8_t> buffer = HostLinkEmulation::mountPointBuffer(L"\\??\\" + target);
  DWORD returned = 0;
  if (!handle || !::DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    throw std::runtime_error("cannot retarget junction " + wideToUtf8(link));
  }
}

bool platformEnforcesDirectoryDeleteSharing() {
  static const bool enforced = [] {
    try {
      TempDir scratch;
      const std::wstring probe = scratch / L"held";
      if (!::CreateDirectoryW(probe.c_str(), nullptr)) return false;
      UniqueHandle holder(::CreateFileW(probe.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      UniqueHandle deleter(::CreateFileW(probe.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      return holder.valid() && !deleter.valid() && ::GetLastError() == ERROR_SHARING_VIOLATION;
    } catch (const std::exception&) {
      return false;
    }
  }();
  return enforced;
}

}  // namespace orvo::test
