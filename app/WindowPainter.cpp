#include "app/WindowPainter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "app/WindowGeometry.h"

namespace orvo {
namespace {

using Gdiplus::Color;
using Gdiplus::RectF;

constexpr float kWidth = kDesignWidth;
constexpr float kHeight = kDesignHeight;

// {557CF406-1A04-11D3-9A73-0000F81EF32E}
constexpr CLSID kPngEncoder = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

enum class Weight { Regular, Bold };
enum class Align { TopLeft, Centred };

// The layout of every text: never wraps (line feeds still start lines), trims
// overflow with an ellipsis character, clipped to its rectangle; centred text
// is centred both ways, other text starts at the top-left corner.
std::unique_ptr<Gdiplus::StringFormat> makeTextFormat(bool centred) {
  auto format = std::make_unique<Gdiplus::StringFormat>();
  format->SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format->SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  const auto alignment = centred ? Gdiplus::StringAlignmentCenter : Gdiplus::StringAlignmentNear;
  format->SetAlignment(alignment);
  format->SetLineAlignment(alignment);
  return format;
}

// The text between line feeds; a text without one is one line.
std::vector<std::wstring_view> splitLines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  std::size_t start = 0;
  for (std::size_t feed = text.find(L'\n'); feed != std::wstring_view::npos; feed = text.find(L'\n', start)) {
    lines.push_back(text.substr(start, feed - start));
    start = feed + 1;
  }
  lines.push_back(text.substr(start));
  return lines;
}

class Canvas {
 public:
  Canvas(Gdiplus::Graphics& graphics, const Gdiplus::FontFamily& family) : g_(graphics), family_(family) {}

  void text(const std::wstring& text, RectF rect, float size, Weight weight, Gdiplus::ARGB colour,
            Align align = Align::TopLeft) {
    if (text.empty()) return;
    const INT style = weight == Weight::Bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular;
    Gdiplus::Font font(&family_, size, style, Gdiplus::UnitPixel);
    Gdiplus::SolidBrush brush{Color(colour)};
    const auto format = makeTextFormat(align == Align::Centred);
    const std::vector<std::wstring_view> lines = splitLines(text);
    if (lines.size() == 1) {
      g_.DrawString(text.c_str(), static_cast<INT>(text.size()), &font, rect, format.get(), &brush);
      return;
    }
    // Line feeds start new lines, laid out here one line at a time: with
    // wrapping off, some GDI+ implementations (Wine's) stop at the first one.
    const float lineHeight = size * family_.GetLineSpacing(style) / std::max<float>(1, family_.GetEmHeight(style));
    float top = rect.Y;
    if (align == Align::Centred) top += (rect.Height - lineHeight * static_cast<float>(lines.size())) / 2;
    const Gdiplus::GraphicsState state = g_.Save();
    g_.SetClip(rect, Gdiplus::CombineModeIntersect);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const float lineTop = top + lineHeight * static_cast<float>(i);
      if (lines[i].empty() || lineTop >= rect.Y + rect.Height) continue;
      const RectF lineRect(rect.X, lineTop, rect.Width, std::max(lineHeight, rect.Y + rect.Height - lineTop));
      g_.DrawString(lines[i].data(), static_cast<INT>(lines[i].size()), &font, lineRect, format.get(), &brush);
    }
    g_.Restore(state);
  }

  void fillRect(RectF rect, Gdiplus::ARGB colour) {
    Gdiplus::SolidBrush brush{Color(colour)};
    g_.FillRectangle(&brush, rect);
  }

  void fillRounded(RectF rect, float radius, Gdiplus::ARGB colour) {
    Gdiplus::GraphicsPath path;
    roundedPath(path, rect, radius);
    Gdiplus::SolidBrush brush{Color(colour)};
    g_.FillPath(&brush, &path);
  }

  void outlineRounded(RectF rect, float radius, Gdiplus::ARGB colour, float penWidth = 1.0f) {
    Gdiplus::GraphicsPath path;
    roundedPath(path, rect, radius);
    Gdiplus::Pen pen(Color(colour), penWidth);
    g_.DrawPath(&pen, &path);
  }

  void line(float x1, float y1, float x2, float y2, Gdiplus::ARGB colour, float penWidth) {
    Gdiplus::Pen pen(Color(colour), penWidth);
    g_.DrawLine(&pen, x1, y1, x2, y2);
  }

  Gdiplus::Graphics& graphics() { return g_; }

