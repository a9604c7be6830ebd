// The unavoidable pieces of an install, each alone under the same Wine as the
// installer (install.bench.sh adds them up into the install's floor):
//   floor-bench window                 a trivial window: shown, closed, process ends
//   floor-bench timer                  the same window, closed by a 500 ms timer
//   floor-bench cng <file>             one CNG SHA-256 pass over the file's bytes held in memory
//                                      (median of 3): "cng <seconds> <bytes>"
//   floor-bench copies <from> <to>     copies every file below <from> to <to>, each flushed
//                                      through a write-through handle: "copies <seconds> <bytes>"
//   floor-bench runs <program> <dir>   the platform program's two configuration runs, waited
//                                      for, started from this process: "runs <seconds>"
//   floor-bench checks <count>         <count> walks of a process snapshot, each process's name
//                                      compared: "checks <seconds>"
//   floor-bench resources <exe> <dll> <dir>
//                                      the 7-Zip pair, held in memory, written into <dir> in one
//                                      write each: "resources <seconds>"
//   floor-bench extract <7z.exe> <archive> <dir>
//                                      7-Zip's extraction started as the installer starts it: a
//                                      hidden console child writing its percentages into a pipe
//                                      that this process reads to the end: "extract <seconds>"
//   floor-bench journal <dir> <count> <root> <from> fresh|upgrade
//                                      <count> journal publications of the size a transaction
//                                      over the files below <from> (the marker among them) writes: "journal <seconds> <bytes>"
//   floor-bench marker <dir>           the candidate marker written and flushed twice, each
//                                      time digested: "marker <seconds>"
//   floor-bench moves <from> <to>      every file below <from> moved below <to> with write-through:
//                                      "moves <seconds> <files>"
//   floor-bench remove <dir>           every file below <dir> deleted, then its directories:
//                                      "remove <seconds> <files>"
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tools/bench/FloorWork.h"

namespace {

using orvo::bench::Clock;
using orvo::bench::secondsSince;

constexpr UINT_PTR kTimer = 1;

LRESULT CALLBACK trivialWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

// A visible, painted 900 x 550 window: what any windowed installer pays to start and end.
int trivialWindow(bool withTimer) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = trivialWindowProc;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = L"FloorBenchWindow";
  if (!::RegisterClassExW(&windowClass)) return 1;
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"floor", WS_POPUP, 100, 100, 900, 550, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
  if (window == nullptr) return 1;
  ::ShowWindow(window, SW_SHOW);
  ::UpdateWindow(window);
  if (withTimer) {
    ::SetTimer(window, kTimer, 500, nullptr);
  } else {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
  }
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return 0;
}

unsigned long long bytesOf(const std::vector<std::filesystem::path>& files) {
  unsigned long long total = 0;
  for (const auto& file : files) total += std::filesystem::file_size(file);
  return total;
}

// One waited run of the program with the given argument text.
void runWaited(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory) {
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, directory.c_str(), &startup, &process)) {
    throw std::runtime_error("CreateProcessW failed");
  }
  orvo::UniqueHandle processHandle(process.hProcess);
  orvo::UniqueHandle threadHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  if (code != 0) throw std::runtime_error("platform run failed with " + std::to_string(code));
}

// One walk of the process list as a running-program check makes it when no
// listed program runs: a snapshot, and every name lowered and compared.
void walkProcesses() {
  orvo::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) throw std::runtime_error("CreateToolhelp32Snapshot failed");
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int matches = 0;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    std::wstring name = entry.szExeFile;
    for (auto& c : name) c = static_cast<wchar_t>(::towlower(c));
    for (const wchar_t* listed : {L"dnf.exe", L"dnfchina.exe", L"dfo.exe", L"arad.exe", L"orvoq9.exe", L"orvo game.exe",
                                  L"orvogame.exe"}) {
      if (name == listed) ++matches;
    }
  }
  if (matches != 0) throw std::runtime_error("a listed program runs; the walk would open it");
}

void writeAll(const std::wstring& path, const std::vector<std::uint8_t>& bytes, DWORD flags) {
  orvo::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, flags, nullptr));
  DWORD written = 0;
  if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    throw std::runtime_error("write failed");
  }
  if ((flags & FILE_FLAG_WRITE_THROUGH) != 0 && !::FlushFileBuffers(file.get())) throw std::runtime_error("flush failed");
}

// 7-Zip started with the flags, handles and command line of the installer's
// extraction; the pipe is read to its end in 4 KiB pieces.
void extractHidden(const std::wstring& program, const std::wstring& archive, const std::wstring& directory) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  orvo::UniqueHandle reader(readEnd);
  orvo::UniqueHandle writer(writeEnd);
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  orvo::UniqueHandle nul(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                       0, nullptr));
  if (!nul) throw std::runtime_error("cannot open NUL");
  std::wstring commandLine = L"\"" + program + L"\" x -y -aoa -bsp1 -bso1 -bse1 \"" + archive + L"\" -o\"" + directory + L"\"";
  const std::wstring workDirectory = std::filesystem::path(program).parent_path().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = nul.get();
  startup.hStdOutput = writer.get();
  startup.hStdError = writer.get();
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        workDirectory.c_str(), &startup, &process)) {
    throw std::runtime_error("CreateProcessW failed");
  }
  orvo::UniqueHandle processHandle(process.hProcess);
  orvo::UniqueHandle threadHandle(process.hThread);
  writer.reset();
  char piece[4096];
  DWORD got = 0;
  while (::ReadFile(reader.get(), piece, sizeof piece, &got, nullptr) && got != 0) {
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 2;
  ::GetExitCodeProcess(process.hProcess, &code);
  if (code > 1) throw std::runtime_error("7-Zip failed with " + std::to_string(code));
}

