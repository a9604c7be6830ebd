// The migration's rules over texts and bytes, free of the file system: paths, run identities, child names, name order,
// free space, the junction buffer, the journal header, its state history and saved descriptor; and a journal written
// to a real file byte for byte.
#include <gtest/gtest.h>

#include <sstream>

#include "common/Utf.h"
#include "migration/LegacyDataMigration.h"
#include "tests/migration/HostLinkEmulation.h"
#include "tests/support/MessageOf.h"

namespace orvo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const std::wstring& text) {
  Bytes bytes;
  for (std::size_t at = 0; at + 1 < text.size(); at += text[at] == ' ' ? 1 : 2) {
    if (text[at] != ' ') bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
  }
  return bytes;
}

// A self-relative descriptor with an empty DACL at 20, and one whose DACL at 20 grants SYSTEM.
const wchar_t *kEmptyDacl = L"01000480 00000000 00000000 00000000 14000000 02000800 00000000",
              *kDacl = L"01000480 00000000 00000000 00000000 14000000 02001c00 01000000 00001400 ff011f00 01010000 "
                       L"00000005 12000000";

TEST(MigrationJournalBytes, AreWrittenByteForByteAndEachStateAppendedAtTheEnd) {
  test::TempDir temp;
  MigrationJournal journal{UniqueHandle(),
                           {1, 0, L"00112233445566778899aabbccddeeff", 0, {0x11223344, 0x01020304, 0xA1B2C3D4},
                            {0x11223344, 0x05060708, 0xBEEF}, {0x11223344, 0x090A0B0C, 0xFFFFFFFE}, 0},
                           hex(kEmptyDacl)};
  journal.handle = createMigrationJournalFile(temp / L"j", nullptr);
  writeMigrationState(journal, 1);
  ::SetFilePointer(journal.handle.get(), 7, nullptr, FILE_BEGIN);
  writeMigrationState(journal, 2);
  writeMigrationState(journal, 3);
  journal.handle.reset();
  std::string expected = "ORVOMIG1" + std::string("\1\0\0\0\1\0\0\0", 8);
  for (char c : std::string("00112233445566778899aabbccddeeff")) expected += std::string{c, '\0'};
  const std::wstring rest = L"00000000 44332211 04030201 D4C3B2A1 44332211 08070605 EFBE0000 44332211 0C0B0A09 FEFFFFFF "
                            L"1C000000 " + std::wstring(kEmptyDacl) + L" 4d534731 02000000 FDFFFFFF 454e4431 4d534731 03000000 "
                            L"FCFFFFFF 454e4431";
  for (std::uint8_t b : hex(rest)) expected += static_cast<char>(b);
  EXPECT_EQ(test::readBytes(temp / L"j"), expected);
  EXPECT_EQ(test::messageOf([&] { createMigrationJournalFile(temp / L"j", nullptr); }), "Migration journal already exists");
}

