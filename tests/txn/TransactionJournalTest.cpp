// The journal's byte format, pinned against a sequence written out here by
// hand, and every refusal of the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"
#include "txn/TransactionJournal.h"
#include "txn/TransactionPathRules.h"

using namespace orvo;
using namespace orvo::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::wstring NewCoreSha = L"11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437";   // "new"
const std::wstring OldCoreSha = L"ff6986819bd3579898aa009ff7053e27e0afe44e3211f42dd8c002918ea175ba";   // "old!!"
const std::wstring ReadmeSha = L"b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9";    // "hello world"

void appendHex(Bytes& out, const char* hex) {
  for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
    if (hex[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
}

// ASCII text as UTF-16LE code units.
void appendAscii16(Bytes& out, const std::wstring& text) {
  for (wchar_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
}

// A two-entry journal in state 2: "bin\Core.dll" (3 bytes, replacing a
// 5-byte original) and "readme.txt" (11 bytes, new). `rootLength` is given
// in hex as the test writes it.
Bytes goldenJournal(const char* rootCountHex, const std::wstring& lowerRoot) {
  Bytes out;
  appendHex(out, "0f00000000000000 4f00520056004f002d00460049004c0045002d00540058004e002d003100");  // magic
  appendHex(out, rootCountHex);
  appendAscii16(out, lowerRoot);
  appendHex(out, "0200000000000000");  // state Prepared
  appendHex(out, "0000000000000000");  // applyCursor
  appendHex(out, "0200000000000000");  // count
  appendHex(out, "0c00000000000000");  // entry 0 path
  appendAscii16(out, L"bin\\Core.dll");
  appendHex(out, "0300000000000000");  // size
  appendHex(out, "4000000000000000");
  appendAscii16(out, NewCoreSha);
  appendHex(out, "0100000000000000");  // existed
  appendHex(out, "0500000000000000");  // original size
  appendHex(out, "4000000000000000");
  appendAscii16(out, OldCoreSha);
  appendHex(out, "0a00000000000000");  // entry 1 path
  appendAscii16(out, L"readme.txt");
  appendHex(out, "0b00000000000000");  // size
  appendHex(out, "4000000000000000");
  appendAscii16(out, ReadmeSha);
  appendHex(out, "0000000000000000");  // not existed
  appendHex(out, "0000000000000000");  // original size 0
  appendHex(out, "0000000000000000");  // empty original digest
  return out;
}

const std::wstring GoldenRoot = L"d:\\games\\platform";  // 17 units

Bytes golden() { return goldenJournal("1100000000000000", GoldenRoot); }

std::vector<TransactionEntry> goldenEntries() {
  return {TransactionEntry{L"bin\\Core.dll", 3, NewCoreSha}, TransactionEntry{L"readme.txt", 11, ReadmeSha}};
}

// Offsets of the fixed fields of the golden journal.
constexpr std::size_t StateOffset = 38 + 8 + 34;
constexpr std::size_t CursorOffset = StateOffset + 8;
constexpr std::size_t CountOffset = CursorOffset + 8;
constexpr std::size_t Entry0Offset = CountOffset + 8;
constexpr std::size_t Entry0ExistedOffset = Entry0Offset + 32 + 8 + 136;
constexpr std::size_t Entry1Offset = Entry0ExistedOffset + 8 + 8 + 136;
constexpr std::size_t Entry1ExistedOffset = Entry1Offset + 28 + 8 + 136;

void putU64(Bytes& bytes, std::size_t offset, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string decodeMessage(const Bytes& bytes, const std::wstring& lowerRoot = GoldenRoot,
                          const std::vector<TransactionEntry>& entries = goldenEntries()) {
  return messageOf([&] { decodeJournal(bytes.data(), bytes.size(), lowerRoot, entries); });
}

}  // namespace

TEST(TransactionJournalFormat, EncoderWritesTheHandWrittenBytes) {
  std::vector<TransactionEntry> entries = goldenEntries();
  entries[1].sha256 = L"B94D27B9934D3E08A52E52D7DA7DABFAC484EFE37A5380EE9088F7ACE2EFCDE9";  // written lowercased
  const std::vector<OriginalFileRecord> originals{{true, 5, OldCoreSha}, {}};
  EXPECT_EQ(encodeJournal(L"D:\\Games\\Platform", 2, 0, entries, originals), golden());
}

TEST(TransactionJournalFormat, DecoderAdoptsStateCursorAndOriginals) {
  Bytes bytes = golden();
  putU64(bytes, StateOffset, 3);
  putU64(bytes, CursorOffset, 2);
  const JournalProgress progress = decodeJournal(bytes.data(), bytes.size(), GoldenRoot, goldenEntries());
  EXPECT_EQ(progress.state, 3u);
  EXPECT_EQ(progress.applyCursor, 2u);
  ASSERT_EQ(progress.originals.size(), 2u);
  EXPECT_TRUE(progress.originals[0].existed);
  EXPECT_EQ(progress.originals[0].size, 5u);
  EXPECT_EQ(progress.originals[0].sha256, OldCoreSha);
  EXPECT_FALSE(progress.originals[1].existed);
}

TEST(TransactionJournalFormat, AnyChangedMagicCharacterIsARootMismatch) {
  for (std::size_t unit = 0; unit < 15; ++unit) {
    Bytes bytes = golden();
    bytes[8 + 2 * unit] ^= 0x01;
    EXPECT_EQ(decodeMessage(bytes), "Transaction journal root mismatch") << unit;
  }
}

TEST(TransactionJournalFormat, RootsCompareInLowercaseButEntryPathsExactly) {
  EXPECT_EQ(decodeMessage(golden(), lowercaseText(L"D:\\GAMES\\platform")), "no exception");
  EXPECT_EQ(decodeMessage(golden(), L"d:\\games\\other"), "Transaction journal root mismatch");
  std::vector<TransactionEntry> entries = goldenEntries();
  entries[0].relativePath = L"bin\\core.dll";
  EXPECT_EQ(decodeMessage(golden(), GoldenRoot, entries),
            "Transaction recovery manifest differs; original installer required");
  entries = goldenEntries();
  entries[1].size = 12;
  EXPECT_EQ(decodeMessage(golden(), GoldenRoot, entries),
            "Transaction recovery manifest differs; original installer required");
  entries = goldenEntries();
  entries[1].sha256 = OldCoreSha;
  EXPECT_EQ(decodeMessage(golden(), GoldenRoot, entries),
            "Transaction recovery manifest differs; original installer required");
}

TEST(TransactionJournalFormat, RefusesStateOutsideOneToSixCursorBeyondCountAndForeignCount) {
  for (std::uint64_t state : {0ull, 7ull, 0x100000001ull}) {
    Bytes bytes = golden();
    putU64(bytes, StateOffset, state);
    EXPECT_EQ(decodeMessage(bytes), "Transaction journal state mismatch") << state;
  }
  Bytes bytes = golden();
  putU64(bytes, CursorOffset, 3);
  EXPECT_EQ(decodeMessage(bytes), "Transaction journal state mismatch");
  bytes = golden();
  putU64(bytes, CountOffset, 1);
  EXPECT_EQ(decodeMessage(bytes), "Transaction journal state mismatch");
  for (std::uint64_t state = 1; state <= 6; ++state) {
    bytes = golden();
    putU64(bytes, StateOffset, state);
    putU64(bytes, CursorOffset, 2);
    EXPECT_EQ(decodeMessage(bytes), "no exception") << state;
  }
}

TEST(TransactionJournalFormat, RefusesOriginalRecordsThatCannotBeTrue) {
  Bytes bytes = golden();
  putU64(bytes, Entry1ExistedOffset + 8, 4);  // not existed, but a size
  EXPECT_EQ(decodeMessage(bytes), "Invalid original file journal");
  bytes = golden();
  putU64(bytes, Entry0ExistedOffset, 2);
  EXPECT_EQ(decodeMessage(bytes), "Invalid original file journal");
  bytes = golden();
  putU64(bytes, Entry1ExistedOffset, 1);  // existed, but an empty digest
  EXPECT_EQ(decodeMessage(bytes), "Invalid original file journal");
  // existed 1 with a 63-character digest: the journal shrinks by one unit.
  bytes = golden();
  putU64(bytes, Entry0ExistedOffset + 16, 63);
  bytes.erase(bytes.begin() + Entry0ExistedOffset + 24, bytes.begin() + Entry0ExistedOffset + 26);
  EXPECT_EQ(decodeMessage(bytes), "Invalid original file journal");
  // An uppercase original digest is accepted as it stands.
  bytes = golden();
  bytes[Entry0ExistedOffset + 24] = 'F';
  EXPECT_EQ(decodeMessage(bytes), "no exception");
}

TEST(TransactionJournalFormat, RefusesTrailingBytesTruncatedNumbersAndCutStrings) {
  Bytes bytes = golden();
  bytes.push_back(0);
  EXPECT_EQ(decodeMessage(bytes), "Unexpected transaction journal bytes");
  bytes = golden();
  bytes.resize(bytes.size() - 3);  // inside the last string's count
  EXPECT_EQ(decodeMessage(bytes), "Truncated transaction journal");
  bytes = golden();
  bytes.resize(StateOffset + 5);
  EXPECT_EQ(decodeMessage(bytes), "Truncated transaction journal");
  bytes = golden();
  bytes.resize(Entry1ExistedOffset - 10);  // inside entry 1's digest
  EXPECT_EQ(decodeMessage(bytes), "Invalid transaction journal string");
  bytes = golden();
  bytes.resize(Entry0Offset + 8 + 6);  // inside entry 0's path
  EXPECT_EQ(decodeMessage(bytes), "Invalid transaction journal string");
}

TEST(TransactionJournalFormat, ReadsAStringOf32768UnitsAndRefuses32769) {
  const std::wstring longRoot(32768, L'r');
  Bytes bytes = goldenJournal("0080000000000000", longRoot);
  EXPECT_EQ(decodeMessage(bytes, longRoot), "no exception");
  const std::wstring longerRoot(32769, L'r');
  bytes = goldenJournal("0180000000000000", longerRoot);
  EXPECT_EQ(decodeMessage(bytes, longerRoot), "Invalid transaction journal string");
}

TEST(TransactionJournalFormat, RefusesCountsAboveHalfTheBytesLeft) {
  Bytes bytes = golden();
  putU64(bytes, 38, 0xFFFFFFFFFFFFFFFFull);  // the root's count
  EXPECT_EQ(decodeMessage(bytes), "Invalid transaction journal string");
}

TEST(TransactionJournalFormat, SizeBoundsAre32ToOneMebibyte) {
  EXPECT_THROW(checkJournalSize(31), std::runtime_error);
  EXPECT_NO_THROW(checkJournalSize(32));
  EXPECT_NO_THROW(checkJournalSize(1048576));
  EXPECT_FAILS_WITH(checkJournalSize(1048577), "Invalid transaction journal size");
  EXPECT_FAILS_WITH(checkJournalSize(0), "Invalid transaction journal size");
}

// The engine's own journal on disk, after a real preparation.
class TransactionJournalFile : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";

  std::unique_ptr<FileTransaction> preparedGoldenCase() {
    writeTree(candidate, {{L"bin/Core.dll", "new"}, {L"readme.txt", "hello world"}});
    writeTree(root, {{L"bin/Core.dll", "old!!"}});
    auto transaction = createTransaction(root,
                                         {TransactionEntry{L"bin/Core.dll", 3, NewCoreSha},
                                          TransactionEntry{L"readme.txt", 11, lowercaseText(ReadmeSha)}},
                                         fileDigest);
    transaction->prepare(candidate);
    return transaction;
  }
};

TEST_F(TransactionJournalFile, WriteJournalPublishesTheHandWrittenBytes) {
  auto transaction = preparedGoldenCase();
  const std::wstring lowerRoot = lowercaseText(transaction->root());
  ASSERT_LT(lowerRoot.size(), 256u);
  char count[17] = {};
  std::snprintf(count, sizeof count, "%02x00000000000000", static_cast<unsigned>(lowerRoot.size()));
  const std::string onDisk = readBytes(transaction->areaPath() + L"\\journal.bin");
  const Bytes expected = goldenJournal(count, lowerRoot);
  EXPECT_EQ(Bytes(onDisk.begin(), onDisk.end()), expected);
  EXPECT_FALSE(fileExists(transaction->areaPath() + L"\\journal.tmp"));
}

TEST_F(TransactionJournalFile, LoadAdoptsAJournalForTheSameRootInOtherLetterCase) {
  auto first = preparedGoldenCase();
  const std::string journal = readBytes(first->areaPath() + L"\\journal.bin");
  const std::wstring area = first->areaPath();
  first.reset();  // rolls back and removes the area
  ASSERT_FALSE(directoryExists(area));

  std::filesystem::create_directories(area);
  writeBytes(area + L"\\journal.bin", journal);
  std::wstring upperRoot = root;
  for (auto& c : upperRoot) c = static_cast<wchar_t>(towupper(c));
  FileTransaction second(upperRoot,
                         {TransactionEntry{L"bin/Core.dll", 3, NewCoreSha}, TransactionEntry{L"readme.txt", 11, ReadmeSha}},
                         fileDigest);
  ASSERT_EQ(lowercaseText(second.areaPath()), lowercaseText(area));
  second.openArea(false);
  second.loadJournal();
  EXPECT_TRUE(second.isActive());
  EXPECT_TRUE(second.isPrepared());
  EXPECT_EQ(second.state(), TransactionState::Prepared);
  EXPECT_EQ(second.originals()[0].sha256, OldCoreSha);
}

TEST_F(TransactionJournalFile, AreaWithOnlyATemporaryJournalIsLeftForInspection) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, NewCoreSha}}, fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  writeBytes(transaction.areaPath() + L"\\journal.tmp", "half a journal");
  transaction.openArea(false);
  transaction.scanArea();
  EXPECT_FAILS_WITH(transaction.loadJournal(), "Transaction journal missing; area retained for inspection");
  EXPECT_FALSE(transaction.isActive());
  EXPECT_EQ(readBytes(transaction.areaPath() + L"\\journal.tmp"), "half a journal");
  EXPECT_TRUE(fileExists(transaction.areaPath() + L"\\lease.lock"));
}

