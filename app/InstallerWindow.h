#pragma once
// The installer's main window: a borderless popup of the logical 900 x 550
// design, custom-drawn (WindowPainter), with its own title strip, one native
// edit box for the install directory, the option rows, the folder picker, the
// install button and the window picture of "--capture-ui".
//
// Guarantees: input that would change the settings or start an install is
// ignored while an install runs (and causes no repaint); the window cannot be
// closed while an install runs; an error raised while a message is handled
// (a capture that cannot be saved, a folder that cannot be tested) is kept and
// raised again from the message loop, never thrown through the system's
// window-procedure frames.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <exception>
#include <optional>
#include <string>

#include "app/InstallPipeline.h"
#include "app/InstallStatus.h"
#include "app/InstallerSettings.h"
#include "app/WindowGeometry.h"
#include "app/WindowPainter.h"
#include "common/UniqueHandle.h"

namespace orvo {

class InstallerWindow {
 public:
  // The pictures belong to the caller and must outlive the window; either may be null.
  InstallerWindow(HINSTANCE instance, InstallerSettings& settings, InstallStatus& status, InstallPipeline& pipeline,
                  Gdiplus::Image* background, Gdiplus::Image* logo);
  // Destroys the window if it still exists (without posting a quit message).
  ~InstallerWindow();
  InstallerWindow(const InstallerWindow&) = delete;
  InstallerWindow& operator=(const InstallerWindow&) = delete;

  // Registers the class and creates, shows and updates the window; throws
  // "Cannot create installer window", or the error of the first paint.
  HWND create();
  HWND handle() const noexcept { return window_; }

  // One message of the loop: Return while no install runs starts an install
  // and goes no further; everything else is translated and dispatched. Raises
  // an error that a handler kept.
  void processMessage(const MSG& message);
  // Runs the loop until WM_QUIT; returns its exit code.
  int runMessageLoop();
  // Raises (once) the error a message handler kept, if any.
  void rethrowPendingError();

 private:
  // The path box's text, trimmed (see trimPathText).
  std::wstring readPathBox() const;
  // The install button, the Return key and the unattended timer all come here.
  void startInstall();
  // The shell's folder picker; its choice (with "orvo game" appended) goes
  // into the path box. Silent when the dialog cannot be created or is cancelled.
  void browseForInstallDirectory();
  // What a paint of the window shows right now.
  WindowView currentView() const;

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void onCreate();
  void onPaint();
  LRESULT onHitTest(LPARAM lParam) const;
  void onSetCursor() const;
  void onLeftButtonUp(LPARAM lParam);
  void onClose();
  void repaint() const;
  void refreshFreeSpace();
  // Whether the last paint showed exactly this record.
  bool showsRecord(const InstallStatusRecord& record) const;

  HINSTANCE instance_;
  InstallerSettings& settings_;
  InstallStatus& status_;
  InstallPipeline& pipeline_;
  WindowPainter painter_;
  HWND window_ = nullptr;
  HWND pathBox_ = nullptr;
  UniqueGdiObject<HBRUSH> editBrush_;
  UniqueGdiObject<HFONT> editFont_;
  std::exception_ptr pendingError_;
  std::wstring freeSpace_;  // the line under the path box, for the path it holds now
  std::optional<InstallStatusRecord> painted_;  // what the last paint showed
};

}  // namespace orvo
