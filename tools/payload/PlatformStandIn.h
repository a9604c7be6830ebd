#pragma once
// The platform program "OrvoQ9.exe" as this payload ships it, and the faulty
// variants the tests run in its place (tests/helpers/Platform*.cpp). Header-only
// so that each variant is the same program with one fault switched on.
//
// Guarantees:
// - "--record-install-user" "<path>": writes the running user's SID text and one
//   line feed to <path> (UTF-8, no byte-order mark, no CR), replacing the file,
//   and exits 0.
// - "--configure-platform-install" "<path>": reads the SID recorded there (one
//   "S-1-..." SID, optionally followed by one line feed, nothing else), creates
//   the data directory ".platform" beside the program when it is missing, grants
//   that user modify rights on it, inherited by everything inside, and exits 0.
//   A ".platform" that is a file or a link is refused: rights are never granted
//   through a link to a directory elsewhere.
// - no arguments: the platform itself, a window titled "orvo game" that stays
//   until it is closed (exit 0).
// - anything else, or any failure: one line on standard error (when the process
//   has one) and a non-zero exit code that names the cause (PlatformExit).
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>
#include <shellapi.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/NoFollowFile.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"

namespace orvo::platform {

enum PlatformExit : int {
  kExitOk = 0,
  kExitUsage = 2,
  kExitIdentityFile = 4,      // the SID file cannot be read or written
  kExitIdentityInvalid = 5,   // the SID file holds no SID in the expected form
  kExitDataDirectory = 6,     // ".platform" cannot be made or configured
  kExitUserUnknown = 7,       // the running user's SID cannot be read
  kExitWindow = 8,            // the platform window cannot be shown
};

// What a test variant does wrong; OrvoQ9.exe itself runs with `None`.
enum class PlatformFault {
  None,
  Exit3,     // both waited modes exit with 3 and do nothing
  Hang,      // both waited modes never end
  WrongSid,  // records a valid SID that is not the running user's
  CrLfSid,   // records the SID followed by CR LF
};

inline constexpr wchar_t kRecordOption[] = L"--record-install-user";
inline constexpr wchar_t kConfigureOption[] = L"--configure-platform-install";
inline constexpr wchar_t kDataDirectoryName[] = L".platform";
inline constexpr wchar_t kWindowTitle[] = L"orvo game";
inline constexpr wchar_t kWindowClass[] = L"OrvoQ9PlatformWindow";
// Read, write, execute and delete for the recorded user: what the installer
// grants its own identity directory as "modify".
inline constexpr DWORD kModifyMask = 0x1301BF;
// A SID text is short; anything longer is not a SID file.
inline constexpr std::uint64_t kMaxIdentityFileSize = 256;

class PlatformFailure : public std::runtime_error {
 public:
  PlatformFailure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

[[noreturn]] inline void failPlatform(int code, const std::string& message) { throw PlatformFailure(code, message); }

inline void reportPlatformError(const std::string& message) {
  const std::string line = "OrvoQ9: " + message + "\n";
  ::OutputDebugStringA(line.c_str());
  // A GUI program has standard error only when its starter handed one over.
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

inline std::wstring sidToText(PSID sid) {
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(sid, text.put())) failPlatform(kExitUserUnknown, "cannot convert the user's SID");
  return text.get();
}

// The token user's SID of this process, as a copy the caller owns.
inline std::vector<unsigned char> currentUserSid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    failPlatform(kExitUserUnknown, "cannot open the process token");
  }
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    failPlatform(kExitUserUnknown, "cannot read the token user");
  }
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<unsigned char> copy(::GetLengthSid(sid));
  if (!::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) {
    failPlatform(kExitUserUnknown, "cannot copy the token user");
  }
  return copy;
}

// The same SID with its last sub-authority moved by one: well-formed, but
// another account.
inline void makeSidOfAnotherUser(std::vector<unsigned char>& sid) {
  const PSID value = sid.data();
  const UCHAR count = *::GetSidSubAuthorityCount(value);
  if (count == 0) failPlatform(kExitUserUnknown, "the user's SID has no sub-authority");
  *::GetSidSubAuthority(value, count - 1) += 1;
}

