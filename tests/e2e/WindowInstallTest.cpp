// A normal install as a user makes it: the real window, a directory typed into
// its path box, a click on its install button; then the registered uninstaller
// started with "--uninstall" and answered Yes, and the uninstaller copy it
// leaves behind started as an installer into the same directory.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "txn/TransactionPathRules.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/support/InstallerWindowDriver.h"
#include "tests/system/SystemTestSupport.h"

using namespace orvo::test;
using namespace orvo::test::e2e;

namespace {

std::wstring userShortcut(const KNOWNFOLDERID& folder) {
  const orvo::UniqueHandle token = orvo::getDesktopUserToken();
  return orvo::joinPath(orvo::knownFolderOfUser(folder, token.get()), orvo::kShortcutName);
}

std::wstring shortcutTarget(const std::wstring& path) {
  orvo::ComApartment com;
  orvo::ComPtr<IShellLinkW> link;
  orvo::ComPtr<IPersistFile> file;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())) || FAILED(file->Load(path.c_str(), STGM_READ))) {
    return L"<unreadable>";
  }
  wchar_t target[1024] = {};
  link->GetPath(target, 1024, nullptr, SLGP_RAWPATH);
  return target;
}

// A string value of the uninstall key, or nothing when the key or value is missing.
std::optional<std::wstring> uninstallValue(const wchar_t* name) {
  wchar_t data[2048] = {};
  DWORD size = sizeof data;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, orvo::kUninstallKeyPath, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr,
                     data, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

// Ids of the running processes whose image is `program`.
std::vector<DWORD> processesOf(const std::wstring& program) {
  std::vector<DWORD> ids;
  orvo::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    orvo::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) continue;
    wchar_t image[1024] = {};
    DWORD length = 1024;
    if (::QueryFullProcessImageNameW(process.get(), 0, image, &length) &&
        orvo::lowercaseText(image) == orvo::lowercaseText(program)) {
      ids.push_back(entry.th32ProcessID);
    }
  }
  return ids;
}

// Whether this platform's shell links keep a target path outside the ANSI code
// page (Wine 8 writes only the ANSI form and reads back "??" for Chinese).
bool shellLinksKeepUnicodeTargets(const std::wstring& scratch) {
  const std::wstring directory = scratch + L"\\链接探测";
  ::CreateDirectoryW(directory.c_str(), nullptr);
  writeBytes(directory + L"\\OrvoQ9.exe", "probe");
  {
    orvo::ComApartment com;
    orvo::createShortcut(scratch + L"\\probe.lnk", directory);
  }
  return shortcutTarget(scratch + L"\\probe.lnk") == directory + L"\\OrvoQ9.exe";
}

void removeMachineState() {
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, orvo::kUninstallKeyPath, KEY_WOW64_64KEY, 0);
  ::DeleteFileW(userShortcut(FOLDERID_Desktop).c_str());
  ::DeleteFileW(userShortcut(FOLDERID_Programs).c_str());
}

class WindowInstall : public E2eTest, public ::testing::WithParamInterface<const wchar_t*> {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (IsSkipped()) return;
    const std::wstring name = GetParam();
    const bool beyondAscii = std::any_of(name.begin(), name.end(), [](wchar_t c) { return c > 0x7F; });
    if (beyondAscii && !shellLinksKeepUnicodeTargets(temp.path())) {
      GTEST_SKIP() << "this platform's shell links lose a target path outside the ANSI code page (Wine 8), so the "
                      "uninstaller cannot recognise its shortcuts there";
    }
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    removeMachineState();
  }
  void TearDown() override {
    for (const DWORD id : processesOf(program())) endProcessIfRunning(id, program());
    removeMachineState();
  }

  std::wstring directory() const { return temp / GetParam(); }
  std::wstring program() const { return directory() + L"\\OrvoQ9.exe"; }

  MachineStateLock lock;
};

