// The uninstaller for real under Wine: an uninstaller copy placed in an
// install directory with its embedded file list, the uninstall key, the desktop
// user's shortcuts and the message boxes answered from the test.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwctype>
#include <filesystem>

#include "common/UniqueHandle.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

const std::wstring kQuestion =
    L"是否卸载 orvo game 平台？已下载的游戏及个人封面、音乐、收藏和歌单将保留，重新安装后可继续使用。";

std::wstring userShortcut(const KNOWNFOLDERID& folder) {
  const UniqueHandle token = getDesktopUserToken();
  return joinPath(knownFolderOfUser(folder, token.get()), kShortcutName);
}

bool uninstallKeyExists() {
  UniqueRegKey key;
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
         ERROR_SUCCESS;
}

void writeUninstallKey(const std::wstring& installLocation) {
  UniqueRegKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS ||
      ::RegSetValueExW(key.get(), L"InstallLocation", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(installLocation.c_str()),
                       static_cast<DWORD>((installLocation.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot write the uninstall key");
  }
}

// An installation as registration leaves it, with files the user changed or
// added, personal data and a downloaded game.
class Uninstaller : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    installDirectory = temp / L"orvo game";
    for (const auto* file : {L"OrvoQ9.exe", L"q9\\data.bin", L"q9\\changed.txt", L"q9\\missing.txt",
                             L"assets\\Tarn\\helper.exe"}) {
      std::filesystem::create_directories(std::filesystem::path(installDirectory + L"\\" + file).parent_path());
      test::writeBytes(installDirectory + L"\\" + file, "installed " + wideToUtf8(file));
    }
    manifest = test::manifestLineFor(installDirectory, L"OrvoQ9.exe") +
               test::manifestLineFor(installDirectory, L"q9/data.bin") +
               test::manifestLineFor(installDirectory, L"q9/changed.txt") +
               test::manifestLineFor(installDirectory, L"q9/missing.txt") +
               test::manifestLineFor(installDirectory, L"assets/Tarn/helper.exe");
    test::writeBytes(installDirectory + L"\\q9\\changed.txt", "changed by the user");
    ::DeleteFileW((installDirectory + L"\\q9\\missing.txt").c_str());
    std::filesystem::create_directories(installDirectory + L"\\.platform\\covers");
    test::writeBytes(installDirectory + L"\\.platform\\installer-files.tsv", manifest);
    test::writeBytes(installDirectory + L"\\.platform\\covers\\cover.jpg", "personal");
    std::filesystem::create_directories(installDirectory + L"\\games\\region");
    test::writeBytes(installDirectory + L"\\games\\region\\dnf.exe", "a downloaded game");
    test::writeBytes(installDirectory + L"\\notes.txt", "not listed");
    test::writeBytes(installDirectory + L"\\platform-installation.json", "{}");

    uninstaller = installDirectory + L"\\卸载 orvo game.exe";
    test::copyFileOrThrow(test::helperProgram(L"SystemUninstall"), uninstaller);
    test::stampManifestResource(uninstaller, manifest);

    ComApartment com;
    createShortcut(userShortcut(FOLDERID_Desktop), installDirectory);
    createShortcut(userShortcut(FOLDERID_Programs), installDirectory);
    writeUninstallKey(installDirectory);
  }
  void TearDown() override {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, 0);
    ::DeleteFileW(userShortcut(FOLDERID_Desktop).c_str());
    ::DeleteFileW(userShortcut(FOLDERID_Programs).c_str());
  }

  test::BoxedRun uninstall(std::vector<int> answers) {
    return test::runAnsweringBoxes(uninstaller, L"--uninstall", L"卸载 orvo game", std::move(answers),
                                   std::chrono::seconds(120));
  }

  bool present(const std::wstring& relative) { return test::fileExists(installDirectory + L"\\" + relative); }

  void expectUntouched() {
    for (const auto* file : {L"OrvoQ9.exe", L"q9\\data.bin", L"q9\\changed.txt", L"assets\\Tarn\\helper.exe",
                             L"platform-installation.json", L"notes.txt", L"卸载 orvo game.exe"}) {
      EXPECT_TRUE(present(file)) << wideToUtf8(file);
    }
    EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Desktop)));
    EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Programs)));
    EXPECT_TRUE(uninstallKeyExists());
  }

  test::MachineStateLock lock;
  std::wstring installDirectory;
  std::wstring uninstaller;
  std::string manifest;
};

TEST_F(Uninstaller, AnsweringNoChangesNothingAndEndsNormally) {
  const test::BoxedRun run = uninstall({IDNO});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.boxTexts, std::vector<std::wstring>{kQuestion});
  expectUntouched();
}

