// "--capture-ui" through the real installer: the picture of the ready window
// with its pictures from the executable's resources and the directory in the
// box, the exit codes, and the message when the picture cannot be saved.
// (Runs apart from other installers: the single-instance mutex is session-wide.)
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/app/WindowTestSupport.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

struct CaptureRun {
  long long exitCode = -1;
  std::wstring message;  // the text of the error box, when one appeared
};

// Runs the installer with "--capture-ui <path>" until it exits, answering an
// error box if one appears.
CaptureRun runCapture(const std::wstring& path) {
  auto child = test::ChildProcess::start(test::installerExecutable(), L"--capture-ui \"" + path + L"\"");
  CaptureRun run;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    run.exitCode = child.waitExit(200ms);
    if (run.exitCode != -1) break;
    try {
      run.message = test::answerMessageBox(child.id(), L"orvo game", IDOK, 300ms);
    } catch (const std::runtime_error&) {
      continue;  // no box yet
    }
    run.exitCode = child.waitExit(60s);
    break;
  }
  return run;
}

class CaptureTest : public test::TempDirTest {
 protected:
  void SetUp() override { ASSERT_TRUE(gdiplus_.started()); }
  test::GdiplusSession gdiplus_;
};

TEST_F(CaptureTest, AnUnwritablePathShowsTheCaptureMessageAndExitsWithOne) {
  const std::wstring path = temp / L"no such folder\\ready.png";
  const CaptureRun run = runCapture(path);
  EXPECT_EQ(run.message, L"无法保存安装界面截图");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(test::fileExists(path));
}

TEST_F(CaptureTest, AWritablePathGetsThePictureOfTheReadyWindowAndExitsWithZero) {
  const std::wstring path = temp / L"ready.png";
  const CaptureRun run = runCapture(path);
  EXPECT_EQ(run.message, L"");
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_TRUE(test::fileExists(path));
  ::CopyFileW(path.c_str(), test::artifactPath(L"capture-ui-ready.png").c_str(), FALSE);

  Gdiplus::Bitmap picture(path.c_str());
  ASSERT_EQ(picture.GetLastStatus(), Gdiplus::Ok);
  // The test display runs at 96 DPI: the picture is the window at its design size.
  ASSERT_EQ(picture.GetWidth(), 900u);
  ASSERT_EQ(picture.GetHeight(), 550u);
  // The directory is drawn where the edit box sits.
  EXPECT_GT(test::countPixels(picture, 489, 235, 316, 22, 1.0, test::isBright), 40);
  // Resource 101 (the moon of the background) and resource 102 (the logo's gold ring).
  const test::Rgb moon = test::pixelAt(picture, 288, 144, 1.0);
  EXPECT_GT(moon.r, 90);
  EXPECT_GT(moon.r - moon.b, 10);
  EXPECT_GT(test::countPixels(picture, 24, 13, 34, 34, 1.0, test::isGold), 40);
  EXPECT_TRUE(test::colourNear(test::pixelAt(picture, 490, 447, 1.0), 0xFFE3B95E, 6));
  EXPECT_GT(test::countPixels(picture, 475, 93, 389, 44, 1.0, test::isBright), 150);
}

}  // namespace
}  // namespace orvo
