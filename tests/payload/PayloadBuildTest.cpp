// The payload build as the installer meets it: the archive the download servers
// offer, the constants compiled into the installer, the manifest embedded as
// resource 105, and what the installer's own 7-Zip extracts from the archive.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "PayloadBuild.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using namespace orvo::test;

namespace {

constexpr std::uint64_t kRequiredArchiveSize = 63144044;

std::wstring payloadArchive() {
  return joinPath(buildDirectory(), L"payload\\orvo-game-payload-2026101905.7z");
}
std::wstring shippedManifest() { return joinPath(buildDirectory(), L"payload\\installer-files.tsv"); }

// RT_RCDATA resource `id` of the built installer, read without running it.
std::string installerResource(int id) {
  UniqueModule installer(::LoadLibraryExW(installerExecutable().c_str(), nullptr,
                                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!installer) throw std::runtime_error("cannot load the installer as data");
  const HRSRC info = ::FindResourceW(installer.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (info == nullptr) throw std::runtime_error("installer has no resource " + std::to_string(id));
  const HGLOBAL loaded = ::LoadResource(installer.get(), info);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  const DWORD size = ::SizeofResource(installer.get(), info);
  if (bytes == nullptr && size != 0) throw std::runtime_error("cannot read resource " + std::to_string(id));
  return std::string(static_cast<const char*>(bytes), size);
}

std::uint64_t fileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    throw std::runtime_error("no such file: " + wideToUtf8(path));
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring sha256Bytes(const std::string& bytes) {
  Sha256Hasher hasher;
  std::array<std::uint8_t, 32> digest{};
  if (!hasher.update(bytes.data(), bytes.size()) || !hasher.finish(digest)) throw std::runtime_error("hash failed");
  return digestToHex(digest.data(), digest.size());
}

bool isLowerHexDigest(const std::wstring& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
         });
}

struct Line {
  std::string digest;
  std::uint64_t size = 0;
  std::string path;
};

// The shipped manifest read strictly as the build writes it: every line
// "digest TAB size TAB path CR LF", nothing else. Failures name the line.
std::vector<Line> readShippedLines(const std::string& text) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) throw std::runtime_error("last line without CR LF");
    const std::string line = text.substr(start, end - start);
    const std::size_t first = line.find('\t');
    const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || line.find('\t', second + 1) != std::string::npos ||
        line.find_first_of("\r\n") != std::string::npos) {
      throw std::runtime_error("malformed line: " + line);
    }
    Line entry{line.substr(0, first), 0, line.substr(second + 1)};
    const std::string size = line.substr(first + 1, second - first - 1);
    if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos) {
      throw std::runtime_error("malformed size: " + line);
    }
    entry.size = std::stoull(size);
    if (!isLowerHexDigest(utf8ToWide(entry.digest))) throw std::runtime_error("malformed digest: " + line);
    lines.push_back(entry);
    start = end + 2;
  }
  return lines;
}

// Every regular file under `root`, as "/"-separated relative paths.
void listFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::string>& out) {
  WIN32_FIND_DATAW found{};
  const std::wstring directory = relative.empty() ? root : joinPath(root, relative);
  UniqueFindHandle search(::FindFirstFileW(joinPath(directory, L"*").c_str(), &found));
  if (!search) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"/" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      listFiles(root, child, out);
    } else {
      out.push_back(wideToUtf8(child));
    }
  } while (::FindNextFileW(search.get(), &found));
}

std::wstring underRoot(const std::wstring& root, const std::string& relative) {
  std::wstring path = utf8ToWide(relative);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return joinPath(root, path);
}

class PayloadBuild : public TempDirTest {
 protected:
  // Extracts the archive (or only `selection`) with the 7-Zip pair the
  // installer carries, written out of its resources 103 and 104.
  std::wstring extractWithInstallers7Zip(const std::wstring& selection = L"") {
    const std::wstring tools = temp / L"7zip";
    const std::wstring root = temp / L"platform";
    ::CreateDirectoryW(tools.c_str(), nullptr);
    writeBytes(joinPath(tools, L"7z.exe"), installerResource(103));
    writeBytes(joinPath(tools, L"7z.dll"), installerResource(104));
    const DWORD code = runToExit(joinPath(tools, L"7z.exe"), L"x -y -bso0 -bsp0 \"-o" + root + L"\" \"" +
                                                                  payloadArchive() + L"\"" +
                                                                  (selection.empty() ? L"" : L" " + selection));
    if (code != 0) throw std::runtime_error("7z.exe exited with " + std::to_string(code));
    return root;
  }
};

TEST_F(PayloadBuild, ArchiveIsExactlyThePayloadSizeTheInstallerExpects) {
  EXPECT_EQ(fileSize(payloadArchive()), kRequiredArchiveSize);
  EXPECT_EQ(build::kPayloadSize, kRequiredArchiveSize);
}

