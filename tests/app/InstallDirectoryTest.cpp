#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <cwchar>

#include "app/InstallDirectory.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using orvo::test::TempDirTest;

namespace {

std::string validationMessage(const std::wstring& directory) {
  return orvo::test::messageOf([&] { validateInstallDirectory(directory); });
}

std::string linkCheckMessage(const std::wstring& path) {
  return orvo::test::messageOf([&] { checkNoLinks(path); });
}

}  // namespace

TEST(InstallDirectoryRules, DefaultIsOrvoGameUnderProgramFiles) {
  EXPECT_EQ(defaultInstallDirectory(), L"C:\\Program Files\\orvo game");
}

TEST(InstallDirectoryRules, IncompleteDirectoriesAndBareRootsAreRefused) {
  for (const wchar_t* directory : {L"C:", L"C:folder", L"C:\\", L"c:/", L"C:\\\\", L"relative\\orvo", L"\\orvo", L""}) {
    EXPECT_EQ(validationMessage(directory), "请选择完整的平台安装目录") << std::string(directory, directory + wcslen(directory));
  }
  EXPECT_TRUE(isCompleteInstallDirectory(L"\\\\server\\share\\games"));
  EXPECT_TRUE(isCompleteInstallDirectory(L"D:\\orvo game"));
  EXPECT_FALSE(isCompleteInstallDirectory(L"\\\\server\\"));
}

TEST(InstallDirectoryRules, RefusedCharactersMakeADirectoryIncomplete) {
  for (const wchar_t* directory : {L"C:\\or\rvo", L"C:\\or\nvo", L"C:\\\"orvo\"", L"C:\\a<b", L"C:\\a>b", L"C:\\a|b",
                                   L"C:\\a*"}) {
    EXPECT_EQ(validationMessage(directory), "请选择完整的平台安装目录");
  }
}

TEST(InstallDirectoryRules, ProgramFilesItselfIsNotTheProductsOwnDirectoryInAnyLetterCase) {
  EXPECT_EQ(validationMessage(L"C:\\Program Files"), "请选择 orvo game 专属目录");
  EXPECT_EQ(validationMessage(L"c:\\program files"), "请选择 orvo game 专属目录");
  EXPECT_EQ(validationMessage(L"C:\\PROGRAM FILES"), "请选择 orvo game 专属目录");
  // The comparison is on text: a trailing separator makes another text.
  EXPECT_EQ(validationMessage(L"C:\\Program Files\\"), "no exception");
  EXPECT_EQ(validationMessage(L"C:\\Program Files\\orvo game"), "no exception");
}

TEST(InstallDirectoryRules, FreeSpaceThresholdIsExactly768MiB) {
  EXPECT_TRUE(hasEnoughFreeSpace(805306368));
  EXPECT_FALSE(hasEnoughFreeSpace(805306367));
  EXPECT_FALSE(hasEnoughFreeSpace(0));
}

TEST(InstallDirectoryRules, FreeSpaceLineShowsGigabytesWithOneDecimal) {
  EXPECT_EQ(formatFreeSpace(1610612736), L"可用空间 1.5 GB");
  EXPECT_EQ(formatFreeSpace(0), L"可用空间 0.0 GB");
  EXPECT_EQ(formatFreeSpace(1073741824ull * 1024), L"可用空间 1024.0 GB");
  EXPECT_EQ(freeSpaceText(L""), L"请选择有效的安装目录");
  EXPECT_EQ(freeSpaceText(L"relative"), L"请选择有效的安装目录");
  EXPECT_EQ(freeSpaceText(L"Q:\\nowhere"), L"请选择有效的安装目录");
  const std::wstring line = freeSpaceText(L"C:\\Program Files\\orvo game");
  EXPECT_EQ(line.rfind(L"可用空间 ", 0), 0u);
  EXPECT_EQ(line.substr(line.size() - 3), L" GB");
}

