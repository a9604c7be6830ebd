// Verification of an extracted payload against a manifest, on real files: the
// digests that the manifest states come from the host's sha256sum.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/ArchiveExtractor.h"
#include "payload/EmbeddedResource.h"
#include "payload/PayloadVerification.h"
#include "tests/payload/HostShell.h"
#include "tests/payload/PayloadTestSupport.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using orvo::test::messageOf;
using orvo::test::patternBytes;
using orvo::test::readBytes;
using orvo::test::TempDirTest;
using orvo::test::writeBytes;

namespace {

bool hasEmbeddedManifest() {
  return ::FindResourceW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kFileManifestResource), RT_RCDATA) != nullptr;
}

class PayloadVerification : public TempDirTest {
 protected:
  void SetUp() override {
    root = temp / L"platform";
    add(L"OrvoQ9.exe", patternBytes(2 * 1048576 + 17, 1));
    add(L"q9/data.pak", patternBytes(3 * 1048576, 2));
    add(L"q9/empty.txt", "");
    add(L"assets/Tarn/名字 带空格.json", "{\"identity\": \"tarn\"}");
    add(L"tools/7zip/license.txt", patternBytes(5000, 3));
  }

  void add(const std::wstring& path, const std::string& bytes) {
    std::wstring windowsPath = joinPath(root, path);
    std::replace(windowsPath.begin(), windowsPath.end(), L'/', L'\\');
    std::filesystem::create_directories(std::filesystem::path(windowsPath).parent_path());
    writeBytes(windowsPath, bytes);
    manifest.push_back({path, orvo::test::hostSha256(windowsPath), bytes.size()});
  }

  std::wstring fileOf(const std::wstring& path) const {
    std::wstring windowsPath = joinPath(root, path);
    std::replace(windowsPath.begin(), windowsPath.end(), L'/', L'\\');
    return windowsPath;
  }

  std::vector<ManifestEntry> verify(const std::wstring& directory, const CancelCheck& cancel = {}) {
    return verifyManifestFiles(manifest, directory, orvo::test::recordInto(reports), cancel);
  }

  bool reportedFor(const std::wstring& path) const {
    return std::any_of(reports.begin(), reports.end(),
                       [&](const orvo::test::RecordedReport& r) { return r.detail == path; });
  }

  std::wstring root;
  std::vector<ManifestEntry> manifest;
  std::vector<orvo::test::RecordedReport> reports;
};

}  // namespace

TEST_F(PayloadVerification, PassesAMatchingTreeAndReturnsTheManifestInOrder) {
  const auto verified = verify(root);
  ASSERT_EQ(verified.size(), manifest.size());
  for (std::size_t i = 0; i < manifest.size(); ++i) {
    EXPECT_EQ(verified[i].relativePath, manifest[i].relativePath);
    EXPECT_EQ(verified[i].sha256, manifest[i].sha256);
    EXPECT_EQ(verified[i].size, manifest[i].size);
  }
}

TEST_F(PayloadVerification, ReportsNinetyToNinetyFourMonotonicallyWithTheEntryPathAsDetail) {
  verify(root);
  ASSERT_FALSE(reports.empty());
  int previous = 90;
  for (const auto& report : reports) {
    EXPECT_GE(report.percent, previous);
    EXPECT_LE(report.percent, 94);
    EXPECT_EQ(report.status, L"正在校验安装文件");
    previous = report.percent;
  }
  EXPECT_EQ(reports.back().percent, 94);
  // Two chunks for the first file, three for the second, none for the empty file.
  ASSERT_GE(reports.size(), 7u);
  EXPECT_EQ(reports[0].detail, L"OrvoQ9.exe");
  EXPECT_EQ(reports[3].detail, L"q9/data.pak");
  EXPECT_FALSE(reportedFor(L"q9/empty.txt"));
  EXPECT_TRUE(reportedFor(L"assets/Tarn/名字 带空格.json"));
}

TEST_F(PayloadVerification, AcceptsARootThatEndsInASeparator) {
  EXPECT_EQ(verify(root + L"\\").size(), manifest.size());
  EXPECT_EQ(verify(root + L"/").size(), manifest.size());
}

TEST_F(PayloadVerification, IgnoresFilesThatTheManifestDoesNotList) {
  writeBytes(fileOf(L"q9/extra.bin"), "not listed");
  EXPECT_EQ(verify(root).size(), manifest.size());
}

TEST_F(PayloadVerification, VerifiesADuplicatedPathTwice) {
  manifest.push_back(manifest[4]);
  verify(root);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const orvo::test::RecordedReport& r) { return r.detail == L"tools/7zip/license.txt"; }),
            2);
}

TEST_F(PayloadVerification, RefusesAChangedByteNamingTheManifestPath) {
  std::string bytes = readBytes(fileOf(L"q9/data.pak"));
  bytes[1048576 + 5] ^= 1;
  writeBytes(fileOf(L"q9/data.pak"), bytes);
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件校验失败：q9/data.pak");
}

TEST_F(PayloadVerification, RefusesADigestThatDiffersOnlyInLetterCase) {
  std::transform(manifest[4].sha256.begin(), manifest[4].sha256.end(), manifest[4].sha256.begin(),
                 [](wchar_t c) { return c >= L'a' && c <= L'f' ? static_cast<wchar_t>(c - 32) : c; });
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件校验失败：tools/7zip/license.txt");
}

TEST_F(PayloadVerification, RefusesATruncatedFileAsMissingWithoutReadingIt) {
  writeBytes(fileOf(L"q9/data.pak"), readBytes(fileOf(L"q9/data.pak")).substr(0, 1000));
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件缺失：q9/data.pak");
  EXPECT_FALSE(reportedFor(L"q9/data.pak"));
}

