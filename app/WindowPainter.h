#pragma once
// The custom drawing of the installer window: one view of the window (the
// status record, the busy flag, the options, the free-space line) painted with
// GDI+ into a 32-bit premultiplied-alpha bitmap of the client size, in the
// logical 900 x 550 design scaled by uiScale. The window copies the bitmap to
// the screen; "--capture-ui" saves the same bitmap as a PNG picture.
//
// Guarantees: painting depends only on the view, the two pictures and the
// scale, never on a window; every GDI+ object lives in a scope; errors of
// individual drawing calls are ignored so one missing glyph or picture never
// leaves the window unpainted.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>
#include <string>

#include "app/InstallStatus.h"

namespace orvo {

inline constexpr wchar_t kWindowFontFamily[] = L"Microsoft YaHei UI";

// Everything one paint shows.
struct WindowView {
  InstallStatusRecord record;
  bool installBusy = false;
  bool createDesktopShortcut = true;
  bool launchAfterInstall = true;
  std::wstring freeSpace;  // the line under the path box (install form only)
  // Captures draw the directory text where the edit control sits, because a
  // child window does not appear in the bitmap.
  bool drawDirectoryText = false;
  std::wstring directoryText;
};

class WindowPainter {
 public:
  // Either picture may be null; it is then left out. Both must outlive the painter.
  WindowPainter(Gdiplus::Image* background, Gdiplus::Image* logo) noexcept;
  ~WindowPainter();
  WindowPainter(const WindowPainter&) = delete;
  WindowPainter& operator=(const WindowPainter&) = delete;

  // The client area of width x height pixels; null when no bitmap of that size
  // can be made. The same view, size and scale always give the same pixels,
  // whatever was painted before.
  std::unique_ptr<Gdiplus::Bitmap> paint(const WindowView& view, int width, int height, double uiScale);

 private:
  Gdiplus::Bitmap* staticLayer(int width, int height, double uiScale, bool installBusy);

  Gdiplus::Image* background_;
  Gdiplus::Image* logo_;
  // The static layer of the install form [0] and of a running install [1], for the size and scale they were drawn at.
  struct Layer {
    std::unique_ptr<Gdiplus::Bitmap> bitmap;
    int width = 0;
    int height = 0;
    double scale = 0;
  };
  Layer layers_[2];
};

// Copies the painted bitmap to the device context at its top-left corner. The
// painted window is opaque everywhere (its canvas colour fills it first), so
// its premultiplied pixels are the plain colours GDI expects.
void copyToDevice(Gdiplus::Bitmap& bitmap, HDC dc);

// Saves the bitmap with the PNG encoder; throws "无法保存安装界面截图".
void saveWindowPicture(Gdiplus::Bitmap& bitmap, const std::wstring& path);

}  // namespace orvo
