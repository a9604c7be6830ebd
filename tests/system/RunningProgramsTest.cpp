// The running-program checks: their text rules with crafted paths, and the real
// process list with a sleeper program copied under game-client and platform
// names into directories below, beside and inside an install directory.
#include <windows.h>

#include <cwctype>
#include <deque>
#include <filesystem>

#include "system/RunningPrograms.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

TEST(GameDirectoryPrefix, IsTheLexicallyNormalDirectoryWithOneTrailingBackslash) {
  EXPECT_EQ(gameDirectoryPrefix(L"C:/Games/orvo game"), L"C:\\Games\\orvo game\\");
  EXPECT_EQ(gameDirectoryPrefix(L"C:\\Games\\.\\x\\..\\orvo game\\\\"), L"C:\\Games\\orvo game\\");
  EXPECT_EQ(gameDirectoryPrefix(L"D:\\\\orvo game"), L"D:\\orvo game\\");
}

TEST(ImageLiesUnder, MatchesAnyDepthIgnoringCaseAfterNormalisingTheImagePath) {
  const std::wstring prefix = gameDirectoryPrefix(L"C:\\Games\\orvo game");
  EXPECT_TRUE(imageLiesUnder(L"c:/GAMES/Orvo Game/x/./y/../DNF.EXE", prefix));
  EXPECT_TRUE(imageLiesUnder(L"C:\\Games\\orvo game\\dnf.exe", prefix));
  EXPECT_TRUE(imageLiesUnder(L"C:\\Games\\orvo game\\a\\\\b\\arad.exe", prefix));
}

TEST(ImageLiesUnder, DoesNotMatchASiblingWhoseNameBeginsLikeTheDirectory) {
  const std::wstring prefix = gameDirectoryPrefix(L"C:\\Games\\orvo game");
  EXPECT_FALSE(imageLiesUnder(L"C:\\Games\\orvo game2\\dnf.exe", prefix));
  EXPECT_FALSE(imageLiesUnder(L"C:\\Games\\orvo game\\..\\dnf.exe", prefix));
  EXPECT_FALSE(imageLiesUnder(L"C:\\Games", prefix));
}

TEST(ImageLiesDirectlyIn, ComparesTheImagesOwnDirectoryAsWholeTextIgnoringCase) {
  EXPECT_TRUE(imageLiesDirectlyIn(L"C:\\Games\\orvo game\\OrvoQ9.exe", L"c:\\games\\ORVO GAME"));
  EXPECT_TRUE(imageLiesDirectlyIn(L"C:\\OrvoQ9.exe", L"C:\\"));
  EXPECT_FALSE(imageLiesDirectlyIn(L"C:\\Games\\orvo game\\bin\\OrvoQ9.exe", L"C:\\Games\\orvo game"));
  EXPECT_FALSE(imageLiesDirectlyIn(L"C:\\Games\\orvo game\\OrvoQ9.exe", L"C:\\Games\\orvo game\\"));
  EXPECT_FALSE(imageLiesDirectlyIn(L"C:\\Games\\orvo game\\OrvoQ9.exe", L"C:/Games/orvo game"));
}

TEST(ProcessNames, KnowTheFourGameClientsAndTheThreePlatformNamesInAnyCase) {
  for (const wchar_t* name : {L"dnf.exe", L"DNF.EXE", L"DnfChina.exe", L"dfo.exe", L"ARAD.exe"}) {
    EXPECT_TRUE(isGameClientName(name)) << wideToUtf8(name);
  }
  for (const wchar_t* name : {L"dnf", L"dnf.exe.bak", L"xdnf.exe", L"OrvoQ9.exe", L""}) {
    EXPECT_FALSE(isGameClientName(name)) << wideToUtf8(name);
  }
  for (const wchar_t* name : {L"OrvoQ9.exe", L"orvoq9.EXE", L"orvo game.exe", L"ORVOGAME.exe"}) {
    EXPECT_TRUE(isPlatformName(name)) << wideToUtf8(name);
  }
  for (const wchar_t* name : {L"orvogame .exe", L"OrvoQ9", L"dnf.exe"}) {
    EXPECT_FALSE(isPlatformName(name)) << wideToUtf8(name);
  }
}

