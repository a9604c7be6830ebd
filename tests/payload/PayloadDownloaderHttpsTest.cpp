// The downloader against the local payload server (tools/testenv), for real:
// HTTPS on loopback with certificate validation on, under Wine. The query of
// each URL tells the server how to answer (see tools/testenv/payload_server.py).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BuildConfig.h"
#include "app/InstallPipeline.h"
#include "app/PipelineSteps.h"
#include "common/PathText.h"
#include "common/ScopeExit.h"
#include "common/Utf.h"
#include "payload/PayloadDownloader.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using orvo::downloadExactly;
using orvo::downloadPayload;
using orvo::kPayloadArchiveSize;
using orvo::test::messageOf;
using orvo::test::fileExists;
using orvo::test::readBytes;
using orvo::test::writeBytes;

namespace {

using orvo::kFallbackPath;
using orvo::kPrimaryPath;

struct ProgressEntry {
  int percent;
  std::wstring status;
  std::wstring detail;
  std::chrono::steady_clock::time_point at;
};

class Recorder {
 public:
  orvo::ProgressReport callback() {
    return [this](int percent, const std::wstring& status, const std::wstring& detail) {
      entries.push_back({percent, status, detail, std::chrono::steady_clock::now()});
    };
  }
  std::vector<ProgressEntry> entries;
};

// The server's generated body: byte i is i % 251.
::testing::AssertionResult holdsGeneratedBody(const std::wstring& path, std::uint64_t size) {
  const std::string bytes = readBytes(path);
  if (bytes.size() != size) {
    return ::testing::AssertionFailure() << "size " << bytes.size() << ", expected " << size;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<unsigned char>(bytes[i]) != i % 251) {
      return ::testing::AssertionFailure() << "byte " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

bool runningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::wstring endpoint(const std::wstring& origin, const std::wstring& path, const std::wstring& query) {
  return origin + path + (query.empty() ? L"" : L"?" + query);
}
std::wstring byAddress(const std::wstring& path, const std::wstring& query = L"") {
  return endpoint(L"https://127.0.0.1", path, query);
}
std::wstring byName(const std::wstring& path, const std::wstring& query = L"") {
  return endpoint(L"https://localhost", path, query);
}

class PayloadDownloaderOverHttps : public orvo::test::TempDirTest {
 protected:
  void SetUp() override {
    const std::wstring ready = orvo::joinPath(serverState(), L"ready");
    const std::wstring unavailable = orvo::joinPath(serverState(), L"unavailable");
    ASSERT_FALSE(fileExists(unavailable)) << readBytes(unavailable);
    ASSERT_TRUE(fileExists(ready)) << "the payload server is not running; start it with tools/testenv/start.sh";
  }

  // A failing download of the payload-sized resource; returns the message.
  std::string failingPayload(const std::wstring& url) {
    return messageOf([&] { downloadPayload(url, target, recorder.callback(), {}); });
  }

  // A name no other test uses (the temp directory's own).
  std::wstring uniqueName() const { return temp.path().substr(temp.path().find_last_of(L'\\') + 1); }
  static std::wstring serverState() {
    return orvo::joinPath(orvo::test::buildDirectory(), L"testenv\\payload-server");
  }

  std::wstring target = temp / L"platform.7z";
  Recorder recorder;
};

}  // namespace

// --- The way it should go --------------------------------------------------

TEST_F(PayloadDownloaderOverHttps, DownloadsThePayloadSizedBodyByteForByteFromTheAddressEndpoint) {
  downloadPayload(byAddress(kPrimaryPath, L"body=generated"), target, recorder.callback(), {});
  EXPECT_TRUE(holdsGeneratedBody(target, kPayloadArchiveSize));
  ASSERT_FALSE(recorder.entries.empty());
  int previous = 0;
  for (const ProgressEntry& entry : recorder.entries) {
    EXPECT_EQ(entry.status, L"正在下载平台文件");
    EXPECT_GE(entry.percent, previous);
    EXPECT_LE(entry.percent, 70);
    previous = entry.percent;
  }
  const ProgressEntry& last = recorder.entries.back();
  EXPECT_EQ(last.percent, 70);
  EXPECT_EQ(last.detail.rfind(L"60.2 MB / 60.2 MB    ", 0), 0u);
  EXPECT_EQ(last.detail.find(L"约"), std::wstring::npos);
  EXPECT_EQ(last.detail.substr(last.detail.size() - 5), L" MB/s");
}

TEST_F(PayloadDownloaderOverHttps, DownloadsFromTheNamedEndpointWithTheNameCertificate) {
  downloadExactly(byName(kFallbackPath, L"body=generated&size=300000"), target, 300000, recorder.callback(), {});
  EXPECT_TRUE(holdsGeneratedBody(target, 300000));
}

TEST_F(PayloadDownloaderOverHttps, ReplacesALongerFileThatIsAlreadyAtTheTarget) {
  writeBytes(target, std::string(500000, 'x'));
  downloadExactly(byAddress(L"/replace", L"size=1000"), target, 1000, recorder.callback(), {});
  EXPECT_TRUE(holdsGeneratedBody(target, 1000));
}

TEST_F(PayloadDownloaderOverHttps, SendsOneGetWithTheUserAgentThePathAndTheQueryAndNoExtraHeaders) {
  downloadExactly(byAddress(L"/echo/of/the/request", L"body=echo&size=4096"), target, 4096, {}, {});
  const std::string request = readBytes(target);
  EXPECT_EQ(request.rfind("GET /echo/of/the/request?body=echo&size=4096 HTTP/1.1\r\n", 0), 0u) << request;
  const std::string agent = "User-Agent: orvo game Installer/" + orvo::wideToUtf8(orvo::build::kVersionText) + "\n";
  EXPECT_NE(request.find(agent), std::string::npos) << request;
  EXPECT_EQ(std::string(orvo::build::kVersionText, orvo::build::kVersionText + 9), "1.0.0.113");
  EXPECT_NE(request.find("Host: 127.0.0.1\n"), std::string::npos) << request;
  EXPECT_EQ(request.find("Referer:"), std::string::npos) << request;
  EXPECT_EQ(request.find("Accept:"), std::string::npos) << request;
  EXPECT_EQ(request.find("Range:"), std::string::npos) << request;
}

TEST_F(PayloadDownloaderOverHttps, DownloadCompletingWithinTheIntervalReportsOnceAtSeventyWithoutRemainingTime) {
  downloadExactly(byAddress(L"/small", L"size=1000"), target, 1000, recorder.callback(), {});
  ASSERT_EQ(recorder.entries.size(), 1u);
  EXPECT_EQ(recorder.entries[0].percent, 70);
  EXPECT_EQ(recorder.entries[0].status, L"正在下载平台文件");
  EXPECT_EQ(recorder.entries[0].detail.rfind(L"0.0 MB / 0.0 MB    ", 0), 0u);
  EXPECT_EQ(recorder.entries[0].detail.find(L"约"), std::wstring::npos);
}

TEST_F(PayloadDownloaderOverHttps, SlowBodyReportsAtIntervalsWithTheRemainingTimeUntilTheLastReport) {
  // 1.5 MiB at 600 KB/s: about 2.6 s, so several interval reports.
  constexpr std::uint64_t size = 1572864;
  downloadExactly(byAddress(L"/slow", L"size=1572864&rate=600000"), target, size, recorder.callback(), {});
  EXPECT_TRUE(holdsGeneratedBody(target, size));
  ASSERT_GE(recorder.entries.size(), 3u);
  for (std::size_t i = 0; i + 1 < recorder.entries.size(); ++i) {
    const ProgressEntry& entry = recorder.entries[i];
    EXPECT_LT(entry.percent, 70);
    EXPECT_NE(entry.detail.find(L" / 1.5 MB    "), std::wstring::npos) << orvo::wideToUtf8(entry.detail);
    EXPECT_NE(entry.detail.find(L" MB/s    约 "), std::wstring::npos) << orvo::wideToUtf8(entry.detail);
    EXPECT_EQ(entry.detail.substr(entry.detail.size() - 2), L" 秒");
    if (i > 0) {
      EXPECT_GE(entry.at - recorder.entries[i - 1].at, std::chrono::milliseconds(340));
      EXPECT_GE(entry.percent, recorder.entries[i - 1].percent);
    }
  }
  EXPECT_EQ(recorder.entries.back().percent, 70);
  EXPECT_EQ(recorder.entries.back().detail.find(L"约"), std::wstring::npos);
}

TEST_F(PayloadDownloaderOverHttps, FollowsARedirectAndJudgesTheFinalResponse) {
  const std::wstring destination = L"https%3A%2F%2Flocalhost%2Fredirected%3Fsize%3D5000";
  downloadExactly(byAddress(L"/moved", L"redirect=" + destination), target, 5000, {}, {});
  EXPECT_TRUE(holdsGeneratedBody(target, 5000));
  const std::wstring toMissing = L"https%3A%2F%2Flocalhost%2Fredirected%3Fstatus%3D404%26size%3D5000";
  EXPECT_EQ(messageOf([&] { downloadExactly(byAddress(L"/moved", L"redirect=" + toMissing), target, 5000, {}, {}); }),
            "Download server returned error");
}

// --- What the server can get wrong ------------------------------------------

// Answers refused before the body is read: the exact message, and no file.
struct RefusedAnswer {
  const char* name;
  const wchar_t* url;
  const char* message;
};
void PrintTo(const RefusedAnswer& answer, std::ostream* out) { *out << answer.name; }

class PayloadDownloaderRefusesTheAnswer : public PayloadDownloaderOverHttps,
                                          public ::testing::WithParamInterface<RefusedAnswer> {};

TEST_P(PayloadDownloaderRefusesTheAnswer, WithItsMessageAndWithoutCreatingTheTarget) {
  EXPECT_EQ(failingPayload(GetParam().url), GetParam().message);
  EXPECT_FALSE(fileExists(target));
  EXPECT_TRUE(recorder.entries.empty());
}

#define ORVO_PAYLOAD_URL(query) L"https://127.0.0.1/orvo-game/acceptance/2026101905/orvo-game-payload-2026101905.7z?" query
INSTANTIATE_TEST_SUITE_P(
    Misbehaviours, PayloadDownloaderRefusesTheAnswer,
    ::testing::Values(
        RefusedAnswer{"StatusNotFound", ORVO_PAYLOAD_URL(L"body=generated&status=404"), "Download server returned error"},
        // The right length does not make a partial answer acceptable.
        RefusedAnswer{"StatusPartialContent", ORVO_PAYLOAD_URL(L"body=generated&status=206"),
                      "Download server returned error"},
        RefusedAnswer{"ChunkedWithoutLength", ORVO_PAYLOAD_URL(L"body=generated&chunked=1"), "下载文件长度异常"},
        RefusedAnswer{"EndedByClosingWithoutLength", ORVO_PAYLOAD_URL(L"body=generated&length=none"),
                      "下载文件长度异常"},
        RefusedAnswer{"LengthOneByteMore", ORVO_PAYLOAD_URL(L"body=generated&length=63144045"), "下载文件长度异常"},
        RefusedAnswer{"LengthOneByteLess", ORVO_PAYLOAD_URL(L"body=generated&length=63144043"), "下载文件长度异常"},
        RefusedAnswer{"LengthWithPlusSign", ORVO_PAYLOAD_URL(L"body=generated&length=%2B63144044"), "下载文件长度异常"},
        RefusedAnswer{"LengthWithMinusSign", ORVO_PAYLOAD_URL(L"body=generated&length=-63144044"), "下载文件长度异常"},
        // Spaces before the value are HTTP's optional whitespace, which WinHTTP
        // drops before the downloader sees the header; the strict rule for them
        // is checked on crafted text in the ContentLength tests.
        RefusedAnswer{"LengthWithTrailingSpace", ORVO_PAYLOAD_URL(L"body=generated&length=63144044%20"),
                      "下载文件长度异常"},
        RefusedAnswer{"LengthWithTrailingTab", ORVO_PAYLOAD_URL(L"body=generated&length=63144044%09"),
                      "下载文件长度异常"},
        RefusedAnswer{"LengthLongerThanTheHeaderBuffer",
                      ORVO_PAYLOAD_URL(L"body=generated&length=000000000000000000000000000000000000000000000000000000000"
                                       L"000000000000000063144044"),
                      "下载文件长度异常"},
        RefusedAnswer{"CertificateForAnotherName", L"https://127.0.0.1:4431/x", "Download connection failed"},
        RefusedAnswer{"CertificateFromAnUntrustedAuthority", L"https://127.0.0.1:4432/x",
                      "Download connection failed"},
        RefusedAnswer{"ConnectionRefused", L"https://127.0.0.1:4439/x", "Download connection failed"},
        // Plain HTTP stays plain: the TLS port does not answer it.
        RefusedAnswer{"PlainHttpToTheTlsPort", L"http://127.0.0.1:443/x", "Download connection failed"},
        RefusedAnswer{"EmptyAddress", L"", "Download URL invalid"},
        RefusedAnswer{"AddressWithoutScheme", L"not an address", "Download URL invalid"},
        RefusedAnswer{"AddressWithoutHost", L"https://", "Download URL invalid"},
        RefusedAnswer{"AddressWithUnknownScheme", L"gopher://127.0.0.1/x", "Download URL invalid"}),
    [](const ::testing::TestParamInfo<RefusedAnswer>& info) { return std::string(info.param.name); });
#undef ORVO_PAYLOAD_URL

TEST_F(PayloadDownloaderOverHttps, LengthOneByteOffLeavesTheFileOfAnEarlierAttemptUntouched) {
  writeBytes(target, "the previous attempt");
  EXPECT_EQ(failingPayload(byAddress(kPrimaryPath, L"body=generated&length=63144045")), "下载文件长度异常");
  EXPECT_EQ(readBytes(target), "the previous attempt");
}

TEST_F(PayloadDownloaderOverHttps, BodyCutShortEndsWithTheIncompleteMessageAndKeepsThePartialFile) {
  EXPECT_EQ(failingPayload(byAddress(kPrimaryPath, L"body=generated&cut=1000000")), "下载文件不完整");
  ASSERT_TRUE(fileExists(target));
  EXPECT_TRUE(holdsGeneratedBody(target, 1000000));
}

TEST_F(PayloadDownloaderOverHttps, ConnectionBrokenByAForgedRecordMidBodyEndsWithTheInterruptedMessage) {
  EXPECT_EQ(failingPayload(byAddress(kPrimaryPath, L"body=generated&garble=1000000")), "Download interrupted");
  ASSERT_TRUE(fileExists(target));
  EXPECT_LE(readBytes(target).size(), 1000000u);
}

TEST_F(PayloadDownloaderOverHttps, ConnectionResetMidBodyEndsWithTheInterruptedMessage) {
  const std::string message = failingPayload(byAddress(kPrimaryPath, L"body=generated&drop=1000000"));
  // Whatever the platform calls it, a reset body is never taken for a whole one.
  ASSERT_NE(message, "no exception");
  EXPECT_LE(readBytes(target).size(), 1000000u);
  if (runningUnderWine() && message == "下载文件不完整") {
    GTEST_SKIP() << "Wine 8's WinHTTP reports a reset connection as the end of the body, not as a read error";
  }
  EXPECT_EQ(message, "Download interrupted");
}

TEST_F(PayloadDownloaderOverHttps, BytesBeyondTheAnnouncedLengthAreNotPartOfTheBody) {
  // WinHTTP reads exactly Content-Length bytes; the byte after them never
  // reaches the downloader (its meter refuses such a byte; see DownloadMeter tests).
  downloadPayload(byAddress(kPrimaryPath, L"body=generated&extra=1"), target, recorder.callback(), {});
  EXPECT_TRUE(holdsGeneratedBody(target, kPayloadArchiveSize));
}

// --- Steering the server without a query (what pipeline tests rely on) ---------

TEST_F(PayloadDownloaderOverHttps, RuleFileSteersRequestsWithoutAQueryAndTheLogRecordsThem) {
  const std::wstring path = L"/rule/" + uniqueName() + L"/platform.7z";
  const std::wstring rule = orvo::joinPath(serverState(), L"rules\\" + uniqueName() + L".rule");
  writeBytes(rule, orvo::wideToUtf8(path) + "?size=2000&status=404\n");
  orvo::ScopeExit removeRule([&] { ::DeleteFileW(rule.c_str()); });

  EXPECT_EQ(messageOf([&] { downloadExactly(byAddress(path), target, 2000, {}, {}); }),
            "Download server returned error");
  // A request with a query of its own is not steered.
  downloadExactly(byAddress(path, L"size=3000"), target, 3000, {}, {});
  EXPECT_TRUE(holdsGeneratedBody(target, 3000));

  ::DeleteFileW(rule.c_str());
  downloadExactly(byName(path), target, kPayloadArchiveSize, {}, {});
  EXPECT_TRUE(holdsGeneratedBody(target, kPayloadArchiveSize));

  const std::string log = readBytes(orvo::joinPath(serverState(), L"requests.log"));
  const std::string agent = "\torvo game Installer/1.0.0.113\n";
  const std::string narrowPath = orvo::wideToUtf8(path);
  EXPECT_NE(log.find("\t127.0.0.1\t" + narrowPath + "\t404" + agent), std::string::npos) << log;
  EXPECT_NE(log.find("\t127.0.0.1\t" + narrowPath + "?size=3000\t200" + agent), std::string::npos);
  EXPECT_NE(log.find("\tlocalhost\tlocalhost\t" + narrowPath + "\t200" + agent), std::string::npos);
}

// --- The build's own endpoints --------------------------------------------------

TEST_F(PayloadDownloaderOverHttps, RealPipelineStepReachesBothBuildEndpointsWithTheirCertificates) {
  // The server answers the two fixed paths with the payload build's archive,
  // or 404 while there is none; either way the TLS session was validated.
  // End-to-end tests may steer those paths meanwhile; they hold this lock.
  const orvo::test::CrossProcessLock normalAnswers(orvo::test::kPayloadPathsLock);
  const std::wstring archive = orvo::joinPath(orvo::test::buildDirectory(), L"payload\\orvo-game-payload-2026101905.7z");
  const orvo::PipelineEndpoints endpoints = orvo::buildEndpoints();
  EXPECT_EQ(endpoints.primaryUrl, std::wstring(L"https://127.0.0.1") + kPrimaryPath);
  EXPECT_EQ(endpoints.fallbackUrl, std::wstring(L"https://localhost") + kFallbackPath);
  const auto steps = orvo::makeRealPipelineSteps();
  for (const std::wstring& url : {endpoints.primaryUrl, endpoints.fallbackUrl}) {
    SCOPED_TRACE(orvo::wideToUtf8(url));
    const std::string message = messageOf([&] { steps->downloadPayload(url, target, recorder.callback(), {}); });
    if (fileExists(archive)) {
      EXPECT_EQ(message, "no exception");
      EXPECT_TRUE(readBytes(target) == readBytes(archive)) << "the download differs from the archive";
    } else {
      EXPECT_EQ(message, "Download server returned error");
    }
  }
  const std::string log = readBytes(orvo::joinPath(serverState(), L"requests.log"));
  EXPECT_NE(log.find("\t127.0.0.1\t" + orvo::wideToUtf8(kPrimaryPath) + "\t"), std::string::npos);
  EXPECT_NE(log.find("\tlocalhost\tlocalhost\t" + orvo::wideToUtf8(kFallbackPath) + "\t"), std::string::npos);
}

// --- The target ------------------------------------------------------------------

TEST_F(PayloadDownloaderOverHttps, TargetThatCannotBeOpenedFailsWithTheSaveMessage) {
  target = temp / L"missing-directory\\platform.7z";
  EXPECT_EQ(messageOf([&] { downloadExactly(byAddress(L"/t", L"size=1000"), target, 1000, {}, {}); }),
            "Cannot save download");
}

TEST_F(PayloadDownloaderOverHttps, TargetThatRefusesTheBytesFailsWithTheWriteMessage) {
  // A pipe whose reading end goes away as soon as the downloader has opened it:
  // the open succeeds, the writes fail.
  const std::wstring pipe = L"\\\\.\\pipe\\orvo-download-" + uniqueName();
  orvo::UniqueHandle server(::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0,
                                               0, nullptr));
  ASSERT_TRUE(server) << "CreateNamedPipeW failed: " << ::GetLastError();
  std::thread closer([&] {
    ::ConnectNamedPipe(server.get(), nullptr);
    server.reset();
  });
  const std::string message =
      messageOf([&] { downloadExactly(byAddress(L"/pipe", L"size=600000"), pipe, 600000, {}, {}); });
  if (message != "下载文件写入失败") {
    // Unblock the closer when the downloader never opened the pipe.
    orvo::UniqueHandle client(::CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  closer.join();
  EXPECT_EQ(message, "下载文件写入失败");
}

// --- Cancellation ------------------------------------------------------------

TEST_F(PayloadDownloaderOverHttps, CancellationBeforeTheFirstReadStopsWithTheCancellationMessage) {
  int checks = 0;
  auto cancel = [&] {
    ++checks;
    throw std::runtime_error("CANCELLED");
  };
  EXPECT_EQ(messageOf([&] { downloadPayload(byAddress(kPrimaryPath, L"body=generated"), target, {}, cancel); }),
            "CANCELLED");
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(readBytes(target).size(), 0u);
}

TEST_F(PayloadDownloaderOverHttps, CancellationIsCheckedAfterEveryChunk) {
  std::atomic<int> checks{0};
  auto cancel = [&] {
    if (++checks == 3) throw std::runtime_error("CANCELLED");
  };
  EXPECT_EQ(messageOf([&] {
              downloadPayload(byAddress(kPrimaryPath, L"body=generated&rate=4000000"), target, {}, cancel);
            }),
            "CANCELLED");
  const std::size_t kept = readBytes(target).size();
  EXPECT_GT(kept, 0u);
  EXPECT_LE(kept, 2u * 262144u);
}
