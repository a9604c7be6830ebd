// Registration with Windows for real under Wine: the uninstall key in the
// 64-bit view, the desktop user's shortcuts, the uninstaller copy and the
// manifest copy, written by a registrar process whose resource 105 is the test's
// file list.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <map>

#include "common/UniqueHandle.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

TEST(EstimatedSize, TruncatesEveryFileToWholeKibibytesBeforeSumming) {
  EXPECT_EQ(estimatedSizeKiB(std::vector<ManifestEntry>(14, ManifestEntry{L"f", L"", 1023})), 0u);
  EXPECT_EQ(estimatedSizeKiB({{L"a", L"", 2048}, {L"b", L"", 1023}, {L"c", L"", 1024 * 1024 + 1}}), 1026u);
  EXPECT_EQ(estimatedSizeKiB({{L"OrvoQ9.exe", L"", 183581500}}), 179278u);
  EXPECT_EQ(estimatedSizeKiB({}), 0u);
}

TEST(UninstallCommand, QuotesTheUninstallerCopyAndAddsTheOption) {
  EXPECT_EQ(uninstallCommand(L"C:\\Program Files\\orvo game"),
            L"\"C:\\Program Files\\orvo game\\卸载 orvo game.exe\" --uninstall");
}

struct LinkProperties {
  std::wstring target, workingDirectory, description, iconPath;
  int iconIndex = -1;
};

LinkProperties readShortcut(const std::wstring& path) {
  ComApartment com;
  LinkProperties properties;
  ComPtr<IShellLinkW> link;
  ComPtr<IPersistFile> file;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())) ||
      FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())) || FAILED(file->Load(path.c_str(), STGM_READ))) {
    throw std::runtime_error("cannot read shortcut " + wideToUtf8(path));
  }
  wchar_t text[MAX_PATH * 4] = {};
  link->GetPath(text, MAX_PATH * 4, nullptr, SLGP_RAWPATH);
  properties.target = text;
  link->GetWorkingDirectory(text, MAX_PATH * 4);
  properties.workingDirectory = text;
  link->GetDescription(text, MAX_PATH * 4);
  properties.description = text;
  link->GetIconLocation(text, MAX_PATH * 4, &properties.iconIndex);
  properties.iconPath = text;
  return properties;
}

std::wstring userFolder(const KNOWNFOLDERID& folder) {
  const UniqueHandle token = getDesktopUserToken();
  return knownFolderOfUser(folder, token.get());
}

struct RegistryValue {
  DWORD type = 0;
  std::vector<unsigned char> bytes;
};

std::map<std::wstring, RegistryValue> uninstallKeyValues() {
  std::map<std::wstring, RegistryValue> values;
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
      ERROR_SUCCESS) {
    return values;
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {};
    DWORD nameLength = 256;
    RegistryValue value;
    value.bytes.resize(65536);
    DWORD size = static_cast<DWORD>(value.bytes.size());
    if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &value.type, value.bytes.data(), &size) !=
        ERROR_SUCCESS) {
      break;
    }
    value.bytes.resize(size);
    values.emplace(name, value);
  }
  return values;
}

std::vector<unsigned char> stringBytes(const std::wstring& text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.c_str());
  return std::vector<unsigned char>(begin, begin + (text.size() + 1) * sizeof(wchar_t));
}

std::vector<unsigned char> numberBytes(DWORD value) {
  const auto* begin = reinterpret_cast<const unsigned char*>(&value);
  return std::vector<unsigned char>(begin, begin + sizeof value);
}

void removeMachineState() {
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKeyPath, KEY_WOW64_64KEY, 0);
  ::DeleteFileW(joinPath(userFolder(FOLDERID_Desktop), kShortcutName).c_str());
  ::DeleteFileW(joinPath(userFolder(FOLDERID_Programs), kShortcutName).c_str());
}

class Registration : public test::TempDirTest {
 protected:
  void SetUp() override {
    ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
    removeMachineState();
    installDirectory = temp / L"orvo game";
    std::filesystem::create_directories(installDirectory + L"\\.platform");
  }
  void TearDown() override { removeMachineState(); }

