// The installer window for real under Xvfb: clicks, the Return key, closing,
// the drag strip and the path box, driving the real pipeline with scripted
// collaborators.
#include "app/InstallerWindow.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/InstallDirectory.h"
#include "common/ScopeExit.h"
#include "tests/app/FakePipelineSteps.h"
#include "tests/app/WindowTestSupport.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

class InstallerWindowTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gdiplus_.started());
    settings_.installDirectory = temp / L"orvo game";
  }

  void TearDown() override {
    status_.attachWindow(nullptr);
    window_.reset();
    pipeline_.joinWorker();
  }

  void open() {
    window_ =
        std::make_unique<InstallerWindow>(::GetModuleHandleW(nullptr), settings_, status_, pipeline_, nullptr, nullptr);
    status_.attachWindow(window_->create());
    pumpPending();
  }

  HWND handle() const { return window_->handle(); }

  // Runs the window's message loop step until `done` holds or the time is up.
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pumpPending();
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
  }

  void pumpPending() {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        quitCode_ = message.wParam;
        continue;
      }
      window_->processMessage(message);
    }
  }

  // Hands the window only the queued messages of one kind, so that nothing else
  // (a paint, a finished install) is handled in between.
  void deliver(UINT kind) {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, kind, kind, PM_REMOVE)) window_->processMessage(message);
  }

  // A real click (mouse down and up through the input queue) at a logical point.
  void click(int x, int y) {
    POINT point{x, y};
    ::ClientToScreen(handle(), &point);
    test::clickOnWindow(handle(), point);
  }

  // The left button released at a logical point, as the window receives it.
  void postButtonUp(int x, int y) { ::PostMessageW(handle(), WM_LBUTTONUP, 0, MAKELPARAM(x, y)); }

  bool hasPendingRepaint() const {
    RECT update{};
    return ::GetUpdateRect(handle(), &update, FALSE) != FALSE;
  }

  ComApartment com_;
  test::GdiplusSession gdiplus_;
  InstallerSettings settings_;
  InstallStatus status_;
  test::FakePipelineSteps steps_{status_};
  InstallPipeline pipeline_{
      settings_, status_, steps_,
      PipelineEndpoints{L"https://127.0.0.1/primary.7z", L"https://localhost/fallback.7z", L"aa11"}};
  std::unique_ptr<InstallerWindow> window_;
  std::optional<WPARAM> quitCode_;
};