 private:
  // Four quarter arcs of diameter 2r at the corners, closed into one figure.
  static void roundedPath(Gdiplus::GraphicsPath& path, RectF r, float radius) {
    const float d = radius * 2;
    path.AddArc(r.X, r.Y, d, d, 180, 90);
    path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
    path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
    path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
    path.CloseFigure();
  }

  Gdiplus::Graphics& g_;
  const Gdiplus::FontFamily& family_;
};

// The background keeps its aspect and fills the design: the scale that covers
// both axes, the picture's left part, centred vertically.
void drawBackground(Gdiplus::Graphics& g, Gdiplus::Image& picture) {
  const float pictureWidth = static_cast<float>(picture.GetWidth());
  const float pictureHeight = static_cast<float>(picture.GetHeight());
  if (pictureWidth <= 0 || pictureHeight <= 0) return;
  const float scale = std::max(kWidth / pictureWidth, kHeight / pictureHeight);
  const float sourceWidth = kWidth / scale;
  const float sourceHeight = kHeight / scale;
  const float sourceY = (pictureHeight - sourceHeight) / 2;
  // Mirrored edges keep the bicubic filter from pulling in transparent black at the border.
  Gdiplus::ImageAttributes attributes;
  attributes.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
  g.DrawImage(&picture, RectF(0, 0, kWidth, kHeight), 0, sourceY, sourceWidth, sourceHeight, Gdiplus::UnitPixel,
              &attributes);
}

void drawStatic(Canvas& c, Gdiplus::Image* background, Gdiplus::Image* logo) {
  Gdiplus::Graphics& g = c.graphics();
  g.Clear(Color(0xFF10111E));
  if (background) drawBackground(g, *background);
  c.fillRect(RectF(0, 0, kWidth, kHeight), 0x4110111E);
  {
    Gdiplus::LinearGradientBrush gradient(Gdiplus::PointF(0, 0), Gdiplus::PointF(kWidth, 0), Color(0x18131421),
                                          Color(0xFF10111E));
    const Color colours[] = {Color(0x18131421), Color(0x6010111E), Color(0xF210111E), Color(0xFF10111E)};
    const Gdiplus::REAL positions[] = {0.0f, 0.39f, 0.64f, 1.0f};
    gradient.SetInterpolationColors(colours, positions, 4);
    g.FillRectangle(&gradient, RectF(0, 0, kWidth, kHeight));
  }
  if (logo) g.DrawImage(logo, RectF(24, 13, 84, 34));
  c.text(L"游戏平台", RectF(122, 26, 100, 18), 11, Weight::Regular, 0xFF9C9BAC);
  c.outlineRounded(RectF(809, 11, 38, 34), 6, 0xFF6E6F7C);
  c.text(L"—", RectF(809, 11, 38, 34), 15, Weight::Regular, 0xFFFFFFFF, Align::Centred);
  c.outlineRounded(RectF(848, 11, 38, 34), 6, 0xFF6E6F7C);
  c.text(L"×", RectF(848, 11, 38, 34), 20, Weight::Regular, 0xFFFFFFFF, Align::Centred);
  c.text(L"你的冒险，从这里开始", RectF(38, 391, 420, 46), 31, Weight::Bold, 0xFFFFFFFF);
  c.text(L"orvo game", RectF(38, 443, 300, 30), 18, Weight::Regular, 0xFFE5D6FC);
  c.fillRect(RectF(38, 486, 44, 3), 0xFFDDB455);
}

void drawOptionRow(Canvas& c, float y0, bool set, const std::wstring& label) {
  c.fillRounded(RectF(477, y0, 12, 12), 1, set ? 0xFFFFFFFF : 0xFF282937);
  if (set) {
    c.line(479, y0 + 6, 482, y0 + 9, 0xFF2D2F36, 1.5f);
    c.line(482, y0 + 9, 487, y0 + 3, 0xFF2D2F36, 1.5f);
  }
  c.text(label, RectF(495, y0 - 3, 350, 21), 12, Weight::Regular, 0xFFFFFFFF);
}

// The parts of the install form that never change while it shows.
void drawInstallFormFrame(Canvas& c) {
  c.text(L"安装位置", RectF(475, 197, 389, 23), 12, Weight::Regular, 0xFFCCCADD);
  c.fillRounded(RectF(475, 223, 389, 44), 6, 0xFF202132);
  c.outlineRounded(RectF(475, 223, 389, 44), 6, 0xFF47445F);
  c.outlineRounded(RectF(814, 224, 48, 42), 6, 0xFF6E6F7C);
  c.text(L"浏览", RectF(814, 224, 48, 42), 12, Weight::Regular, 0xFFE6BC66, Align::Centred);
}

