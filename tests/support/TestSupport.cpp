#include "tests/support/TestSupport.h"

#include <objbase.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/PathText.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "txn/TransactionPathRules.h"

namespace orvo::test {

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  GUID guid{};
  ::CoCreateGuid(&guid);
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  std::wstring name(text);
  name = name.substr(1, 8);
  path_ = joinPath(temp, L"orvo-test-" + name);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() { removeTree(path_); }

std::wstring TempDir::operator/(const std::wstring& name) const { return joinPath(path_, name); }

void removeTree(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A link: remove the link itself, never what it points to.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      removeDirectoryLink(path);
    } else {
      ::DeleteFileW(path.c_str());
    }
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileW(path.c_str());
    return;
  }
  std::vector<std::wstring> children;
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(::FindFirstFileW(joinPath(path, L"*").c_str(), &data));
  if (find) {
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") children.push_back(joinPath(path, name));
    } while (::FindNextFileW(find.get(), &data));
  }
  find.reset();
  for (const auto& child : children) removeTree(child);
  ::RemoveDirectoryW(path.c_str());
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + wideToUtf8(path));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + wideToUtf8(path));
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool fileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directoryExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring windowsPathOf(const std::string& unixPath) {
  std::wstring result = L"Z:";
  for (char c : unixPath) result.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return result;
}

std::string unixPathOf(const std::wstring& windowsPath) {
  using Convert = char*(__cdecl*)(const wchar_t*);
  static const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) throw std::runtime_error("not running under Wine");
  char* unix = convert(windowsPath.c_str());
  if (unix == nullptr) throw std::runtime_error("no Unix path for " + wideToUtf8(windowsPath));
  std::string result(unix);
  ::HeapFree(::GetProcessHeap(), 0, unix);
  return result;
}

std::wstring buildDirectory() {
  wchar_t value[4096] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"ORVO_BUILD_DIR", value, 4096);
  if (n == 0 || n >= 4096) throw std::runtime_error("ORVO_BUILD_DIR is not set (run the tests through ctest)");
  std::wstring text(value, n);
  if (!text.empty() && text[0] == L'/') {
    std::string narrow = wideToUtf8(text);
    return windowsPathOf(narrow);
  }
  return text;
}

std::wstring installerExecutable() { return joinPath(buildDirectory(), L"OrvoGameSetup.exe"); }

std::wstring helperProgram(const std::wstring& name) { return joinPath(buildDirectory(), L"tests\\" + name + L".exe"); }

ChildProcess::~ChildProcess() {
  if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) terminate();
}

ChildProcess ChildProcess::start(const std::wstring& program, const std::wstring& arguments,
                                 const std::wstring& workingDirectory) {
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Under load Wine now and then refuses a start with ERROR_INTERNAL_ERROR
  // (1359) although nothing is wrong with the program: try again briefly.
  for (int attempt = 1;; ++attempt) {
    if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
      break;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
      throw std::runtime_error("cannot start " + wideToUtf8(program) + " (error " + std::to_string(error) + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
  }
  const UniqueHandle thread(info.hThread);
  ChildProcess child;
  child.process_.reset(info.hProcess);
  child.id_ = info.dwProcessId;
  return child;
}

long long ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

void ChildProcess::terminate() {
  if (!process_) return;
  ::TerminateProcess(process_.get(), 1);
  ::WaitForSingleObject(process_.get(), 10000);
}

ChildProcess startCopyAs(const std::wstring& program, const std::wstring& path, const std::wstring& arguments) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  if (!::CopyFileW(program.c_str(), path.c_str(), FALSE)) throw std::runtime_error("cannot copy to " + wideToUtf8(path));
  ChildProcess child = ChildProcess::start(path, arguments);
  for (int i = 0; i < 200; ++i) {
    wchar_t image[1024] = {};
    DWORD length = 1024;
    if (::QueryFullProcessImageNameW(child.handle(), 0, image, &length)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return child;
}

void endProcessIfRunning(DWORD processId, const std::wstring& program) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     processId));
  if (!process) return;
  std::wstring image(32768, L'\0');
  DWORD length = static_cast<DWORD>(image.size());
  if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) return;
  image.resize(length);
  if (orvo::lowercaseText(image) != orvo::lowercaseText(program)) return;
  ::TerminateProcess(process.get(), 0);
  ::WaitForSingleObject(process.get(), 10000);
}

DWORD runToExit(const std::wstring& program, const std::wstring& arguments, std::chrono::milliseconds timeout) {
  ChildProcess child = ChildProcess::start(program, arguments);
  const long long code = child.waitExit(timeout);
  if (code < 0) {
    child.terminate();
    throw std::runtime_error("timed out: " + wideToUtf8(program));
  }
  return static_cast<DWORD>(code);
}

