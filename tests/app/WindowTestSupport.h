#pragma once
// Pixel probes of the window's pictures in logical coordinates.
#include "app/GdiplusSession.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

using orvo::GdiplusSession;
struct Rgb { int r = 0, g = 0, b = 0; };

inline Rgb pixelAt(Gdiplus::Bitmap& bitmap, double x, double y, double scale) {
  Gdiplus::Color c;
  return bitmap.GetPixel(static_cast<INT>(x * scale), static_cast<INT>(y * scale), &c), Rgb{c.GetR(), c.GetG(), c.GetB()};
}
inline bool colourNear(const Rgb& c, Gdiplus::ARGB want, int tolerance) {
  return std::abs(c.r - int(want >> 16 & 0xFF)) <= tolerance && std::abs(c.g - int(want >> 8 & 0xFF)) <= tolerance &&
         std::abs(c.b - int(want & 0xFF)) <= tolerance;
}
// Pixels of the logical rectangle (x, y, width, height) that pass `test`.
inline int countPixels(Gdiplus::Bitmap& bitmap, double x, double y, double width, double height, double scale, bool (*test)(const Rgb&)) {
  int count = 0;
  for (int py = int(y * scale); py < int((y + height) * scale); ++py)
    for (int px = int(x * scale); px < int((x + width) * scale); ++px) count += test(pixelAt(bitmap, px, py, 1));
  return count;
}
inline bool isBright(const Rgb& c) { return c.r > 150 && c.g > 150 && c.b > 150; }
inline bool isGold(const Rgb& c) { return c.r > 180 && c.g > 120 && c.b < 130 && c.r - c.b > 80; }

}  // namespace orvo::test