inline void writeWholeFile(const std::wstring& path, const std::string& bytes) {
  UniqueHandle file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) failPlatform(kExitIdentityFile, "cannot create " + wideToUtf8(path));
  DWORD written = 0;
  if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !::FlushFileBuffers(file.get())) {
    failPlatform(kExitIdentityFile, "cannot write " + wideToUtf8(path));
  }
}

inline std::string readIdentityFile(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) failPlatform(kExitIdentityFile, "cannot open " + wideToUtf8(path));
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) failPlatform(kExitIdentityFile, "cannot read " + wideToUtf8(path));
  if (static_cast<std::uint64_t>(size.QuadPart) > kMaxIdentityFileSize) {
    failPlatform(kExitIdentityInvalid, wideToUtf8(path) + " is too large to hold a SID");
  }
  std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
       read != bytes.size())) {
    failPlatform(kExitIdentityFile, "cannot read " + wideToUtf8(path));
  }
  return bytes;
}

// The one SID the identity file records. Only the numeric "S-1-..." form is
// taken: the system would also accept abbreviations such as "BA"
// (Administrators), which no recording ever writes.
inline UniqueLocal<PSID> parseRecordedSid(const std::string& bytes) {
  std::string text = bytes;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  bool wellFormed = text.size() > 4 && text.compare(0, 4, "S-1-") == 0;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || c == '-' || c == 'S')) wellFormed = false;
  }
  UniqueLocal<PSID> sid;
  if (!wellFormed || !::ConvertStringSidToSidW(utf8ToWide(text).c_str(), sid.put()) || !::IsValidSid(sid.get())) {
    failPlatform(kExitIdentityInvalid, "the identity file does not hold one SID");
  }
  return sid;
}

inline std::wstring programDirectory() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) failPlatform(kExitDataDirectory, "cannot locate the program");
  path.resize(length);
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// ".platform" beside the program, created when missing, opened without
// following links; a file or a link there is refused rather than configured.
// The returned handle is the directory whose access list is changed, so that
// nothing swapped in by name meanwhile gets the rights.
struct DataDirectory {
  std::wstring path;
  UniqueHandle handle;
};

inline DataDirectory ensureDataDirectory() {
  const std::wstring directory = programDirectory() + L"\\" + kDataDirectoryName;
  const DWORD attributes = ::GetFileAttributesW(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      failPlatform(kExitDataDirectory, "cannot inspect " + wideToUtf8(directory));
    }
    if (!::CreateDirectoryW(directory.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      failPlatform(kExitDataDirectory, "cannot create " + wideToUtf8(directory));
    }
  }
  // Asked by name as well as through the handle: some platforms open a
  // directory link's target even when told not to follow it.
  const DWORD now = ::GetFileAttributesW(directory.c_str());
  if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_REPARSE_POINT)) {
    failPlatform(kExitDataDirectory, wideToUtf8(directory) + " is a link; not configured");
  }
  UniqueHandle handle = openNoFollow(directory, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (!handle) failPlatform(kExitDataDirectory, "cannot inspect " + wideToUtf8(directory));
  switch (nodeKindOf(handle.get())) {
    case NodeKind::Directory:
      return DataDirectory{directory, std::move(handle)};
    case NodeKind::Link:
      failPlatform(kExitDataDirectory, wideToUtf8(directory) + " is a link; not configured");
    default:
      failPlatform(kExitDataDirectory, wideToUtf8(directory) + " is not a directory");
  }
}

// `existing` (may be null) plus one allow entry of modify rights for `sid`,
// inherited by subdirectories and files; the system merges it with an entry
// the SID already has.
inline UniqueLocal<PACL> buildModifyGrant(PACL existing, PSID sid) {
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = kModifyMask;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  ::BuildTrusteeWithSidW(&access.Trustee, sid);
  UniqueLocal<PACL> merged;
  if (::SetEntriesInAclW(1, &access, existing, merged.put()) != ERROR_SUCCESS) {
    failPlatform(kExitDataDirectory, "cannot build the access list");
  }
  return merged;
}

