// The pipeline's real binding of the migration step drives the real migration.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/PipelineSteps.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

class RealMigrationBinding : public test::TempDirTest {
 protected:
  void SetUp() override {
    install = temp / L"install";
    ASSERT_TRUE(::CreateDirectoryW(install.c_str(), nullptr));
    token = test::makeDesktopToken();
  }
  std::wstring install;
  UniqueHandle token;
  std::unique_ptr<PipelineSteps> steps = makeRealPipelineSteps();
};

TEST_F(RealMigrationBinding, RunsAndCommitsWhenThereIsNothingToMigrate) {
  auto migration = steps->createMigration(install, token.get());
  EXPECT_FALSE(migration->run());
  migration->commit();
  EXPECT_FALSE(test::fileExists(install + L"\\.platform-migration-journal.bin"));
}

TEST_F(RealMigrationBinding, ReportsTheMigrationsOwnFailureAndRollsBackNothing) {
  test::writeBytes(install + L"\\.platform", "file");
  auto migration = steps->createMigration(install, token.get());
  try {
    migration->run();
    FAIL() << "a file in place of the platform data must stop the run";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Migration personal data is not an ordinary directory");
  }
  EXPECT_NO_THROW(migration->rollback());
  EXPECT_EQ(test::readBytes(install + L"\\.platform"), "file");
}

TEST_F(RealMigrationBinding, RefusesConstructionWithoutAToken) {
  try {
    steps->createMigration(install, nullptr);
    FAIL() << "construction without a token must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Migration desktop token unavailable");
  }
}

}  // namespace
}  // namespace orvo
