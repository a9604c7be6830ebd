#pragma once
// Geometry of the installer window in its logical 900 x 550 design, free of
// Windows headers: client pixels to logical units, the hit table (both ends of
// every range included), the hand-cursor areas, the progress bar's width and
// the pixel rectangles of the window and its edit box.
//
// Guarantees: a client point maps to the same logical point for painting and
// input (divided by uiScale, truncated toward zero); the hit table is the one
// place that says which area a logical point belongs to.
namespace orvo {

inline constexpr int kDesignWidth = 900;
inline constexpr int kDesignHeight = 550;

struct LogicalPoint {
  int x = 0;
  int y = 0;
};

// Client pixels to logical units: divided by uiScale, truncated toward zero.
LogicalPoint logicalPointFromClient(int clientX, int clientY, double uiScale) noexcept;

enum class WindowArea { None, DragStrip, Minimise, Close, Browse, InstallButton, OptionRow1, OptionRow2 };

// The area under a logical point, in the order of the hit table.
WindowArea hitArea(LogicalPoint point) noexcept;

// The hand shows over the title buttons always, and over the browse button,
// the install button and the option rows while no install runs.
bool showsHandCursor(LogicalPoint point, bool installBusy) noexcept;

// The progress bar's logical width for a percentage (0..100): percent x 389 is
// an integer, divided by 100 in floating point. 0 means no bar is drawn.
double progressBarWidth(int percent) noexcept;

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The path edit box: logical 489, 236, 316, 20, each coordinate scaled and truncated.
PixelRect pathBoxPixels(double uiScale) noexcept;

// The window in client pixels: 900 x 550 scaled and truncated.
PixelRect windowPixels(double uiScale) noexcept;

}  // namespace orvo
