// Stands in for the 7-Zip console program where the real one cannot be made to
// behave as a test needs (it never ends with exit code 1 on extraction). Takes
// the extractor's command line; the "archive" is a script:
//   first line: the exit code (decimal, may be negative);
//   then pieces separated by a line "--": each is written to standard output
//   (or to standard error when it starts with "E:"), with a pause after it so
//   that the reader gets it as a piece of its own.
// It records what it was given in "<archive>.invocation" (UTF-8 lines): the
// whole command line, the current directory and the number of bytes that
// standard input delivered.
#include <windows.h>
// shellapi.h needs the declarations of windows.h first.
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/Utf.h"

namespace {

void writeAll(HANDLE handle, const std::string& bytes) {
  DWORD written = 0;
  ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 9) return 7;
  const std::wstring archive = argv[7];
  ::LocalFree(argv);

  std::ifstream in(std::filesystem::path(archive), std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string script = content.str();

  wchar_t directory[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  char input[16];
  DWORD inputBytes = 0;
  ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), input, sizeof input, &inputBytes, nullptr);
  std::ofstream record(std::filesystem::path(archive + L".invocation"), std::ios::binary);
  record << orvo::wideToUtf8(::GetCommandLineW()) << "\n" << orvo::wideToUtf8(directory) << "\n" << inputBytes << "\n";
  record.close();

  const std::size_t firstLine = script.find('\n');
  const int exitCode = std::stoi(script.substr(0, firstLine));
  std::string rest = firstLine == std::string::npos ? std::string() : script.substr(firstLine + 1);
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t end = rest.find("\n--\n", start);
    pieces.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 4;
  }
  for (const auto& piece : pieces) {
    if (piece.rfind("E:", 0) == 0) {
      writeAll(::GetStdHandle(STD_ERROR_HANDLE), piece.substr(2));
    } else {
      writeAll(::GetStdHandle(STD_OUTPUT_HANDLE), piece);
    }
    ::Sleep(150);
  }
  return exitCode;
}