// n normalise a; c check a's components; i a is b or inside it; d a is a run identity; g the identity of GUID text a;
// k a is an acceptable child name; s a's names sorted; f room for a bytes in b free bytes; j the target of a junction
// to a, its buffer patched ("at=byte") or cut ("#size") by b; r a valid journal header patched by b, decoded and
// encoded again; h the state of a history, a character a record: its state, c a 4 with a broken complement, e a 2
// with a broken end marker, t a torn record, x a stray byte; l and v the layout and full checks of a saved
// descriptor a (hex) patched by b.
std::wstring evaluate(wchar_t rule, const std::wstring& a, const std::wstring& b) {
  std::wstring result;
  const auto yes = [&](bool value) { result = value ? L"1" : L"0"; };
  const auto header = encodeJournalHeader({1, 1, L"00112233445566778899aabbccddeeff", 0, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}, 28});
  Bytes bytes = rule == 'j' ? test::HostLinkEmulation::mountPointBuffer(a) : rule == 'l' || rule == 'v' ? hex(a) : Bytes();
  if (rule == 'r') bytes.assign(header.begin(), header.end());
  for (wchar_t c : rule == 'h' ? a : L"") {
    const auto record = encodeStateRecord(c == 'c' || c == 't' ? 4 : c == 'e' ? 2 : c - '0');
    Bytes text(record.begin(), c == 't' ? record.end() - 1 : c == 'x' ? record.begin() + 1 : record.end());
    if (c == 'c' || c == 'e') text[c == 'c' ? 8 : 15] = 0;
    bytes.insert(bytes.end(), text.begin(), text.end());
  }
  if (b[0] == '#') bytes.resize(std::stoul(b.substr(1)));
  if (b.find('=') != std::wstring::npos) bytes[std::stoul(b)] = std::uint8_t(std::stoul(b.substr(b.find('=') + 1)));
  std::wistringstream in(a);
  std::vector<std::wstring> names{std::istream_iterator<std::wstring, wchar_t>(in), {}};
  const std::string message = test::messageOf([&] {
    if (rule == 'n') result = normalizeMigrationPath(a);
    if (rule == 'c') requireValidComponents(a);
    if (rule == 'i') yes(isSameOrInside(a, b));
    if (rule == 'd') yes(isValidMigrationId(a));
    if (rule == 'g') result = migrationIdFromGuidText(a);
    if (rule == 'k') yes(isAcceptableChildName(a));
    if (rule == 'f') yes(hasRoomForMigration(std::stoull(a), std::stoull(b)));
    if (rule == 's') for (sortByCodeUnits(names); const std::wstring& name : names) result += name + L" ";
    if (rule == 'j') result = normalizeMigrationPath(parseJunctionSubstituteName(bytes.data(), bytes.size()));
    const auto again = rule == 'r' ? encodeJournalHeader(decodeJournalHeader(bytes.data())) : header;
    if (rule == 'r') yes(Bytes(again.begin(), again.end()) == bytes);
    if (rule == 'h') result = std::to_wstring(parseStateHistory(bytes.data(), bytes.size()));
    if (rule == 'l') yes(hasValidSavedDescriptorLayout(bytes.data(), bytes.size()));
    if (rule == 'v') yes(isValidSavedSecurityDescriptor(bytes));
  });
  return message == "no exception" ? result : utf8ToWide(message);
}

