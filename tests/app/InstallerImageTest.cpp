// What the built OrvoGameSetup.exe carries: PE32+ GUI image, imports from
// Windows system libraries only, the application manifest, version and icon.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>
#include <set>

#include "tests/support/TestSupport.h"

using namespace orvo::test;

namespace {

class InstallerImage : public ::testing::Test {
 protected:
  void SetUp() override {
    image = readBytes(installerExecutable());
    module = ::LoadLibraryExW(installerExecutable().c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    if (module) ::FreeLibrary(module);
  }

  std::string resource(LPCWSTR type, int id) const {
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!info) return {};
    HGLOBAL loaded = ::LoadResource(module, info);
    const char* bytes = static_cast<const char*>(::LockResource(loaded));
    return std::string(bytes, ::SizeofResource(module, info));
  }

  template <class T>
  T at(std::size_t offset) const {
    T value{};
    std::memcpy(&value, image.data() + offset, sizeof value);
    return value;
  }

  std::string image;
  HMODULE module = nullptr;
};

}  // namespace

TEST_F(InstallerImage, IsA64BitGuiProgram) {
  const auto peOffset = at<std::uint32_t>(0x3C);
  ASSERT_EQ(image.compare(peOffset, 4, std::string("PE\0\0", 4)), 0);
  EXPECT_EQ(at<std::uint16_t>(peOffset + 4), IMAGE_FILE_MACHINE_AMD64);
  const std::size_t optional = peOffset + 24;
  EXPECT_EQ(at<std::uint16_t>(optional), IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(at<std::uint16_t>(optional + 68), IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(InstallerImage, ImportsOnlyWindowsSystemLibraries) {
  const auto peOffset = at<std::uint32_t>(0x3C);
  const std::size_t optional = peOffset + 24;
  const auto sectionCount = at<std::uint16_t>(peOffset + 6);
  const auto optionalSize = at<std::uint16_t>(peOffset + 20);
  const auto importRva = at<std::uint32_t>(optional + 112 + 8);  // data directory 1
  ASSERT_NE(importRva, 0u);
  auto fileOffset = [&](std::uint32_t rva) -> std::size_t {
    const std::size_t sections = optional + optionalSize;
    for (unsigned i = 0; i < sectionCount; ++i) {
      const std::size_t s = sections + i * 40;
      const auto va = at<std::uint32_t>(s + 12), rawSize = at<std::uint32_t>(s + 16), raw = at<std::uint32_t>(s + 20);
      const auto virtualSize = std::max(at<std::uint32_t>(s + 8), rawSize);
      if (rva >= va && rva < va + virtualSize) return raw + (rva - va);
    }
    ADD_FAILURE() << "rva outside every section";
    return 0;
  };
  const std::set<std::string> system = {"advapi32.dll", "bcrypt.dll",  "comctl32.dll", "crypt32.dll", "gdi32.dll",
                                        "gdiplus.dll",  "kernel32.dll", "msvcrt.dll",   "ole32.dll",   "oleaut32.dll",
                                        "shell32.dll",  "shlwapi.dll",  "user32.dll",   "userenv.dll", "winhttp.dll"};
  std::set<std::string> imported;
  for (std::size_t d = fileOffset(importRva); at<std::uint32_t>(d + 12) != 0; d += 20) {
    std::string name(image.c_str() + fileOffset(at<std::uint32_t>(d + 12)));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    imported.insert(name);
  }
  EXPECT_TRUE(imported.count("kernel32.dll"));
  for (const auto& name : imported) EXPECT_TRUE(system.count(name)) << name << " is not a Windows system library";
}

TEST_F(InstallerImage, ManifestRequestsAdministratorPerMonitorV2AndLongPaths) {
  const std::string manifest = resource(MAKEINTRESOURCEW(24), 1);
  ASSERT_FALSE(manifest.empty());
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2"), std::string::npos);
  EXPECT_NE(manifest.find("true/pm</dpiAware>"), std::string::npos);
  EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>"),
            std::string::npos);
}

TEST_F(InstallerImage, CarriesVersion1_0_0_113OfTheProductOrvoGame) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(installerExecutable().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(::GetFileVersionInfoW(installerExecutable().c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 0u);
  EXPECT_EQ(fixed->dwFileVersionLS, (0u << 16) | 113u);
  EXPECT_EQ(fixed->dwProductVersionLS, 113u);
  // Every text exactly as the version API hands it to Explorer, Task Manager
  // and the elevation prompt: the Chinese description once stored its UTF-8
  // bytes as characters of their own.
  const std::pair<const wchar_t*, const wchar_t*> texts[] = {
      {L"CompanyName", L"orvo game"},           {L"FileDescription", L"orvo game 安装程序"},
      {L"FileVersion", L"1.0.0.113"},           {L"InternalName", L"OrvoGameSetup"},
      {L"OriginalFilename", L"OrvoGameSetup.exe"}, {L"ProductName", L"orvo game"},
      {L"ProductVersion", L"1.0.0.113"}};
  for (const auto& [name, expected] : texts) {
    wchar_t* value = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), (std::wstring(L"\\StringFileInfo\\080404b0\\") + name).c_str(),
                                 reinterpret_cast<void**>(&value), &length))
        << std::string(name, name + wcslen(name));
    EXPECT_EQ(std::wstring(value), expected) << std::string(name, name + wcslen(name));
  }
}

TEST_F(InstallerImage, IconOneHas16_32_48And256PixelImages) {
  const std::string group = resource(MAKEINTRESOURCEW(14), 1);  // RT_GROUP_ICON
  ASSERT_GE(group.size(), 6u);
  const auto count = static_cast<unsigned char>(group[4]) | (static_cast<unsigned char>(group[5]) << 8);
  std::set<int> sizes;
  for (int i = 0; i < count; ++i) {
    const int width = static_cast<unsigned char>(group[6 + i * 14]);
    sizes.insert(width == 0 ? 256 : width);
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48, 256}));
}
