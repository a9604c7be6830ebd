// "--capture-ui" through the real installer: the message when the picture cannot be saved, and the picture
// of the ready window, with the pictures from the executable's resources and the directory in its box.
#include "tests/app/WindowTestSupport.h"

namespace orvo::test {
namespace {

TEST(InstallerWindowCapture, UnwritablePathShowsTheMessageElseThePictureOfTheReadyWindowIsSaved) {
  TempDir temp;
  const std::wstring unwritable = temp / L"no such folder\\ready.png", path = temp / L"ready.png";
  ChildProcess refused = ChildProcess::start(installerExecutable(), L"--capture-ui \"" + unwritable + L"\"");
  EXPECT_EQ(answerMessageBox(refused.id(), L"orvo game", IDOK, std::chrono::seconds(60)), L"无法保存安装界面截图");
  EXPECT_EQ(refused.waitExit(std::chrono::seconds(60)), 1);
  EXPECT_FALSE(fileExists(unwritable));

  ASSERT_EQ(ChildProcess::start(installerExecutable(), L"--capture-ui \"" + path + L"\"").waitExit(std::chrono::seconds(60)), 0);
  GdiplusSession gdiplus;
  Gdiplus::Bitmap picture(path.c_str());
  ASSERT_TRUE(gdiplus.started() && picture.GetLastStatus() == Gdiplus::Ok);
  // The test display runs at 96 DPI: the picture is the window at its design size.
  ASSERT_EQ(std::make_pair(picture.GetWidth(), picture.GetHeight()), std::make_pair(900u, 550u));
  EXPECT_GT(countPixels(picture, 489, 235, 316, 22, 1.0, isBright), 40) << "the directory in the edit box";
  const Rgb moon = pixelAt(picture, 288, 144, 1.0);  // resource 101, the background
  EXPECT_TRUE(moon.r > 90 && moon.r - moon.b > 10);
  EXPECT_GT(countPixels(picture, 24, 13, 34, 34, 1.0, isGold), 40) << "resource 102, the logo's gold ring";
  EXPECT_GT(countPixels(picture, 475, 93, 389, 44, 1.0, isBright), 150) << "the heading";
}

}  // namespace
}  // namespace orvo::test
