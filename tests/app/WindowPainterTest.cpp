// Pictures of the installer window painted for real with GDI+ under Wine, in
// the ready, installing and failed states at 96 and 144 DPI: colours at
// chosen pixels of each element, text regions that hold ink, and clipping.
// Every picture is kept under build/test-artifacts for people to look at.
#include "app/WindowPainter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/InstallerWindowPaths.h"
#include "tests/app/WindowTestSupport.h"
#include "tests/support/MessageOf.h"

namespace orvo {
namespace {

using test::countPixels;
using test::pixelAt;

class WindowPainterTest : public ::testing::TestWithParam<double> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gdiplus_.started());
    background_ = test::loadArtwork(L"installer-background.jpg");
    logo_ = test::loadArtwork(L"installer-logo.png");
  }

  double scale() const { return GetParam(); }

  // Paints the view at the test's scale and keeps the picture as an artefact.
  std::unique_ptr<Gdiplus::Bitmap> paint(const WindowView& view, const std::wstring& name) {
    WindowPainter painter(background_.image(), logo_.image());
    const int width = static_cast<int>(900 * scale()), height = static_cast<int>(550 * scale());
    auto bitmap = painter.paint(view, width, height, scale());
    if (bitmap) {
      const std::wstring file = L"window-" + name + L"-" + std::to_wstring(static_cast<int>(96 * scale())) + L"dpi.png";
      saveWindowPicture(*bitmap, test::artifactPath(file));
    }
    return bitmap;
  }

  static WindowView readyView() {
    WindowView view;
    view.freeSpace = L"可用空间 72.9 GB";
    return view;
  }

  static WindowView installingView() {
    WindowView view;
    view.installBusy = true;
    view.record.heading = L"正在安装";
    view.record.subheading = L"冒险即将开启";
    view.record.percent = 42;
    view.record.status = L"正在下载平台文件";
    view.record.detail = L"26.5 MB / 63.1 MB · 8.4 MB/s";
    return view;
  }

  static WindowView failedView() {
    WindowView view = readyView();
    view.record.heading = L"安装未完成";
    view.record.subheading = L"请检查后重新安装";
    view.record.error =
        L"原文件恢复仍待完成，请释放文件占用后使用同一安装器重试。恢复目录：C:\\Program Files\\.orvo-file-txn-"
        L"0123456789abcdef01234567\\journal\\backups\\OrvoQ9.exe\n平台文件已恢复。\nAccess is denied.";
    return view;
  }

  test::GdiplusSession gdiplus_;
  ResourceImage background_;
  ResourceImage logo_;
};

TEST_P(WindowPainterTest, TheBitmapCoversTheScaledClientArea) {
  const auto bitmap = paint(readyView(), L"ready-size");
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->GetWidth(), static_cast<UINT>(900 * scale()));
  EXPECT_EQ(bitmap->GetHeight(), static_cast<UINT>(550 * scale()));
  EXPECT_EQ(bitmap->GetPixelFormat(), PixelFormat32bppPARGB);
}