// Removes the directories below and including `directory`, deepest first, once their files are gone.
void removeDirectories(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> directories{directory};
  for (const auto& item : std::filesystem::recursive_directory_iterator(directory)) {
    if (item.is_directory()) directories.push_back(item.path());
  }
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    if (!::RemoveDirectoryW(it->c_str())) throw std::runtime_error("RemoveDirectoryW failed");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"window" && argc == 2) return trivialWindow(false);
    if (mode == L"timer" && argc == 2) return trivialWindow(true);
    if (mode == L"cng" && argc == 3) {
      const auto bytes = orvo::bench::readWhole(argv[2]);
      std::vector<double> passes;
      for (int i = 0; i < 3; ++i) passes.push_back(orvo::bench::cngPassSeconds(bytes));
      std::printf("cng %.4f %llu\n", orvo::bench::median(passes), static_cast<unsigned long long>(bytes.size()));
      return 0;
    }
    if (mode == L"copies" && argc == 4) {
      const std::filesystem::path from(argv[2]);
      const auto files = orvo::bench::filesUnder(from);
      const double seconds = orvo::bench::writeThroughCopies(from, files, argv[3]);
      std::printf("copies %.4f %llu\n", seconds, bytesOf(files));
      return 0;
    }
    if (mode == L"runs" && argc == 4) {
      const std::wstring program = argv[2];
      const std::wstring directory = argv[3];
      const std::wstring identity = directory + L"\\installer-user.sid";
      const auto start = Clock::now();
      runWaited(program, L"--record-install-user \"" + identity + L"\"", directory);
      runWaited(program, L"--configure-platform-install \"" + identity + L"\"", directory);
      std::printf("runs %.4f\n", secondsSince(start));
      return 0;
    }
    if (mode == L"checks" && argc == 3) {
      const int count = std::stoi(argv[2]);
      const auto start = Clock::now();
      for (int i = 0; i < count; ++i) walkProcesses();
      std::printf("checks %.4f\n", secondsSince(start));
      return 0;
    }
    if (mode == L"resources" && argc == 5) {
      const auto program = orvo::bench::readWhole(argv[2]);
      const auto library = orvo::bench::readWhole(argv[3]);
      const std::filesystem::path directory(argv[4]);
      const auto start = Clock::now();
      writeAll((directory / L"7z.exe").wstring(), program, FILE_ATTRIBUTE_NORMAL);
      writeAll((directory / L"7z.dll").wstring(), library, FILE_ATTRIBUTE_NORMAL);
      std::printf("resources %.4f\n", secondsSince(start));
      return 0;
    }
    if (mode == L"extract" && argc == 5) {
      const auto start = Clock::now();
      extractHidden(argv[2], argv[3], argv[4]);
      std::printf("extract %.4f\n", secondsSince(start));
      return 0;
    }
    if (mode == L"journal" && argc == 7) {
      const std::filesystem::path from(argv[5]);
      std::vector<std::filesystem::path> relative;
      for (const auto& file : orvo::bench::filesUnder(from)) relative.push_back(file.lexically_relative(from));
      const std::size_t bytes =
          orvo::bench::journalBytes(std::wstring(argv[4]).size(), relative, std::wstring(argv[6]) == L"upgrade");
      const double seconds = orvo::bench::journalWrites(argv[2], std::stoi(argv[3]), bytes);
      std::printf("journal %.4f %zu\n", seconds, bytes);
      return 0;
    }
    if (mode == L"marker" && argc == 3) {
      const std::string text = "{\"Product\":\"q9-platform-202\"}\n";
      const std::vector<std::uint8_t> content(text.begin(), text.end());
      const std::wstring path = (std::filesystem::path(argv[2]) / L"platform-installation.json").wstring();
      const auto start = Clock::now();
      for (int i = 0; i < 2; ++i) {
        writeAll(path, content, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH);
        orvo::sha256File(path);
      }
      std::printf("marker %.4f\n", secondsSince(start));
      return 0;
    }
    if (mode == L"moves" && argc == 4) {
      const std::filesystem::path from(argv[2]);
      const auto files = orvo::bench::filesUnder(from);
      std::printf("moves %.4f %zu\n", orvo::bench::writeThroughMoves(from, files, argv[3]), files.size());
      return 0;
    }
    if (mode == L"remove" && argc == 3) {
      const std::filesystem::path directory(argv[2]);
      const auto files = orvo::bench::filesUnder(directory);
      const auto start = Clock::now();
      orvo::bench::deleteFiles(files);
      removeDirectories(directory);
      std::printf("remove %.4f %zu\n", secondsSince(start), files.size());
      return 0;
    }
    std::fprintf(stderr,
                 "usage: floor-bench window | timer | cng FILE | copies FROM TO | runs PROGRAM DIR | checks COUNT |\n"
                 "  resources EXE DLL DIR | extract 7Z ARCHIVE DIR | journal DIR COUNT ROOT FROM fresh|upgrade |\n"
                 "  marker DIR | moves FROM TO | remove DIR\n");
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "floor-bench: %s\n", error.what());
    return 1;
  }
}