TEST(MigrationRules, HoldForEveryCase) {
  const wchar_t *absolute = L"Migration requires a local absolute path", *component = L"Migration path component invalid",
                *fixed = L"Migration target must be a local fixed-drive directory", *target = L"Migration junction target invalid",
                *direct = L"Migration accepts only a direct mount-point junction", *header = L"Migration journal identity invalid",
                *data = L"\\??\\C:\\Data",
                *conflicts = L"Migration state history conflicts";
  const std::wstring twos(64, '2'), id = L"0123456789abcdef0123456789abcdef";
  const struct { wchar_t rule; std::wstring a, b, expected; } rows[] = {
      {'n', L"C:\\", L"", fixed}, {'n', L"Q:\\D", L"", fixed}, {'n', L"C:\\D\\\\", L"", L"C:\\D"},
      {'n', L"C:\\G\\x\\..\\P", L"", L"C:\\G\\P"}, {'n', L"C:\\D/x", L"", absolute},
      {'n', L"\\\\srv\\share", L"", absolute}, {'n', L"Data\\x", L"", absolute}, {'n', L"C:Data", L"", absolute},
      {'n', L"C:\\D:s", L"", absolute}, {'n', L"1:\\D", L"", absolute}, {'c', L"C:\\a\\\\b", L"", component},
      {'c', L"C:\\a\\.\\b", L"", component}, {'c', L"C:\\a\\..\\b", L"", component},
      {'c', L"C:\\a.\\b", L"", component}, {'c', L"C:\\a\\b ", L"", component}, {'c', L"C:\\a.b\\ c\\d", L"", L""},
      {'i', L"C:\\G\\P", L"c:\\g", L"1"}, {'i', L"C:\\G", L"c:\\g", L"1"}, {'i', L"C:\\G2", L"C:\\G", L"0"},
      {'i', L"C:\\G", L"C:\\G\\P", L"0"}, {'i', L"D:\\G", L"C:\\G", L"0"}, {'d', id, L"", L"1"},
      {'d', L"0123456789A" + id.substr(11), L"", L"0"}, {'d', id.substr(1), L"", L"0"},
      {'d', id.substr(1) + L"g", L"", L"0"},
      {'g', L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", L"", L"6b29fc40ca471067b31d00dd010662da"},
      {'g', L"{6B29FC40-CA47}", L"", L"Migration transaction identity invalid"}, {'k', L".h", L"", L"1"},
      {'k', L"", L"", L"0"}, {'k', L"n.", L"", L"0"}, {'k', L"n ", L"", L"0"}, {'k', L"a:b", L"", L"0"},
      {'s', L"b aa B a _ \xE000 \xD83D\xDE00", L"", L"B _ a aa b \xD83D\xDE00 \xE000 "},
      {'f', L"1000", L"16778216", L"1"}, {'f', L"1000", L"16778215", L"0"}, {'f', L"0", L"16777216", L"1"},
      {'f', L"1000", L"999", L"0"}, {'f', L"18446744073709551615", L"18446744073709551615", L"0"},
      {'j', data, L"", L"C:\\Data"}, {'j', data, L"0=12", direct}, {'j', data, L"8=1", direct},
      {'j', data, L"10=23", direct}, {'j', data, L"8=6", direct}, {'j', data, L"4=35", direct},
      {'j', data, L"32=0", target}, {'j', data, L"#15", L"Migration link metadata unavailable"},
      {'j', L"C:\\Data", L"", target}, {'j', L"\\??", L"", target}, {'j', L"", L"", target},
      {'j', L"\\??\\UNC\\s\\x", L"", absolute}, {'j', L"\\??\\Volume{6b29fc40-ca47-1067}\\D", L"", absolute},
      {'r', L"", L"", L"1"}, {'r', L"", L"0=111", header}, {'r', L"", L"8=2", header}, {'r', L"", L"12=0", header},
      {'r', L"", L"12=6", header}, {'r', L"", L"80=1", header}, {'r', L"", L"81=1", header},
      {'r', L"", L"56=65", header}, {'r', L"", L"27=1", header}, {'r', L"", L"82=1", L"1"}, {'r', L"", L"12=5", L"1"},
      {'h', L"", L"", L"1"}, {'h', L"233", L"", L"3"}, {'h', L"23t", L"", L"3"}, {'h', L"2c3", L"", L"2"},
      {'h', L"62", L"", L"1"}, {'h', L"e", L"", L"1"}, {'h', L"32", L"", conflicts}, {'h', L"45", L"", conflicts},
      {'h', L"55", L"", conflicts}, {'h', L"44", L"", conflicts}, {'h', twos, L"", L"2"},
      {'h', twos + L"x", L"", L"Migration state history exceeds safety bound"}, {'l', kDacl, L"", L"1"},
      {'v', kDacl, L"", L"1"}, {'v', kEmptyDacl, L"", L"1"}, {'l', kDacl, L"0=2", L"0"}, {'l', kDacl, L"3=0", L"0"},
      {'l', kDacl, L"2=0", L"0"}, {'l', kDacl, L"4=20", L"0"}, {'l', kDacl, L"8=20", L"0"},
      {'l', kDacl, L"12=20", L"0"}, {'l', kDacl, L"16=16", L"0"},
      {'l', kDacl, L"16=44", L"0"}, {'l', kDacl, L"22=4", L"0"}, {'l', kDacl, L"23=1", L"0"},
      {'l', kDacl, L"20=9", L"1"}, {'v', kDacl, L"20=9", L"0"}, {'v', kDacl, L"#19", L"0"},
      {'l', L"01000480 00000000 00000000 00000000 16000000 0000 02000800 00000000", L"", L"0"}};
  for (const auto& r : rows) {
    EXPECT_EQ(evaluate(r.rule, r.a, r.b), r.expected) << char(r.rule) << " " << wideToUtf8(r.a + L" " + r.b);
  }
}

}  // namespace
}  // namespace orvo