TEST_P(WindowPainterTest, TheReadyWindowShowsTheStaticElementsAndTheForm) {
  const auto bitmap = paint(readyView(), L"ready");
  ASSERT_TRUE(bitmap);
  const double s = scale();
  // Right of the gradient's last stop the canvas colour is all that shows.
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 892, 200, s), 0xFF10111E, 4));
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 60, 487, s), 0xFFDDB455, 6)) << "accent bar";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 490, 447, s), 0xFFE3B95E, 6)) << "idle install button";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 700, 260, s), 0xFF202132, 4)) << "path box";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 478, 327.5, s), 0xFFFFFFFF, 12)) << "ticked option box";
  // The window border: a translucent line over the canvas along the top edge.
  EXPECT_GT(
      countPixels(*bitmap, 650, 0, 100, 3, s, [](const test::Rgb& c) { return test::colourNear(c, 0xFF2C2D44, 12); }),
      80)
      << "window border";

  // The background picture (its moon) and the logo (its gold ring) are drawn.
  const test::Rgb moon = pixelAt(*bitmap, 288, 144, s);
  EXPECT_GT(moon.r, 90);
  EXPECT_GT(moon.r - moon.b, 10);
  EXPECT_GT(countPixels(*bitmap, 24, 13, 34, 34, s, test::isGold), 40) << "logo emblem";
  EXPECT_GT(countPixels(*bitmap, 60, 13, 48, 34, s, test::isBright), 20) << "logo word";

  EXPECT_GT(countPixels(*bitmap, 475, 93, 389, 44, s, test::isBright), 150) << "heading";
  EXPECT_GT(countPixels(*bitmap, 475, 146, 389, 24, s, [](const test::Rgb& c) { return c.r > 90; }), 30)
      << "subheading";
  EXPECT_GT(countPixels(*bitmap, 38, 391, 420, 46, s, test::isBright), 300) << "slogan";
  EXPECT_GT(countPixels(*bitmap, 475, 197, 389, 23, s, [](const test::Rgb& c) { return c.r > 120; }), 20)
      << "location label";
  EXPECT_GT(countPixels(*bitmap, 475, 277, 389, 22, s, [](const test::Rgb& c) { return c.r > 90; }), 20)
      << "free-space line";
  EXPECT_GT(countPixels(*bitmap, 495, 314, 350, 21, s, test::isBright), 30) << "option label 1";
  EXPECT_GT(countPixels(*bitmap, 495, 345, 350, 21, s, test::isBright), 30) << "option label 2";
  EXPECT_GT(countPixels(*bitmap, 600, 450, 140, 28, s, test::isDarkInk), 40) << "button text";
  EXPECT_GT(countPixels(*bitmap, 820, 230, 36, 30, s, test::isGold), 5) << "browse text";
  EXPECT_EQ(countPixels(*bitmap, 475, 373, 389, 62, s, test::isErrorRed), 0) << "no error text";
  // The edit control draws the directory; the window's own picture leaves the box empty.
  EXPECT_EQ(countPixels(*bitmap, 489, 235, 316, 22, s, test::isBright), 0);
}

TEST_P(WindowPainterTest, AClearedOptionShowsAnEmptyBox) {
  WindowView view = readyView();
  view.launchAfterInstall = false;
  const auto bitmap = paint(view, L"option-cleared");
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 483, 354, scale()), 0xFF282937, 4));
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 478, 327.5, scale()), 0xFFFFFFFF, 12));
}

TEST_P(WindowPainterTest, TheInstallingWindowShowsTheProgressView) {
  const auto bitmap = paint(installingView(), L"installing");
  ASSERT_TRUE(bitmap);
  const double s = scale();
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 490, 447, s), 0xFF766139, 6)) << "busy install button";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 500, 254.5, s), 0xFFDDB45C, 6)) << "bar";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 630, 254.5, s), 0xFFDDB45C, 6)) << "bar near its end";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 646, 254.5, s), 0xFF343348, 6)) << "track after the bar";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 800, 254.5, s), 0xFF343348, 6)) << "track";
  // The form is gone: no path box, no option boxes.
  EXPECT_FALSE(test::colourNear(pixelAt(*bitmap, 700, 262, s), 0xFF202132, 4));
  EXPECT_FALSE(test::colourNear(pixelAt(*bitmap, 478, 327.5, s), 0xFFFFFFFF, 60));

  EXPECT_GT(countPixels(*bitmap, 475, 209, 389, 25, s, [](const test::Rgb& c) { return c.r > 120; }), 40) << "status";
  EXPECT_GT(countPixels(*bitmap, 475, 272, 389, 22, s, test::isGold), 15) << "percent text";
  EXPECT_GT(countPixels(*bitmap, 475, 310, 389, 72, s, [](const test::Rgb& c) { return c.r > 90; }), 30) << "detail";
  EXPECT_GT(countPixels(*bitmap, 600, 450, 140, 28, s, [](const test::Rgb& c) { return c.r > 170 && c.b > 150; }), 40)
      << "busy button text";
}

TEST_P(WindowPainterTest, ZeroPercentDrawsTheTrackWithoutABar) {
  WindowView view = installingView();
  view.record.percent = 0;
  const auto bitmap = paint(view, L"installing-0");
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 478, 254.5, scale()), 0xFF343348, 6));
  EXPECT_EQ(countPixels(*bitmap, 475, 251, 389, 7, scale(), test::isGold), 0);
}

