#include "tests/support/TestSupport.h"

#include <objbase.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/Utf.h"
#include "payload/Sha256.h"

namespace orvo::test {
namespace {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passes.
template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

DWORD attributesOf(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

// Wine's shell tools: their handles never signal, so the caller waits for the effect.
void startUnixTool(const wchar_t* tool, const std::wstring& arguments) {
  ChildProcess::start(std::wstring(L"Z:\\bin\\") + tool, arguments).detach();
}

std::string unixPathBelow(const std::wstring& path) {
  const std::wstring parent(parentPathText(path));
  return unixPathOf(parent) + "/" + wideToUtf8(path.substr(parent.size() + 1));
}

}  // namespace

TempDir::TempDir() {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  GUID guid{};
  ::CoCreateGuid(&guid);
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  path_ = joinPath(temp, L"orvo-test-" + std::wstring(text).substr(1, 8));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() { removeTree(path_); }

void removeTree(const std::wstring& path) {
  const DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return removeDirectoryLink(path);
  ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileW(path.c_str());
    return;
  }
  std::vector<std::wstring> children;
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(::FindFirstFileW(joinPath(path, L"*").c_str(), &data));
  for (bool more = find.valid(); more; more = ::FindNextFileW(find.get(), &data)) {
    if (std::wstring(data.cFileName) != L"." && std::wstring(data.cFileName) != L"..") {
      children.push_back(joinPath(path, data.cFileName));
    }
  }
  find.reset();
  for (const auto& child : children) removeTree(child);
  ::RemoveDirectoryW(path.c_str());
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) throw std::runtime_error("cannot write " + wideToUtf8(path));
}

std::string readBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + wideToUtf8(path));
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string unixPathOf(const std::wstring& windowsPath) {
  using Convert = char*(__cdecl*)(const wchar_t*);
  static const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = convert == nullptr ? nullptr : convert(windowsPath.c_str());
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
  if (text[0] != L'/') return text;
  for (auto& c : text) c = c == L'/' ? L'\\' : c;
  return L"Z:" + text;
}

ChildProcess::~ChildProcess() {
  if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) terminate();
}

ChildProcess ChildProcess::start(const std::wstring& program, const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
  STARTUPINFOW startup{static_cast<DWORD>(sizeof(STARTUPINFOW))};
  PROCESS_INFORMATION info{};
  // Under load Wine now and then refuses a start with ERROR_INTERNAL_ERROR
  // although nothing is wrong with the program: try again briefly.
  for (int attempt = 1; !::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                          nullptr, &startup, &info);
       ++attempt) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
      throw std::runtime_error("cannot start " + wideToUtf8(program) + " (error " + std::to_string(error) + ")");
    }
    std::this_thread::sleep_for(200ms * attempt);
  }
  const UniqueHandle thread(info.hThread);
  ChildProcess child;
  child.process_.reset(info.hProcess);
  child.id_ = info.dwProcessId;
  return child;
}

long long ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  DWORD code = 0;
  if (::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) return -1;
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
  waitUntil([&] {
    wchar_t image[1024] = {};
    DWORD length = 1024;
    return ::QueryFullProcessImageNameW(child.handle(), 0, image, &length) != FALSE;
  }, 5s);
  return child;
}

DWORD runToExit(const std::wstring& program, const std::wstring& arguments, std::chrono::milliseconds timeout) {
  ChildProcess child = ChildProcess::start(program, arguments);
  const long long code = child.waitExit(timeout);
  if (code < 0) throw std::runtime_error("timed out: " + wideToUtf8(program));
  return static_cast<DWORD>(code);
}

void makeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  startUnixTool(L"ln", L"-s \"" + utf8ToWide(unixPathOf(target)) + L"\" \"" + utf8ToWide(unixPathBelow(link)) + L"\"");
  if (!waitUntil([&] { return attributesOf(link) != INVALID_FILE_ATTRIBUTES; }, 20s) ||
      !(attributesOf(link) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw std::runtime_error("link was not made or is not seen as a reparse point: " + wideToUtf8(link));
  }
}

void removeDirectoryLink(const std::wstring& link) {
  startUnixTool(L"rm", L"-f \"" + utf8ToWide(unixPathBelow(link)) + L"\"");
  waitUntil([&] { return attributesOf(link) == INVALID_FILE_ATTRIBUTES; }, 20s);
}

HWND findMessageBox(DWORD processId, const std::wstring& caption, std::wstring& text) {
  // An answered box is hidden at once, though it stays listed a while longer.
  HWND box = nullptr;
  DWORD owner = 0;
  while ((box = ::FindWindowExW(nullptr, box, L"#32770", caption.c_str())) &&
         (!::GetWindowThreadProcessId(box, &owner) || owner != processId || !::IsWindowVisible(box))) {}
  // The box's text is read from its static control once it has one.
  wchar_t shown[2048] = {};
  if (!box || !::GetDlgItemTextW(box, 0xFFFF, shown, 2048)) return nullptr;
  text = shown;
  return box;
}

HWND installerWindow(DWORD processId, std::chrono::milliseconds timeout) {
  HWND window = nullptr;
  waitUntil([&] {
    DWORD owner = 0;
    while ((window = ::FindWindowExW(nullptr, window, L"OrvoGameInstaller", nullptr)) &&
           (!::GetWindowThreadProcessId(window, &owner) || owner != processId || !::IsWindowVisible(window) ||
            !::GetDlgItem(window, 1001))) {}
    return window != nullptr;
  }, timeout);
  if (window == nullptr) throw std::runtime_error("the installer window did not appear");
  return window;
}

std::wstring answerMessageBox(DWORD processId, const std::wstring& caption, int button, std::chrono::milliseconds timeout) {
  std::wstring text;
  const bool answered = waitUntil([&] {
    const HWND box = findMessageBox(processId, caption, text);
    return box && ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
  }, timeout);
  if (!answered) throw std::runtime_error("no message box appeared with caption " + wideToUtf8(caption));
  return text;
}

std::map<std::wstring, std::wstring> snapshotTree(const std::wstring& root) {
  std::map<std::wstring, std::wstring> snapshot;
  std::vector<std::wstring> pending = {L""};
  while (directoryExists(root) && !pending.empty()) {
    const std::wstring relative = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW data{};
    UniqueFindHandle find(::FindFirstFileExW(joinPath(joinPath(root, relative), L"*").c_str(), FindExInfoBasic, &data,
                                             FindExSearchNameMatch, nullptr, 0));
    if (!find) throw std::runtime_error("cannot list " + wideToUtf8(joinPath(root, relative)));
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
      const bool directory = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      snapshot[child] = directory ? L"<dir>" : sha256File(joinPath(root, child));
      if (directory) pending.push_back(child);
    } while (::FindNextFileW(find.get(), &data));
  }
  return snapshot;
}

CrossProcessLock::CrossProcessLock(const wchar_t* name) : mutex_(::CreateMutexW(nullptr, FALSE, name)) {
  // An abandoned mutex belonged to a test process that died; the lock is ours now.
  const DWORD result = mutex_ ? ::WaitForSingleObject(mutex_.get(), 240000) : WAIT_FAILED;
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) throw std::runtime_error("cannot take the lock " + wideToUtf8(name));
}

CrossProcessLock::~CrossProcessLock() { ::ReleaseMutex(mutex_.get()); }

}  // namespace orvo::test