void drawInstallForm(Canvas& c, const WindowView& view) {
  c.text(view.freeSpace, RectF(475, 277, 389, 22), 11, Weight::Regular, 0xFF9191A5);
  drawOptionRow(c, 317, view.createDesktopShortcut, L"创建桌面快捷方式");
  drawOptionRow(c, 348, view.launchAfterInstall, L"安装完成后启动 orvo game");
}

void drawProgress(Canvas& c, const InstallStatusRecord& record) {
  c.text(record.status, RectF(475, 209, 389, 25), 14, Weight::Regular, 0xFFDDD9E8);
  c.fillRounded(RectF(475, 251, 389, 7), 3, 0xFF343348);
  const double bar = progressBarWidth(record.percent);
  if (bar > 0) c.fillRounded(RectF(475, 251, static_cast<float>(bar), 7), 3, 0xFFDDB45C);
  c.text(std::to_wstring(record.percent) + L"%", RectF(475, 272, 389, 22), 12, Weight::Regular, 0xFFE6BC66);
  c.text(record.detail, RectF(475, 310, 389, 72), 12, Weight::Regular, 0xFF9794AA);
}

// The install button while an install runs: it shows no choice then.
void drawBusyButton(Canvas& c) {
  const RectF button(475, 439, 389, 48);
  c.fillRounded(button, 6, 0xFF766139);
  c.outlineRounded(button, 6, 0xFF706951);
  c.text(L"正在安装…", button, 16, Weight::Bold, 0xFFCCC8B9, Align::Centred);
}

void drawClosing(Canvas& c, const WindowView& view) {
  const InstallStatusRecord& record = view.record;
  if (!record.error.empty()) c.text(record.error, RectF(475, 373, 389, 62), 12, Weight::Regular, 0xFFFF9999);
  if (view.installBusy) return;  // the busy button is part of the static layer
  const RectF button(475, 439, 389, 48);
  c.fillRounded(button, 6, 0xFFE3B95E);
  c.outlineRounded(button, 6, 0xFF706951);
  c.text(record.error.empty() ? L"立即安装" : L"重试安装", button, 16, Weight::Bold, 0xFF28202A, Align::Centred);
}

// The footer line and the window's border: the same in every state, and
// clear of everything that changes.
void drawFooter(Canvas& c) {
  c.text(L"安装游戏平台，客户端可在平台内下载", RectF(475, 502, 389, 24), 11, Weight::Regular, 0xFF76758B,
         Align::Centred);
  c.outlineRounded(RectF(0.5f, 0.5f, 899, 549), 0.5f, 0x6457597F);
}

}  // namespace

namespace {

// A graphics over the bitmap in the logical design, with the drawing quality of every layer.
void prepareDesignGraphics(Gdiplus::Graphics& graphics, double uiScale) {
  const auto scale = static_cast<Gdiplus::REAL>(uiScale);
  graphics.ScaleTransform(scale, scale);
  graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
  graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
}

// A system without the family still gets every text, in the generic sans-serif face.
const Gdiplus::FontFamily& windowFontFamily(const Gdiplus::FontFamily& named) {
  return named.IsAvailable() ? named : *Gdiplus::FontFamily::GenericSansSerif();
}

}  // namespace

namespace {

// The pixels of one 32-bit bitmap into another of the same size: a plain copy,
// several times cheaper under Wine than cloning or drawing the bitmap.
bool copyPixels(Gdiplus::Bitmap& from, Gdiplus::Bitmap& to) {
  const Gdiplus::Rect all(0, 0, static_cast<INT>(from.GetWidth()), static_cast<INT>(from.GetHeight()));
  Gdiplus::BitmapData source{};
  if (from.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &source) != Gdiplus::Ok) return false;
  Gdiplus::BitmapData target{};
  if (to.LockBits(&all, Gdiplus::ImageLockModeWrite, PixelFormat32bppPARGB, &target) != Gdiplus::Ok) {
    from.UnlockBits(&source);
    return false;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(all.Width) * 4;
  for (INT y = 0; y < all.Height; ++y) {
    std::memcpy(static_cast<std::uint8_t*>(target.Scan0) + static_cast<std::ptrdiff_t>(y) * target.Stride,
                static_cast<const std::uint8_t*>(source.Scan0) + static_cast<std::ptrdiff_t>(y) * source.Stride, rowBytes);
  }
  to.UnlockBits(&target);
  from.UnlockBits(&source);
  return true;
}

}  // namespace