TEST_P(WindowPainterTest, AHundredPercentFillsTheWholeTrack) {
  WindowView view = installingView();
  view.record.percent = 100;
  const auto bitmap = paint(view, L"installing-100");
  ASSERT_TRUE(bitmap);
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 478, 254.5, scale()), 0xFFDDB45C, 6));
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 859, 254.5, scale()), 0xFFDDB45C, 6));
}

TEST_P(WindowPainterTest, TheFailedWindowShowsTheFailureTextInRedWithoutWrapping) {
  const auto bitmap = paint(failedView(), L"failed");
  ASSERT_TRUE(bitmap);
  const double s = scale();
  EXPECT_GT(countPixels(*bitmap, 475, 373, 389, 62, s, test::isErrorRed), 150) << "failure text";
  // Three lines from two line feeds; the long first line is cut, not wrapped.
  EXPECT_EQ(test::inkedRowRuns(*bitmap, 475, 373, 389, 62, s, test::isErrorRed), 3);
  // Nothing of it leaves its rectangle.
  EXPECT_EQ(countPixels(*bitmap, 865, 373, 35, 62, s, test::isErrorRed), 0);
  EXPECT_EQ(countPixels(*bitmap, 475, 436, 389, 50, s, test::isErrorRed), 0);
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 490, 447, s), 0xFFE3B95E, 6)) << "idle button again";
  EXPECT_GT(countPixels(*bitmap, 600, 450, 140, 28, s, test::isDarkInk), 40) << "retry text";
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 700, 260, s), 0xFF202132, 4)) << "form is back";
}

TEST_P(WindowPainterTest, ACaptureDrawsTheDirectoryWhereTheEditBoxSits) {
  WindowView view = readyView();
  view.drawDirectoryText = true;
  view.directoryText = L"C:\\Program Files\\orvo game";
  const auto bitmap = paint(view, L"capture");
  ASSERT_TRUE(bitmap);
  EXPECT_GT(countPixels(*bitmap, 489, 235, 316, 22, scale(), test::isBright), 40);
}

TEST_P(WindowPainterTest, NoBitmapIsMadeForAnEmptyClientArea) {
  WindowPainter painter(background_.image(), logo_.image());
  EXPECT_EQ(painter.paint(readyView(), 0, 550, scale()), nullptr);
  EXPECT_EQ(painter.paint(readyView(), 900, 0, scale()), nullptr);
}

TEST_P(WindowPainterTest, TheWindowIsPaintedWithoutItsPictures) {
  WindowPainter painter(nullptr, nullptr);
  const auto bitmap = painter.paint(readyView(), 900, 550, 1.0);
  ASSERT_TRUE(bitmap);
  // Canvas, shade and gradient share one colour, so only the canvas colour shows.
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 288, 144, 1.0), 0xFF10111E, 3));
  EXPECT_TRUE(test::colourNear(pixelAt(*bitmap, 490, 447, 1.0), 0xFFE3B95E, 6));
}

// Every pixel of two bitmaps of the same size, compared as 32-bit words.
::testing::AssertionResult samePixels(Gdiplus::Bitmap& a, Gdiplus::Bitmap& b) {
  if (a.GetWidth() != b.GetWidth() || a.GetHeight() != b.GetHeight()) {
    return ::testing::AssertionFailure() << "sizes differ";
  }
  const Gdiplus::Rect all(0, 0, static_cast<INT>(a.GetWidth()), static_cast<INT>(a.GetHeight()));
  Gdiplus::BitmapData da{}, db{};
  if (a.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &da) != Gdiplus::Ok) {
    return ::testing::AssertionFailure() << "cannot read the first bitmap";
  }
  if (b.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &db) != Gdiplus::Ok) {
    a.UnlockBits(&da);
    return ::testing::AssertionFailure() << "cannot read the second bitmap";
  }
  int differing = 0;
  for (UINT y = 0; y < da.Height; ++y) {
    const auto* ra = static_cast<const std::uint32_t*>(da.Scan0) + y * (da.Stride / 4);
    const auto* rb = static_cast<const std::uint32_t*>(db.Scan0) + y * (db.Stride / 4);
    for (UINT x = 0; x < da.Width; ++x) differing += ra[x] != rb[x];
  }
  a.UnlockBits(&da);
  b.UnlockBits(&db);
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " pixels differ";
}

