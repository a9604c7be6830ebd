// The journal's byte layout: golden bytes written by hand, header checks, the
// state history and the saved descriptor's layout rules.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "migration/MigrationJournal.h"
#include "migration/MigrationJournalFormat.h"
#include "tests/migration/MigrationTestSupport.h"

namespace orvo {
namespace {

using test::stateRecordBytes;

using test::messageOf;

std::string asString(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

MigrationJournalHeader sampleHeader() {
  MigrationJournalHeader header;
  header.migrationId = L"00112233445566778899aabbccddeeff";
  header.installDirectory = {0x11223344, 0x01020304, 0xA1B2C3D4};
  header.legacyLink = {0x11223344, 0x05060708, 0x0000BEEF};
  header.privateCopy = {0x11223344, 0x090A0B0C, 0xFFFFFFFE};
  header.descriptorLength = 20;
  return header;
}

TEST(MigrationJournalFormat, WritesTheHeaderByteForByte) {
  // Every field spelt out by hand, little-endian, in layout order.
  std::string expected = "ORVOMIG1";
  expected += std::string("\x01\x00\x00\x00", 4);  // version
  expected += std::string("\x01\x00\x00\x00", 4);  // header state
  for (char c : std::string("00112233445566778899aabbccddeeff")) {
    expected += c;
    expected += '\0';
  }
  expected += std::string("\x00\x00\x00\x00", 4);  // reserved
  expected += std::string("\x44\x33\x22\x11\x04\x03\x02\x01\xD4\xC3\xB2\xA1", 12);
  expected += std::string("\x44\x33\x22\x11\x08\x07\x06\x05\xEF\xBE\x00\x00", 12);
  expected += std::string("\x44\x33\x22\x11\x0C\x0B\x0A\x09\xFE\xFF\xFF\xFF", 12);
  expected += std::string("\x14\x00\x00\x00", 4);  // descriptor length 20
  ASSERT_EQ(expected.size(), 124u);
  const auto bytes = encodeJournalHeader(sampleHeader());
  EXPECT_EQ(asString(bytes.data(), bytes.size()), expected);
}

TEST(MigrationJournalFormat, WritesAStateRecordWithItsComplementBetweenMarkers) {
  const auto record = encodeStateRecord(3);
  EXPECT_EQ(asString(record.data(), record.size()),
            std::string("MSG1\x03\x00\x00\x00\xFC\xFF\xFF\xFF" "END1", 16));
}

TEST(MigrationJournalFormat, ReadsBackTheHeaderItWrote) {
  const MigrationJournalHeader header = sampleHeader();
  const auto bytes = encodeJournalHeader(header);
  const MigrationJournalHeader read = decodeJournalHeader(bytes.data());
  EXPECT_EQ(read.migrationId, header.migrationId);
  EXPECT_EQ(read.installDirectory, header.installDirectory);
  EXPECT_EQ(read.legacyLink, header.legacyLink);
  EXPECT_EQ(read.privateCopy, header.privateCopy);
  EXPECT_EQ(read.descriptorLength, 20u);
  EXPECT_EQ(read.state, 1u);
}

TEST(MigrationJournalFormat, RefusesAWrongMagicVersionStateReservedOrIdentity) {
  const auto good = encodeJournalHeader(sampleHeader());
  auto refused = [&](std::size_t at, std::uint8_t value) {
    auto bytes = good;
    bytes[at] = value;
    return messageOf([&] { decodeJournalHeader(bytes.data()); });
  };
  const std::string invalid = "Migration journal identity invalid";
  EXPECT_EQ(refused(0, 'o'), invalid);       // magic
  EXPECT_EQ(refused(8, 2), invalid);         // version
  EXPECT_EQ(refused(12, 0), invalid);        // header state 0
  EXPECT_EQ(refused(12, 6), invalid);        // header state 6
  EXPECT_EQ(refused(80, 1), invalid);        // reserved, first byte
  EXPECT_EQ(refused(81, 1), invalid);        // reserved, second byte
  EXPECT_EQ(refused(16 + 2 * 20, 'A'), invalid);  // upper-case hex digit
  EXPECT_EQ(refused(16 + 2 * 5 + 1, 1), invalid);  // a code unit above 0xFF
  EXPECT_EQ(refused(82, 1), "no exception");   // the reserved field's last two bytes are not read
  EXPECT_EQ(refused(12, 5), "no exception");   // header states 1 to 5 decode; the reader wants 1
}

TEST(MigrationJournalFormat, ReadsRecordsTwoThreeThreeAsStateThree) {
  const std::string history = stateRecordBytes(2) + stateRecordBytes(3) + stateRecordBytes(3);
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()), 3u);
}

TEST(MigrationJournalFormat, ReadsAnEmptyHistoryAsJournalCreated) {
  EXPECT_EQ(parseStateHistory(nullptr, 0), 1u);
}

TEST(MigrationJournalFormat, IgnoresATornTrailingPieceAfterValidRecords) {
  const std::string full = stateRecordBytes(2) + stateRecordBytes(3) + stateRecordBytes(4);
  const std::string history = full.substr(0, 32 + 15);
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()), 3u);
}