TEST_P(WindowInstall, ClickedInstallRegistersAndStartsThePlatformAndTheUninstallerRemovesItAgain) {
  ChildProcess installer = ChildProcess::start(installerExecutable(), L"");
  const InstallerWindowDriver window = InstallerWindowDriver::attach(installer.id());
  window.typeDirectory(directory());
  ASSERT_EQ(window.pathBoxText(), directory());
  window.clickInstall();
  ASSERT_TRUE(window.waitForInstallStart()) << "the click on the install button started nothing";
  ASSERT_EQ(installer.waitExit(std::chrono::seconds(240)), 0) << "a successful install closes the window with 0";

  // The files, the uninstaller copy and the list it will remove.
  const auto manifest = shippedManifest();
  for (const auto& line : manifest) {
    const std::wstring file = orvo::joinPath(directory(), line.path);
    EXPECT_EQ(orvo::sha256File(file), line.sha256) << orvo::wideToUtf8(file);
  }
  const std::wstring uninstaller = directory() + L"\\卸载 orvo game.exe";
  EXPECT_EQ(readBytes(uninstaller), readBytes(installerExecutable()));
  EXPECT_TRUE(fileExists(directory() + L"\\.platform\\installer-files.tsv"));
  // Registered for the desktop user and in the list of installed programs.
  EXPECT_EQ(orvo::lowercaseText(shortcutTarget(userShortcut(FOLDERID_Desktop))), orvo::lowercaseText(program()));
  EXPECT_EQ(orvo::lowercaseText(shortcutTarget(userShortcut(FOLDERID_Programs))), orvo::lowercaseText(program()));
  EXPECT_EQ(uninstallValue(L"DisplayName"), L"orvo game");
  EXPECT_EQ(uninstallValue(L"InstallLocation"), directory());
  EXPECT_EQ(uninstallValue(L"UninstallString"), L"\"" + uninstaller + L"\" --uninstall");
  // Launched after the install, as the option is on by default.
  const std::vector<DWORD> platform = processesOf(program());
  EXPECT_EQ(platform.size(), 1u) << "the platform runs once from the install directory";

  // The uninstaller refuses while the platform runs, then removes the program.
  const BoxedRun refused = runAnsweringBoxes(uninstaller, L"--uninstall", L"卸载 orvo game", {});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.boxTexts, std::vector<std::wstring>{L"请先退出游戏和 orvo game"});
  for (const DWORD id : platform) endProcessIfRunning(id, program());

  const BoxedRun run = runAnsweringBoxes(uninstaller, L"--uninstall", L"卸载 orvo game", {IDYES});
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_EQ(run.boxTexts.size(), 2u);
  EXPECT_EQ(run.boxTexts[1], L"orvo game 已卸载。");
  for (const auto& line : manifest) {
    EXPECT_FALSE(fileExists(orvo::joinPath(directory(), line.path))) << orvo::wideToUtf8(line.path);
  }
  EXPECT_FALSE(fileExists(userShortcut(FOLDERID_Desktop)));
  EXPECT_FALSE(fileExists(userShortcut(FOLDERID_Programs)));
  EXPECT_EQ(uninstallValue(L"DisplayName"), std::nullopt) << "the uninstall key is gone";
  // What is not a program file stays: the marker, the personal data directory.
  EXPECT_TRUE(fileExists(directory() + L"\\platform-installation.json"));
  EXPECT_TRUE(directoryExists(directory() + L"\\.platform"));

  // The uninstaller copy stays until the next restart and is the installer
  // itself: started without options, it installs into its own directory again.
  ChildProcess again = ChildProcess::start(uninstaller, L"");
  const InstallerWindowDriver againWindow = InstallerWindowDriver::attach(again.id());
  againWindow.typeDirectory(directory());
  againWindow.clickInstall();
  ASSERT_TRUE(againWindow.waitForInstallStart()) << "the click on the install button started nothing";
  ASSERT_EQ(again.waitExit(std::chrono::seconds(240)), 0) << "installing from the uninstaller copy failed";
  EXPECT_EQ(readBytes(uninstaller), readBytes(installerExecutable()));
  EXPECT_EQ(uninstallValue(L"InstallLocation"), directory());
  EXPECT_EQ(orvo::lowercaseText(shortcutTarget(userShortcut(FOLDERID_Programs))), orvo::lowercaseText(program()));
}

INSTANTIATE_TEST_SUITE_P(Directories, WindowInstall,
                         ::testing::Values(L"orvo test\\orvo game", L"平台 orvo\\orvo game"),
                         [](const auto& info) { return info.index == 0 ? "Latin" : "Chinese"; });

}  // namespace
