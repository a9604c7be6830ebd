// The browse button opens the shell's folder picker for real; the folder
// picked there lands in the path box with the product folder appended.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "app/InstallerWindow.h"
#include "app/InstallerWindowPaths.h"
#include "common/FileSystemErrors.h"
#include "common/ScopeExit.h"
#include "tests/app/FakePipelineSteps.h"
#include "tests/app/WindowTestSupport.h"
#include "tests/support/MessageOf.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

constexpr int kFileNameEdit = 1152;  // the picker's name box (edt1 of the common dialogs)

struct DialogSearch {
  HWND found = nullptr;
};

BOOL CALLBACK findPicker(HWND window, LPARAM parameter) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t className[16] = {};
  ::GetClassNameW(window, className, 16);
  wchar_t title[64] = {};
  ::GetWindowTextW(window, title, 64);
  if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) && std::wstring(className) == L"#32770" &&
      std::wstring(title) == L"选择 orvo game 安装目录") {
    reinterpret_cast<DialogSearch*>(parameter)->found = window;
    return FALSE;
  }
  return TRUE;
}

// Waits for the picker, types `folder` into its name box and presses its OK
// button (or Cancel when `folder` is empty). Returns whether a picker appeared.
bool pickInDialog(const std::wstring& folder) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    DialogSearch search;
    ::EnumWindows(&findPicker, reinterpret_cast<LPARAM>(&search));
    HWND name = search.found ? ::GetDlgItem(search.found, kFileNameEdit) : nullptr;
    if (name != nullptr) {
      if (folder.empty()) {
        ::PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      } else {
        ::SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(folder.c_str()));
        ::PostMessageW(::GetDlgItem(search.found, IDOK), BM_CLICK, 0, 0);
      }
      return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

class BrowseTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gdiplus_.started());
    ::CreateDirectoryW((temp / L"Games").c_str(), nullptr);
    ::CreateDirectoryW((temp / L"Games\\ORVO GAME").c_str(), nullptr);
    settings_.installDirectory = temp / L"Games\\orvo game\\not there yet";
    window_ =
        std::make_unique<InstallerWindow>(::GetModuleHandleW(nullptr), settings_, status_, pipeline_, nullptr, nullptr);
    status_.attachWindow(window_->create());
  }
  void TearDown() override {
    status_.attachWindow(nullptr);
    window_.reset();
  }

  // Clicks the browse button while another thread works the picker.
  std::wstring browse(const std::wstring& folder) {
    auto picker = std::async(std::launch::async, [folder] { return pickInDialog(folder); });
    ::PostMessageW(window_->handle(), WM_LBUTTONUP, 0, MAKELPARAM(837, 245));
    MSG message{};
    while (::PeekMessageW(&message, nullptr, WM_LBUTTONUP, WM_LBUTTONUP, PM_REMOVE)) window_->processMessage(message);
    EXPECT_TRUE(picker.get()) << "no folder picker appeared";
    return window_->readPathBox();
  }

  ComApartment com_;
  test::GdiplusSession gdiplus_;
  InstallerSettings settings_;
  InstallStatus status_;
  test::FakePipelineSteps steps_{status_};
  InstallPipeline pipeline_{settings_, status_, steps_, PipelineEndpoints{}};
  std::unique_ptr<InstallerWindow> window_;
};

TEST_F(BrowseTest, APickedFolderGetsTheProductFolderInThePathBox) {
  EXPECT_EQ(browse(temp / L"Games"), temp / L"Games\\orvo game");
}

TEST_F(BrowseTest, APickedProductFolderIsKeptAsItIs) {
  EXPECT_EQ(browse(temp / L"Games\\ORVO GAME"), temp / L"Games\\ORVO GAME");
}

TEST_F(BrowseTest, ACancelledPickerLeavesThePathBoxAlone) {
  EXPECT_EQ(browse(L""), temp / L"Games\\orvo game\\not there yet");
}

TEST_F(BrowseTest, BrowseIsIgnoredWhileAnInstallRuns) {
  status_.installBusy.store(true);
  ::PostMessageW(window_->handle(), WM_LBUTTONUP, 0, MAKELPARAM(837, 245));
  MSG message{};
  while (::PeekMessageW(&message, nullptr, WM_LBUTTONUP, WM_LBUTTONUP, PM_REMOVE)) window_->processMessage(message);
  // The click returned without a modal picker; none is left open either.
  DialogSearch search;
  ::EnumWindows(&findPicker, reinterpret_cast<LPARAM>(&search));
  EXPECT_EQ(search.found, nullptr);
}

// How Windows answers a typed path it refuses to test (Wine calls every such
// path absent).
bool refusingExists(const std::wstring& path) {
  throwFilesystemError("exists", std::error_code(ERROR_INVALID_NAME, std::system_category()), path);
}

TEST_F(BrowseTest, APathWindowsRefusesToTestOpensThePickerInsteadOfEndingTheInstaller) {
  const std::wstring typed = L"C:\\games\\or|vo";
  ::SetWindowTextW(::GetDlgItem(window_->handle(), 1001), typed.c_str());
  const BrowseExistsTest standard = replaceBrowseExistsTest(&refusingExists);
  const ScopeExit restore([standard] { replaceBrowseExistsTest(standard); });

  auto picker = std::async(std::launch::async, [] { return pickInDialog(L""); });
  ::PostMessageW(window_->handle(), WM_LBUTTONUP, 0, MAKELPARAM(837, 245));
  const std::string error = test::messageOf([&] {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, WM_LBUTTONUP, WM_LBUTTONUP, PM_REMOVE)) window_->processMessage(message);
  });
  EXPECT_EQ(error, "no exception") << "the probe's error left the window and would end the installer";
  // The search for the picker asks this thread's windows for their titles, so
  // this thread keeps answering while it waits.
  while (picker.wait_for(50ms) != std::future_status::ready) {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  }
  EXPECT_TRUE(picker.get()) << "no folder picker appeared";
  EXPECT_EQ(window_->readPathBox(), typed);
}

}  // namespace
}  // namespace orvo
