#pragma once
// Helpers of the window tests: the build's artwork, pictures
// kept as test artefacts, and pixel probes in logical coordinates.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "app/GdiplusSession.h"
#include "app/ResourceImage.h"
#include "common/PathText.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {

using orvo::GdiplusSession;

// The pictures the build draws for resources 101 and 102.
inline std::wstring generatedArtwork(const std::wstring& name) {
  return joinPath(buildDirectory(), L"generated\\" + name);
}
inline ResourceImage loadArtwork(const std::wstring& name) {
  const std::string bytes = readBytes(generatedArtwork(name));
  return loadImageFromBytes(std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

// build/test-artifacts/<name>, the folder created on demand.
inline std::wstring artifactPath(const std::wstring& name) {
  const std::wstring folder = joinPath(buildDirectory(), L"test-artifacts");
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return joinPath(folder, name);
}

struct Rgb {
  int r = 0, g = 0, b = 0;
};

inline Rgb rgbOf(Gdiplus::ARGB argb) {
  return Rgb{static_cast<int>((argb >> 16) & 0xFF), static_cast<int>((argb >> 8) & 0xFF),
             static_cast<int>(argb & 0xFF)};
}

// The pixel under the logical point (x, y) at the given scale.
inline Rgb pixelAt(Gdiplus::Bitmap& bitmap, double x, double y, double scale) {
  Gdiplus::Color colour;
  bitmap.GetPixel(static_cast<INT>(x * scale), static_cast<INT>(y * scale), &colour);
  return Rgb{colour.GetR(), colour.GetG(), colour.GetB()};
}

inline ::testing::AssertionResult colourNear(const Rgb& actual, Gdiplus::ARGB expected, int tolerance) {
  const Rgb want = rgbOf(expected);
  if (std::abs(actual.r - want.r) <= tolerance && std::abs(actual.g - want.g) <= tolerance &&
      std::abs(actual.b - want.b) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "pixel (" << actual.r << ", " << actual.g << ", " << actual.b
                                       << ") is not within " << tolerance << " of (" << want.r << ", " << want.g << ", "
                                       << want.b << ")";
}

// Pixels of a logical rectangle (x, y, width, height) that satisfy `test`.
inline int countPixels(Gdiplus::Bitmap& bitmap, double x, double y, double width, double height, double scale,
                       const std::function<bool(const Rgb&)>& test) {
  int count = 0;
  const int left = static_cast<int>(x * scale), top = static_cast<int>(y * scale);
  const int right = static_cast<int>((x + width) * scale), bottom = static_cast<int>((y + height) * scale);
  for (int py = top; py < bottom; ++py) {
    for (int px = left; px < right; ++px) {
      Gdiplus::Color colour;
      bitmap.GetPixel(px, py, &colour);
      if (test(Rgb{colour.GetR(), colour.GetG(), colour.GetB()})) ++count;
    }
  }
  return count;
}

// Runs of consecutive pixel rows of a logical rectangle that hold a pixel satisfying `test`.
inline int inkedRowRuns(Gdiplus::Bitmap& bitmap, double x, double y, double width, double height, double scale,
                        const std::function<bool(const Rgb&)>& test) {
  int runs = 0;
  bool previous = false;
  const int left = static_cast<int>(x * scale), top = static_cast<int>(y * scale);
  const int right = static_cast<int>((x + width) * scale), bottom = static_cast<int>((y + height) * scale);
  for (int py = top; py < bottom; ++py) {
    bool inked = false;
    for (int px = left; px < right && !inked; ++px) {
      Gdiplus::Color colour;
      bitmap.GetPixel(px, py, &colour);
      inked = test(Rgb{colour.GetR(), colour.GetG(), colour.GetB()});
    }
    if (inked && !previous) ++runs;
    previous = inked;
  }
  return runs;
}

inline bool isBright(const Rgb& c) { return c.r > 150 && c.g > 150 && c.b > 150; }
// Red text (0xFF9999 over a dark ground) and not the gold of the button: green and blue stay together.
inline bool isErrorRed(const Rgb& c) {
  return c.r > 120 && c.r - c.g > 40 && c.r - c.b > 40 && std::abs(c.g - c.b) < 30;
}
inline bool isGold(const Rgb& c) { return c.r > 180 && c.g > 120 && c.b < 130 && c.r - c.b > 80; }
inline bool isDarkInk(const Rgb& c) { return c.r < 120 && c.g < 100; }

}  // namespace orvo::test