inline void grantModify(const DataDirectory& directory, PSID sid) {
  PACL existing = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetSecurityInfo(directory.handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &existing, nullptr, descriptor.put()) != ERROR_SUCCESS) {
    failPlatform(kExitDataDirectory, "cannot read the access list of " + wideToUtf8(directory.path));
  }
  const UniqueLocal<PACL> merged = buildModifyGrant(existing, sid);
  if (::SetSecurityInfo(directory.handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        merged.get(), nullptr) != ERROR_SUCCESS) {
    failPlatform(kExitDataDirectory, "cannot write the access list of " + wideToUtf8(directory.path));
  }
}

inline void recordInstallUser(const std::wstring& sidFile, PlatformFault fault) {
  std::vector<unsigned char> sid = currentUserSid();
  if (fault == PlatformFault::WrongSid) makeSidOfAnotherUser(sid);
  const std::string line = wideToUtf8(sidToText(sid.data())) + (fault == PlatformFault::CrLfSid ? "\r\n" : "\n");
  writeWholeFile(sidFile, line);
}

inline void configurePlatformInstall(const std::wstring& sidFile) {
  // The SID is checked before anything is created, so bad input leaves no trace.
  const UniqueLocal<PSID> sid = parseRecordedSid(readIdentityFile(sidFile));
  grantModify(ensureDataDirectory(), sid.get());
}

inline LRESULT CALLBACK platformWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint{};
      const HDC dc = ::BeginPaint(window, &paint);
      RECT client{};
      ::GetClientRect(window, &client);
      ::FillRect(dc, &client, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
      ::SetBkMode(dc, TRANSPARENT);
      ::SetTextColor(dc, RGB(0xE8, 0xC5, 0x6A));
      ::DrawTextW(dc, kWindowTitle, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      ::EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

inline int runPlatformWindow() {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = platformWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClass;
  if (!::RegisterClassExW(&windowClass)) failPlatform(kExitWindow, "cannot register the window class");
  const HWND window = ::CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 640, 360, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) failPlatform(kExitWindow, "cannot create the window");
  // SW_SHOWDEFAULT follows the starter's show-window setting.
  ::ShowWindow(window, SW_SHOWDEFAULT);
  ::UpdateWindow(window);
  MSG message{};
  BOOL got = 0;
  while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return got < 0 ? kExitWindow : static_cast<int>(message.wParam);
}

inline std::vector<std::wstring> commandArguments() {
  int count = 0;
  UniqueLocal<wchar_t**> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!argv) failPlatform(kExitUsage, "cannot read the command line");
  // The first element is the program itself.
  return count > 1 ? std::vector<std::wstring>(argv.get() + 1, argv.get() + count) : std::vector<std::wstring>{};
}

// The whole program: returns the process exit code, never throws.
inline int runPlatform(PlatformFault fault) noexcept {
  try {
    const std::vector<std::wstring> arguments = commandArguments();
    if (arguments.empty()) return runPlatformWindow();
    const bool record = arguments[0] == kRecordOption;
    if (!record && arguments[0] != kConfigureOption) {
      failPlatform(kExitUsage, "unknown option " + wideToUtf8(arguments[0]));
    }
    if (arguments.size() != 2 || arguments[1].empty()) {
      failPlatform(kExitUsage, wideToUtf8(arguments[0]) + " takes one identity file path");
    }
    if (fault == PlatformFault::Exit3) return 3;
    if (fault == PlatformFault::Hang) {
      for (;;) ::Sleep(INFINITE);
    }
    if (record) {
      recordInstallUser(arguments[1], fault);
    } else {
      configurePlatformInstall(arguments[1]);
    }
    return kExitOk;
  } catch (const PlatformFailure& failure) {
    reportPlatformError(failure.what());
    return failure.code();
  } catch (const std::exception& failure) {
    reportPlatformError(failure.what());
    return 1;
  }
}

}  // namespace orvo::platform
