#include "app/InstallerWindow.h"

#include <shobjidl.h>
#include <windowsx.h>

#include <cmath>
#include <stdexcept>
#include <utility>

#include "app/InstallDirectory.h"
#include "app/InstallerWindowPaths.h"
#include "common/ScopeExit.h"

namespace orvo {
namespace {

constexpr wchar_t kClassName[] = L"OrvoGameInstaller";
constexpr int kPathEditId = 1001;
constexpr UINT_PTR kAutoRunTimer = 1;
constexpr int kPathBoxLimit = 32760;
constexpr wchar_t kMessageCaption[] = L"orvo game";

// The shell's file-open dialog: {DC1C5A9C-E88A-4DDE-A5A1-60F82A20AEF7}, IFileOpenDialog
// {D57C7288-D4AD-4768-BE02-9D969532D960}.
constexpr CLSID kFileOpenDialogClass = {0xDC1C5A9C, 0xE88A, 0x4DDE, {0xA5, 0xA1, 0x60, 0xF8, 0x2A, 0x20, 0xAE, 0xF7}};
constexpr IID kFileOpenDialogInterface = {0xD57C7288, 0xD4AD, 0x4768, {0xBE, 0x02, 0x9D, 0x96, 0x95, 0x32, 0xD9, 0x60}};

}  // namespace

InstallerWindow::InstallerWindow(HINSTANCE instance, InstallerSettings& settings, InstallStatus& status,
                                 InstallPipeline& pipeline, Gdiplus::Image* background, Gdiplus::Image* logo)
    : instance_(instance), settings_(settings), status_(status), pipeline_(pipeline), painter_(background, logo) {}

InstallerWindow::~InstallerWindow() {
  if (window_ != nullptr) {
    // Detached first: the window's last messages then go to the default
    // procedure, so no quit message is posted for a window that an error ends.
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    ::DestroyWindow(window_);
  }
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

  const PixelRect size = windowPixels(settings_.uiScale);
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - size.width) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - size.height) / 2;
  ::CreateWindowExW(WS_EX_APPWINDOW, kClassName, L"orvo game 安装", WS_POPUP | WS_CLIPCHILDREN, x, y, size.width,
                    size.height, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) throw std::runtime_error("Cannot create installer window");
  ::ShowWindow(window_, SW_SHOW);
  ::UpdateWindow(window_);
  rethrowPendingError();
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
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
    self->pathBox_ = nullptr;
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  try {
    return self->handleMessage(message, wParam, lParam);
  } catch (...) {
    // Exceptions must not unwind through the system's frames; the loop raises it.
    if (!self->pendingError_) self->pendingError_ = std::current_exception();
    return 0;
  }
}

LRESULT InstallerWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      onCreate();
      return 0;
    case WM_PAINT:
      onPaint();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_NCHITTEST:
      return onHitTest(lParam);
    case WM_SETCURSOR:
      onSetCursor();
      return TRUE;
    case WM_LBUTTONUP:
      onLeftButtonUp(lParam);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kPathEditId && HIWORD(wParam) == EN_CHANGE) {
        refreshFreeSpace();
        repaint();
      }
      return 0;
    case WM_CTLCOLOREDIT:
      ::SetTextColor(reinterpret_cast<HDC>(wParam), RGB(238, 238, 245));
      ::SetBkColor(reinterpret_cast<HDC>(wParam), RGB(32, 33, 50));
      return reinterpret_cast<LRESULT>(editBrush_.get());
    case WM_TIMER:
      ::KillTimer(window_, kAutoRunTimer);
      startInstall();
      return 0;
    case WM_INSTALL_PROGRESS:
      if (!showsRecord(status_.snapshot())) repaint();
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
      onClose();
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
  editBrush_.reset(::CreateSolidBrush(RGB(32, 33, 50)));
  editFont_.reset(::CreateFontW(-static_cast<int>(std::lround(12 * scale)), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                DEFAULT_PITCH, kWindowFontFamily));
  const PixelRect box = pathBoxPixels(scale);
  pathBox_ = ::CreateWindowExW(0, L"EDIT", settings_.installDirectory.c_str(),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, box.x, box.y, box.width, box.height,
                               window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kPathEditId)), instance_, nullptr);
  ::SendMessageW(pathBox_, WM_SETFONT, reinterpret_cast<WPARAM>(editFont_.get()), TRUE);
  ::SendMessageW(pathBox_, EM_SETLIMITTEXT, kPathBoxLimit, 0);
  refreshFreeSpace();
  if (settings_.autoRun) ::SetTimer(window_, kAutoRunTimer, 500, nullptr);
}

WindowView InstallerWindow::currentView() const {
  WindowView view;
  view.record = status_.snapshot();
  view.installBusy = status_.installBusy.load();
  view.createDesktopShortcut = settings_.createDesktopShortcut;
  view.launchAfterInstall = settings_.launchAfterInstall;
  if (!view.installBusy) view.freeSpace = freeSpace_;
  return view;
}

void InstallerWindow::onPaint() {
  PAINTSTRUCT paint{};
  HDC dc = ::BeginPaint(window_, &paint);
  ScopeExit endPaint([this, &paint] { ::EndPaint(window_, &paint); });
  RECT client{};
  ::GetClientRect(window_, &client);

  WindowView view = currentView();
  const bool capturing = !settings_.capturePath.empty();
  if (capturing) {
    view.drawDirectoryText = true;
    view.directoryText = settings_.installDirectory;
  }
  const auto bitmap = painter_.paint(view, client.right, client.bottom, settings_.uiScale);
  painted_ = view.record;
  if (capturing) {
    if (!bitmap) throw std::runtime_error("无法保存安装界面截图");
    saveWindowPicture(*bitmap, settings_.capturePath);
    settings_.capturePath.clear();
    ::PostMessageW(window_, WM_CLOSE, 0, 0);
  }
  if (bitmap && dc) copyToDevice(*bitmap, dc);
}

