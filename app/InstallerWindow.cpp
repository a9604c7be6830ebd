#include "app/InstallerWindow.h"

#include <windowsx.h>

#include <cmath>
#include <cwctype>
#include <stdexcept>

namespace orvo {
namespace {

constexpr wchar_t kClassName[] = L"OrvoGameInstaller";

bool inside(int x, int y, int left, int right, int top, int bottom) {
  return x >= left && x <= right && y >= top && y <= bottom;
}

}  // namespace

InstallerWindow::InstallerWindow(HINSTANCE instance, InstallerSettings& settings, InstallStatus& status,
                                 InstallPipeline& pipeline)
    : instance_(instance), settings_(settings), status_(status), pipeline_(pipeline) {}

InstallerWindow::~InstallerWindow() {
  if (editFont_) ::DeleteObject(editFont_);
  if (editBrush_) ::DeleteObject(editBrush_);
}

HWND InstallerWindow::create() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &InstallerWindow::windowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, 48, 48, 0));
  windowClass.hIconSm = static_cast<HICON>(::LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kClassName;
  ::RegisterClassExW(&windowClass);

  const int width = static_cast<int>(900 * settings_.uiScale);
  const int height = static_cast<int>(550 * settings_.uiScale);
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  window_ = ::CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"orvo game 安装", WS_POPUP | WS_CLIPCHILDREN, x, y, width,
                              height, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) throw std::runtime_error("Cannot create installer window");
  ::ShowWindow(window_, SW_SHOW);
  ::UpdateWindow(window_);
  return window_;
}

LRESULT CALLBACK InstallerWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<InstallerWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<InstallerWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  return self->handle(message, wParam, lParam);
}

LRESULT InstallerWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      onCreate();
      return 0;
    case WM_PAINT:
      onPaint();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_LBUTTONUP:
      onLeftButtonUp(lParam);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kPathEditId && HIWORD(wParam) == EN_CHANGE) repaint();
      return 0;
    case WM_CTLCOLOREDIT:
      ::SetTextColor(reinterpret_cast<HDC>(wParam), RGB(238, 238, 245));
      ::SetBkColor(reinterpret_cast<HDC>(wParam), RGB(32, 33, 50));
      return reinterpret_cast<LRESULT>(editBrush_);
    case WM_TIMER:
      ::KillTimer(window_, kAutoRunTimer);
      startInstall();
      return 0;
    case WM_INSTALL_PROGRESS:
      repaint();
      return 0;
    case WM_INSTALL_FINISHED:
      if (wParam != 0) {
        ::DestroyWindow(window_);
      } else {
        status_.installBusy.store(false);
        ::ShowWindow(pathBox_, SW_SHOW);
        repaint();
        if (settings_.autoRun) ::DestroyWindow(window_);
      }
      return 0;
    case WM_CLOSE:
      if (status_.installBusy.load() && !status_.installSucceeded.load()) {
        ::MessageBoxW(window_, L"正在安装，请等待完成。", L"orvo game", MB_OK | MB_ICONINFORMATION);
      } else {
        ::DestroyWindow(window_);
      }
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(status_.installSucceeded.load() ? 0 : (settings_.autoRun ? 1 : 0));
      return 0;
    default:
      return ::DefWindowProcW(window_, message, wParam, lParam);
  }
}

void InstallerWindow::onCreate() {
  const double scale = settings_.uiScale;
  editBrush_ = ::CreateSolidBrush(RGB(32, 33, 50));
  editFont_ = ::CreateFontW(-static_cast<int>(std::lround(12 * scale)), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                            L"Microsoft YaHei UI");
  pathBox_ = ::CreateWindowExW(0, L"EDIT", settings_.installDirectory.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                               static_cast<int>(489 * scale), static_cast<int>(236 * scale),
                               static_cast<int>(316 * scale), static_cast<int>(20 * scale), window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPathEditId)), instance_, nullptr);
  ::SendMessageW(pathBox_, WM_SETFONT, reinterpret_cast<WPARAM>(editFont_), TRUE);
  ::SendMessageW(pathBox_, EM_SETLIMITTEXT, 32760, 0);
  if (settings_.autoRun) ::SetTimer(window_, kAutoRunTimer, 500, nullptr);
}

void InstallerWindow::onPaint() {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(window_, &paint);
  RECT client{};
  ::GetClientRect(window_, &client);
  HBRUSH canvas = ::CreateSolidBrush(RGB(24, 24, 37));
  ::FillRect(dc, &client, canvas);
  ::DeleteObject(canvas);
  const InstallStatusRecord record = status_.snapshot();
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, RGB(238, 238, 245));
  std::wstring text = record.heading + L"\n" + record.subheading + L"\n" + record.status + L"\n" + record.detail +
                      L"\n" + std::to_wstring(record.percent) + L"%";
  if (!record.error.empty()) text += L"\n" + record.error;
  RECT area{static_cast<LONG>(40 * settings_.uiScale), static_cast<LONG>(80 * settings_.uiScale), client.right,
            client.bottom};
  ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_LEFT | DT_NOPREFIX);
  ::EndPaint(window_, &paint);
}

void InstallerWindow::onLeftButtonUp(LPARAM lParam) {
  const int x = static_cast<int>(GET_X_LPARAM(lParam) / settings_.uiScale);
  const int y = static_cast<int>(GET_Y_LPARAM(lParam) / settings_.uiScale);
  if (inside(x, y, 809, 846, 11, 44)) ::ShowWindow(window_, SW_MINIMIZE);
  if (inside(x, y, 848, 885, 11, 44)) ::SendMessageW(window_, WM_CLOSE, 0, 0);
  if (status_.installBusy.load()) return;
  if (inside(x, y, 475, 863, 439, 486)) {
    startInstall();
  } else if (inside(x, y, 475, 834, 311, 335)) {
    settings_.createDesktopShortcut = !settings_.createDesktopShortcut;
    repaint();
  } else if (inside(x, y, 475, 834, 342, 366)) {
    settings_.launchAfterInstall = !settings_.launchAfterInstall;
    repaint();
  }
}

void InstallerWindow::startInstall() {
  pipeline_.startInstall(readPathBox(), [this] { ::ShowWindow(pathBox_, SW_HIDE); });
}

void InstallerWindow::repaint() const { ::InvalidateRect(window_, nullptr, FALSE); }

std::wstring InstallerWindow::trimPathText(const std::wstring& text) {
  std::size_t end = text.size();
  while (end > 0 && std::iswspace(static_cast<wint_t>(text[end - 1]))) --end;
  std::size_t begin = 0;
  while (begin < end && (text[begin] == L' ' || text[begin] == L'\t')) ++begin;
  return text.substr(begin, end - begin);
}

std::wstring InstallerWindow::readPathBox() const {
  if (pathBox_ == nullptr) return trimPathText(settings_.installDirectory);
  const int length = ::GetWindowTextLengthW(pathBox_);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(pathBox_, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return trimPathText(text);
}

}  // namespace orvo