TEST_F(Uninstaller, AnsweringYesRemovesOnlyTheUnchangedProgramFilesOurShortcutsAndOurKey) {
  const test::BoxedRun run = uninstall({IDYES, IDOK});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.boxTexts, (std::vector<std::wstring>{kQuestion, L"orvo game 已卸载。"}));
  EXPECT_FALSE(present(L"OrvoQ9.exe"));
  EXPECT_FALSE(present(L"q9\\data.bin"));
  EXPECT_FALSE(present(L"assets\\Tarn\\helper.exe"));
  EXPECT_TRUE(test::directoryExists(installDirectory + L"\\q9")) << "emptied directories stay";
  EXPECT_EQ(test::readBytes(installDirectory + L"\\q9\\changed.txt"), "changed by the user");
  EXPECT_TRUE(present(L"notes.txt"));
  EXPECT_TRUE(present(L"platform-installation.json"));
  EXPECT_EQ(test::readBytes(installDirectory + L"\\.platform\\installer-files.tsv"), manifest);
  EXPECT_TRUE(present(L".platform\\covers\\cover.jpg"));
  EXPECT_TRUE(present(L"games\\region\\dnf.exe"));
  EXPECT_TRUE(present(L"卸载 orvo game.exe")) << "the running uninstaller goes at the next restart";
  EXPECT_FALSE(test::fileExists(userShortcut(FOLDERID_Desktop)));
  EXPECT_FALSE(test::fileExists(userShortcut(FOLDERID_Programs)));
  EXPECT_FALSE(uninstallKeyExists());
}

TEST_F(Uninstaller, KeepsTheShortcutsAndTheKeyOfAnotherInstallation) {
  const std::wstring other = temp / L"orvo game2";
  std::filesystem::create_directories(other);
  {
    ComApartment com;
    createShortcut(userShortcut(FOLDERID_Desktop), other);
    createShortcut(userShortcut(FOLDERID_Programs), other);
  }
  writeUninstallKey(other);
  const test::BoxedRun run = uninstall({IDYES, IDOK});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(present(L"OrvoQ9.exe"));
  EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Desktop)));
  EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Programs)));
  EXPECT_TRUE(uninstallKeyExists());
}

TEST_F(Uninstaller, RecognisesItsKeyWrittenWithSlashesOtherCaseAndTrailingBackslashes) {
  std::wstring written = installDirectory + L"\\\\";
  for (auto& c : written) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  writeUninstallKey(written);
  const test::BoxedRun run = uninstall({IDYES, IDOK});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(uninstallKeyExists());
}

TEST_F(Uninstaller, StartedOutsideAnInstallationStopsBeforeAsking) {
  ::DeleteFileW((installDirectory + L"\\platform-installation.json").c_str());
  const test::BoxedRun run = uninstall({});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.boxTexts, std::vector<std::wstring>{L"平台安装标识缺失，无法卸载"});
  EXPECT_TRUE(present(L"OrvoQ9.exe"));
  EXPECT_TRUE(uninstallKeyExists());
}

TEST_F(Uninstaller, StopsBeforeAskingWhileAGameClientRunsBelowTheDirectory) {
  const std::wstring game = installDirectory + L"\\games\\region\\DNF.exe";
  test::copyFileOrThrow(test::helperProgram(L"SystemSleeper"), game);
  test::ChildProcess sleeper = test::ChildProcess::start(game, L"60");
  ::Sleep(500);
  const test::BoxedRun run = uninstall({});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.boxTexts, std::vector<std::wstring>{L"请先退出游戏和 orvo game"});
  expectUntouched();
}

TEST_F(Uninstaller, StopsAtAListedPathThatRunsThroughALink) {
  // q9 becomes a link to a folder outside the installation holding the same file.
  const std::wstring elsewhere = temp / L"elsewhere";
  std::filesystem::create_directories(elsewhere);
  test::copyFileOrThrow(installDirectory + L"\\q9\\data.bin", elsewhere + L"\\data.bin");
  std::filesystem::remove_all(installDirectory + L"\\q9");
  test::makeDirectoryLink(installDirectory + L"\\q9", elsewhere);
  const test::BoxedRun run = uninstall({IDYES});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.boxTexts, (std::vector<std::wstring>{kQuestion, L"Install directory cannot use links"}));
  EXPECT_TRUE(test::fileExists(elsewhere + L"\\data.bin")) << "a file behind a link was deleted";
  EXPECT_TRUE(uninstallKeyExists());
}

}  // namespace
}  // namespace orvo
