// The payload: its text rules, one table each; the download against the
// loopback payload server (tools/testenv/payload_server.py: each URL's query
// tells it how to answer) over HTTPS with certificate validation on; digests,
// the 7-Zip pair written out of the resources and run for real under Wine (a
// stand-in where 7-Zip cannot be made to end with code 1 or to keep running),
// and verification of a tree against a manifest.
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>

#include "BuildConfig.h"
#include "common/Utf.h"
#include "payload/ArchiveExtractor.h"
#include "payload/DownloadMeter.h"
#include "payload/DownloadText.h"
#include "payload/EmbeddedResource.h"
#include "payload/ExtractProgressParser.h"
#include "payload/InstallerFileManifest.h"
#include "payload/PayloadDownloader.h"
#include "payload/PayloadDownloaderSeam.h"
#include "payload/PayloadVerificationSeam.h"
#include "payload/Sha256.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using namespace orvo::test;
using namespace std::chrono_literals;

TEST(ContentLength, IsPlainAsciiDigitsThatFitSixtyFourBits) {
  const std::pair<std::wstring, std::optional<std::uint64_t>> rows[] = {
      {L"63144044", 63144044}, {L"0063144044", 63144044}, {L"18446744073709551615", UINT64_MAX}, {L"18446744073709551616", {}},
      {L"184467440737095516150", {}}, {L"", {}}, {L" 63144044", {}}, {L"63144044\t", {}}, {L"+63144044", {}}, {L"-63144044", {}},
      {L"6.3e7", {}}, {L"６３１４４０４４", {}}, {std::wstring(L"6314404") + wchar_t(0x0134), {}}};  // its low byte is '4'
  for (const auto& [text, value] : rows) EXPECT_EQ(parseContentLength(text), value) << wideToUtf8(text);
}

TEST(DownloadMeter, ReportsAfterThirtyFiveHundredthsOfASecondAndOnCompletionThenRefusesMore) {
  const auto start = DownloadMeter::Clock::time_point{} + 5s;
  DownloadMeter meter(kPayloadArchiveSize, start);
  const std::tuple<std::uint64_t, std::chrono::milliseconds, std::wstring> rows[] = {
      {1048576, 349ms, L""}, {1048576, 350ms, L"2 2.0 MB / 60.2 MB    5.7 MB/s    约 11 秒"},
      {1048576, 699ms, L""}, {1048576, 700ms, L"4 4.0 MB / 60.2 MB    5.7 MB/s    约 10 秒"},
      {kPayloadArchiveSize - 4194304, 701ms, L"70 60.2 MB / 60.2 MB    5621.9 MB/s"}};  // over at least 0.01 s
  for (const auto& [bytes, at, report] : rows) {
    const auto due = meter.add(bytes, start + at);
    EXPECT_EQ(due ? std::to_wstring(due->percent) + L" " + due->detail : L"", report);
  }
  EXPECT_EQ(messageOf([&] { meter.add(1, start + 1s); }), "下载文件长度异常");
}

TEST(ManifestText, ParsesEveryLineInOrderWithSizesAsTheStandardConversionReadsThem) {
  const std::string a(64, 'a');
  const auto entries = parseFileManifest(a + "\t183581500\tOrvoQ9.exe\r\n" + std::string(64, 'A') + "\t  +42\tq9/数据 文件.pak\n" +
                                         a + "\t-1\tQ9/Data.PAK\r\n" + a + "\t512kb\tQ9/Data.PAK");
  std::wstring text;
  for (const auto& e : entries) text += e.sha256 + L" " + std::to_wstring(e.size) + L" " + e.relativePath + L"|";
  const std::wstring wa(64, L'a');
  EXPECT_EQ(text, wa + L" 183581500 OrvoQ9.exe|" + std::wstring(64, L'A') + L" 42 q9/数据 文件.pak|" + wa +
                      L" 18446744073709551615 Q9/Data.PAK|" + wa + L" 512 Q9/Data.PAK|");
}

