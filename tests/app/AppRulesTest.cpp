// The rules of the path box text, of the install directory and of the command line, a table each.
#include <regex>

#include "app/InstallDirectory.h"
#include "app/InstallDirectorySeam.h"
#include "app/InstallerSettings.h"
#include "app/InstallerWindowPaths.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {
namespace {

TEST(PathBoxText, IsTrimmedAndAPickedFolderGetsTheProductFolder) {
  const struct { std::wstring (*rule)(const std::wstring&); std::wstring text, result; } rows[] = {
      {trimPathText, L" \t D:\\Games\\orvo game \t\r\n\v\f", L"D:\\Games\\orvo game"}, {trimPathText, L"\nD:\\", L"\nD:\\"},
      {trimPathText, L"\rD:\\Games ", L"\rD:\\Games"}, {trimPathText, L" \t \r\n", L""},
      {withProductFolder, L"D:\\Games", L"D:\\Games\\orvo game"}, {withProductFolder, L"E:\\", L"E:\\orvo game"},
      {withProductFolder, L"D:\\Games\\ORVO GAME", L"D:\\Games\\ORVO GAME"}, {withProductFolder, L"D:/Orvo Game", L"D:/Orvo Game"},
      {withProductFolder, L"D:\\orvo games", L"D:\\orvo games\\orvo game"}, {withProductFolder, L"D:\\my orvo game", L"D:\\my orvo game\\orvo game"},
      {browseStartFolder, L"C:\\windows", L"C:\\windows"}, {browseStartFolder, L"C:\\windows\\no such\\orvo game", L"C:\\windows"},
      {browseStartFolder, L"C:\\no such\\orvo game", L"C:\\"}, {browseStartFolder, L"Q:\\no such drive\\orvo game", L""},
  };
  for (const auto& row : rows) EXPECT_EQ(row.rule(row.text), row.result) << row.text;
}

TEST(InstallDirectory, IsCompleteOurOwnWithoutLinksAndOnADiskWithRoom) {
  TempDir temp;
  makeDirectoryLink(temp / L"link", temp.path());
  const std::string incomplete = "请选择完整的平台安装目录", ours = "请选择 orvo game 专属目录", ok = "no exception";
  const std::pair<std::wstring, std::string> rows[] = {
      {L"C:", incomplete}, {L"C:folder", incomplete}, {L"C:\\", incomplete}, {L"c:/", incomplete}, {L"C:\\\\", incomplete},
      {L"relative\\orvo", incomplete}, {L"\\orvo", incomplete}, {L"", incomplete}, {L"C:\\or\rvo", incomplete},
      {L"C:\\or\nvo", incomplete}, {L"C:\\\"orvo\"", incomplete}, {L"C:\\a<b", incomplete}, {L"C:\\a>b", incomplete},
      {L"C:\\a|b", incomplete}, {L"C:\\a*", incomplete}, {L"C:\\Program Files", ours}, {L"c:\\program files", ours},
      {L"C:\\PROGRAM FILES", ours}, {L"C:\\Program Files\\", ok}, {L"C:\\Program Files\\orvo game", ok},
      {temp / L"new\\orvo game", ok}, {temp / L"link\\orvo game", "Install directory cannot use links"},
  };
  for (const auto& [directory, message] : rows) EXPECT_EQ(messageOf([&] { validateInstallDirectory(directory); }), message) << directory;
  EXPECT_TRUE(!directoryExists(temp / L"new") && defaultInstallDirectory() == L"C:\\Program Files\\orvo game");
  EXPECT_TRUE(hasEnoughFreeSpace(805306368) && !hasEnoughFreeSpace(805306367));
  EXPECT_TRUE(std::regex_match(freeSpaceText(L"C:\\Program Files"), std::wregex(L"可用空间 \\d+\\.\\d GB")) &&
              freeSpaceText(L"relative") + freeSpaceText(L"Q:\\nowhere") == L"请选择有效的安装目录请选择有效的安装目录");
  const std::pair<const wchar_t*, const wchar_t*> roots[] = {
      {L"d:/games", L"d:\\"}, {L"\\\\server\\share\\games", L"\\\\server\\share\\"}, {L"//server/share", L"\\\\server\\share\\"},
      {L"\\\\?\\C:\\Games", L"\\\\?\\C:\\"}, {L"\\\\?\\UNC\\server\\share\\games", L"\\\\?\\UNC\\server\\share\\"},
      {L"\\\\?\\unc\\server\\share", L"\\\\?\\unc\\server\\share\\"}, {L"\\\\?\\Volume{0a1b}\\games", L"\\\\?\\Volume{0a1b}\\"},
      {L"\\\\server\\", L""}, {L"\\\\server", L""}, {L"C:games", L""}, {L"relative\\orvo", L""}};
  for (const auto& [path, root] : roots) EXPECT_EQ(freeSpaceRoot(path), root) << path;
}

// Flags: Uninstall, Verify-install, Autorun, Launch, desktop Shortcut, Fallback, verify-sTart; then the three paths.
TEST(CommandLine, SetsTheOptionsItsArgumentsName) {
  const std::pair<std::vector<std::wstring>, std::wstring> rows[] = {
      {{L"--verify-install", L"D:\\o", L"D:\\m"}, L"VA D:\\o D:\\m "}, {{L"--verify-install", L"--verify-fallback"}, L"SF D  "},
      {{L"--capture-ui"}, L"S D  "}, {{L"--capture-ui", L"--uninstall"}, L"S D  --uninstall"}, {{L"--verify-start"}, L"ST D  "},
      {{L"--VERIFY-START", L"--Uninstall", L"stray", L"--verify-fallbacks"}, L"S D  "}, {{L"--uninstall", L"--verify-fallback"}, L"USF D  "},
      {{L"--verify-start", L"--verify-install", L"D:\\o", L"D:\\m"}, L"VALT D:\\o D:\\m "}, {{L"--verify-install", L"D:\\o", L"D:\\m", L"--verify-start"}, L"VALT D:\\o D:\\m "},
  };
  for (const auto& [arguments, expected] : rows) {
    InstallerSettings s{L"D", L"", L"", true, false};  // launching off, to see what turns it on
    const bool uninstall = parseCommandLine(arguments, s);
    const std::wstring flags = std::wstring(uninstall ? L"U" : L"") + (s.verifyInstall ? L"V" : L"") + (s.autoRun ? L"A" : L"") +
        (s.launchAfterInstall ? L"L" : L"") + (s.createDesktopShortcut ? L"S" : L"") + (s.verifyFallback ? L"F" : L"") + (s.verifyStart ? L"T" : L"");
    EXPECT_EQ(flags + L" " + s.installDirectory + L" " + s.stageMarkerFile + L" " + s.capturePath, expected);
  }
}

}  // namespace
}  // namespace orvo::test