// One painter repaints the window for its whole life while views, sizes and
// scales change; each paint must show exactly what a new painter shows.
TEST_P(WindowPainterTest, APainterThatPaintedBeforeGivesTheSamePixelsAsANewOne) {
  struct Paint {
    const char* name;
    WindowView view;
    double scale;
    double sizeScale;  // the client area is 900 x 550 times this
  };
  const double other = scale() == 1.0 ? 1.5 : 1.0;
  const Paint sequence[] = {
      {"ready", readyView(), scale(), scale()},
      {"installing after ready", installingView(), scale(), scale()},
      {"failed after installing", failedView(), scale(), scale()},
      {"ready at another scale and size", readyView(), other, other},
      {"the same size at the first scale", readyView(), scale(), other},
      {"installing back at the first scale and size", installingView(), scale(), scale()},
  };
  WindowPainter reused(background_.image(), logo_.image());
  for (const Paint& paint : sequence) {
    SCOPED_TRACE(paint.name);
    const int width = static_cast<int>(900 * paint.sizeScale), height = static_cast<int>(550 * paint.sizeScale);
    WindowPainter fresh(background_.image(), logo_.image());
    const auto expected = fresh.paint(paint.view, width, height, paint.scale);
    const auto actual = reused.paint(paint.view, width, height, paint.scale);
    ASSERT_TRUE(expected && actual);
    EXPECT_TRUE(samePixels(*actual, *expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Dpi, WindowPainterTest, ::testing::Values(1.0, 1.5),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return info.param == 1.0 ? std::string("At96Dpi") : std::string("At144Dpi");
                         });

TEST(WindowText, TextNeverWrapsAndTrimsWithAnEllipsis) {
  test::GdiplusSession gdiplus;
  const auto format = makeTextFormat(false);
  EXPECT_NE(format->GetFormatFlags() & Gdiplus::StringFormatFlagsNoWrap, 0);
  EXPECT_EQ(format->GetFormatFlags() & Gdiplus::StringFormatFlagsNoClip, 0);
  EXPECT_EQ(format->GetTrimming(), Gdiplus::StringTrimmingEllipsisCharacter);
  EXPECT_EQ(format->GetAlignment(), Gdiplus::StringAlignmentNear);
  EXPECT_EQ(format->GetLineAlignment(), Gdiplus::StringAlignmentNear);
}

TEST(WindowText, CentredTextIsCentredBothWays) {
  test::GdiplusSession gdiplus;
  const auto format = makeTextFormat(true);
  EXPECT_NE(format->GetFormatFlags() & Gdiplus::StringFormatFlagsNoWrap, 0);
  EXPECT_EQ(format->GetTrimming(), Gdiplus::StringTrimmingEllipsisCharacter);
  EXPECT_EQ(format->GetAlignment(), Gdiplus::StringAlignmentCenter);
  EXPECT_EQ(format->GetLineAlignment(), Gdiplus::StringAlignmentCenter);
}

TEST(WindowPicture, SavingToAFolderThatDoesNotExistFailsWithTheCaptureMessage) {
  test::GdiplusSession gdiplus;
  test::TempDir temp;
  Gdiplus::Bitmap bitmap(10, 10, PixelFormat32bppPARGB);
  EXPECT_EQ(test::messageOf([&] { saveWindowPicture(bitmap, temp / L"missing\\picture.png"); }),
            "无法保存安装界面截图");
}

TEST(WindowPicture, ASavedPictureIsAPngOfTheSameSize) {
  test::GdiplusSession gdiplus;
  test::TempDir temp;
  Gdiplus::Bitmap bitmap(12, 7, PixelFormat32bppPARGB);
  saveWindowPicture(bitmap, temp / L"picture.png");
  const std::string bytes = test::readBytes(temp / L"picture.png");
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  Gdiplus::Bitmap loaded((temp / L"picture.png").c_str());
  EXPECT_EQ(loaded.GetWidth(), 12u);
  EXPECT_EQ(loaded.GetHeight(), 7u);
}

}  // namespace
}  // namespace orvo