TEST(ManifestText, RefusesTheWholeListAtItsFirstBadLine) {
  const std::string a(64, 'a'), invalid = "安装清单无效", unsafe = "Installation manifest path is unsafe";
  const std::pair<std::string, std::string> rows[] = {
      {"", "安装清单为空"}, {"\r\n", invalid}, {a + "\t1\ta\r\n\r\n" + a + "\t1\tb", invalid}, {a + "\t1 a", invalid},
      {a.substr(1) + "\t1\ta", invalid}, {a + "a\t1\ta", invalid}, {a.substr(3) + "数\t1\ta", invalid},
      {"\xEF\xBB\xBF" + a + "\t1\ta", invalid}, {a + "\t1\ta\xC3", "Invalid UTF8"}, {a + "\t- 1\ta", "invalid stoull argument"},
      {a + "\t18446744073709551616\ta", "stoull argument out of range"}, {a + "\t1\ta\r\r\n", unsafe},
      {a + "\t1\tgood\n" + a + "\t1\t..\njunk", unsafe}};
  for (const auto& [text, message] : rows) EXPECT_EQ(messageOf([&] { parseFileManifest(text); }), message) << text;
}

TEST(ManifestPath, StaysInsideTheInstallDirectoryAndOwnsNoPersonalOrGameClientFiles) {
  const std::string ok = "no exception", unsafe = "Installation manifest path is unsafe",
                    foreign = "Installation manifest must not own personal data or game client files";
  const std::pair<std::string, std::string> rows[] = {
      {"q9/data/level 1.pak", ok}, {"..a/b..c", ok}, {"中文/名字.txt", ok}, {std::string(1024, 'a'), ok},
      {"readme/game", ok}, {"客户端", ok}, {"dnf.exe/readme", ok}, {"gamer/x", ok}, {"platform/x", ok},
      {std::string(1025, 'a'), unsafe}, {"", unsafe}, {"/a", unsafe}, {"a/", unsafe}, {"a//b", unsafe},
      {"a/./b", unsafe}, {"a/../../b", unsafe}, {"a./b", unsafe}, {"a/b ", unsafe}, {"C:/a", unsafe}, {"a\\b", unsafe},
      {"a*b", unsafe}, {"a?b", unsafe}, {"a\"b", unsafe}, {"a<b", unsafe}, {"a|b", unsafe}, {"a\rb", unsafe},
      {"a\tb", unsafe}, {"a\x1f", unsafe}, {std::string("a\0b", 3), unsafe}, {".platform/x/../y", unsafe},
      {"Game/x", foreign}, {"a/GAMES/b", foreign}, {"Clients/x", foreign}, {"DNF/x", foreign}, {"游戏/x", foreign},
      {"orvo客户端/x", foreign}, {"bin/Script.PVF", foreign}, {"DNFChina.exe", foreign}, {"bin/ARAD.EXE", foreign},
      {".Platform/x", foreign}, {".platform", foreign}, {"a/b.个人媒体保留", foreign}};
  for (const auto& [path, message] : rows) {
    EXPECT_EQ(messageOf([&] { parseFileManifest(std::string(64, 'a') + "\t1\t" + path); }), message) << path;
  }
}

TEST(ExtractProgress, FindsUpToThreeDigitsBeforeEachPercentSignAcrossPieces) {
  const std::pair<std::vector<std::string>, std::vector<int>> rows[] = {
      {{"  7% 1 - OrvoQ9.exe"}, {7}}, {{"  7%", "\b\b\b\b 42%"}, {7, 42}}, {{"1042% 12100%"}, {42, 100}}, {{"101% 999% 100%"}, {100}},
      {{"% x% -% 5 %"}, {}}, {{"platform.7z\n 4", "2% 1"}, {42}}, {{std::string(200, 'x') + " 6", "3%"}, {63}},
      {{"50%" + std::string(200, 'x'), ""}, {}}};
  for (const auto& [pieces, found] : rows) {
    ExtractProgressParser parser;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) parser.feed(pieces[i]);
    EXPECT_EQ(parser.feed(pieces.back()), found) << pieces.back();
  }
}

TEST(VerificationProgress, IsNinetyPlusFourQuartersOfTheVerifiedBytesWithoutOverflow) {
  const std::tuple<std::uint64_t, std::uint64_t, int> rows[] = {
      {0, 7, 90}, {1, 7, 90}, {2, 7, 91}, {4, 7, 92}, {6, 7, 93}, {7, 7, 94}, {0, 0, 94}, {UINT64_MAX / 4, UINT64_MAX, 90},
      {UINT64_MAX / 4 + 1, UINT64_MAX, 91}, {UINT64_MAX - 1, UINT64_MAX, 93}};
  for (const auto& [verified, total, bar] : rows) EXPECT_EQ(verificationBarPercent(verified, total), bar) << verified;
}