TEST(ProcessVerdicts, CountAnUnreadableGameAsRunningButPassOverAnUnreadablePlatform) {
  const std::wstring prefix = gameDirectoryPrefix(L"C:\\orvo game");
  EXPECT_TRUE(gameProcessMatches(L"DNF.exe", std::nullopt, prefix));
  EXPECT_FALSE(gameProcessMatches(L"notepad.exe", std::nullopt, prefix));
  EXPECT_FALSE(platformProcessMatches(L"OrvoQ9.exe", std::nullopt, L"C:\\orvo game"));
  EXPECT_TRUE(platformProcessMatches(L"OrvoQ9.exe", std::wstring(L"C:\\orvo game\\OrvoQ9.exe"), L"C:\\orvo game"));
}

// An install directory in a scratch folder, with sleepers started from chosen places.
class RunningPrograms : public test::TempDirTest {
 protected:
  void SetUp() override {
    installDirectory = temp / L"orvo game";
    std::filesystem::create_directories(installDirectory);
  }
  // The sleeper, started from `path` and seen in the process list; ended
  // with the test through the handle kept since its start.
  test::ChildProcess& startAs(const std::wstring& path) {
    return started.emplace_back(test::startCopyAs(test::helperProgram(L"SystemSleeper"), path, L"60"));
  }

  std::wstring installDirectory;
  std::deque<test::ChildProcess> started;  // a deque keeps the references startAs gave
};

TEST_F(RunningPrograms, SeeAGameClientInCapitalsTwoLevelsBelowTheDirectory) {
  EXPECT_FALSE(isGameRunningUnder(installDirectory));
  test::ChildProcess& client = startAs(installDirectory + L"\\games\\region\\DNF.EXE");
  EXPECT_TRUE(isGameRunningUnder(installDirectory));
  EXPECT_TRUE(isGameRunningUnder(temp.path() + L"/./orvo game/"));
  client.terminate();
  EXPECT_FALSE(isGameRunningUnder(installDirectory)) << "an ended game client is still seen";
}

TEST_F(RunningPrograms, SeeAGameClientDirectlyInTheDirectory) {
  startAs(installDirectory + L"\\arad.exe");
  EXPECT_TRUE(isGameRunningUnder(installDirectory));
}

TEST_F(RunningPrograms, DoNotSeeAGameClientBesideTheDirectory) {
  startAs(installDirectory + L"2\\dnf.exe");
  startAs(installDirectory + L"\\notagame.exe");
  EXPECT_FALSE(isGameRunningUnder(installDirectory));
  EXPECT_TRUE(isGameRunningUnder(installDirectory + L"2"));
}

TEST_F(RunningPrograms, SeeThePlatformOnlyInTheDirectoryItself) {
  startAs(installDirectory + L"\\bin\\OrvoQ9.exe");
  EXPECT_FALSE(isPlatformRunningIn(installDirectory));
  startAs(installDirectory + L"\\orvo game.exe");
  EXPECT_TRUE(isPlatformRunningIn(installDirectory));
}

TEST_F(RunningPrograms, ComparePlatformDirectoriesAsWholeTextWithoutNormalising) {
  startAs(installDirectory + L"\\OrvoQ9.exe");
  std::wstring otherCase = installDirectory;
  for (auto& c : otherCase) c = static_cast<wchar_t>(::towupper(c));
  EXPECT_TRUE(isPlatformRunningIn(installDirectory));
  EXPECT_TRUE(isPlatformRunningIn(otherCase));
  EXPECT_FALSE(isPlatformRunningIn(installDirectory + L"\\"));
  EXPECT_FALSE(isGameRunningUnder(installDirectory)) << "the platform is no game client";
}

TEST_F(RunningPrograms, DoNotTakeAGameClientForThePlatform) {
  startAs(installDirectory + L"\\dnf.exe");
  EXPECT_FALSE(isPlatformRunningIn(installDirectory));
}

}  // namespace
}  // namespace orvo
