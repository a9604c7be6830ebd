// The installer window for real under Xvfb, on the real pipeline and steps: its pictures in each state at two scales,
// what reaches the screen, and clicks, keys and notices as its state allows them.
#include "app/InstallerWindow.h"
#include "tests/app/WindowTestSupport.h"

namespace orvo::test {
namespace {

struct Window : TempDirTest {
  HWND box() const { return ::GetDlgItem(window->handle(), 1001); }
  // Posts a message (at a logical point) and hands the window the queued messages of its kind, and of no other.
  void deliver(UINT kind, HWND to = nullptr, WPARAM w = 0, double x = 0, double y = 0) {
    if (to) ::PostMessageW(to, kind, w, MAKELPARAM(std::ceil(x * settings.uiScale), std::ceil(y * settings.uiScale)));
    for (MSG m{}; ::PeekMessageW(&m, nullptr, kind, kind, PM_REMOVE);) m.message == WM_QUIT ? void(quit = int(m.wParam)) : window->processMessage(m);
  }
  const GdiplusSession gdiplus;
  InstallerSettings settings;
  InstallStatus status;
  const std::unique_ptr<PipelineSteps> steps = makeRealPipelineSteps();
  InstallPipeline pipeline{settings, status, *steps, {L"https://127.0.0.1:1/p", L"https://127.0.0.1:1/f", L""}};
  std::unique_ptr<InstallerWindow> window;
  int quit = -1;  // the exit code of a quit message the window posted
};

TEST_F(Window, PaintsEachStateAndTakesClicksKeysAndNoticesAsItsStateAllowsAtEachScale) {
  const auto red = [](const Rgb& c) { return c.r > 120 && c.r - c.g > 40 && c.r - c.b > 40; };
  const auto view = [](int percent, const wchar_t* error = L"", bool launch = true) { return WindowView{
      {percent, L"正在安装", L"", L"正在下载", L"8.4 MB/s", error}, percent >= 0, true, launch, L"可用空间 7.9 GB", false, L""}; };
  const struct { WindowView view; double x, y; Gdiplus::ARGB colour; } pixels[] = {
      {view(-1), 490, 447, 0xFFE3B95E}, {view(-1), 478, 327.5, 0xFFFFFFFF}, {view(-1, L"", false), 483, 354, 0xFF282937},
      {view(42), 490, 447, 0xFF766139}, {view(42), 500, 254.5, 0xFFDDB45C}, {view(42), 630, 254.5, 0xFFDDB45C},
      {view(42), 646, 254.5, 0xFF343348}, {view(0), 478, 254.5, 0xFF343348}, {view(100), 859, 254.5, 0xFFDDB45C}};
  // Option rows and beside them, idle and busy: the options after the click, and "*" when it repaints.
  const struct { double x, y; bool busy; const char* after; } clicks[] = {
      {600, 323, false, "-L*"}, {480, 355, false, "S-*"}, {834, 335, false, "-L*"}, {475, 366, false, "S-*"}, {600, 339, false, "SL"},
      {835, 323, false, "SL"}, {600, 323, true, "SL"}, {480, 355, true, "SL"}};
  // A notice repaints when what it shows changed, and only then.
  const struct { int percent; const wchar_t* status; const wchar_t* detail; bool repaints; } notices[] = {
      {70, L"a", L"", true}, {70, L"a", L"", false}, {69, L"a", L"", false}, {71, L"a", L"", true}, {71, L"b", L"", true},
      {71, L"b", L"7%", true}, {71, L"b", L"7%", false}};
  for (const double scale : {1.0, 1.5}) {
    WindowPainter painter(nullptr, nullptr);
    painter.paint(view(42), int(900 * scale), int(550 * scale), 2.5 - scale);  // the same size at the other scale first
    for (const auto& p : pixels) EXPECT_TRUE(colourNear(pixelAt(*painter.paint(p.view, int(900 * scale), int(550 * scale), scale),
                                                                p.x, p.y, scale), p.colour, 12)) << scale << " at " << p.x << ", " << p.y;
    // The long first line is cut, not wrapped: the second keeps its place and nothing reaches a third.
    const auto failed = painter.paint(view(-1, (std::wstring(120, L'错') + L"\nok").c_str()), int(900 * scale), int(550 * scale), scale);
    EXPECT_GT(countPixels(*failed, 475, 392, 389, 16, scale, red), 10);
    EXPECT_EQ(countPixels(*failed, 475, 410, 389, 25, scale, red) + countPixels(*failed, 865, 373, 35, 62, scale, red), 0);

    settings.installDirectory = temp / L"orvo game", settings.uiScale = scale;
    window = std::make_unique<InstallerWindow>(::GetModuleHandleW(nullptr), settings, status, pipeline, nullptr, nullptr);
    status.attachWindow(window->create());
    HDC dc = (::UpdateWindow(window->handle()), ::GetDC(window->handle()));
    const COLORREF shown = ::GetPixel(dc, int(490 * scale), int(447 * scale));
    ::ReleaseDC(window->handle(), dc);
    EXPECT_TRUE(colourNear({GetRValue(shown), GetGValue(shown), GetBValue(shown)}, 0xFFE3B95E, 6)) << "upright on screen";
    for (const auto& c : clicks) {
      settings.createDesktopShortcut = settings.launchAfterInstall = true, status.installBusy = c.busy;
      ::ValidateRect(window->handle(), nullptr), deliver(WM_LBUTTONUP, window->handle(), 0, c.x, c.y);
      EXPECT_EQ(std::string(settings.createDesktopShortcut ? "S" : "-") + (settings.launchAfterInstall ? "L" : "-") +
                    (::GetUpdateRect(window->handle(), nullptr, FALSE) ? "*" : ""), c.after) << scale << ": " << c.x << ", " << c.y;
    }
    for (const auto& n : notices) {
      ::UpdateWindow(window->handle()), status.reportProgress(n.percent, n.status, n.detail), deliver(WM_INSTALL_PROGRESS);
      EXPECT_EQ(::GetUpdateRect(window->handle(), nullptr, FALSE) != FALSE, n.repaints) << n.percent << " " << (*n.detail != 0);
    }
    const std::wstring pasted(40000, L'x'), typed = temp / L"Games\\orvo game";
    ::SendMessageW(box(), EM_SETSEL, 0, -1), ::SendMessageW(box(), EM_REPLACESEL, TRUE, LPARAM(pasted.c_str()));
    EXPECT_EQ(::GetWindowTextLengthW(box()), 32760);
    ::SetWindowTextW(box(), (L" \t" + typed + L" ").c_str());
    status.installBusy = false, deliver(WM_KEYDOWN, box(), VK_RETURN);
    EXPECT_TRUE(settings.installDirectory == typed && !::IsWindowVisible(box()));
    pipeline.joinWorker(), deliver(WM_INSTALL_FINISHED);
    EXPECT_TRUE(::IsWindowVisible(box()) && !status.installBusy && status.snapshot().heading == L"安装未完成");
    EXPECT_EQ((deliver(WM_LBUTTONUP, window->handle(), 0, 885, 44), std::exchange(quit, -1)), 0) << "an idle window closes with 0";
  }
}

}  // namespace
TEST_F(Window, AnUnattendedRunStartsHalfASecondAfterTheWindowShowsAndEndsWithOneOnFailure) {
  settings.installDirectory = temp / L"orvo game", settings.autoRun = true;
  window = std::make_unique<InstallerWindow>(::GetModuleHandleW(nullptr), settings, status, pipeline, nullptr, nullptr);
  const auto shown = std::chrono::steady_clock::now();
  status.attachWindow(window->create());
  while (quit < 0 && std::chrono::steady_clock::now() - shown < std::chrono::seconds(60)) deliver(0), ::Sleep(5);
  EXPECT_GE(std::chrono::steady_clock::now() - shown, std::chrono::milliseconds(450)) << "the install waits half a second";
  pipeline.joinWorker();
  EXPECT_EQ(quit, 1) << "the download cannot succeed";
}

}  // namespace orvo::test