// Bytes that differ along the file, so that a chunk hashed twice or skipped changes the digest.
static std::string pattern(std::size_t size, std::uint32_t seed = 0x12345678) {
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
  return bytes;
}

class PayloadFiles : public TempDirTest {
 protected:
  void SetUp() override { prepare(true); }
  void prepare(bool pack) {
    program.reset(), library.reset(), removeTree(temp.path()), reports.clear(), manifest.clear();
    for (const wchar_t* dir : {L"", L"/src 源", L"/src 源/q9", L"/out 出"}) ::CreateDirectoryW((temp.path() + dir).c_str(), nullptr);
    for (const auto& [path, bytes] : {std::pair{L"OrvoQ9.exe", pattern(1048593)}, {L"q9/empty.txt", std::string()},
                                      {L"q9/名字 带空格.json", pattern(5000, 1)}, {L"q9/z.pak", pattern(20, 2)}}) {
      writeBytes(temp / (L"src 源/" + std::wstring(path)), bytes);
      manifest.push_back({path, sha256File(temp / (L"src 源/" + std::wstring(path))), bytes.size()});
    }
    expected = {readEmbeddedResource(kExtractorResource), readEmbeddedResource(kExtractorLibraryResource)};
    program = writeEmbeddedResourceHeld(kExtractorResource, temp / L"7z.exe");
    library = writeEmbeddedResourceHeld(kExtractorLibraryResource, temp / L"7z.dll");
    // Stored (-mx0), so that a flipped byte is damaged data rather than an unreadable stream.
    ASSERT_TRUE(!pack || runToExit(temp / L"7z.exe", L"a -mx0 -bd -bso0 \"" + archive + L"\" \"" + temp / L"src 源\\*\"") == 0);
  }
  const ProgressReport recorder = [this](int percent, const std::wstring& status, const std::wstring& detail) {
    reports.push_back(std::to_string(percent) + " " + wideToUtf8(status) + " " + wideToUtf8(detail));
  };
  std::string extract(const std::wstring& extractor = L"", const ProgressReport& report = {}) {
    const std::vector<HeldExtractorFile> pair = {{program.get(), &expected[0]}, {library.get(), &expected[1]}};
    return messageOf([&] {
      extractArchive(extractor.empty() ? temp / L"7z.exe" : extractor, extractor.empty() ? pair : std::vector<HeldExtractorFile>{},
                     archive, temp / L"out 出", report ? report : recorder);
    });
  }
  std::string download(const std::wstring& url, std::uint64_t size, const CancelCheck& cancel = {}) {
    return messageOf([&] { downloadExactly(url, target, size, recorder, cancel); });
  }
  std::string verify(const wchar_t* root) { return messageOf([&] { verifyManifestFiles(manifest, temp / root, recorder, {}); }); }
  std::vector<std::vector<unsigned char>> expected;
  UniqueHandle program, library;
  std::wstring archive = temp / L"platform 包.7z", target = temp / L"platform.7z";
  std::vector<ManifestEntry> manifest;
  std::vector<std::string> reports;
};

