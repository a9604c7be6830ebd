// A process that only waits: tests copy it under game-client and platform names
// into chosen directories and end it by its process id. It ends by itself after
// the given number of seconds (default 120), so a failed test never leaves it
// behind for long.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const long seconds = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 120;
  ::Sleep(static_cast<DWORD>(seconds > 0 ? seconds : 120) * 1000);
  return 0;
}
