// The install-location form and the ownership test of the uninstall key: text
// rules with crafted paths, the existence walk with real directories and a
// link, and the key itself in a scratch registry key of this test.
#include <windows.h>
#include <objbase.h>

#include <filesystem>

#include "common/UniqueHandle.h"
#include "system/InstallLocationText.h"
#include "system/UninstallKey.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

TEST(InstallLocationText, TurnsSlashesIntoBackslashes) {
  EXPECT_EQ(installLocationText(L"c:/Games/orvo game/"), L"c:\\Games\\orvo game\\");
}

TEST(InstallLocationText, RefusesWhatIsNoDrivePathOfSafeCharacters) {
  for (const std::wstring& path : {std::wstring(L"C:"), std::wstring(L"C:games"), std::wstring(L"\\\\server\\share"),
                                   std::wstring(L"1:\\games"), std::wstring(L"C:\\a\"b"), std::wstring(L"C:\\a*"),
                                   std::wstring(L"C:\\a<b"), std::wstring(L"C:\\a>b"), std::wstring(L"C:\\a?"),
                                   std::wstring(L"C:\\a|b"), std::wstring(L"C:\\a:b"), std::wstring(L"C:\\a\tb"),
                                   std::wstring(L"C:\\a\0b", 6), std::wstring(32761, L'a')}) {
    EXPECT_FALSE(installLocationText(path)) << wideToUtf8(path);
  }
}

TEST(InstallLocationText, RefusesDotComponentsAndNamesEndingInASpaceOrADot) {
  for (const wchar_t* path : {L"C:\\games\\.\\orvo", L"C:\\games\\..\\orvo", L"C:\\games \\orvo", L"C:\\games.\\orvo",
                              L"C:\\orvo game.", L"C:\\.."}) {
    EXPECT_FALSE(installLocationText(path)) << wideToUtf8(path);
  }
  EXPECT_TRUE(installLocationText(L"C:\\.games\\orvo game\\\\"));
}

TEST(InstallLocationPrefixes, WalkFromTheDriveDownPassingOverEmptyComponents) {
  EXPECT_EQ(installLocationPrefixes(L"C:\\a\\\\b\\"),
            (std::vector<std::wstring>{L"C:\\", L"C:\\a", L"C:\\a\\\\b"}));
  EXPECT_EQ(installLocationPrefixes(L"C:\\"), (std::vector<std::wstring>{L"C:\\"}));
}

TEST(TrimInstallLocation, DropsTrailingBackslashesAndRefusesABareDriveRoot) {
  EXPECT_EQ(trimInstallLocation(L"C:\\orvo game\\\\\\"), L"C:\\orvo game");
  EXPECT_EQ(trimInstallLocation(L"C:\\a"), L"C:\\a");
  EXPECT_FALSE(trimInstallLocation(L"C:\\\\"));
  EXPECT_FALSE(trimInstallLocation(L"C:\\"));
  EXPECT_FALSE(trimInstallLocation(L""));
  EXPECT_FALSE(trimInstallLocation(std::wstring(32762, L'a')));
}

class NormalizeInstallLocation : public test::TempDirTest {};

TEST_F(NormalizeInstallLocation, GivesTheFullPathOfAnExistingDirectoryWithoutTrailingBackslashes) {
  const std::wstring directory = temp / L"orvo game";
  std::filesystem::create_directories(directory);
  std::wstring slashed = directory + L"\\\\";
  for (auto& c : slashed) c = c == L'\\' ? L'/' : c;
  EXPECT_EQ(normalizeInstallLocation(slashed), directory);
  EXPECT_EQ(normalizeInstallLocation(directory), directory);
}

TEST_F(NormalizeInstallLocation, RefusesAMissingDirectoryAFileAndALink) {
  EXPECT_FALSE(normalizeInstallLocation(temp / L"missing"));
  test::writeBytes(temp / L"file", "x");
  EXPECT_FALSE(normalizeInstallLocation(temp / L"file"));
  std::filesystem::create_directories(temp / L"target\\inner");
  test::makeDirectoryLink(temp / L"link", temp / L"target");
  EXPECT_FALSE(normalizeInstallLocation(temp / L"link\\inner"));
  EXPECT_TRUE(normalizeInstallLocation(temp / L"target\\inner"));
}

// A scratch key of this test under HKEY_CURRENT_USER, removed at the end.
class DeleteUninstallKeyIfOwned : public test::TempDirTest {
 protected:
  void SetUp() override {
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    subkey = std::wstring(L"Software\\OrvoSystemTests\\") + text;
    installDirectory = temp / L"orvo game";
    std::filesystem::create_directories(installDirectory);
  }
  void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, subkey.c_str()); }

  void writeLocation(DWORD type, const void* data, DWORD size) {
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"InstallLocation", 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  // Stores the bytes exactly as given: Wine's RegSetValueExW adds a missing
  // terminator to REG_SZ data, the native call does not.
  void writeRawLocation(DWORD type, const void* data, DWORD size) {
    struct CountedString {
      USHORT length;
      USHORT maximumLength;
      PWSTR buffer;
    };
    using SetValueKey = LONG(NTAPI*)(HANDLE, CountedString*, ULONG, ULONG, const void*, ULONG);
    const auto setValueKey = reinterpret_cast<SetValueKey>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(setValueKey, nullptr);
    writeLocation(L"placeholder");
    UniqueRegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()),
              ERROR_SUCCESS);
    wchar_t name[] = L"InstallLocation";
    CountedString valueName{static_cast<USHORT>(sizeof name - sizeof(wchar_t)), static_cast<USHORT>(sizeof name), name};
    ASSERT_EQ(setValueKey(key.get(), &valueName, 0, type, data, size), 0);
  }
  void writeLocation(const std::wstring& text) {
    writeLocation(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  bool keyExists() {
    UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
  }
  bool deleteIfOwned() {
    return deleteUninstallKeyIfOwned(HKEY_CURRENT_USER, subkey, KEY_WOW64_64KEY, installDirectory);
  }

  std::wstring subkey;
  std::wstring installDirectory;
};

TEST_F(DeleteUninstallKeyIfOwned, DeletesTheKeyThatNamesTheDirectory) {
  writeLocation(installDirectory);
  EXPECT_TRUE(deleteIfOwned());
  EXPECT_FALSE(keyExists());
}

TEST_F(DeleteUninstallKeyIfOwned, MatchesSlashesOtherCaseAndTrailingBackslashes) {
  std::wstring variant = installDirectory;
  for (auto& c : variant) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  for (const std::wstring& written : {variant, installDirectory + L"\\\\\\", variant + L"/"}) {
    writeLocation(written);
    EXPECT_TRUE(deleteIfOwned()) << wideToUtf8(written);
    EXPECT_FALSE(keyExists()) << wideToUtf8(written);
  }
}

TEST_F(DeleteUninstallKeyIfOwned, KeepsTheKeyOfAnotherDirectory) {
  const std::wstring other = temp / L"orvo game2";
  std::filesystem::create_directories(other);
  writeLocation(other);
  EXPECT_FALSE(deleteIfOwned());
  EXPECT_TRUE(keyExists());
}

TEST_F(DeleteUninstallKeyIfOwned, KeepsTheKeyWhenTheRecordedDirectoryNoLongerExists) {
  writeLocation(installDirectory);
  const std::wstring saved = installDirectory;
  installDirectory = temp / L"gone";
  writeLocation(installDirectory);
  EXPECT_FALSE(deleteIfOwned());
  EXPECT_TRUE(keyExists());
  installDirectory = saved;
}

TEST_F(DeleteUninstallKeyIfOwned, KeepsAValueThatIsNoTerminatedStringOfSaneSize) {
  const std::wstring text = installDirectory;
  const DWORD withNul = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  writeLocation(REG_EXPAND_SZ, text.c_str(), withNul);
  EXPECT_FALSE(deleteIfOwned()) << "REG_EXPAND_SZ";
  writeLocation(REG_SZ, text.c_str(), withNul - 1);
  EXPECT_FALSE(deleteIfOwned()) << "odd size";
  writeRawLocation(REG_SZ, text.c_str(), withNul - 2);
  EXPECT_FALSE(deleteIfOwned()) << "no terminator";
  const std::wstring embedded = text + std::wstring(1, L'\0') + L"x";
  writeLocation(REG_SZ, embedded.c_str(), static_cast<DWORD>((embedded.size() + 1) * sizeof(wchar_t)));
  EXPECT_FALSE(deleteIfOwned()) << "embedded NUL";
  writeLocation(REG_SZ, L"C", 2);
  EXPECT_FALSE(deleteIfOwned()) << "too short";
  EXPECT_TRUE(keyExists());
}

TEST_F(DeleteUninstallKeyIfOwned, LeavesTheRegistryAloneForAnInvalidDirectory) {
  writeLocation(installDirectory);
  installDirectory = L"C:\\";
  EXPECT_FALSE(deleteIfOwned());
  EXPECT_TRUE(keyExists());
}

}  // namespace
}  // namespace orvo