TEST_F(PayloadFiles, DigestsInMebibyteChunksReportingTheRunningTotal) {
  const std::tuple<std::size_t, const wchar_t*, std::vector<std::uint64_t>> rows[] = {
      {0, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", {}},
      {1048577, L"269c4baaed8d6b34515e11c48075e673103f8fe8908479774b4d735dd6a1df36", {1048576, 1048577}},
      {3158073, L"cebc116c46246faf09371f7b124c2c94cb6433e31a345ba76547ffe89d3b5679", {1048576, 2097152, 3145728, 3158073}}};
  for (const auto& [size, digest, totals] : rows) {
    writeBytes(temp / L"名字 file.bin", pattern(size));
    std::vector<std::uint64_t> reported;
    EXPECT_EQ(sha256File(temp / L"名字 file.bin", [&](std::uint64_t n) { reported.push_back(n); }), digest) << size;
    EXPECT_EQ(reported, totals) << size;
  }
  EXPECT_EQ(messageOf([&] { sha256File(temp / L"absent.bin"); }), "Cannot verify downloaded files");
}

TEST_F(PayloadFiles, ExtractsOverWhatIsThereThenVerifiesReportingEachBand) {
  writeBytes(temp / L"out 出/OrvoQ9.exe", "stale");
  writeBytes(temp / L"out 出/unlisted.bin", "not in the manifest");
  EXPECT_EQ(extract(), "no exception");
  EXPECT_FALSE(reports.empty());
  reports.clear();
  EXPECT_EQ(verify(L"out 出"), "no exception");
  EXPECT_EQ(reports, std::vector<std::string>({"93 正在校验安装文件 OrvoQ9.exe", "93 正在校验安装文件 OrvoQ9.exe",
                                               "93 正在校验安装文件 q9/名字 带空格.json", "94 正在校验安装文件 q9/z.pak"}));
}

// The pair is written minutes before 7-Zip runs: a file that no longer holds
// what was written (here: what it must hold differs) never runs.
TEST_F(PayloadFiles, RefusesADamagedArchiveAndAnExtractorThatIsNotWhatWasWritten) {
  EXPECT_EQ(messageOf([&] { writeEmbeddedResourceHeld(kExtractorResource, archive); }), "Cannot prepare installer files");
  EXPECT_EQ(messageOf([] { readEmbeddedResource(9999); }), "Embedded resource missing");
  writeBytes(temp / L"longer.dll", std::string(expected[1].size() + 1, 'x'));
  writeEmbeddedResource(kExtractorLibraryResource, temp / L"longer.dll");
  EXPECT_TRUE(readBytes(temp / L"longer.dll") == std::string(expected[1].begin(), expected[1].end()));
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { std::string bytes = readBytes(archive); bytes[bytes.size() / 3] ^= 0x5A; writeBytes(archive, bytes); }, "平台文件解压失败"},
      {[&] { ::DeleteFileW(archive.c_str()); }, "平台文件解压失败"},
      {[&] { expected[0].back() ^= 1; }, "Cannot extract platform files"},
      {[&] { expected[1][0] ^= 1; }, "Cannot extract platform files"},
      {[&] { expected[1].push_back(0); }, "Cannot extract platform files"}};
  for (const auto& [change, message] : rows) {
    SetUp();
    change();
    EXPECT_EQ(extract(), message);
    EXPECT_TRUE(message != "Cannot extract platform files" || reports.empty()) << "the extractor ran";
  }
}

TEST_F(PayloadFiles, CountsExitCodeOneAsSuccessAndEndsAChildWhoseOutputCannotBeReported) {
  for (const auto& [script, message] : {std::pair{"1 0 50%", "no exception"}, {"2 0 50%", "平台文件解压失败"}, {"-1 0 50%", "平台文件解压失败"}}) {
    writeBytes(archive, script);
    EXPECT_EQ(extract(helperProgram(L"ExtractorStandIn")), message) << script;
  }
  EXPECT_EQ(reports, std::vector<std::string>(3, "82 正在解压平台文件 解压进度 50%"));
  writeBytes(archive, "0 20 10%");
  const auto start = std::chrono::steady_clock::now();
  const auto failing = [](int, const std::wstring&, const std::wstring&) { throw std::runtime_error("report failed"); };
  EXPECT_EQ(extract(helperProgram(L"ExtractorStandIn"), failing), "report failed");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(PayloadFiles, VerificationRefusesTheFirstFileThatIsNotTheListedOne) {
  const std::wstring q9 = temp / L"src 源/q9";
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { writeBytes(temp / L"src 源/OrvoQ9.exe", std::string(1048593, 'x')); }, "平台文件校验失败：OrvoQ9.exe"},
      {[&] { manifest[2].sha256.back() = manifest[2].sha256.back() == L'0' ? L'1' : L'0'; }, "平台文件校验失败：q9/名字 带空格.json"},
      {[&] { for (auto& c : manifest[3].sha256) c = static_cast<wchar_t>(std::towupper(c)); }, "平台文件校验失败：q9/z.pak"},
      {[&] { writeBytes(q9 + L"/z.pak", pattern(19, 2)); }, "平台文件缺失：q9/z.pak"},
      {[&] { writeBytes(q9 + L"/z.pak", pattern(21, 2)); }, "平台文件缺失：q9/z.pak"},
      {[&] { ::DeleteFileW((q9 + L"/empty.txt").c_str()); }, "平台文件缺失：q9/empty.txt"},
      {[&] { removeTree(q9); }, "平台文件缺失：q9/empty.txt"},
      {[&] { ::MoveFileW(q9.c_str(), (temp / L"copy").c_str()), makeDirectoryLink(q9, temp / L"copy"); },
       "Install directory cannot use links"}};  // the linked copy is faithful: only the link is refused
  for (const auto& [change, message] : rows) {
    prepare(false);
    change();
    EXPECT_EQ(verify(L"src 源"), message);
  }
}

