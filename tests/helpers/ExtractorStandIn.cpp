// Stands in for the 7-Zip console program where the real one cannot be made to
// end with exit code 1 or to keep running. Takes the extractor's command line;
// the "archive" holds "<exit code> <seconds> <output>": the output goes to
// standard error, then the program waits the seconds and ends with the code.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

int wmain(int argc, wchar_t** argv) {
  int code = 7, seconds = 0;
  std::string output;
  if (argc == 9) std::ifstream{std::filesystem::path(argv[7])} >> code >> seconds >> output;
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
  ::Sleep(static_cast<DWORD>(seconds) * 1000);
  return code;
}
