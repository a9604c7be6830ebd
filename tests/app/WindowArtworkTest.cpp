// The window's pictures: the build's artwork decodes with the sizes the layout
// was designed for, and the image loader fails with its own messages.
#include <gtest/gtest.h>

#include "app/ResourceImage.h"
#include "tests/support/MessageOf.h"
#include "tests/app/WindowTestSupport.h"

namespace orvo {
namespace {

// The picture's file format and size, as GDI+ decodes it.
void expectPicture(const ResourceImage& image, const GUID& format, UINT width, UINT height) {
  ASSERT_TRUE(image);
  GUID actual{};
  image.image()->GetRawFormat(&actual);
  EXPECT_TRUE(IsEqualGUID(actual, format));
  EXPECT_EQ(image.image()->GetWidth(), width);
  EXPECT_EQ(image.image()->GetHeight(), height);
}

TEST(WindowArtwork, TheBackgroundIsAJpegOf1965By822) {
  test::GdiplusSession gdiplus;
  expectPicture(test::loadArtwork(L"installer-background.jpg"), Gdiplus::ImageFormatJPEG, 1965, 822);
}

TEST(WindowArtwork, TheLogoIsATransparentPngOf211By98) {
  test::GdiplusSession gdiplus;
  const ResourceImage image = test::loadArtwork(L"installer-logo.png");
  expectPicture(image, Gdiplus::ImageFormatPNG, 211, 98);
  EXPECT_NE(image.image()->GetFlags() & Gdiplus::ImageFlagsHasAlpha, 0u);
}

TEST(WindowArtwork, BytesThatAreNoPictureAreAnInvalidImage) {
  test::GdiplusSession gdiplus;
  const std::vector<unsigned char> noise = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'};
  EXPECT_EQ(test::messageOf([&] { loadImageFromBytes(noise); }), "Image invalid");
}

TEST(WindowArtwork, NoBytesAreAnInvalidImage) {
  test::GdiplusSession gdiplus;
  EXPECT_EQ(test::messageOf([] { loadImageFromBytes({}); }), "Image invalid");
}

TEST(WindowArtwork, AResourceThatIsNotThereIsMissing) {
  test::GdiplusSession gdiplus;
  // The test program carries no pictures, unlike the installer.
  EXPECT_EQ(test::messageOf([] { loadResourceImage(101); }), "Embedded resource missing");
}

TEST(WindowArtwork, AnImageKeepsItsStreamUntilItIsReleased) {
  test::GdiplusSession gdiplus;
  ResourceImage image = test::loadArtwork(L"installer-logo.png");
  ResourceImage moved = std::move(image);
  EXPECT_FALSE(image);
  ASSERT_TRUE(moved);
  // Decoding reads the stream lazily: drawing after the move still works.
  Gdiplus::Bitmap target(211, 98, PixelFormat32bppPARGB);
  Gdiplus::Graphics graphics(&target);
  EXPECT_EQ(graphics.DrawImage(moved.image(), 0, 0, 211, 98), Gdiplus::Ok);
  moved.reset();
  EXPECT_FALSE(moved);
}

}  // namespace
}  // namespace orvo