TEST_F(PayloadFiles, SendsOneGetWithTheUserAgentAndNoExtraHeadersAndReportsOnceAtSeventy) {
  EXPECT_EQ(download(L"https://127.0.0.1/echo/of?body=echo&size=4096", 4096), "no exception");
  const std::string request = readBytes(target);
  EXPECT_EQ(request.rfind("GET /echo/of?body=echo&size=4096 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("User-Agent: orvo game Installer/" + wideToUtf8(build::kVersionText) + "\n"), std::string::npos);
  for (const char* header : {"Referer:", "Accept:", "Range:"}) EXPECT_EQ(request.find(header), std::string::npos) << header;
  EXPECT_TRUE(reports.size() == 1 && reports[0].rfind("70 正在下载平台文件 0.0 MB / 0.0 MB    ", 0) == 0) << reports.size();
}

// An earlier attempt's longer file lies at the target: the whole body replaces
// it, or the answer is refused, before the file is touched where the headers tell.
TEST_F(PayloadFiles, TakesOnlyAWholeBodyOfTheAnnouncedExactLength) {
  const std::wstring at = L"https://127.0.0.1/p?size=3000&", moved = L"https://127.0.0.1/m?redirect=https%3A%2F%2Flocalhost%2Fm%3F";
  const std::string status = "Download server returned error", length = "下载文件长度异常", connection = "Download connection failed";
  const std::tuple<std::wstring, std::string, int> rows[] = {  // bytes at the target after: -1 untouched, -2 any
      {L"https://localhost/named?size=3000", "no exception", 3000}, {moved + L"size%3D3000", "no exception", 3000},
      {moved + L"status%3D404%26size%3D3000", status, -1}, {at + L"status=404", status, -1}, {at + L"status=206", status, -1},
      {at + L"chunked=1", length, -1}, {at + L"length=none", length, -1}, {at + L"length=3001", length, -1},
      {at + L"length=2999", length, -1}, {at + L"length=%2B3000", length, -1}, {at + L"length=3000%20", length, -1},
      {at + L"length=" + std::wstring(70, L'0') + L"3000", length, -1}, {at + L"cut=1000", "下载文件不完整", 1000},
      {at + L"garble=1000", "Download interrupted", -2}, {L"https://127.0.0.1:4431/wrong-name", connection, -1},
      {L"https://127.0.0.1:4432/untrusted", connection, -1}, {L"https://127.0.0.1:4439/refused", connection, -1},
      {L"http://127.0.0.1:443/plain", connection, -1}, {L"gopher://127.0.0.1/x", "Download URL invalid", -1},
      {L"https://", "Download URL invalid", -1}, {at + L"to=missing", "Cannot save download", -3}};
  for (const auto& [url, message, kept] : rows) {
    writeBytes(temp / L"platform.7z", std::string(5000, 'x'));
    target = temp / (kept == -3 ? L"missing\\platform.7z" : L"platform.7z");
    EXPECT_EQ(download(url, 3000), message) << wideToUtf8(url);
    std::string held = kept < 0 ? std::string(5000, 'x') : std::string(kept, '\0');
    for (int i = 0; i < kept; ++i) held[i] = static_cast<char>(i % 251);  // the server's generated body
    EXPECT_TRUE(kept < -1 || readBytes(target) == held) << wideToUtf8(url);
  }
}

TEST_F(PayloadFiles, ChecksCancellationAfterEveryChunk) {
  int checks = 0;
  const auto cancelThird = [&] { if (++checks == 3) throw std::runtime_error("CANCELLED"); };
  EXPECT_EQ(download(L"https://127.0.0.1/c?size=4000000&rate=4000000", 4000000, cancelThird), "CANCELLED");
  const std::size_t kept = readBytes(target).size();
  EXPECT_TRUE(kept > 0 && kept <= 2 * 262144) << kept;
}