TEST_F(TransactionJournalFile, RefusedJournalChangesNothingInMemory) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, NewCoreSha}}, fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  Bytes bytes = encodeJournal(transaction.root(), 3, 1, transaction.entries(), {{true, 9, OldCoreSha}});
  bytes.push_back(0);
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(bytes.begin(), bytes.end()));
  transaction.openArea(false);
  EXPECT_THROW(transaction.loadJournal(), std::runtime_error);
  EXPECT_FALSE(transaction.isActive());
  EXPECT_EQ(transaction.state(), TransactionState::Preparing);
  EXPECT_EQ(transaction.applyCursor(), 0u);
  EXPECT_FALSE(transaction.originals()[0].existed);
}

TEST_F(TransactionJournalFile, TooSmallJournalIsRefusedBySize) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, NewCoreSha}}, fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(31, '\0'));
  transaction.openArea(false);
  EXPECT_FAILS_WITH(transaction.loadJournal(), "Invalid transaction journal size");
}

TEST_F(TransactionJournalFile, AJournalLoadedInStatePreparingCannotBeApplied) {
  FileTransaction transaction(root, {TransactionEntry{L"a.bin", 1, NewCoreSha}}, fileDigest);
  std::filesystem::create_directories(transaction.areaPath());
  const Bytes bytes = encodeJournal(transaction.root(), 1, 0, transaction.entries(), {{}});
  writeBytes(transaction.areaPath() + L"\\journal.bin", std::string(bytes.begin(), bytes.end()));
  transaction.openArea(false);
  transaction.loadJournal();
  EXPECT_TRUE(transaction.isActive());
  EXPECT_FALSE(transaction.isPrepared());
  EXPECT_FAILS_WITH(transaction.apply(), "Transaction is not prepared");
}
