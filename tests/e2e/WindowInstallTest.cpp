// An install as a user makes it: the real window (a second installer is refused meanwhile), a typed
// directory, a click; then the registered uninstaller, answered Yes.
#include <shlobj.h>

#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "tests/e2e/E2eSupport.h"

namespace orvo::test::e2e {
namespace {

std::wstring shortcut(const KNOWNFOLDERID& id) { return joinPath(knownFolderOfUser(id, getDesktopUserToken().get()), kShortcutName); }

std::wstring shortcutTarget(const KNOWNFOLDERID& folder) {
  ComApartment com;
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  wchar_t target[1024] = {};
  if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.putVoid())) &&
      SUCCEEDED(file->Load(shortcut(folder).c_str(), STGM_READ))) {
    link->GetPath(target, 1024, nullptr, SLGP_RAWPATH);
  }
  return lowercaseText(target);
}

class WindowInstall : public E2eTest {
 protected:
  void SetUp() override {
    if (E2eTest::SetUp(), IsSkipped()) return;
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    TearDown();
  }
  void TearDown() override {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, 0);
    ::DeleteFileW(shortcut(FOLDERID_Desktop).c_str());
    ::DeleteFileW(shortcut(FOLDERID_Programs).c_str());
  }

  CrossProcessLock machineState{L"OrvoSystemTestsMachineState"};  // the uninstall key and the shortcuts
  std::wstring directory = temp / L"orvo test\\orvo game", program = directory + L"\\OrvoQ9.exe";
};

TEST_F(WindowInstall, ClickedInstallRegistersAndStartsThePlatformAndTheUninstallerRemovesItAgain) {
  ChildProcess idle = ChildProcess::start(installerExecutable(), L"");
  const HWND window = installerWindow(idle.id());
  ChildProcess second = ChildProcess::start(installerExecutable(), L"");
  EXPECT_EQ(wideToUtf8(answerMessageBox(second.id(), L"orvo game", IDOK)), "orvo game 安装程序已在运行");
  EXPECT_EQ(second.waitExit(std::chrono::seconds(30)), 1);
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(idle.waitExit(std::chrono::seconds(30)), 0) << "closing an idle window ends with 0";
  // Types the directory into the window and clicks install, the platform's launch unchecked.
  const std::wstring arguments = L"\"" + installerExecutable() + L"\" \"" + directory + L"\" --no-launch";
  ASSERT_EQ(runToExit(helperProgram(L"InstallThroughWindow"), arguments, std::chrono::seconds(240)), 0u);

  expectEveryManifestFileIn(directory);
  const std::wstring uninstaller = directory + L"\\卸载 orvo game.exe";
  EXPECT_EQ(readBytes(uninstaller), readBytes(installerExecutable()));
  EXPECT_TRUE(fileExists(directory + L"\\.platform\\installer-files.tsv"));
  EXPECT_EQ(shortcutTarget(FOLDERID_Desktop), lowercaseText(program));
  EXPECT_EQ(shortcutTarget(FOLDERID_Programs), lowercaseText(program));

  ChildProcess uninstall = ChildProcess::start(uninstaller, L"--uninstall");
  EXPECT_NE(answerMessageBox(uninstall.id(), L"卸载 orvo game", IDYES), L"");
  EXPECT_EQ(answerMessageBox(uninstall.id(), L"orvo game", IDOK), L"orvo game 已卸载。");
  EXPECT_EQ(uninstall.waitExit(std::chrono::seconds(120)), 0);
  expectEveryManifestFileIn(directory, false);
  EXPECT_FALSE(fileExists(shortcut(FOLDERID_Desktop)) || fileExists(shortcut(FOLDERID_Programs)));
  // What is not a program file stays: the marker, the personal data directory.
  EXPECT_TRUE(fileExists(directory + L"\\platform-installation.json") && directoryExists(directory + L"\\.platform"));
}

}  // namespace
}  // namespace orvo::test::e2e