class InstallDirectoryOnDisk : public TempDirTest {};

TEST_F(InstallDirectoryOnDisk, DirectoryThatDoesNotExistYetIsAcceptedAndNotCreated) {
  const std::wstring directory = temp / L"new\\orvo game";
  EXPECT_EQ(validationMessage(directory), "no exception");
  EXPECT_FALSE(orvo::test::directoryExists(temp / L"new"));
}

TEST_F(InstallDirectoryOnDisk, LinkAnywhereOnThePathIsRefusedEvenBelowIt) {
  std::filesystem::create_directories(temp / L"target");
  orvo::test::makeDirectoryLink(temp / L"link", temp / L"target");
  EXPECT_EQ(linkCheckMessage(temp / L"link"), "Install directory cannot use links");
  EXPECT_EQ(linkCheckMessage(temp / L"link\\orvo game"), "Install directory cannot use links");
  EXPECT_EQ(linkCheckMessage(temp / L"link\\not\\there\\yet"), "Install directory cannot use links");
  EXPECT_EQ(validationMessage(temp / L"link\\orvo game"), "Install directory cannot use links");
  EXPECT_EQ(linkCheckMessage(temp / L"target\\orvo game"), "no exception");
}

TEST_F(InstallDirectoryOnDisk, RelativePathsAreCheckedFromTheCurrentDirectory) {
  std::filesystem::create_directories(temp / L"target");
  orvo::test::makeDirectoryLink(temp / L"link", temp / L"target");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  const std::string below = linkCheckMessage(L"link\\orvo");
  const std::string beside = linkCheckMessage(L"target\\orvo");
  std::filesystem::current_path(previous);
  EXPECT_EQ(below, "Install directory cannot use links");
  EXPECT_EQ(beside, "no exception");
}

// The free space of every accepted kind of path is asked for at a root the
// system answers for: a share is measured at its own root, never at "\\server\".
struct FreeSpaceRootCase {
  const wchar_t* path;
  const wchar_t* root;
};

void PrintTo(const FreeSpaceRootCase& c, std::ostream* out) {
  for (const wchar_t* p = c.path; *p; ++p) *out << (*p < 128 ? static_cast<char>(*p) : '?');
}

class FreeSpaceRootTest : public ::testing::TestWithParam<FreeSpaceRootCase> {};

TEST_P(FreeSpaceRootTest, IsTheDriveShareOrVolumeRoot) {
  EXPECT_EQ(freeSpaceRoot(GetParam().path), GetParam().root);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPathForm, FreeSpaceRootTest,
    ::testing::Values(FreeSpaceRootCase{L"C:\\Games\\orvo game", L"C:\\"},
                      FreeSpaceRootCase{L"d:/games/orvo game", L"d:\\"},
                      FreeSpaceRootCase{L"\\\\server\\share\\games", L"\\\\server\\share\\"},
                      FreeSpaceRootCase{L"//server/share/games/orvo game", L"\\\\server\\share\\"},
                      FreeSpaceRootCase{L"\\\\server\\share", L"\\\\server\\share\\"},
                      FreeSpaceRootCase{L"\\\\?\\C:\\Games\\orvo game", L"\\\\?\\C:\\"},
                      FreeSpaceRootCase{L"\\\\?\\UNC\\server\\share\\games", L"\\\\?\\UNC\\server\\share\\"},
                      FreeSpaceRootCase{L"\\\\?\\unc\\server\\share", L"\\\\?\\unc\\server\\share\\"},
                      FreeSpaceRootCase{L"\\\\?\\Volume{0a1b2c3d}\\games", L"\\\\?\\Volume{0a1b2c3d}\\"},
                      FreeSpaceRootCase{L"\\\\server\\", L""}, FreeSpaceRootCase{L"\\\\server", L""},
                      FreeSpaceRootCase{L"C:games", L""}, FreeSpaceRootCase{L"relative\\orvo", L""}));
