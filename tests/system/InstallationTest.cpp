// The installer's system side for real: which processes and install locations
// count as its own, the identity hand-off to the platform program with stand-ins
// in the program's place, and registration and the uninstaller run from copies
// of the installation helper carrying the test's file list, with the real
// uninstall key, the desktop user's shortcuts and the boxes answered from here.
#include <shlobj.h>

#include <filesystem>
#include <functional>
#include <numeric>
#include <set>

#include "common/PathText.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/InstallLocationText.h"
#include "system/PlatformRunSeam.h"
#include "system/Registration.h"
#include "system/RunningPrograms.h"
#include "system/RunningProgramsSeam.h"
#include "system/UninstallKey.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {
namespace {

const auto kRowName = [](const auto& info) { return std::string(info.param.name); };

TEST(ProcessNames, TellAGameClientUnderTheDirectoryAndThePlatformDirectlyInIt) {
  // name, image path (nullptr: unreadable), directory, a game client under it, the platform directly in it
  const struct { const wchar_t *name, *image, *directory; bool game, platform; } rows[] = {
    {L"DNF.EXE", L"c:/GAMES/Orvo Game/x/./y/../DNF.EXE", L"C:\\Games\\orvo game", true, false},
    {L"DnfChina.exe", L"C:\\Games\\orvo game\\a\\\\b\\dnfchina.exe", L"C:\\Games\\.\\x\\..\\orvo game\\\\", true, false},
    {L"dfo.exe", L"C:\\Games\\orvo game\\dfo.exe", L"C:/Games/orvo game", true, false},
    {L"Arad.exe", nullptr, L"C:\\Games\\orvo game", true, false},
    {L"dnf.exe", L"C:\\Games\\orvo game2\\dnf.exe", L"C:\\Games\\orvo game", false, false},
    {L"dnf.exe", L"C:\\Games\\orvo game\\..\\dnf.exe", L"C:\\Games\\orvo game", false, false},
    {L"xdnf.exe", L"C:\\Games\\orvo game\\xdnf.exe", L"C:\\Games\\orvo game", false, false},
    {L"OrvoQ9.exe", L"C:\\Games\\orvo game\\OrvoQ9.exe", L"c:\\games\\ORVO GAME", false, true},
    {L"orvoq9.EXE", L"C:\\OrvoQ9.exe", L"C:\\", false, true},
    {L"orvo game.exe", L"C:\\Games\\orvo game\\orvo game.exe", L"C:\\Games\\orvo game", false, true},
    {L"ORVOGAME.exe", L"C:\\Games\\orvo game\\ORVOGAME.exe", L"C:\\Games\\orvo game", false, true},
    {L"OrvoQ9.exe", nullptr, L"C:\\Games\\orvo game", false, false},
    {L"OrvoQ9.exe", L"C:\\Games\\orvo game\\bin\\OrvoQ9.exe", L"C:\\Games\\orvo game", false, false},
    {L"OrvoQ9.exe", L"C:\\Games\\orvo game\\OrvoQ9.exe", L"C:\\Games\\orvo game\\", false, false},
    {L"OrvoQ9.exe", L"C:\\Games\\orvo game\\OrvoQ9.exe", L"C:/Games/orvo game", false, false},
  };
  for (const auto& row : rows) {
    const auto image = row.image ? std::optional<std::wstring>(row.image) : std::nullopt;
    const std::string label = wideToUtf8(row.name) + " " + wideToUtf8(image.value_or(L"?")) + " " + wideToUtf8(row.directory);
    EXPECT_EQ(gameProcessMatches(row.name, image, gameDirectoryPrefix(row.directory)), row.game) << label;
    EXPECT_EQ(platformProcessMatches(row.name, image, row.directory), row.platform) << label;
  }
}

TEST(InstallLocationText, AcceptsOnlyADrivePathOfSafeCharactersAndCleanNames) {
  EXPECT_EQ(installLocationText(L"c:/Games/.orvo game/"), L"c:\\Games\\.orvo game\\");
  for (const std::wstring path : {L"C:", L"C:x", L"\\\\s\\x", L"1:\\x", L"C:\\\"", L"C:\\*", L"C:\\<", L"C:\\>", L"C:\\?",
                                  L"C:\\|", L"C:\\a:", L"C:\\\t", L"C:\\x\\.\\y", L"C:\\x \\y", L"C:\\x.", L"C:\\.."}) {
    EXPECT_FALSE(installLocationText(path)) << wideToUtf8(path);
  }
  EXPECT_FALSE(installLocationText(std::wstring(L"C:\\a\0b", 6)) || installLocationText(std::wstring(32761, L'a')));
}

// The platform program in a scratch directory, the hand-off's runs and grants
// there; a refusal stops it with its message and leaves no run behind.
ManifestEntry entryOf(const std::wstring& program) { return {L"OrvoQ9.exe", sha256File(program), std::filesystem::file_size(program)}; }
void grant(const std::wstring& directory, const wchar_t* sid = L"S-1-1-0") { grantDirectoryAccess(directory, sid, 0x1301BF); }
void replace(const std::wstring& program, const std::string& bytes) { ::DeleteFileW(program.c_str()), writeBytes(program, bytes); }

using Arrange = std::function<void(const std::wstring& directory, const std::wstring& program, ManifestEntry& entry)>;
struct RefusalRow { const char* name; Arrange arrange; const char* message; };

const RefusalRow kRefusals[] = {
    {"RunEndingWithThree", [](auto&, auto& p, auto& e) { replace(p, readBytes(helperProgram(L"PlatformExit3"))), e = entryOf(p); }, "记录安装用户失败，错误码 3"},
    {"RunOutlivingItsLimit", [](auto&, auto& p, auto& e) { replace(p, readBytes(helperProgram(L"SystemSleeper"))), e = entryOf(p); }, "安装配置超时，请重试"},
    {"ListedFileThatIsNoProgram", [](auto&, auto& p, auto& e) { replace(p, "not a program"), e = entryOf(p); }, "无法启动安装配置程序"},
    {"ProgramWithOneByteChanged", [](auto&, auto& p, auto&) { std::string b = readBytes(p); b.back() ^= 1, replace(p, b); }, "平台文件校验失败：OrvoQ9.exe"},
    {"DirectoryInThePlaceOfTheProgram", [](auto&, auto& p, auto&) { ::DeleteFileW(p.c_str()), ::CreateDirectoryW(p.c_str(), nullptr); }, "平台文件校验失败：OrvoQ9.exe"},
    {"ProgramMissing", [](auto&, auto& p, auto&) { ::DeleteFileW(p.c_str()); }, "平台文件校验失败：OrvoQ9.exe"},
    {"SidTextThatDoesNotConvert", [](auto& d, auto&, auto&) { grant(d, L"S-1-not-a-sid"); }, "无法准备安装身份目录"},
    {"SidOfAHandleThatIsNoToken", [](auto&, auto&, auto&) { tokenUserSid(UniqueHandle(::CreateEventW(nullptr, 1, 0, nullptr)).get()); }, "无法验证桌面用户身份"},
    {"GrantOnAMissingDirectory", [](auto& d, auto&, auto&) { grant(d + L"\\missing"); }, "无法准备安装身份目录权限"},
    {"GrantOnAFile", [](auto&, auto& p, auto&) { grant(p); }, "无法准备安装身份目录权限"},
    {"GrantThroughALink", [](auto& d, auto&, auto&) { makeDirectoryLink(d + L"\\link", d), grant(d + L"\\link"); }, "无法准备安装身份目录权限"},
};

// The stand-in in the program's place only sleeps: if it ran, it outlives the run's limit or is still running.
TEST(IdentityHandOffRefusals, StopTheHandOffWithTheirMessageAndLeaveNoRunBehind) {
  for (const RefusalRow& row : kRefusals) {
    const TempDir temp;
    const std::wstring program = temp / L"OrvoQ9.exe";
    ASSERT_TRUE(::CopyFileW(helperProgram(L"SystemSleeper").c_str(), program.c_str(), FALSE));
    ManifestEntry entry = entryOf(program);
    const std::string error = messageOf([&] {
      row.arrange(temp.path(), program, entry);
      runPlatformProgramWithin(program, entry, L"--record-install-user \"x.sid\"", temp.path(), true, nullptr, L"记录安装用户", {2000, 10000});
    });
    if (::GetFileAttributesW((temp / L"link").c_str()) != INVALID_FILE_ATTRIBUTES) removeDirectoryLink(temp / L"link");
    EXPECT_EQ(error, row.message) << row.name;
    EXPECT_FALSE(isPlatformRunningIn(temp.path())) << row.name << ": a run was left going";
  }
}

// The exit code (-1: the program did not end in time) and the texts of the boxes answered, in order.
struct BoxedRun { long long exitCode = -1; std::vector<std::wstring> boxTexts; };

// Runs `program` and answers the boxes it shows with caption `caption` or "orvo game", with the buttons of
// `answers` in turn (then IDOK), until it ends.
BoxedRun runAnsweringBoxes(const std::wstring& program, const std::wstring& arguments, const std::wstring& caption,
                           std::vector<int> answers, std::chrono::milliseconds timeout = std::chrono::seconds(240)) {
  BoxedRun run;
  ChildProcess child = ChildProcess::start(program, arguments);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto ended = [&child](DWORD milliseconds) { return ::WaitForSingleObject(child.handle(), milliseconds) == 0; };
  while ((run.exitCode = child.waitExit(std::chrono::milliseconds(100))) < 0 && std::chrono::steady_clock::now() < deadline) {
    for (const std::wstring& title : {caption, std::wstring(L"orvo game")}) {
      std::wstring text;
      const HWND box = findMessageBox(child.id(), title, text);
      if (!box) continue;
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answers.empty() ? IDOK : answers.front(), BN_CLICKED), 0);
      // A click sent while the box is still opening can be missed: it counts once the box is hidden.
      for (int i = 0; i < 40 && ::IsWindowVisible(box) && !ended(50); ++i) {}
      if (::IsWindowVisible(box) && !ended(0)) continue;
      run.boxTexts.push_back(text);
      if (!answers.empty()) answers.erase(answers.begin());
    }
  }
  if (run.exitCode < 0) child.terminate();
  return run;
}