TEST_F(PayloadVerification, RefusesAnAbsentFileAsMissing) {
  ASSERT_TRUE(::DeleteFileW(fileOf(L"assets/Tarn/名字 带空格.json").c_str()));
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件缺失：assets/Tarn/名字 带空格.json");
}

TEST_F(PayloadVerification, RefusesAFileUnderAnAbsentDirectoryAsMissing) {
  orvo::test::removeTree(root + L"\\assets");
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件缺失：assets/Tarn/名字 带空格.json");
}

TEST_F(PayloadVerification, RefusesADirectoryInPlaceOfAFileAsMissing) {
  ASSERT_TRUE(::DeleteFileW(fileOf(L"q9/empty.txt").c_str()));
  ASSERT_TRUE(::CreateDirectoryW(fileOf(L"q9/empty.txt").c_str(), nullptr));
  EXPECT_EQ(messageOf([&] { verify(root); }), "平台文件缺失：q9/empty.txt");
}

TEST_F(PayloadVerification, RefusesALinkedDirectoryOnTheWay) {
  // assets becomes a link to a faithful copy elsewhere: the content matches, the link does not pass.
  const std::wstring elsewhere = temp / L"elsewhere";
  ASSERT_TRUE(::MoveFileW((root + L"\\assets").c_str(), elsewhere.c_str()));
  orvo::test::makeDirectoryLink(root + L"\\assets", elsewhere);
  EXPECT_EQ(messageOf([&] { verify(root); }), "Install directory cannot use links");
  EXPECT_FALSE(reportedFor(L"assets/Tarn/名字 带空格.json"));
}

TEST_F(PayloadVerification, StopsWhenTheRunIsCancelled) {
  int checks = 0;
  EXPECT_EQ(messageOf([&] {
              verify(root, [&] {
                if (++checks == 2) throw std::runtime_error("CANCELLED");
              });
            }),
            "CANCELLED");
}

TEST_F(PayloadVerification, OfOnlyEmptyFilesReportsNothingAndPasses) {
  manifest = {manifest[2]};
  EXPECT_EQ(verify(root).size(), 1u);
  EXPECT_TRUE(reports.empty());
}

TEST(VerificationProgress, FollowsNinetyPlusFourQuartersOfTheVerifiedBytes) {
  for (std::uint64_t total : {1ull, 3ull, 7ull, 100ull, 63144044ull, 183581500ull}) {
    for (std::uint64_t verified : {0ull, 1ull, total / 4, total / 4 + 1, total / 2, total * 3 / 4, total - 1, total}) {
      if (verified > total) continue;
      EXPECT_EQ(verificationBarPercent(verified, total), static_cast<int>(90 + verified * 4 / total))
          << verified << " of " << total;
    }
  }
}

TEST(VerificationProgress, StaysWithinTheBandForTotalsThatFourTimesWouldOverflow) {
  const std::uint64_t total = 18446744073709551615ull;
  EXPECT_EQ(verificationBarPercent(0, total), 90);
  EXPECT_EQ(verificationBarPercent(total / 4, total), 90);
  EXPECT_EQ(verificationBarPercent(total / 4 + 1, total), 91);
  EXPECT_EQ(verificationBarPercent(total / 2 + 1, total), 92);
  EXPECT_EQ(verificationBarPercent(total - 1, total), 93);
  EXPECT_EQ(verificationBarPercent(total, total), 94);
}

TEST(EmbeddedFileManifest, IsTheManifestThatThePayloadBuildLeftBesideTheArchive) {
  if (!hasEmbeddedManifest()) GTEST_SKIP() << "resource 105 is not in this build yet (the payload build adds it)";
  const std::vector<unsigned char> resource = readEmbeddedResource(kFileManifestResource);
  const std::wstring shipped = joinPath(orvo::test::buildDirectory(), L"payload\\installer-files.tsv");
  EXPECT_TRUE(std::string(resource.begin(), resource.end()) == readBytes(shipped));
  EXPECT_EQ(loadEmbeddedFileManifest().size(), 14u);
}

TEST(EmbeddedFileManifest, WhenAbsentStopsVerificationWithEmbeddedResourceMissing) {
  if (hasEmbeddedManifest()) GTEST_SKIP() << "this build carries resource 105";
  EXPECT_EQ(messageOf([] { loadEmbeddedFileManifest(); }), "Embedded resource missing");
  EXPECT_EQ(messageOf([] { verifyPayloadFiles(L"C:\\", {}, {}); }), "Embedded resource missing");
}

TEST_F(PayloadVerification, PassesTheExtractedPayloadArchiveAgainstTheEmbeddedManifest) {
  const std::wstring archive = joinPath(orvo::test::buildDirectory(), L"payload\\orvo-game-payload-2026101905.7z");
  if (!hasEmbeddedManifest() || !orvo::test::fileExists(archive)) {
    GTEST_SKIP() << "the payload build has not produced the archive and resource 105 in this build yet";
  }
  const UniqueHandle program = writeEmbeddedResourceHeld(kExtractorResource, temp / L"7z.exe");
  const UniqueHandle library = writeEmbeddedResourceHeld(kExtractorLibraryResource, temp / L"7z.dll");
  const std::vector<unsigned char> programBytes = readEmbeddedResource(kExtractorResource);
  const std::vector<unsigned char> libraryBytes = readEmbeddedResource(kExtractorLibraryResource);
  const std::wstring output = temp / L"payload";
  extractArchive(temp / L"7z.exe", {{program.get(), &programBytes}, {library.get(), &libraryBytes}}, archive, output,
                 {});
  const auto verified = verifyPayloadFiles(output, orvo::test::recordInto(reports), {});
  EXPECT_EQ(verified.size(), 14u);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().percent, 94);
}
