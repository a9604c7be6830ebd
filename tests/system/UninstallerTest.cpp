// The uninstaller for real under Wine: an uninstaller copy placed in an
// install directory with its embedded file list, the uninstall key, the desktop
// user's shortcuts and the message boxes answered from the test.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cwctype>
#include <filesystem>
#include <functional>
#include <memory>

#include "common/FileSystemErrors.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
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
 public:
  using test::TempDirTest::temp;
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

  test::BoxedRun uninstall(std::vector<int> answers, const std::wstring& arguments = L"--uninstall") {
    return test::runAnsweringBoxes(uninstaller, arguments, L"卸载 orvo game", std::move(answers),
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

// What the uninstaller finds at a listed path or a shortcut decides what it
// deletes: only an ordinary file that is still the one installed, only a
// shortcut it can read in the user's own folder, and a file it cannot take
// for deletion stops the uninstall before the shortcuts and the key.
struct FindingRow {
  const char* name;
  // The change made before the uninstaller starts; what it returns lives
  // until the run has ended (a handle held open, a folder to put back).
  std::function<std::shared_ptr<void>(Uninstaller&)> arrange;
  long long exitCode;
  // The message after the question; empty for a completed uninstall.
  std::function<std::wstring(Uninstaller&)> failure;
  std::function<void(Uninstaller&)> expect;
  // The uninstaller's arguments beyond "--uninstall" (the helper's move of another process).
  std::function<std::wstring(Uninstaller&)> arguments = nullptr;
};

void expectRegistrationKept(Uninstaller& t) {
  EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Desktop)));
  EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Programs)));
  EXPECT_TRUE(uninstallKeyExists());
  EXPECT_TRUE(t.present(L"assets\\Tarn\\helper.exe")) << "nothing after the failing file was looked at";
}

std::wstring filesystemMessage(const char* operation, DWORD error, const std::wstring& path) {
  return utf8ToWideLenient(std::string(operation) + ": " + systemErrorText(error) + ": \"") + path + L"\"";
}