const std::wstring kAsk = L"是否卸载 orvo game 平台？已下载的游戏及个人封面、音乐、收藏和歌单将保留，重新安装后可继续使用。";
const std::wstring kDone = L"orvo game 已卸载。", kLinks = L"Install directory cannot use links";

std::wstring shortcutOf(const KNOWNFOLDERID& folder) { return joinPath(knownFolderOfUser(folder, getDesktopUserToken().get()), kShortcutName); }

// The uninstall key's values in name order, strings with their stored terminator.
std::wstring uninstallKeyValues() {
  UniqueRegKey key;
  std::set<std::wstring> values;
  wchar_t name[64], data[1024];
  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put());
  for (DWORD i = 0, length = 64, type = 0, size = sizeof data; key && !::RegEnumValueW(key.get(), i, name, &length,
       nullptr, &type, reinterpret_cast<BYTE*>(data), &size); ++i, length = 64, size = sizeof data) {
    values.insert(name + (type == REG_DWORD ? L"#" + std::to_wstring(data[0] | data[1] << 16) : L"=" + std::wstring(data, size / 2)));
  }
  return std::accumulate(values.begin(), values.end(), std::wstring(), [](auto all, auto& value) { return all + value + L";"; });
}

class Installation : public TempDirTest {
 protected:
  void TearDown() override {
    for (const auto* folder : {&FOLDERID_Desktop, &FOLDERID_Programs}) ::DeleteFileW(shortcutOf(*folder).c_str());
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, 0); }
  // A copy of the installation helper at `path` whose embedded file list (resource 105) is `list`.
  static void place(const std::wstring& path, std::string list) {
    const HANDLE update = ::CopyFileW(helperProgram(L"SystemInstallation").c_str(), path.c_str(), FALSE) ? ::BeginUpdateResourceW(path.c_str(), FALSE) : nullptr;
    ASSERT_TRUE(update && ::UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(105), 0, list.data(), DWORD(list.size())) && ::EndUpdateResourceW(update, FALSE));
  }
  BoxedRun registerFrom(const std::wstring& helper, const std::wstring& directory, bool desktop = true) {
    return runAnsweringBoxes(helper, L"--register \"" + directory + (desktop ? L"\" desktop" : L"\" x"), L"", {});
  }
  CrossProcessLock machineState{L"OrvoSystemTestsMachineState"};  // the uninstall key and the shortcuts
  std::wstring dir = temp / L"orvo game", copy = dir + L"\\卸载 orvo game.exe", setup = temp / L"OrvoGameSetup.exe";
};