void makeJunction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) {
    throw std::runtime_error("cannot create junction directory " + wideToUtf8(link));
  }
  UniqueHandle handle(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) throw std::runtime_error("cannot open junction directory " + wideToUtf8(link));
  // REPARSE_DATA_BUFFER with a MountPointReparseBuffer: tag, data length,
  // reserved, then substitute name offset/length and print name offset/length
  // (bytes, relative to the path buffer at byte 16), both names NUL-terminated.
  const std::wstring substitute = L"\\??\\" + target;
  const std::size_t substituteBytes = substitute.size() * 2;
  const std::size_t printBytes = target.size() * 2;
  const std::size_t pathBytes = substituteBytes + 2 + printBytes + 2;
  std::vector<std::uint8_t> buffer(16 + pathBytes, 0);
  auto put16 = [&](std::size_t at, std::size_t v) {
    buffer[at] = static_cast<std::uint8_t>(v);
    buffer[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  const std::uint32_t tag = IO_REPARSE_TAG_MOUNT_POINT;
  for (int i = 0; i < 4; ++i) buffer[i] = static_cast<std::uint8_t>(tag >> (8 * i));
  put16(4, 8 + pathBytes);
  put16(8, 0);
  put16(10, substituteBytes);
  put16(12, substituteBytes + 2);
  put16(14, printBytes);
  for (std::size_t i = 0; i < substitute.size(); ++i) put16(16 + 2 * i, static_cast<std::uint16_t>(substitute[i]));
  for (std::size_t i = 0; i < target.size(); ++i) {
    put16(16 + substituteBytes + 2 + 2 * i, static_cast<std::uint16_t>(target[i]));
  }
  DWORD returned = 0;
  if (!::DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                         nullptr, 0, &returned, nullptr)) {
    const DWORD code = ::GetLastError();
    handle.reset();
    ::RemoveDirectoryW(link.c_str());
    throw std::runtime_error("FSCTL_SET_REPARSE_POINT failed with " + std::to_string(code));
  }
}

void makeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  if (platformHasJunctions()) {
    makeJunction(link, target);
    return;
  }
  const std::string unixTarget = unixPathOf(target);
  // The link does not exist yet: convert its parent and append the name.
  const std::wstring parent(parentPathText(link));
  const std::wstring name = link.substr(parent.size() + (link.size() > parent.size() && isPathSeparator(link[parent.size()]) ? 1 : 0));
  const std::string unixLink = unixPathOf(parent) + "/" + wideToUtf8(name);
  const std::wstring arguments = L"-s \"" + utf8ToWide(unixTarget) + L"\" \"" + utf8ToWide(unixLink) + L"\"";
  // Wine starts a Unix program but its process handle never signals, so wait
  // for the link itself to appear instead of for the program to end.
  ChildProcess::start(L"Z:\\bin\\ln", arguments).detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  while (std::chrono::steady_clock::now() < deadline) {
    attributes = ::GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw std::runtime_error("link was not made or is not seen as a reparse point: " + wideToUtf8(link));
  }
}

