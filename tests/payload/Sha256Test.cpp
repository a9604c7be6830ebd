// SHA-256 digests on CNG: known vectors, the chunked callback sequence, the
// failure texts, and an independent digest by the host's sha256sum.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Utf.h"
#include "payload/Sha256.h"
#include "tests/payload/HostShell.h"
#include "tests/payload/PayloadTestSupport.h"
#include "tests/support/MessageOf.h"
#include "tests/support/TestSupport.h"

using namespace orvo;
using orvo::test::messageOf;
using orvo::test::patternBytes;
using orvo::test::TempDirTest;

namespace {

constexpr wchar_t kEmptyDigest[] = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr std::uint64_t kMiB = 1048576;

}  // namespace

TEST(Sha256TextDigest, OfTheEmptyStringIsTheDigestOfTheEmptyMessage) { EXPECT_EQ(sha256Text(L""), kEmptyDigest); }

TEST(Sha256TextDigest, HashesTheUtf16LittleEndianBytesWithoutTerminator) {
  // SHA-256 of the six bytes 61 00 62 00 63 00.
  EXPECT_EQ(sha256Text(L"abc"), L"13e228567e8249fce53337f25d7970de3bd68ab2653424c7b8f9fd05e33caedf");
  EXPECT_NE(sha256Text(L"abc"), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");  // UTF-8 "abc"
}

TEST(Sha256TextDigest, IsAlwaysLowerCaseHex) {
  const std::wstring digest = sha256Text(L"安装 orvo game");
  ASSERT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);
}

using Sha256FileDigest = TempDirTest;

TEST_F(Sha256FileDigest, OfAnEmptyFileIsTheEmptyMessageAndNeverCallsBack) {
  const std::wstring path = temp / L"empty.bin";
  orvo::test::writeBytes(path, "");
  int calls = 0;
  EXPECT_EQ(sha256File(path, [&](std::uint64_t) { ++calls; }), kEmptyDigest);
  EXPECT_EQ(calls, 0);
}

TEST_F(Sha256FileDigest, OfExactlyOneMebibyteCallsBackOnceWithItsSize) {
  const std::wstring path = temp / L"one.bin";
  orvo::test::writeBytes(path, patternBytes(kMiB));
  std::vector<std::uint64_t> calls;
  const std::wstring digest = sha256File(path, [&](std::uint64_t n) { calls.push_back(n); });
  EXPECT_EQ(calls, std::vector<std::uint64_t>({kMiB}));
  EXPECT_EQ(digest, orvo::test::hostSha256(path));
}

TEST_F(Sha256FileDigest, OfOneMebibytePlusOneCallsBackTwiceWithTheRunningTotal) {
  const std::wstring path = temp / L"one-plus.bin";
  orvo::test::writeBytes(path, patternBytes(kMiB + 1));
  std::vector<std::uint64_t> calls;
  const std::wstring digest = sha256File(path, [&](std::uint64_t n) { calls.push_back(n); });
  EXPECT_EQ(calls, std::vector<std::uint64_t>({kMiB, kMiB + 1}));
  EXPECT_EQ(digest, orvo::test::hostSha256(path));
}

TEST_F(Sha256FileDigest, AgreesWithTheHostsSha256sumOnAFileOfSeveralChunks) {
  const std::wstring path = temp / L"名字 with spaces.bin";
  orvo::test::writeBytes(path, patternBytes(5 * kMiB + 12345));
  EXPECT_EQ(sha256File(path), orvo::test::hostSha256(path));
}

TEST_F(Sha256FileDigest, ReadsAFileThatAnotherHandleHoldsOpenForWriting) {
  const std::wstring path = temp / L"open.bin";
  orvo::test::writeBytes(path, "abc");
  UniqueHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(sha256File(path), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(Sha256FileDigest, OfAMissingFileFailsWithCannotVerifyDownloadedFiles) {
  EXPECT_EQ(messageOf([&] { sha256File(temp / L"absent.bin"); }), "Cannot verify downloaded files");
  EXPECT_EQ(messageOf([&] {
              sha256File(
                  temp / L"no-such-dir\\absent.bin", [](std::uint64_t) {}, [] {});
            }),
            "Cannot verify downloaded files");
}

TEST_F(Sha256FileDigest, OfADirectoryFailsWithCannotVerifyDownloadedFiles) {
  EXPECT_EQ(messageOf([&] { sha256File(temp.path()); }), "Cannot verify downloaded files");
}

TEST_F(Sha256FileDigest, StopsWithTheCancelChecksFailureBeforeTheNextChunk) {
  const std::wstring path = temp / L"three.bin";
  orvo::test::writeBytes(path, patternBytes(3 * kMiB));
  std::vector<std::uint64_t> calls;
  bool cancelRequested = false;
  const std::string failure = messageOf([&] {
    sha256File(
        path,
        [&](std::uint64_t n) {
          calls.push_back(n);
          cancelRequested = true;  // set while the first chunk is reported
        },
        [&] {
          if (cancelRequested) throw std::runtime_error("CANCELLED");
        });
  });
  EXPECT_EQ(failure, "CANCELLED");
  EXPECT_EQ(calls, std::vector<std::uint64_t>({kMiB}));
}

TEST_F(Sha256FileDigest, IsNotCancelledWhenTheCheckNeverThrows) {
  const std::wstring path = temp / L"two.bin";
  orvo::test::writeBytes(path, patternBytes(2 * kMiB));
  int checks = 0;
  EXPECT_EQ(sha256File(path, {}, [&] { ++checks; }), orvo::test::hostSha256(path));
  // One check before every read, the final empty read included.
  EXPECT_EQ(checks, 3);
}

TEST(Sha256Hasher, FedInPiecesGivesTheDigestOfTheWhole) {
  Sha256Hasher hasher;
  const std::string text = "The quick brown fox jumps over the lazy dog";
  ASSERT_TRUE(hasher.update(text.data(), 10));
  ASSERT_TRUE(hasher.update(text.data() + 10, text.size() - 10));
  std::array<std::uint8_t, 32> digest{};
  ASSERT_TRUE(hasher.finish(digest));
  EXPECT_EQ(digestToHex(digest.data(), digest.size()),
            L"d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
}

TEST(Sha256Hasher, MovedIntoAnotherHasherKeepsHashingWhatWasFedBefore) {
  Sha256Hasher first;
  ASSERT_TRUE(first.update("ab", 2));
  Sha256Hasher second;
  ASSERT_TRUE(second.update("zz", 2));
  second = std::move(first);  // the replaced hash is released before its buffer
  ASSERT_TRUE(second.update("c", 1));
  std::array<std::uint8_t, 32> digest{};
  ASSERT_TRUE(second.finish(digest));
  EXPECT_EQ(digestToHex(digest.data(), digest.size()),
            L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(first.hash(), nullptr);
}

TEST(Sha256Hasher, FormatsDigestBytesHighNibbleFirst) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(digestToHex(bytes, 4), L"000fa0ff");
}