TEST_F(Installation, RegistersShortcutsKeyAndCopiesOnlyIntoAnExistingPersonalDataDirectoryThatIsNoLink) {
  const std::string list = std::string(64, 'a') + "\t183581500\tOrvoQ9.exe\n" + std::string(64, 'b') + "\t5000\tq9/a.bin\n" +
                           std::string(64, 'c') + "\t1023\tq9/b.txt\n";
  const std::wstring data = dir + L"\\.platform", elsewhere = temp / L"elsewhere", later = temp / L"later.exe", victim = temp / L"victim";
  place(setup, list);
  place(later, std::string(64, 'b') + "\t20\tOrvoQ9.exe\n");
  std::filesystem::create_directories(elsewhere), std::filesystem::create_directories(dir);
  for (const std::wstring& expected : {std::wstring(L"Cannot prepare installer files"), kLinks}) {
    if (expected == kLinks) makeDirectoryLink(data, elsewhere);
    EXPECT_EQ(registerFrom(setup, dir, false).boxTexts, std::vector<std::wstring>{expected});
    EXPECT_FALSE(fileExists(elsewhere + L"\\installer-files.tsv") || fileExists(shortcutOf(FOLDERID_Desktop)));
    EXPECT_FALSE(expected != kLinks && directoryExists(data)) << "the personal data directory was created";
    EXPECT_EQ(uninstallKeyValues(), L"") << "the key was written after a failed step";
    if (expected == kLinks) removeDirectoryLink(data);
  }
  std::filesystem::create_directories(data);
  ASSERT_TRUE(::SetFileAttributesW(setup.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(registerFrom(setup, dir).exitCode, 0);
  EXPECT_EQ(uninstallKeyValues(), L"DisplayIcon=" + dir + L"\\OrvoQ9.exe" + L'\0' + L";DisplayName=orvo game" + L'\0' +
            L";DisplayVersion=1.0.0.113" + L'\0' + L";EstimatedSize#179282;InstallLocation=" + dir + L'\0' + L";NoModify#1;NoRepair#1;" +
            L"Publisher=orvo game" + L'\0' + L";UninstallString=\"" + copy + L"\" --uninstall" + L'\0' + L";");
  // The uninstaller copy is the installer's bytes and nothing else (not the read-only attribute, which would stop
  // a later install), a later install replaces it, and a link planted where it goes is never followed.
  EXPECT_EQ(readBytes(copy), readBytes(setup));
  EXPECT_EQ(::GetFileAttributesW(copy.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << "the copy kept the read-only attribute";
  ASSERT_EQ(registerFrom(later, dir).exitCode, 0);
  EXPECT_EQ(readBytes(copy), readBytes(later));
  // Wine makes no file links itself: its host's link shows as the file it points to.
  writeBytes(victim, "the user's own file");
  ::DeleteFileW(copy.c_str());
  ChildProcess::start(L"Z:\\bin\\ln", L"-s \"" + utf8ToWide(unixPathOf(victim) + "\" \"" + unixPathOf(copy)) + L"\"").detach();
  for (int i = 0; i < 100 && !fileExists(copy); ++i) ::Sleep(50);
  const BoxedRun overLink = registerFrom(setup, dir);
  EXPECT_EQ(readBytes(victim), "the user's own file") << "the file behind the link was replaced";
  // Where an open follows the link (Wine), the link cannot be removed either: the copy step refuses.
  EXPECT_TRUE(overLink.exitCode ? overLink.boxTexts.at(0).rfind(L"copy_file: ", 0) == 0 : readBytes(copy) == readBytes(setup));
  // The key goes only with this very directory, reached without a link, named in any case or slashes.
  const auto ownsKey = [](const std::wstring& at) { return deleteUninstallKeyIfOwned(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, at); };
  const auto setInstallLocation = [](const std::wstring& text) { ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kUninstallKeyPath,
      L"InstallLocation", REG_SZ, text.c_str(), DWORD(text.size() * 2 + 2)); };
  makeDirectoryLink(temp / L"link", temp.path());
  setInstallLocation(temp / L"link\\orvo game");
  EXPECT_FALSE(ownsKey(temp / L"link\\orvo game") || ownsKey(temp.path()));
  removeDirectoryLink(temp / L"link");
  setInstallLocation(dir);
  std::wstring variant = dir + L"\\\\";
  for (auto& c : variant) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  EXPECT_TRUE(ownsKey(variant) && uninstallKeyValues().empty());
}

// What the uninstaller finds decides what it deletes: only an ordinary file
// still as installed, only our shortcut read in the user's own folder, only our
// key; a refusal or a file it cannot take stops it before the next step.
enum class Move { None, OtherInstallation, NoMarker, GameRunning, FileHeld, ParentSwappedAfterCheck, ProgramsFolderIsALink };

// The boxes' texts as they begin; what is left: O OrvoQ9.exe, d q9\data.bin, h the last listed file, D/P the
// desktop/programs shortcut, K the key.
struct FindingRow { const char* name; Move move; std::vector<int> answers; std::vector<std::wstring> boxes; const char* kept; };

const FindingRow kFindings[] = {
    {"AnsweredNo", Move::None, {IDNO}, {kAsk}, "OdhDPK"},
    {"AnsweredYes", Move::None, {IDYES}, {kAsk, kDone}, ""},
    {"AnotherInstallationsShortcutsAndKey", Move::OtherInstallation, {IDYES}, {kAsk, kDone}, "DPK"},
    {"OutsideAnInstallation", Move::NoMarker, {}, {L"平台安装标识缺失，无法卸载"}, "OdhDPK"},
    {"GameClientRunningBelow", Move::GameRunning, {}, {L"请先退出游戏和 orvo game"}, "OdhDPK"},
    {"ListedFileHeldWithoutDeleteSharing", Move::FileHeld, {IDYES}, {kAsk, L"remove: "}, "dhDPK"},
    {"ParentSwappedForALinkAfterTheCheck", Move::ParentSwappedAfterCheck, {IDYES}, {kAsk, kLinks}, "dhDPK"},
    {"ProgramsFolderIsALink", Move::ProgramsFolderIsALink, {IDYES}, {kAsk, kDone}, "P"},
};

class UninstallerFindings : public Installation, public ::testing::WithParamInterface<FindingRow> {};

TEST_P(UninstallerFindings, DeletesOnlyWhatItVerifiedThroughTheSameHandle) {
  // An installation as registration leaves it, with a listed file the user changed
  // (same size), one gone, and personal data, a game and a file of the user's.
  std::string list;
  for (int listed = 5; const std::wstring file : {L"OrvoQ9.exe", L"q9/data.bin", L"q9/changed.txt", L"q9/gone.txt", L"a/b/c.exe",
                                  L".platform/a.jpg", L"games/region/dnf.exe", L"notes.txt", L"platform-installation.json"}) {
    std::filesystem::create_directories(std::filesystem::path(dir + L"/" + file).parent_path());
    writeBytes(dir + L"/" + file, listed > 0 ? "installed" : "kept");
    if (listed-- > 0) list += wideToUtf8(sha256File(dir + L"/" + file)) + "\t9\t" + wideToUtf8(file) + "\n";
  }
  writeBytes(dir + L"\\q9\\changed.txt", "user edit");
  ::DeleteFileW((dir + L"\\q9\\gone.txt").c_str());
  place(copy, list);
  ASSERT_EQ(registerFrom(copy, dir).exitCode, 0);

  const FindingRow& row = GetParam();
  const std::wstring data = dir + L"\\q9\\data.bin", q9 = dir + L"\\q9", elsewhere = temp / L"elsewhere";
  const std::wstring programs(parentPathText(shortcutOf(FOLDERID_Programs)));
  std::wstring arguments = L"--uninstall";
  std::shared_ptr<void> held;
  if (row.move == Move::OtherInstallation) std::filesystem::create_directories(temp / L"2\\.platform"), registerFrom(copy, temp / L"2");
  if (row.move == Move::NoMarker) ::DeleteFileW((dir + L"\\platform-installation.json").c_str());
  if (row.move == Move::GameRunning) held = std::make_shared<ChildProcess>(startCopyAs(helperProgram(L"SystemSleeper"), dir + L"\\games\\cn\\DNF.exe", L"60"));
  if (row.move == Move::FileHeld) held = std::make_shared<UniqueHandle>(::CreateFileW(data.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (row.move == Move::ParentSwappedAfterCheck) {
    // Once the path passed the check, q9 becomes a link to a folder outside holding the very file installed.
    std::filesystem::create_directories(elsewhere);
    writeBytes(elsewhere + L"\\data.bin", "installed");
    arguments += L" \"" + data + L"\" \"" + q9 + L"\" \"" + elsewhere + L"\"";
  }
  if (row.move == Move::ProgramsFolderIsALink) ::MoveFileW(programs.c_str(), (programs + L"~").c_str()), makeDirectoryLink(programs, programs + L"~");
  const BoxedRun run = runAnsweringBoxes(copy, arguments, L"卸载 orvo game", row.answers, std::chrono::seconds(120));
  held.reset();
  std::string kept;
  for (const auto& [letter, path] : {std::pair{'O', dir + L"\\OrvoQ9.exe"}, {'d', data}, {'h', dir + L"\\a\\b\\c.exe"},
                                     {'D', shortcutOf(FOLDERID_Desktop)}, {'P', shortcutOf(FOLDERID_Programs)}})
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) kept += letter;
  if (::GetFileAttributesW(q9.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) removeDirectoryLink(q9), ::MoveFileW((q9 + L".moved").c_str(), q9.c_str());
  if (row.move == Move::ProgramsFolderIsALink) removeDirectoryLink(programs), ::MoveFileW((programs + L"~").c_str(), programs.c_str());
  EXPECT_EQ(kept + (uninstallKeyValues().empty() ? "" : "K"), row.kept);
  EXPECT_EQ(run.exitCode, row.boxes.back() == kDone || row.answers == std::vector<int>{IDNO} ? 0 : 1);
  ASSERT_EQ(run.boxTexts.size(), row.boxes.size());
  for (size_t i = 0; i < row.boxes.size(); ++i) EXPECT_EQ(run.boxTexts[i].substr(0, row.boxes[i].size()), row.boxes[i]);
  // Never the uninstaller's: a file the user changed, personal data, games, the user's files, the running copy.
  EXPECT_EQ(readBytes(dir + L"\\q9\\changed.txt") + readBytes(dir + L"\\.platform\\a.jpg") + readBytes(dir + L"\\games\\region\\dnf.exe") +
            readBytes(dir + L"\\notes.txt") + readBytes(dir + L"\\.platform\\installer-files.tsv") + readBytes(copy).substr(0, 2),
            "user editkeptkeptkept" + list + "MZ");
  EXPECT_EQ(fileExists(elsewhere + L"\\data.bin"), row.move == Move::ParentSwappedAfterCheck) << "a file behind a link was deleted";
}

INSTANTIATE_TEST_SUITE_P(Rows, UninstallerFindings, ::testing::ValuesIn(kFindings), kRowName);

}  // namespace
}  // namespace orvo::test