const FindingRow kFindingRows[] = {
    {"UnchangedFileHeldOpenWithoutDeleteSharingStops",
     [](Uninstaller& t) -> std::shared_ptr<void> {
       auto held = std::make_shared<UniqueHandle>(::CreateFileW((t.installDirectory + L"\\q9\\data.bin").c_str(),
                                                                GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                                OPEN_EXISTING, 0, nullptr));
       if (!*held) throw std::runtime_error("cannot hold q9\\data.bin open");
       return held;
     },
     1,
     [](Uninstaller& t) {
       return filesystemMessage("remove", ERROR_SHARING_VIOLATION, t.installDirectory + L"\\q9\\data.bin");
     },
     [](Uninstaller& t) {
       EXPECT_EQ(test::readBytes(t.installDirectory + L"\\q9\\data.bin"), "installed q9\\data.bin");
       expectRegistrationKept(t);
     }},
    {"CorruptDesktopShortcutIsSkippedAndTheKeyStillGoes",
     [](Uninstaller&) -> std::shared_ptr<void> {
       test::writeBytes(userShortcut(FOLDERID_Desktop), "no shell link in here");
       return nullptr;
     },
     0, nullptr,
     [](Uninstaller& t) {
       EXPECT_EQ(test::readBytes(userShortcut(FOLDERID_Desktop)), "no shell link in here");
       EXPECT_FALSE(test::fileExists(userShortcut(FOLDERID_Programs)));
       EXPECT_FALSE(uninstallKeyExists());
       EXPECT_FALSE(t.present(L"OrvoQ9.exe"));
     }},
    {"ListedPathThatBecameADirectoryIsKept",
     [](Uninstaller& t) -> std::shared_ptr<void> {
       const std::wstring path = t.installDirectory + L"\\q9\\data.bin";
       ::DeleteFileW(path.c_str());
       std::filesystem::create_directories(path);
       test::writeBytes(path + L"\\inside.txt", "kept");
       return nullptr;
     },
     0, nullptr,
     [](Uninstaller& t) {
       EXPECT_EQ(test::readBytes(t.installDirectory + L"\\q9\\data.bin\\inside.txt"), "kept");
       EXPECT_FALSE(t.present(L"assets\\Tarn\\helper.exe")) << "the files after it are still removed";
       EXPECT_FALSE(uninstallKeyExists());
     }},
    {"ListedPathWhoseParentBecameALinkStops",
     [](Uninstaller& t) -> std::shared_ptr<void> {
       // q9 becomes a link to a folder outside the installation holding the same file.
       const std::wstring elsewhere = t.temp / L"elsewhere";
       std::filesystem::create_directories(elsewhere);
       test::copyFileOrThrow(t.installDirectory + L"\\q9\\data.bin", elsewhere + L"\\data.bin");
       std::filesystem::remove_all(t.installDirectory + L"\\q9");
       const std::wstring link = t.installDirectory + L"\\q9";
       test::makeDirectoryLink(link, elsewhere);
       return std::shared_ptr<void>(nullptr, [link](void*) { test::removeDirectoryLink(link); });
     },
     1, [](Uninstaller&) { return std::wstring(L"Install directory cannot use links"); },
     [](Uninstaller& t) {
       EXPECT_EQ(test::readBytes(t.temp / L"elsewhere\\data.bin"), "installed q9\\data.bin")
           << "a file behind a link was deleted";
       expectRegistrationKept(t);
     }},
    {"ListedPathWhoseParentIsSwappedForALinkAfterTheCheckStops",
     [](Uninstaller& t) -> std::shared_ptr<void> {
       const std::wstring elsewhere = t.temp / L"elsewhere";
       std::filesystem::create_directories(elsewhere);
       test::copyFileOrThrow(t.installDirectory + L"\\q9\\data.bin", elsewhere + L"\\data.bin");
       const std::wstring link = t.installDirectory + L"\\q9";
       return std::shared_ptr<void>(nullptr, [link](void*) {
         const DWORD attributes = ::GetFileAttributesW(link.c_str());
         if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
           test::removeDirectoryLink(link);
         }
       });
     },
     1, [](Uninstaller&) { return std::wstring(L"Install directory cannot use links"); },
     [](Uninstaller& t) {
       EXPECT_EQ(test::readBytes(t.temp / L"elsewhere\\data.bin"), "installed q9\\data.bin")
           << "a file behind a link was deleted";
       expectRegistrationKept(t);
     },
     [](Uninstaller& t) {
       return L" \"" + t.installDirectory + L"\\q9\\data.bin\" \"" + t.installDirectory + L"\\q9\" \"" +
              (t.temp / L"elsewhere") + L"\"";
     }},
    {"ShortcutReachedThroughALinkIsLeftAlone",
     [](Uninstaller&) -> std::shared_ptr<void> {
       // The user's Programs folder becomes a link to the folder that holds the shortcut.
       const std::wstring programs(parentPathText(userShortcut(FOLDERID_Programs)));
       const std::wstring real = programs + L".real";
       if (!::MoveFileW(programs.c_str(), real.c_str())) throw std::runtime_error("cannot move Programs aside");
       std::shared_ptr<void> restore(nullptr, [programs, real](void*) {
         test::removeDirectoryLink(programs);
         ::MoveFileW(real.c_str(), programs.c_str());
       });
       test::makeDirectoryLink(programs, real);
       return restore;
     },
     0, nullptr,
     [](Uninstaller&) {
       EXPECT_TRUE(test::fileExists(userShortcut(FOLDERID_Programs))) << "the shortcut behind the link was deleted";
       EXPECT_FALSE(test::fileExists(userShortcut(FOLDERID_Desktop)));
       EXPECT_FALSE(uninstallKeyExists());
     }},
};

void PrintTo(const FindingRow& row, std::ostream* out) { *out << row.name; }

class UninstallerFindings : public Uninstaller, public ::testing::WithParamInterface<FindingRow> {};

