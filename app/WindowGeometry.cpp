#include "app/WindowGeometry.h"

#include <algorithm>
#include <climits>

namespace orvo {
namespace {

constexpr bool within(int value, int first, int last) noexcept { return value >= first && value <= last; }

struct HitRange {
  WindowArea area;
  int left, right, top, bottom;  // inclusive
};

// Drag strip first: "below 800, below 55" written as inclusive ranges.
constexpr HitRange kHitTable[] = {
    {WindowArea::DragStrip, INT_MIN, 799, INT_MIN, 54},
    {WindowArea::Minimise, 809, 846, 11, 44},
    {WindowArea::Close, 848, 885, 11, 44},
    {WindowArea::Browse, 814, 861, 224, 265},
    {WindowArea::InstallButton, 475, 863, 439, 486},
    {WindowArea::OptionRow1, 475, 834, 311, 335},
    {WindowArea::OptionRow2, 475, 834, 342, 366},
};

constexpr int kBarFullWidth = 389;

// A logical coordinate or length in client pixels, truncated toward zero.
int scaledCoordinate(double logical, double uiScale) noexcept { return static_cast<int>(logical * uiScale); }

}  // namespace

LogicalPoint logicalPointFromClient(int clientX, int clientY, double uiScale) noexcept {
  return LogicalPoint{static_cast<int>(clientX / uiScale), static_cast<int>(clientY / uiScale)};
}

WindowArea hitArea(LogicalPoint point) noexcept {
  for (const HitRange& range : kHitTable) {
    if (within(point.x, range.left, range.right) && within(point.y, range.top, range.bottom)) return range.area;
  }
  return WindowArea::None;
}

bool showsHandCursor(LogicalPoint point, bool installBusy) noexcept {
  if (within(point.x, 809, 886) && within(point.y, 11, 44)) return true;
  if (installBusy) return false;
  const WindowArea area = hitArea(point);
  if (area == WindowArea::Browse || area == WindowArea::InstallButton) return true;
  return within(point.x, 475, 834) && within(point.y, 311, 366);
}

double progressBarWidth(int percent) noexcept {
  const int clamped = std::clamp(percent, 0, 100);
  return static_cast<double>(clamped * kBarFullWidth) / 100.0;
}

PixelRect pathBoxPixels(double uiScale) noexcept {
  return PixelRect{scaledCoordinate(489, uiScale), scaledCoordinate(236, uiScale), scaledCoordinate(316, uiScale),
                   scaledCoordinate(20, uiScale)};
}

PixelRect windowPixels(double uiScale) noexcept {
  return PixelRect{0, 0, scaledCoordinate(kDesignWidth, uiScale), scaledCoordinate(kDesignHeight, uiScale)};
}

}  // namespace orvo