TEST(MigrationJournalFormat, StopsAtTheFirstRecordThatFailsItsChecks) {
  std::string bad = stateRecordBytes(4);
  bad[8] = 0;  // complement broken
  const std::string history = stateRecordBytes(2) + bad + stateRecordBytes(3);
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()), 2u);
  const std::string outOfRange = stateRecordBytes(6) + stateRecordBytes(2);
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(outOfRange.data()), outOfRange.size()), 1u);
  std::string badEnd = stateRecordBytes(2);
  badEnd[15] = '2';
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(badEnd.data()), badEnd.size()), 1u);
}

TEST(MigrationJournalFormat, RefusesAStateGoingBackwards) {
  const std::string history = stateRecordBytes(3) + stateRecordBytes(2);
  EXPECT_EQ(messageOf([&] { parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()); }),
            "Migration state history conflicts");
}

TEST(MigrationJournalFormat, RefusesAnyRecordAfterAFinalState) {
  for (const std::string& history : {stateRecordBytes(4) + stateRecordBytes(5), stateRecordBytes(5) + stateRecordBytes(5),
                                     stateRecordBytes(4) + stateRecordBytes(4)}) {
    EXPECT_EQ(
        messageOf([&] { parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()); }),
        "Migration state history conflicts");
  }
}

TEST(MigrationJournalFormat, BoundsTheHistoryAtOneKilobyte) {
  std::string history;
  for (int i = 0; i < 64; ++i) history += stateRecordBytes(2);
  EXPECT_EQ(parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()), 2u);
  history.push_back('x');
  EXPECT_EQ(messageOf([&] { parseStateHistory(reinterpret_cast<const std::uint8_t*>(history.data()), history.size()); }),
            "Migration state history exceeds safety bound");
}


TEST(SavedDescriptorRules, AcceptsADaclOnlySelfRelativeDescriptor) {
  const auto bytes = test::descriptorFromSddl(L"D:P(A;OICI;FA;;;SY)(A;;0x1200a9;;;WD)");
  EXPECT_TRUE(hasValidSavedDescriptorLayout(bytes.data(), bytes.size()));
  EXPECT_TRUE(isValidSavedSecurityDescriptor(bytes));
}

TEST(SavedDescriptorRules, RefusesADescriptorWithAnOwnerOrAGroupOrASacl) {
  for (const wchar_t* sddl : {L"O:SYD:(A;;FA;;;SY)", L"G:BAD:(A;;FA;;;SY)", L"D:(A;;FA;;;SY)S:(AU;SA;FA;;;WD)"}) {
    const auto bytes = test::descriptorFromSddl(sddl);
    EXPECT_FALSE(hasValidSavedDescriptorLayout(bytes.data(), bytes.size())) << sddl;
    EXPECT_FALSE(isValidSavedSecurityDescriptor(bytes)) << sddl;
  }
}

TEST(SavedDescriptorRules, RefusesBrokenFields) {
  const auto good = test::descriptorFromSddl(L"D:(A;;FA;;;SY)");
  ASSERT_TRUE(isValidSavedSecurityDescriptor(good));
  auto broken = [&](std::size_t at, std::uint8_t value) {
    auto bytes = good;
    bytes[at] = value;
    return isValidSavedSecurityDescriptor(bytes);
  };
  EXPECT_FALSE(broken(0, 2));                                  // revision
  EXPECT_FALSE(broken(3, static_cast<std::uint8_t>(good[3] & 0x7F)));  // not self-relative
  EXPECT_FALSE(broken(2, static_cast<std::uint8_t>(good[2] & ~0x04)));  // no DACL
  EXPECT_FALSE(broken(16, 18));                                // DACL offset below 20
  EXPECT_FALSE(broken(16, 22));                                // DACL offset not a multiple of 4
  EXPECT_FALSE(broken(16, static_cast<std::uint8_t>(good.size() - 4)));  // DACL too close to the end
  EXPECT_FALSE(broken(good[16] + 2, 4));                       // ACL size below 8
  EXPECT_FALSE(broken(good[16] + 3, 1));                       // ACL size past the bytes
  EXPECT_FALSE(broken(good[16] + 0, 9));                       // ACL revision the system refuses
  EXPECT_FALSE(isValidSavedSecurityDescriptor(std::vector<std::uint8_t>(good.begin(), good.begin() + 19)));
  EXPECT_FALSE(isValidSavedSecurityDescriptor({}));
}

}  // namespace
}  // namespace orvo
