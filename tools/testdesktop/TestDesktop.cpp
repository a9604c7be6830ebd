// A stand-in desktop shell for machines without one (Wine): it creates a window
// and makes it the shell window, so that GetShellWindow names a process whose
// token is the desktop user's. It runs until its window is closed or the
// process is ended.
//
// Usage: OrvoTestDesktop.exe [ready-file]
// The ready file is written once a shell window exists (this one or one that
// was already there), so that a starter can wait for it. When another shell
// window exists already, the program exits at once with 0.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

// Exported by user32 but left out of the SDK headers.
extern "C" __declspec(dllimport) BOOL WINAPI SetShellWindow(HWND window);

namespace {

LRESULT CALLBACK shellWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void writeReadyFile(const wchar_t* path) {
  if (path == nullptr) return;
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  char text[32] = {};
  const int length = std::snprintf(text, sizeof text, "%lu\n", ::GetCurrentProcessId());
  DWORD written = 0;
  ::WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
  ::CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  const wchar_t* readyFile = (argv != nullptr && count > 1) ? argv[1] : nullptr;

  int exitCode = 0;
  if (::GetShellWindow() != nullptr) {
    writeReadyFile(readyFile);
  } else {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = shellWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"OrvoTestDesktopShell";
    ::RegisterClassW(&windowClass);
    // A plain, hidden, non-topmost window: SetShellWindow refuses topmost ones.
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Test desktop shell", WS_POPUP, 0, 0, 1, 1,
                                    nullptr, nullptr, instance, nullptr);
    if (window == nullptr || !::SetShellWindow(window)) {
      exitCode = 1;
    } else {
      writeReadyFile(readyFile);
      MSG message{};
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
    }
  }
  if (argv != nullptr) ::LocalFree(argv);
  return exitCode;
}