TEST_F(PayloadBuild, ArchiveDigestIsTheOneCompiledIntoTheInstaller) {
  ASSERT_TRUE(isLowerHexDigest(build::kPayloadSha256)) << wideToUtf8(build::kPayloadSha256);
  EXPECT_EQ(sha256File(payloadArchive()), std::wstring(build::kPayloadSha256));
}

TEST_F(PayloadBuild, InstallerEmbedsTheShippedManifestAsResource105) {
  const std::string embedded = installerResource(105);
  EXPECT_EQ(embedded, readBytes(shippedManifest()));
  EXPECT_EQ(sha256Bytes(embedded), std::wstring(build::kInstallerManifestSha256));
}

TEST_F(PayloadBuild, ManifestListsFourteenFilesInPathOrderWithCrLfLineEnds) {
  const std::vector<Line> lines = readShippedLines(readBytes(shippedManifest()));
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines.front().path, "OrvoQ9.exe");
  std::vector<std::string> paths;
  for (const Line& line : lines) paths.push_back(line.path);
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  EXPECT_EQ(std::adjacent_find(paths.begin(), paths.end()), paths.end()) << "a path is listed twice";
  for (const char* required : {"tools/7zip/7z.exe", "tools/7zip/7z.dll", "tools/7zip/license.txt"}) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), required), paths.end()) << required;
  }
  int dataFiles = 0;
  int companions = 0;
  for (const std::string& path : paths) {
    if (path.rfind("q9/", 0) == 0) ++dataFiles;
    if (path.rfind("assets/Tarn/", 0) == 0 && path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0) {
      ++companions;
      // Each companion program comes with its identity file.
      const std::string identity = path.substr(0, path.size() - 4) + ".identity";
      EXPECT_NE(std::find(paths.begin(), paths.end(), identity), paths.end()) << identity;
    }
    EXPECT_EQ(path.find(".platform"), std::string::npos) << "the payload must not own personal data: " << path;
  }
  EXPECT_GE(dataFiles, 1);
  EXPECT_GE(companions, 1);
  EXPECT_EQ(3 + 1 + dataFiles + 2 * companions, 14);
}

TEST_F(PayloadBuild, ExtractedArchiveHoldsExactlyTheManifestFilesWithTheirSizesAndDigests) {
  const std::wstring root = extractWithInstallers7Zip();
  const std::vector<Line> lines = readShippedLines(readBytes(shippedManifest()));
  for (const Line& line : lines) {
    SCOPED_TRACE(line.path);
    const std::wstring path = underRoot(root, line.path);
    ASSERT_TRUE(fileExists(path));
    EXPECT_EQ(fileSize(path), line.size);
    EXPECT_EQ(wideToUtf8(sha256File(path)), line.digest);
  }
  std::vector<std::string> extracted;
  listFiles(root, L"", extracted);
  std::sort(extracted.begin(), extracted.end());
  std::vector<std::string> listed;
  for (const Line& line : lines) listed.push_back(line.path);
  // Nothing unlisted either: no installation marker, no stray file.
  EXPECT_EQ(extracted, listed);
}

TEST_F(PayloadBuild, PayloadCarriesTheSameSevenZipPairAsTheInstaller) {
  const std::wstring root = extractWithInstallers7Zip(L"tools\\7zip\\*");
  EXPECT_EQ(readBytes(underRoot(root, "tools/7zip/7z.exe")), installerResource(103));
  EXPECT_EQ(readBytes(underRoot(root, "tools/7zip/7z.dll")), installerResource(104));
}

TEST_F(PayloadBuild, PayloadCarriesTheBuiltPlatformProgram) {
  const std::wstring root = extractWithInstallers7Zip(L"OrvoQ9.exe");
  EXPECT_EQ(readBytes(underRoot(root, "OrvoQ9.exe")),
            readBytes(joinPath(buildDirectory(), L"tools\\payload\\OrvoQ9.exe")));
}

TEST_F(PayloadBuild, ExtractedCompanionProgramsConfirmTheirIdentityAndRefuseAStaleOne) {
  const std::wstring root = extractWithInstallers7Zip(L"assets\\Tarn\\*");
  std::vector<std::string> files;
  listFiles(root, L"", files);
  int programs = 0;
  for (const std::string& file : files) {
    if (file.size() < 4 || file.compare(file.size() - 4, 4, ".exe") != 0) continue;
    SCOPED_TRACE(file);
    ++programs;
    const std::wstring program = underRoot(root, file);
    EXPECT_EQ(runToExit(program, L""), 0u);
    const std::wstring identity = underRoot(root, file.substr(0, file.size() - 4) + ".identity");
    std::string content = readBytes(identity);
    const std::size_t build = content.find("build=2026101905\n");
    ASSERT_NE(build, std::string::npos) << content;
    content.replace(build, 16, "build=2026101904");
    writeBytes(identity, content);
    EXPECT_EQ(runToExit(program, L""), 1u);
    ::DeleteFileW(identity.c_str());
    EXPECT_EQ(runToExit(program, L""), 1u);
  }
  EXPECT_EQ(programs, 2);
}

}  // namespace
