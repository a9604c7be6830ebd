// The installation marker on real files: staging into the candidate, the
// manifest entry, the change check, and its place in a real transaction.
#include <gtest/gtest.h>

#include "app/RealTransactionAdapter.h"
#include "tests/helpers/TxnManifest.h"
#include "tests/txn/TxnTestFiles.h"
#include "txn/FileTransaction.h"
#include "txn/InstallationMarker.h"
#include "txn/MarkerGrammar.h"

using namespace orvo;
using namespace orvo::test;

namespace {

const std::string CrLfMarker = "{\r\n  \"Product\" : \"q9-platform-202\" ,\r\n  \"Revision\" : 7\r\n}\r\n";

class InstallationMarker : public TempDirTest {
 protected:
  std::wstring root = temp / L"Games\\Platform";
  std::wstring candidate = temp / L"candidate";
  std::wstring installedMarker = root + L"\\platform-installation.json";
  std::wstring candidateMarker = candidate + L"\\platform-installation.json";

  void SetUp() override { writeTree(candidate, {{L"bin/q9.dll", "payload"}}); }

  std::string prepare(std::vector<TransactionEntry>& entries) {
    return messageOf([&] { prepareMarker(candidate, root, entries, fileDigest); });
  }
};

TEST_F(InstallationMarker, WithoutAMarkerTheCandidateGetsTheDefaultAndTheManifestListsItLast) {
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  entries.insert(entries.begin(), TransactionEntry{L"Platform-Installation.JSON", 99, std::wstring(64, L'e')});
  const MarkerSnapshot snapshot = prepareMarker(candidate, root, entries, fileDigest);
  EXPECT_FALSE(snapshot.existed);
  EXPECT_TRUE(snapshot.content.empty());
  EXPECT_EQ(readBytes(candidateMarker), "{\"Product\":\"q9-platform-202\"}\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].relativePath, L"bin/q9.dll");
  EXPECT_EQ(entries[1].relativePath, L"platform-installation.json");
  EXPECT_EQ(entries[1].size, 30u);
  EXPECT_EQ(entries[1].sha256, digestOfBytes(std::string(DefaultMarkerContent)));
}

TEST_F(InstallationMarker, AnExistingMarkerIsCarriedOverByteForByte) {
  writeTree(root, {{L"platform-installation.json", CrLfMarker}});
  writeTree(candidate, {{L"platform-installation.json", std::string(DefaultMarkerContent)}});
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  const MarkerSnapshot snapshot = prepareMarker(candidate, root, entries, fileDigest);
  EXPECT_TRUE(snapshot.existed);
  EXPECT_EQ(snapshot.content, CrLfMarker);
  EXPECT_EQ(readBytes(candidateMarker), CrLfMarker);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries.back().size, CrLfMarker.size());
  EXPECT_NO_THROW(verifyMarkerUnchanged(root, snapshot));
}

TEST_F(InstallationMarker, ForeignOrBrokenMarkersAreRefusedAndLeftAlone) {
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  const std::string foreign = "{\"Product\":\"someone-else\"}";
  writeTree(root, {{L"platform-installation.json", foreign}});
  EXPECT_EQ(prepare(entries), "Installation marker belongs to another product; existing file retained");
  EXPECT_EQ(readBytes(installedMarker), foreign);
  EXPECT_EQ(entries.size(), 1u);

  writeBytes(installedMarker, "{\"Product\":\"q9-platform-202\"}" + std::string(4097 - 29, ' '));
  EXPECT_EQ(prepare(entries), "Installation marker is missing or too large; existing file retained");
  std::filesystem::remove(std::filesystem::path(installedMarker));

  std::filesystem::create_directories(installedMarker);
  EXPECT_EQ(prepare(entries), "Installation marker is a directory; existing path retained");
  std::filesystem::remove(std::filesystem::path(installedMarker));

  writeBytes(candidateMarker, "{\"Product\":\"q9-platform-202\",\"Secret\":1}");
  EXPECT_EQ(prepare(entries), "Installation marker has private or unknown fields; existing file retained");
  EXPECT_FALSE(fileExists(installedMarker));
}

TEST_F(InstallationMarker, AMarkerReachedThroughALinkIsRefused) {
  std::filesystem::create_directories(temp / L"elsewhere");
  writeBytes(temp / L"elsewhere\\platform-installation.json", std::string(DefaultMarkerContent));
  std::filesystem::create_directories(temp / L"Games");
  makeDirectoryLink(root, temp / L"elsewhere");
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  EXPECT_EQ(prepare(entries), "Installation marker cannot use links; existing file retained");
  EXPECT_FALSE(probeMarker(candidateMarker));
}

TEST_F(InstallationMarker, AMarkerEditedDuringPreparationIsDetected) {
  writeTree(root, {{L"platform-installation.json", CrLfMarker}});
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  const auto verify = prepareRealMarker(candidate, root, entries);
  FileTransaction transaction(root, entries, fileDigest);
  transaction.prepare(candidate);
  writeBytes(installedMarker, "{\"Product\":\"q9-platform-202\",\"Revision\":8}\r\n");
  EXPECT_FAILS_WITH(verify(), "Installation marker changed during preparation; existing file retained");
  std::filesystem::remove(std::filesystem::path(installedMarker));
  EXPECT_FAILS_WITH(verify(), "Installation marker changed during preparation; existing file retained");
}

TEST_F(InstallationMarker, AMarkerThatAppearedAfterTheFirstStagingMakesTheCandidateDiffer) {
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  prepareMarker(candidate, root, entries, fileDigest);
  FileTransaction transaction(root, entries, fileDigest);
  writeTree(root, {{L"platform-installation.json", CrLfMarker}});
  prepareMarker(candidate, root, entries, fileDigest);
  EXPECT_FAILS_WITH(transaction.prepare(candidate), "Candidate file differs from manifest");
}

TEST_F(InstallationMarker, IsInstalledLastAndRestoredFirst) {
  writeTree(root, {{L"bin/q9.dll", "old payload"}});
  std::vector<TransactionEntry> entries = candidateManifest(candidate);
  prepareMarker(candidate, root, entries, fileDigest);
  std::vector<std::string> events;
  FileTransaction transaction(root, entries, fileDigest, {}, [&](const char* label, std::uint64_t index) {
    const std::string text(label);
    if (text == "before-replace" || text == "rolled-back-file") events.push_back(text + " " + std::to_string(index));
  });
  transaction.prepare(candidate);
  transaction.apply();
  transaction.rollback();
  EXPECT_EQ(events, (std::vector<std::string>{"before-replace 0", "before-replace 1", "rolled-back-file 1",
                                              "rolled-back-file 0"}));
  EXPECT_EQ(transaction.entries()[1].relativePath, L"platform-installation.json");
  EXPECT_FALSE(fileExists(installedMarker));
  EXPECT_EQ(readTree(root), (FileTree{{L"bin/q9.dll", "old payload"}}));
}

}  // namespace
