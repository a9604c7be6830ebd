#pragma once
// The installer's main window: its class, creation, message handling and the
// path edit box. Drawing is deliberately plain (status texts on the canvas)
// until the custom-drawn view replaces it.
#include <windows.h>

#include <string>

#include "app/InstallPipeline.h"
#include "app/InstallStatus.h"
#include "app/InstallerSettings.h"

namespace orvo {

constexpr int kPathEditId = 1001;
constexpr UINT_PTR kAutoRunTimer = 1;

class InstallerWindow {
 public:
  InstallerWindow(HINSTANCE instance, InstallerSettings& settings, InstallStatus& status, InstallPipeline& pipeline);
  ~InstallerWindow();
  InstallerWindow(const InstallerWindow&) = delete;
  InstallerWindow& operator=(const InstallerWindow&) = delete;

  // Registers the class and creates, shows and updates the window; throws
  // "Cannot create installer window".
  HWND create();
  HWND handle() const noexcept { return window_; }

  // The path box's text with trailing white space and leading blanks removed.
  std::wstring readPathBox() const;

  static std::wstring trimPathText(const std::wstring& text);

  // The install button, the Return key and the unattended timer all come here.
  void startInstall();

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void onCreate();
  void onPaint();
  void onLeftButtonUp(LPARAM lParam);
  void repaint() const;

  HINSTANCE instance_;
  InstallerSettings& settings_;
  InstallStatus& status_;
  InstallPipeline& pipeline_;
  HWND window_ = nullptr;
  HWND pathBox_ = nullptr;
  HBRUSH editBrush_ = nullptr;
  HFONT editFont_ = nullptr;
};

}  // namespace orvo
