// Time of one full paint of the installer window at 96 and 144 DPI: the
// WindowPainter bitmap of the client area copied onto a screen-compatible
// device context as the window's WM_PAINT does. "first" is the window's first
// paint (the static layer is drawn then), "repaint" the median of the paints
// that follow, alternating between the install form and the progress view.
// Prints "paint <dpi> <first ms> <repaint ms> <repaint's bitmap ms> <repaint's copy ms>" per DPI.
//   paint-bench <background picture> <logo picture>
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/ResourceImage.h"
#include "app/WindowPainter.h"
#include "common/ScopeExit.h"
#include "common/UniqueHandle.h"
#include "tools/bench/FloorWork.h"

namespace {

using orvo::bench::Clock;
using orvo::bench::secondsSince;

std::vector<unsigned char> fileBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

orvo::WindowView view(bool busy, int percent) {
  orvo::WindowView view;
  view.record.heading = busy ? L"正在安装" : L"安装 orvo game";
  view.record.subheading = busy ? L"冒险即将开启" : L"准备好，开启下一段冒险";
  view.installBusy = busy;
  view.record.percent = percent;
  view.record.status = L"正在下载平台文件";
  view.record.detail = L"26.5 MB / 60.2 MB    8.4 MB/s    约 4 秒";
  view.freeSpace = L"可用空间 72.9 GB";
  return view;
}

struct PaintTime {
  double bitmap;  // seconds to paint the bitmap
  double copy;    // seconds to copy it to the device context
};

// One paint as WM_PAINT does it: the bitmap, then its copy onto the device context.
PaintTime paintOnce(orvo::WindowPainter& painter, const orvo::WindowView& shown, int width, int height, double scale,
                    HDC dc) {
  const auto start = Clock::now();
  const auto bitmap = painter.paint(shown, width, height, scale);
  if (!bitmap) throw std::runtime_error("no bitmap");
  const double painted = secondsSince(start);
  orvo::copyToDevice(*bitmap, dc);
  return {painted, secondsSince(start) - painted};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: paint-bench <background> <logo>\n");
    return 2;
  }
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
  int status = 0;
  try {
    const orvo::ResourceImage background = orvo::loadImageFromBytes(fileBytes(argv[1]));
    const orvo::ResourceImage logo = orvo::loadImageFromBytes(fileBytes(argv[2]));
    for (const int dpi : {96, 144}) {
      const double scale = dpi / 96.0;
      const int width = static_cast<int>(900 * scale), height = static_cast<int>(550 * scale);
      HDC screen = ::GetDC(nullptr);
      const orvo::ScopeExit releaseScreen([screen] { ::ReleaseDC(nullptr, screen); });
      HDC dc = ::CreateCompatibleDC(screen);
      const orvo::ScopeExit deleteDc([dc] { ::DeleteDC(dc); });
      const orvo::UniqueGdiObject<HBITMAP> target(::CreateCompatibleBitmap(screen, width, height));
      HGDIOBJ previous = ::SelectObject(dc, target.get());
      const orvo::ScopeExit restore([dc, previous] { ::SelectObject(dc, previous); });
      orvo::WindowPainter painter(background.image(), logo.image());
      const PaintTime first = paintOnce(painter, view(false, 0), width, height, scale, dc);
      std::vector<double> repaints, bitmaps, copies;
      for (int i = 0; i < 21; ++i) {
        const PaintTime repaint = paintOnce(painter, view(i % 2 == 1, i * 4), width, height, scale, dc);
        repaints.push_back(repaint.bitmap + repaint.copy);
        bitmaps.push_back(repaint.bitmap);
        copies.push_back(repaint.copy);
      }
      std::printf("paint %d %.2f %.2f %.2f %.2f\n", dpi, (first.bitmap + first.copy) * 1000,
                  orvo::bench::median(repaints) * 1000, orvo::bench::median(bitmaps) * 1000,
                  orvo::bench::median(copies) * 1000);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "paint-bench: %s\n", error.what());
    status = 1;
  }
  Gdiplus::GdiplusShutdown(token);
  return status;
}