TEST_F(InstallerWindowTest, TheWindowIsABorderlessPopupOfTheDesignSize) {
  open();
  RECT client{};
  ::GetClientRect(handle(), &client);
  EXPECT_EQ(client.right, 900);
  EXPECT_EQ(client.bottom, 550);
  const LONG_PTR style = ::GetWindowLongPtrW(handle(), GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_CLIPCHILDREN | WS_CAPTION | WS_THICKFRAME), WS_POPUP | WS_CLIPCHILDREN);
  EXPECT_NE(::GetWindowLongPtrW(handle(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  wchar_t className[64] = {};
  ::GetClassNameW(handle(), className, 64);
  EXPECT_STREQ(className, L"OrvoGameInstaller");
  wchar_t title[64] = {};
  ::GetWindowTextW(handle(), title, 64);
  EXPECT_STREQ(title, L"orvo game 安装");
  EXPECT_TRUE(::IsWindowVisible(handle()));
}

TEST_F(InstallerWindowTest, ThePathBoxShowsTheDirectoryWhereTheDesignPutsIt) {
  settings_.uiScale = 1.0;
  open();
  HWND box = window_->pathBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(::GetDlgCtrlID(box), 1001);
  EXPECT_EQ(window_->readPathBox(), temp / L"orvo game");
  RECT rect{};
  ::GetWindowRect(box, &rect);
  ::MapWindowPoints(HWND_DESKTOP, handle(), reinterpret_cast<POINT*>(&rect), 2);
  EXPECT_EQ((PixelRect{rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top}), pathBoxPixels(1.0));
  EXPECT_EQ(::GetWindowLongPtrW(box, GWL_STYLE) & (WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP),
            ES_AUTOHSCROLL | WS_TABSTOP);
}

TEST_F(InstallerWindowTest, ThePathBoxNeverAcceptsMoreThan32760Characters) {
  open();
  HWND box = window_->pathBox();
  EXPECT_EQ(::SendMessageW(box, EM_GETLIMITTEXT, 0, 0), 32760);
  ::SendMessageW(box, EM_SETSEL, 0, -1);
  const std::wstring pasted(40000, L'x');
  ::SendMessageW(box, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(pasted.c_str()));
  EXPECT_EQ(::GetWindowTextLengthW(box), 32760);
}

TEST_F(InstallerWindowTest, ThePathBoxIsReadTrimmed) {
  open();
  ::SetWindowTextW(window_->pathBox(), (L" \t" + temp.path() + L"\\Games \t ").c_str());
  EXPECT_EQ(window_->readPathBox(), temp / L"Games");
}

TEST_F(InstallerWindowTest, TypingInThePathBoxRepaintsAndTheFreeSpaceLineFollows) {
  open();
  ::ValidateRect(handle(), nullptr);
  ASSERT_FALSE(hasPendingRepaint());
  ::SetWindowTextW(window_->pathBox(), L"");
  EXPECT_TRUE(hasPendingRepaint());
  EXPECT_EQ(window_->currentView().freeSpace, L"请选择有效的安装目录");
  ::SetWindowTextW(window_->pathBox(), temp.path().c_str());
  EXPECT_EQ(window_->currentView().freeSpace, freeSpaceText(temp.path()));
  EXPECT_EQ(window_->currentView().freeSpace.rfind(L"可用空间 ", 0), 0u);
}

// What reaches the screen is the painted picture, the right way up and in
// its own colours: the window's pixels read back from its device context.
TEST_F(InstallerWindowTest, ThePaintedPictureReachesTheScreenUprightInItsColours) {
  struct Point {
    const char* name;
    double x, y;
    Gdiplus::ARGB colour;
  };
  const Point points[] = {
      {"the idle install button, low on the right", 490, 447, 0xFFE3B95E},
      {"the canvas above it, high on the left", 288, 144, 0xFF10111E},
  };
  open();
  ::UpdateWindow(handle());
  HDC dc = ::GetDC(handle());
  ASSERT_NE(dc, nullptr);
  const ScopeExit release([this, dc] { ::ReleaseDC(handle(), dc); });
  for (const Point& point : points) {
    SCOPED_TRACE(point.name);
    const COLORREF pixel = ::GetPixel(dc, static_cast<int>(point.x * settings_.uiScale),
                                      static_cast<int>(point.y * settings_.uiScale));
    const test::Rgb shown{GetRValue(pixel), GetGValue(pixel), GetBValue(pixel)};
    EXPECT_TRUE(test::colourNear(shown, point.colour, 6));
  }
}

// A progress notice repaints the window when anything it shows changed, and
// only then: the digests report every chunk while the bar moves one percent
// per dozen chunks.
TEST_F(InstallerWindowTest, AProgressNoticeRepaintsOnlyWhatChangedOnScreen) {
  struct Notice {
    const char* name;
    int percent;
    const wchar_t* status;
    const wchar_t* detail;
    bool repaints;
  };
  const Notice notices[] = {
      {"first progress", 70, L"正在校验下载文件", L"", true},
      {"the same again", 70, L"正在校验下载文件", L"", false},
      {"a lower percent keeps the shown one", 69, L"正在校验下载文件", L"", false},
      {"the next percent", 71, L"正在校验下载文件", L"", true},
      {"another status", 71, L"正在解压平台文件", L"", true},
      {"another detail", 71, L"正在解压平台文件", L"解压进度 7%", true},
      {"the same detail again", 71, L"正在解压平台文件", L"解压进度 7%", false},
  };
  open();
  for (const Notice& notice : notices) {
    SCOPED_TRACE(notice.name);
    ::UpdateWindow(handle());  // paints what is pending, so the window shows the record
    ASSERT_FALSE(hasPendingRepaint());
    status_.reportProgress(notice.percent, notice.status, notice.detail);
    deliver(WM_INSTALL_PROGRESS);
    EXPECT_EQ(hasPendingRepaint(), notice.repaints);
  }
}

TEST_F(InstallerWindowTest, ClickingTheOptionRowsTogglesTheSettings) {
  open();
  ASSERT_TRUE(settings_.createDesktopShortcut);
  ASSERT_TRUE(settings_.launchAfterInstall);
  click(600, 323);
  EXPECT_TRUE(pumpUntil([&] { return !settings_.createDesktopShortcut; }));
  EXPECT_TRUE(settings_.launchAfterInstall);
  click(480, 355);
  EXPECT_TRUE(pumpUntil([&] { return !settings_.launchAfterInstall; }));
  click(834, 335);
  EXPECT_TRUE(pumpUntil([&] { return settings_.createDesktopShortcut; }));
  EXPECT_FALSE(settings_.launchAfterInstall);
  EXPECT_FALSE(steps_.called("validateInstallDirectory"));
}

TEST_F(InstallerWindowTest, AClickBetweenTheRowsChangesNothing) {
  open();
  postButtonUp(600, 339);
  postButtonUp(835, 323);
  pumpPending();
  EXPECT_TRUE(settings_.createDesktopShortcut);
  EXPECT_TRUE(settings_.launchAfterInstall);
}

TEST_F(InstallerWindowTest, OptionRowClicksWhileAnInstallRunsChangeNothingAndDoNotRepaint) {
  open();
  status_.installBusy.store(true);
  ::ValidateRect(handle(), nullptr);
  postButtonUp(600, 323);
  postButtonUp(600, 355);
  deliver(WM_LBUTTONUP);
  EXPECT_TRUE(settings_.createDesktopShortcut);
  EXPECT_TRUE(settings_.launchAfterInstall);
  EXPECT_FALSE(hasPendingRepaint());

  status_.installBusy.store(false);
  postButtonUp(600, 323);
  deliver(WM_LBUTTONUP);
  EXPECT_FALSE(settings_.createDesktopShortcut);
  EXPECT_TRUE(hasPendingRepaint());
}

TEST_F(InstallerWindowTest, ReturnInThePathBoxStartsAnInstallOfTheTypedDirectory) {
  steps_.failures["downloadPayload"] = "Download connection failed";
  open();
  const std::wstring typed = temp / L"Games\\orvo game";
  ::SetWindowTextW(window_->pathBox(), (L"  " + typed + L" ").c_str());
  ::PostMessageW(window_->pathBox(), WM_KEYDOWN, VK_RETURN, 0);
  deliver(WM_KEYDOWN);
  // Only the window clears the busy flag, on the failure notice not yet handled.
  EXPECT_TRUE(status_.installBusy.load());
  EXPECT_EQ(settings_.installDirectory, typed);
  ASSERT_FALSE(steps_.validatedDirectories.empty());
  EXPECT_EQ(steps_.validatedDirectories.front(), typed);
  EXPECT_FALSE(::IsWindowVisible(window_->pathBox())) << "the path box hides while installing";

  // Both downloads fail: the window gets the failure notice and is usable again.
  ASSERT_TRUE(pumpUntil([&] { return !status_.installBusy.load(); }));
  EXPECT_EQ(steps_.callCount("downloadPayload"), 2);
  EXPECT_TRUE(::IsWindowVisible(window_->pathBox()));
  const InstallStatusRecord record = status_.snapshot();
  EXPECT_EQ(record.error, L"Download connection failed");
  EXPECT_EQ(record.heading, L"安装未完成");
  EXPECT_TRUE(::IsWindow(handle()));
  EXPECT_FALSE(quitCode_.has_value());
}

TEST_F(InstallerWindowTest, ReturnWhileAnInstallRunsStartsNothing) {
  open();
  status_.installBusy.store(true);
  ::PostMessageW(window_->pathBox(), WM_KEYDOWN, VK_RETURN, 0);
  ::PostMessageW(handle(), WM_KEYDOWN, VK_RETURN, 0);
  pumpPending();
  EXPECT_FALSE(steps_.called("validateInstallDirectory"));
  EXPECT_FALSE(pipeline_.workerJoinable());
}

TEST_F(InstallerWindowTest, ARejectedDirectoryShowsTheMessageAndKeepsTheForm) {
  steps_.failures["validateInstallDirectory"] = "请选择完整的平台安装目录";
  open();
  ::SetWindowTextW(window_->pathBox(), L"games");
  postButtonUp(820, 466);
  pumpPending();
  EXPECT_EQ(status_.snapshot().error, L"请选择完整的平台安装目录");
  EXPECT_FALSE(status_.installBusy.load());
  EXPECT_TRUE(::IsWindowVisible(window_->pathBox()));
  EXPECT_FALSE(pipeline_.workerJoinable());
}

TEST_F(InstallerWindowTest, ClosingWhileAnInstallRunsIsRefusedWithAMessage) {
  steps_.failures["downloadPayload"] = "Download connection failed";
  open();
  window_->startInstall();
  ASSERT_TRUE(status_.installBusy.load());
  // The message box runs its own loop on this thread; another thread answers it.
  auto answer = std::async(std::launch::async,
                           [] { return test::answerMessageBox(::GetCurrentProcessId(), L"orvo game", IDOK); });
  postButtonUp(866, 27);  // the close button
  // Only the click: the failure notice may already wait in the queue behind it.
  deliver(WM_LBUTTONUP);
  ASSERT_EQ(answer.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(answer.get(), L"正在安装，请等待完成。");
  EXPECT_TRUE(::IsWindow(handle()));
  EXPECT_FALSE(quitCode_.has_value());
}

TEST_F(InstallerWindowTest, ClosingWhenIdleEndsTheLoopWithZero) {
  open();
  postButtonUp(885, 44);
  ASSERT_TRUE(pumpUntil([&] { return quitCode_.has_value(); }));
  EXPECT_EQ(*quitCode_, 0u);
  EXPECT_EQ(window_->handle(), nullptr);
}

TEST_F(InstallerWindowTest, TheMinimiseButtonMinimises) {
  open();
  click(827, 27);
  EXPECT_TRUE(pumpUntil([&] { return ::IsIconic(handle()) != FALSE; }));
}

TEST_F(InstallerWindowTest, TheTitleStripDragsTheWindowAndTheButtonsDoNot) {
  open();
  auto hit = [&](int x, int y) {
    POINT point{x, y};
    ::ClientToScreen(handle(), &point);
    return ::SendMessageW(handle(), WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y));
  };
  EXPECT_EQ(hit(0, 0), HTCAPTION);
  EXPECT_EQ(hit(799, 54), HTCAPTION);
  EXPECT_EQ(hit(800, 20), HTCLIENT);
  EXPECT_EQ(hit(799, 55), HTCLIENT);
  EXPECT_EQ(hit(866, 27), HTCLIENT);
  EXPECT_EQ(hit(600, 460), HTCLIENT);
}

TEST_F(InstallerWindowTest, TheHandShowsOverTheInstallButton) {
  open();
  const test::CrossProcessLock cursor(test::kDesktopCursorLock);
  POINT point{600, 460};
  ::ClientToScreen(handle(), &point);
  ::SetCursorPos(point.x, point.y);
  ::SendMessageW(handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(handle()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_HAND));
  point = POINT{300, 300};
  ::ClientToScreen(handle(), &point);
  ::SetCursorPos(point.x, point.y);
  ::SendMessageW(handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(handle()), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(::GetCursor(), ::LoadCursorW(nullptr, IDC_ARROW));
}

TEST_F(InstallerWindowTest, UnattendedModeInstallsAfterHalfASecondAndQuitsWithOneOnFailure) {
  settings_.autoRun = true;
  steps_.failures["validateInstallDirectory"] = "安装磁盘可用空间不足，至少需要 768 MB";
  const auto started = std::chrono::steady_clock::now();
  open();
  ASSERT_TRUE(pumpUntil([&] { return quitCode_.has_value(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 450ms);
  EXPECT_EQ(*quitCode_, 1u);
  EXPECT_TRUE(steps_.called("validateInstallDirectory"));
  EXPECT_EQ(window_->handle(), nullptr);
}

TEST_F(InstallerWindowTest, ASuccessfulInstallClosesTheWindowWithZero) {
  settings_.autoRun = true;
  open();
  ASSERT_TRUE(pumpUntil([&] { return quitCode_.has_value(); }, 30s));
  EXPECT_TRUE(status_.installSucceeded.load());
  EXPECT_EQ(*quitCode_, 0u);
  EXPECT_EQ(status_.snapshot().percent, 100);
}

}  // namespace
}  // namespace orvo