WindowPainter::WindowPainter(Gdiplus::Image* background, Gdiplus::Image* logo) noexcept
    : background_(background), logo_(logo) {}

WindowPainter::~WindowPainter() = default;

// The static layer (background picture with its bicubic rescale, veils, logo,
// fixed texts, the frame of the install form) is the bulk of a paint and
// depends only on the size, the scale and whether an install runs, so it is
// drawn once for each (the two states kept side by side) and copied for every paint. Nothing drawn later overlaps
// it except where it was drawn first before, so the pixels stay the same.
Gdiplus::Bitmap* WindowPainter::staticLayer(int width, int height, double uiScale, bool installBusy) {
  Layer& layer = layers_[installBusy ? 1 : 0];
  if (layer.bitmap && layer.width == width && layer.height == height && layer.scale == uiScale) {
    return layer.bitmap.get();
  }
  layer.bitmap.reset();
  auto bitmap = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
  if (bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
  {
    Gdiplus::Graphics graphics(bitmap.get());
    if (graphics.GetLastStatus() != Gdiplus::Ok) return nullptr;
    prepareDesignGraphics(graphics, uiScale);
    const Gdiplus::FontFamily named(kWindowFontFamily);
    Canvas canvas(graphics, windowFontFamily(named));
    drawStatic(canvas, background_, logo_);
    if (installBusy) {
      drawBusyButton(canvas);
    } else {
      drawInstallFormFrame(canvas);
    }
    drawFooter(canvas);
    graphics.Flush(Gdiplus::FlushIntentionSync);
  }
  layer = {std::move(bitmap), width, height, uiScale};
  return layer.bitmap.get();
}

std::unique_ptr<Gdiplus::Bitmap> WindowPainter::paint(const WindowView& view, int width, int height, double uiScale) {
  if (width <= 0 || height <= 0) return nullptr;
  Gdiplus::Bitmap* layer = staticLayer(width, height, uiScale, view.installBusy);
  if (layer == nullptr) return nullptr;
  auto bitmap = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
  if (bitmap->GetLastStatus() != Gdiplus::Ok || !copyPixels(*layer, *bitmap)) return nullptr;
  Gdiplus::Graphics graphics(bitmap.get());
  if (graphics.GetLastStatus() != Gdiplus::Ok) return nullptr;
  prepareDesignGraphics(graphics, uiScale);

  const Gdiplus::FontFamily named(kWindowFontFamily);
  Canvas canvas(graphics, windowFontFamily(named));
  canvas.text(view.record.heading, RectF(475, 93, 389, 44), 28, Weight::Bold, 0xFFFFFFFF);
  canvas.text(view.record.subheading, RectF(475, 146, 389, 24), 13, Weight::Regular, 0xFF9293AA);
  if (view.installBusy) {
    drawProgress(canvas, view.record);
  } else {
    drawInstallForm(canvas, view);
  }
  drawClosing(canvas, view);
  if (view.drawDirectoryText) {
    canvas.text(view.directoryText, RectF(489, 235, 316, 22), 12, Weight::Regular, 0xFFEEEEF5);
  }
  graphics.Flush(Gdiplus::FlushIntentionSync);
  return bitmap;
}

void copyToDevice(Gdiplus::Bitmap& bitmap, HDC dc) {
  const Gdiplus::Rect all(0, 0, static_cast<INT>(bitmap.GetWidth()), static_cast<INT>(bitmap.GetHeight()));
  Gdiplus::BitmapData pixels{};
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &pixels) != Gdiplus::Ok) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = pixels.Stride / 4;  // rows as GDI+ lays them out; the first Width pixels show
  info.bmiHeader.biHeight = -all.Height;  // top-down rows, as GDI+ keeps them
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  ::SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(all.Width), static_cast<DWORD>(all.Height), 0, 0, 0,
                      static_cast<UINT>(all.Height), pixels.Scan0, &info, DIB_RGB_COLORS);
  bitmap.UnlockBits(&pixels);
}

void saveWindowPicture(Gdiplus::Bitmap& bitmap, const std::wstring& path) {
  if (bitmap.Save(path.c_str(), &kPngEncoder, nullptr) != Gdiplus::Ok) {
    throw std::runtime_error("无法保存安装界面截图");
  }
}

}  // namespace orvo