TEST_P(UninstallerFindings, DeletesOnlyWhatItVerifiedThroughTheSameHandle) {
  const FindingRow& row = GetParam();
  test::BoxedRun run;
  {
    const std::shared_ptr<void> arranged = row.arrange(*this);
    run = uninstall({IDYES}, L"--uninstall" + (row.arguments ? row.arguments(*this) : std::wstring()));
  }
  EXPECT_EQ(run.exitCode, row.exitCode);
  const std::wstring last = row.failure ? row.failure(*this) : std::wstring(L"orvo game 已卸载。");
  EXPECT_EQ(run.boxTexts, (std::vector<std::wstring>{kQuestion, last}));
  row.expect(*this);
}

INSTANTIATE_TEST_SUITE_P(Rows, UninstallerFindings, ::testing::ValuesIn(kFindingRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The uninstaller copy that registration writes is the installer's bytes and
// nothing else: not the read-only attribute (a later install could not
// overwrite it) and not the download's zone mark (a security prompt when the
// uninstaller is started from Settings); installing from the copy itself
// leaves it as it is; a link a user planted where the copy goes is never
// followed to the file it points to.
struct CopyRow {
  const char* name;
  bool fromTheCopyItself;
  bool readOnlySource;
  bool zoneMarkedSource;
  // A user planted a link to a file of theirs where the copy goes.
  bool linkAtTheCopy = false;
};

void PrintTo(const CopyRow& row, std::ostream* out) { *out << row.name; }

const CopyRow kCopyRows[] = {
    {"FromAReadOnlyInstaller", false, true, false},
    {"FromAZoneMarkedDownload", false, false, true},
    {"FromTheUninstallerCopyIntoItsOwnDirectory", true, false, false},
    {"OverALinkPlantedWhereTheCopyGoes", false, false, false, true},
};

constexpr char kZoneMark[] = "[ZoneTransfer]\r\nZoneId=3\r\n";

bool hasZoneMark(const std::wstring& path) {
  return test::fileExists(path + L":Zone.Identifier") && test::readBytes(path + L":Zone.Identifier") == kZoneMark;
}

// Whether this platform keeps a file's named streams and carries them along
// in its own file copy, as Windows does. Only there can a copy that kept the
// download's zone mark be told from a faithful one (Wine 8 keeps the streams
// but its copy drops them).
bool copiesCarryNamedStreams(const std::wstring& scratch) {
  const std::wstring probe = scratch + L"\\stream-probe.txt";
  const std::wstring copied = scratch + L"\\stream-probe-copy.txt";
  test::writeBytes(probe, "probe");
  {
    UniqueHandle stream(::CreateFileW((probe + L":Zone.Identifier").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!stream || !::WriteFile(stream.get(), kZoneMark, sizeof kZoneMark - 1, &written, nullptr)) return false;
  }
  const bool carried = hasZoneMark(probe) && ::CopyFileW(probe.c_str(), copied.c_str(), FALSE) && hasZoneMark(copied);
  ::DeleteFileW(probe.c_str());
  ::DeleteFileW(copied.c_str());
  return carried;
}

// A symbolic link to a file: the platform's own where it makes one, else a
// Unix link made by Wine's host (which Wine shows as the file it points to).
// False when neither can be made.
bool makeFileLink(const std::wstring& link, const std::wstring& target) {
  if (::CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) && test::fileExists(link)) return true;
  const std::wstring ln = L"Z:\\bin\\ln";
  if (!test::fileExists(ln)) return false;
  const std::wstring parent(parentPathText(link));
  const std::string unixLink = test::unixPathOf(parent) + "/" + wideToUtf8(link.substr(parent.size() + 1));
  const std::wstring arguments = L"-s \"" + utf8ToWide(test::unixPathOf(target)) + L"\" \"" + utf8ToWide(unixLink) + L"\"";
  // Wine's handle of a Unix program never signals: wait for the link instead.
  test::ChildProcess::start(ln, arguments).detach();
  for (int i = 0; i < 400 && !test::fileExists(link); ++i) ::Sleep(50);
  return test::fileExists(link);
}

class UninstallerCopy : public test::TempDirTest, public ::testing::WithParamInterface<CopyRow> {
 protected:
  void SetUp() override {
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    installDirectory = temp / L"orvo game";
    std::filesystem::create_directories(installDirectory + L"\\.platform");
    copy = installDirectory + L"\\卸载 orvo game.exe";
  }
  void TearDown() override {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, 0);
    ::DeleteFileW(userShortcut(FOLDERID_Desktop).c_str());
    ::DeleteFileW(userShortcut(FOLDERID_Programs).c_str());
  }

  // A registrar (the installer's registration in a process of its own) at
  // `path`, with a file list of its own so that two registrars differ.
  void placeRegistrar(const std::wstring& path, const std::string& fileList) {
    std::filesystem::create_directories(std::wstring(parentPathText(path)));
    test::copyFileOrThrow(test::helperProgram(L"SystemRegister"), path);
    test::stampManifestResource(path, fileList);
  }

  std::string registerFrom(const std::wstring& registrar) {
    const std::wstring result = temp / L"result.txt";
    ::DeleteFileW(result.c_str());
    test::runToExit(registrar, L"\"" + installDirectory + L"\" nodesktop \"" + result + L"\"");
    return test::readBytes(result);
  }

  test::MachineStateLock lock;
  std::wstring installDirectory;
  std::wstring copy;
};

TEST_P(UninstallerCopy, IsAWritableByteCopyThatALaterInstallOverwrites) {
  const CopyRow& row = GetParam();
  if (row.zoneMarkedSource && !copiesCarryNamedStreams(temp.path())) {
    GTEST_SKIP() << "this platform's file copy drops named streams (Wine 8), so a copy that kept the download's "
                    "zone mark cannot be told from a faithful one here";
  }
  const std::wstring source = row.fromTheCopyItself ? copy : temp / L"Downloads\\OrvoGameSetup.exe";
  placeRegistrar(source, std::string(64, 'a') + "\t10\tOrvoQ9.exe\r\n");
  if (row.zoneMarkedSource) {
    test::writeBytes(source + L":Zone.Identifier", kZoneMark);
    ASSERT_TRUE(hasZoneMark(source));
  }
  if (row.readOnlySource) {
    ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));
  }
  const std::string installer = test::readBytes(source);
  const std::wstring victim = temp / L"victim.exe";
  if (row.linkAtTheCopy) {
    test::writeBytes(victim, "the user's own file");
    if (!makeFileLink(copy, victim)) GTEST_SKIP() << "this platform can make no link to a file here";
  }

  const std::string result = registerFrom(source);
  if (row.linkAtTheCopy) {
    EXPECT_EQ(test::readBytes(victim), "the user's own file") << "the file behind the link was replaced";
    if (result != "ok") {
      // A platform whose open follows the link (Wine 8) cannot remove the link itself: the copy step refuses.
      EXPECT_EQ(result.rfind("copy_file: ", 0), 0u) << result;
      return;
    }
  }
  ASSERT_EQ(result, "ok");
  EXPECT_EQ(test::readBytes(copy), installer);
  const DWORD attributes = ::GetFileAttributesW(copy.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u) << "the copy kept the read-only attribute";
  EXPECT_FALSE(hasZoneMark(copy)) << "the copy kept the download's zone mark";

  // A later install of another build replaces the copy.
  const std::wstring later = temp / L"later\\OrvoGameSetup.exe";
  placeRegistrar(later, std::string(64, 'b') + "\t20\tOrvoQ9.exe\r\n");
  ASSERT_EQ(registerFrom(later), "ok");
  EXPECT_EQ(test::readBytes(copy), test::readBytes(later));
}

INSTANTIATE_TEST_SUITE_P(Rows, UninstallerCopy, ::testing::ValuesIn(kCopyRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