LRESULT InstallerWindow::onHitTest(LPARAM lParam) const {
  POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ScreenToClient(window_, &point);
  const LogicalPoint logical = logicalPointFromClient(point.x, point.y, settings_.uiScale);
  return hitArea(logical) == WindowArea::DragStrip ? HTCAPTION : HTCLIENT;
}

void InstallerWindow::onSetCursor() const {
  POINT point{};
  ::GetCursorPos(&point);
  ::ScreenToClient(window_, &point);
  const LogicalPoint logical = logicalPointFromClient(point.x, point.y, settings_.uiScale);
  const bool hand = showsHandCursor(logical, status_.installBusy.load());
  ::SetCursor(::LoadCursorW(nullptr, hand ? IDC_HAND : IDC_ARROW));
}

void InstallerWindow::onLeftButtonUp(LPARAM lParam) {
  const WindowArea area =
      hitArea(logicalPointFromClient(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), settings_.uiScale));
  if (area == WindowArea::Minimise) ::ShowWindow(window_, SW_MINIMIZE);
  if (area == WindowArea::Close) ::SendMessageW(window_, WM_CLOSE, 0, 0);
  if (status_.installBusy.load()) return;
  switch (area) {
    case WindowArea::Browse:
      browseForInstallDirectory();
      break;
    case WindowArea::InstallButton:
      startInstall();
      break;
    case WindowArea::OptionRow1:
      settings_.createDesktopShortcut = !settings_.createDesktopShortcut;
      repaint();
      break;
    case WindowArea::OptionRow2:
      settings_.launchAfterInstall = !settings_.launchAfterInstall;
      repaint();
      break;
    default:
      break;
  }
}

void InstallerWindow::onClose() {
  if (status_.installBusy.load() && !status_.installSucceeded.load()) {
    ::MessageBoxW(window_, L"正在安装，请等待完成。", kMessageCaption, MB_OK | MB_ICONINFORMATION);
    return;
  }
  ::DestroyWindow(window_);
}

void InstallerWindow::startInstall() {
  pipeline_.startInstall(readPathBox(), [this] { ::ShowWindow(pathBox_, SW_HIDE); });
}

void InstallerWindow::browseForInstallDirectory() {
  ComPtr<IFileOpenDialog> dialog;
  if (FAILED(::CoCreateInstance(kFileOpenDialogClass, nullptr, CLSCTX_INPROC_SERVER, kFileOpenDialogInterface,
                                dialog.putVoid())) ||
      !dialog) {
    return;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
  dialog->SetTitle(L"选择 orvo game 安装目录");

  // A typed path that Windows refuses even to test (a character it does not
  // allow, say) leaves the picker at its default folder; a click on browse
  // never ends the installer.
  std::wstring start;
  try {
    start = browseStartFolder(readPathBox());
  } catch (const std::exception&) {
  }
  if (!start.empty()) {
    ComPtr<IShellItem> folder;
    if (SUCCEEDED(::SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem, folder.putVoid())) && folder) {
      dialog->SetFolder(folder.get());
    }
  }
  if (FAILED(dialog->Show(window_))) return;
  ComPtr<IShellItem> result;
  if (FAILED(dialog->GetResult(result.put())) || !result) return;
  PWSTR picked = nullptr;
  if (FAILED(result->GetDisplayName(SIGDN_FILESYSPATH, &picked)) || picked == nullptr) return;
  const UniqueCoTaskMem<PWSTR> pickedPath(picked);
  // The change notification repaints the free-space line.
  ::SetWindowTextW(pathBox_, withProductFolder(pickedPath.get()).c_str());
}

// Asking the volume for its free space can take long (a network path, a
// sleeping disk), so it is asked when the path changes, not on every paint.
void InstallerWindow::refreshFreeSpace() { freeSpace_ = freeSpaceText(readPathBox()); }

// The digest and the verification report every chunk while the bar moves one
// percent per dozen chunks: a notice that changes nothing on screen costs a
// whole repaint on a core the worker needs, so it is not repainted.
bool InstallerWindow::showsRecord(const InstallStatusRecord& record) const {
  return painted_ && painted_->percent == record.percent && painted_->heading == record.heading &&
         painted_->subheading == record.subheading && painted_->status == record.status &&
         painted_->detail == record.detail && painted_->error == record.error;
}

void InstallerWindow::repaint() const { ::InvalidateRect(window_, nullptr, FALSE); }

std::wstring InstallerWindow::readPathBox() const {
  if (pathBox_ == nullptr) return trimPathText(settings_.installDirectory);
  const int length = ::GetWindowTextLengthW(pathBox_);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = ::GetWindowTextW(pathBox_, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return trimPathText(text);
}

void InstallerWindow::processMessage(const MSG& message) {
  if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN && !status_.installBusy.load()) {
    startInstall();
  } else {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  rethrowPendingError();
}

int InstallerWindow::runMessageLoop() {
  rethrowPendingError();
  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) processMessage(message);
  return static_cast<int>(message.wParam);
}

void InstallerWindow::rethrowPendingError() {
  if (pendingError_) std::rethrow_exception(std::exchange(pendingError_, nullptr));
}

}  // namespace orvo