  // A registrar whose embedded file list is `manifest`, run to its end.
  std::string registerWith(const std::string& manifest, bool desktopShortcut,
                           const std::wstring& directory = L"") {
    registrar = temp / L"registrar.exe";
    test::copyFileOrThrow(test::helperProgram(L"SystemRegister"), registrar);
    test::stampManifestResource(registrar, manifest);
    const std::wstring result = temp / L"result.txt";
    ::DeleteFileW(result.c_str());
    const std::wstring target = directory.empty() ? installDirectory : directory;
    test::runToExit(registrar, L"\"" + target + L"\" " + (desktopShortcut ? L"desktop" : L"nodesktop") + L" \"" +
                                   result + L"\"");
    return test::readBytes(result);
  }

  std::string manifestOf(const std::vector<std::pair<std::string, std::uint64_t>>& files) {
    std::string text;
    for (const auto& [path, size] : files) text += std::string(64, 'a') + "\t" + std::to_string(size) + "\t" + path + "\r\n";
    return text;
  }

  test::MachineStateLock lock;
  std::wstring installDirectory;
  std::wstring registrar;
};

TEST_F(Registration, WritesTheUninstallKeyWithItsNineValues) {
  const std::string manifest = manifestOf({{"OrvoQ9.exe", 183581500}, {"q9/data.bin", 5000}, {"q9/tiny.txt", 1023}});
  ASSERT_EQ(registerWith(manifest, true), "ok");
  const auto values = uninstallKeyValues();
  const std::wstring program = installDirectory + L"\\OrvoQ9.exe";
  const std::map<std::wstring, std::pair<DWORD, std::vector<unsigned char>>> expected = {
      {L"DisplayName", {REG_SZ, stringBytes(L"orvo game")}},
      {L"DisplayVersion", {REG_SZ, stringBytes(L"1.0.0.113")}},
      {L"Publisher", {REG_SZ, stringBytes(L"orvo game")}},
      {L"InstallLocation", {REG_SZ, stringBytes(installDirectory)}},
      {L"DisplayIcon", {REG_SZ, stringBytes(program)}},
      {L"UninstallString", {REG_SZ, stringBytes(L"\"" + installDirectory + L"\\卸载 orvo game.exe\" --uninstall")}},
      {L"EstimatedSize", {REG_DWORD, numberBytes(179278 + 4)}},
      {L"NoModify", {REG_DWORD, numberBytes(1)}},
      {L"NoRepair", {REG_DWORD, numberBytes(1)}},
  };
  ASSERT_EQ(values.size(), expected.size());
  for (const auto& [name, value] : values) {
    const auto wanted = expected.find(name);
    ASSERT_NE(wanted, expected.end()) << "unexpected value " << wideToUtf8(name);
    EXPECT_EQ(value.type, wanted->second.first) << wideToUtf8(name);
    EXPECT_EQ(value.bytes, wanted->second.second) << wideToUtf8(name);
  }
}

TEST_F(Registration, CopiesItselfAsTheUninstallerAndTheEmbeddedListIntoThePersonalDataDirectory) {
  const std::string manifest = manifestOf({{"OrvoQ9.exe", 10}});
  ASSERT_EQ(registerWith(manifest, true), "ok");
  EXPECT_EQ(test::readBytes(installDirectory + L"\\卸载 orvo game.exe"), test::readBytes(registrar));
  EXPECT_EQ(test::readBytes(installDirectory + L"\\.platform\\installer-files.tsv"), manifest);
}

TEST_F(Registration, CreatesBothShortcutsForTheDesktopUser) {
  ASSERT_EQ(registerWith(manifestOf({{"OrvoQ9.exe", 10}}), true), "ok");
  const std::wstring program = installDirectory + L"\\OrvoQ9.exe";
  for (const auto* folder : {&FOLDERID_Desktop, &FOLDERID_Programs}) {
    const LinkProperties link = readShortcut(joinPath(userFolder(*folder), kShortcutName));
    EXPECT_EQ(link.target, program);
    EXPECT_EQ(link.workingDirectory, installDirectory);
    EXPECT_EQ(link.description, L"orvo game 游戏平台");
    EXPECT_EQ(link.iconPath, program);
    EXPECT_EQ(link.iconIndex, 0);
  }
}