void removeDirectoryLink(const std::wstring& link) {
  if (platformHasJunctions()) {
    ::RemoveDirectoryW(link.c_str());
    return;
  }
  const std::wstring parent(parentPathText(link));
  const std::wstring name = link.substr(parent.size() + 1);
  const std::string unixLink = unixPathOf(parent) + "/" + wideToUtf8(name);
  ChildProcess::start(L"Z:\\bin\\rm", L"-f \"" + utf8ToWide(unixLink) + L"\"").detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline && ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

// Makes a junction in a scratch directory and reads it back; true only when
// both the creation and the read of a mount-point reparse buffer work.
bool probeJunctions() {
  try {
    TempDir scratch;
    const std::wstring target = scratch / L"target";
    const std::wstring link = scratch / L"link";
    if (!::CreateDirectoryW(target.c_str(), nullptr)) return false;
    makeJunction(link, target);
    UniqueHandle handle(::CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    std::vector<std::uint8_t> buffer(16384);
    DWORD returned = 0;
    const bool read = handle && ::DeviceIoControl(handle.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), &returned, nullptr) &&
                      returned >= 16;
    handle.reset();
    // Removed here, as a junction: the scratch directory's own clean-up
    // would ask this probe again.
    ::RemoveDirectoryW(link.c_str());
    const std::uint32_t tag = static_cast<std::uint32_t>(buffer[0]) | (static_cast<std::uint32_t>(buffer[1]) << 8) |
                              (static_cast<std::uint32_t>(buffer[2]) << 16) |
                              (static_cast<std::uint32_t>(buffer[3]) << 24);
    return read && tag == IO_REPARSE_TAG_MOUNT_POINT;
  } catch (const std::exception&) {
    return false;
  }
}

bool probeFileStreams() {
  try {
    TempDir scratch;
    const std::wstring file = scratch / L"probe.bin";
    writeBytes(file, "x");
    WIN32_FIND_STREAM_DATA data{};
    UniqueFindHandle find(::FindFirstStreamW(file.c_str(), FindStreamInfoStandard, &data, 0));
    return find.valid() && std::wstring(data.cStreamName) == L"::$DATA";
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool platformHasJunctions() {
  static const bool available = probeJunctions();
  return available;
}

bool platformHasFileStreams() {
  static const bool available = probeFileStreams();
  return available;
}

namespace {

struct DialogSearch {
  DWORD processId;
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK findDialog(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<DialogSearch*>(parameter);
  wchar_t className[64] = {};
  ::GetClassNameW(window, className, 64);
  if (std::wstring(className) != L"#32770") return TRUE;
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (search->processId != 0 && owner != search->processId) return TRUE;
  wchar_t caption[256] = {};
  ::GetWindowTextW(window, caption, 256);
  if (search->caption != caption) return TRUE;
  search->found = window;
  return FALSE;
}

BOOL CALLBACK collectStaticText(HWND child, LPARAM parameter) {
  wchar_t className[64] = {};
  ::GetClassNameW(child, className, 64);
  if (std::wstring(className) == L"Static") {
    wchar_t text[2048] = {};
    ::GetWindowTextW(child, text, 2048);
    if (text[0] != 0) *reinterpret_cast<std::wstring*>(parameter) += text;
  }
  return TRUE;
}

}  // namespace

std::wstring answerMessageBox(DWORD processId, const std::wstring& caption, int button,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    DialogSearch search{processId, caption};
    ::EnumWindows(&findDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      std::wstring text;
      ::EnumChildWindows(search.found, &collectStaticText, reinterpret_cast<LPARAM>(&text));
      // Wait until the box has its text, then press the button.
      if (!text.empty()) {
        ::PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return text;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("no message box appeared with caption " + wideToUtf8(caption));
}

CrossProcessLock::CrossProcessLock(const wchar_t* name) : mutex_(::CreateMutexW(nullptr, FALSE, name)) {
  if (!mutex_) throw std::runtime_error("cannot create the lock " + wideToUtf8(name));
  const DWORD result = ::WaitForSingleObject(mutex_.get(), 240000);
  // An abandoned mutex belonged to a test process that died; the lock is ours now.
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) throw std::runtime_error("lock timed out: " + wideToUtf8(name));
}

CrossProcessLock::~CrossProcessLock() { ::ReleaseMutex(mutex_.get()); }

namespace {

struct TopLevelSearch {
  DWORD processId;
  const std::wstring* className;
  const std::wstring* title;
  HWND found;
};

BOOL CALLBACK matchTopLevelWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<TopLevelSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner != search->processId || !::IsWindowVisible(window)) return TRUE;
  wchar_t text[256] = {};
  ::GetClassNameW(window, text, 256);
  if (!search->className->empty() && *search->className != text) return TRUE;
  ::GetWindowTextW(window, text, 256);
  if (!search->title->empty() && *search->title != text) return TRUE;
  search->found = window;
  return FALSE;
}

void snapshotInto(const std::wstring& root, const std::wstring& relative,
                  std::map<std::wstring, std::wstring>& snapshot) {
  const std::wstring directory = relative.empty() ? root : joinPath(root, relative);
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(
      ::FindFirstFileExW(joinPath(directory, L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
  if (!find) throw std::runtime_error("cannot list " + wideToUtf8(directory));
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      snapshot[child] = L"<dir>";
      snapshotInto(root, child, snapshot);
    } else {
      snapshot[child] = sha256File(joinPath(root, child));
    }
  } while (::FindNextFileW(find.get(), &data));
}

}  // namespace

HWND waitForTopLevelWindow(DWORD processId, const std::wstring& className, const std::wstring& title,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  TopLevelSearch search{processId, &className, &title, nullptr};
  for (;;) {
    ::EnumWindows(matchTopLevelWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr || std::chrono::steady_clock::now() >= deadline) return search.found;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::map<std::wstring, std::wstring> snapshotTree(const std::wstring& root) {
  std::map<std::wstring, std::wstring> snapshot;
  if (directoryExists(root)) snapshotInto(root, L"", snapshot);
  return snapshot;
}

void clickOnWindow(HWND window, POINT screenPoint) {
  const CrossProcessLock turn(kDesktopCursorLock);
  for (int attempt = 0;; ++attempt) {
    ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const HWND hit = ::WindowFromPoint(screenPoint);
    if (hit != nullptr && ::GetAncestor(hit, GA_ROOT) == window) break;
    if (attempt == 100) throw std::runtime_error("another window stays over the point to click");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The point travels with each event: a button event alone would take the
  // cursor position the input system knows, which can still be the old one.
  const auto normalised = [](LONG value, int metric) {
    return static_cast<LONG>(::MulDiv(value, 65535, ::GetSystemMetrics(metric) - 1));
  };
  INPUT inputs[2] = {};
  for (INPUT& input : inputs) {
    input.type = INPUT_MOUSE;
    input.mi.dx = normalised(screenPoint.x, SM_CXSCREEN);
    input.mi.dy = normalised(screenPoint.y, SM_CYSCREEN);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  }
  inputs[0].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
  inputs[1].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
  if (::SendInput(2, inputs, sizeof(INPUT)) != 2) throw std::runtime_error("SendInput failed");
}

}  // namespace orvo::test