TEST_F(Registration, CreatesOnlyTheProgramsShortcutWhenTheDesktopOptionIsOff) {
  ASSERT_EQ(registerWith(manifestOf({{"OrvoQ9.exe", 10}}), false), "ok");
  EXPECT_FALSE(test::fileExists(joinPath(userFolder(FOLDERID_Desktop), kShortcutName)));
  EXPECT_TRUE(test::fileExists(joinPath(userFolder(FOLDERID_Programs), kShortcutName)));
}

TEST_F(Registration, RegisteringAgainLeavesOneKeyWithTheNewValues) {
  ASSERT_EQ(registerWith(manifestOf({{"OrvoQ9.exe", 4096}}), true), "ok");
  const std::wstring second = temp / L"second place";
  std::filesystem::create_directories(second + L"\\.platform");
  test::writeBytes(second + L"\\卸载 orvo game.exe", "an older uninstaller");
  ASSERT_EQ(registerWith(manifestOf({{"OrvoQ9.exe", 14 * 1023}}), true, second), "ok");

  const auto values = uninstallKeyValues();
  ASSERT_EQ(values.size(), 9u);
  EXPECT_EQ(values.at(L"InstallLocation").bytes, stringBytes(second));
  EXPECT_EQ(values.at(L"UninstallString").bytes, stringBytes(uninstallCommand(second)));
  EXPECT_EQ(values.at(L"EstimatedSize").bytes, numberBytes(13));
  EXPECT_EQ(test::readBytes(second + L"\\卸载 orvo game.exe"), test::readBytes(registrar));

  UniqueRegKey parent;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                            KEY_READ | KEY_WOW64_64KEY, parent.put()),
            ERROR_SUCCESS);
  int keys = 0;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {};
    DWORD length = 256;
    if (::RegEnumKeyExW(parent.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (std::wstring(name) == L"orvo game") ++keys;
  }
  EXPECT_EQ(keys, 1);
}

// The manifest copy goes into ".platform", the user's own directory: it is
// never created there, and never written through a link the user put there.
struct ManifestCopyRow {
  const char* name;
  bool linked;  // ".platform" is a link to another directory; else it is absent
  const char* message;
};

void PrintTo(const ManifestCopyRow& row, std::ostream* out) { *out << row.name; }

class ManifestCopyRefusal : public Registration, public ::testing::WithParamInterface<ManifestCopyRow> {};

TEST_P(ManifestCopyRefusal, WritesNothingThereAndRegistersNothing) {
  const ManifestCopyRow row = GetParam();
  const std::wstring platformDirectory = installDirectory + L"\\.platform";
  const std::wstring elsewhere = temp / L"elsewhere";
  std::filesystem::create_directories(elsewhere);
  std::filesystem::remove(platformDirectory);
  if (row.linked) test::makeDirectoryLink(platformDirectory, elsewhere);
  EXPECT_EQ(registerWith(manifestOf({{"OrvoQ9.exe", 10}}), true), row.message);
  EXPECT_FALSE(test::fileExists(elsewhere + L"\\installer-files.tsv")) << "written through the link";
  if (row.linked) {
    test::removeDirectoryLink(platformDirectory);
  } else {
    EXPECT_FALSE(test::directoryExists(platformDirectory));
  }
  EXPECT_TRUE(uninstallKeyValues().empty()) << "the key was written after a failed step";
}

INSTANTIATE_TEST_SUITE_P(Rows, ManifestCopyRefusal,
                         ::testing::Values(ManifestCopyRow{"Absent", false, "Cannot prepare installer files"},
                                           ManifestCopyRow{"Linked", true, "Install directory cannot use links"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvo
