// The migration's security tools on real tokens, threads and directories.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "migration/MigrationJournal.h"
#include "migration/MigrationPaths.h"
#include "migration/MigrationSecurity.h"
#include "tests/migration/MigrationTestSupport.h"
#include "tests/support/TestSupport.h"

namespace orvo {
namespace {

using test::messageOf;

// The thread's impersonation token, or an empty handle with ERROR_NO_TOKEN.
UniqueHandle threadToken() {
  UniqueHandle token;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) token.reset();
  return token;
}

LUID tokenId(HANDLE token) {
  TOKEN_STATISTICS statistics{};
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenStatistics, &statistics, sizeof(statistics), &size)) {
    throw std::runtime_error("TokenStatistics unavailable");
  }
  return statistics.TokenId;
}

TEST(PrivateDescriptor, SpellsTheSddlWithTheUsersSidLast) {
  EXPECT_EQ(privateDescriptorSddl(L"S-1-5-21-1004336348-1177238915-682003330-1001"),
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1004336348-1177238915-682003330-1001)");
}

TEST(PrivateDescriptor, AdmitsSystemAdministratorsAndTheDesktopUserOnly) {
  UniqueHandle token = test::makeDesktopToken();
  const std::wstring sid = test::sidOfToken(token.get());
  EXPECT_EQ(migrationTokenUserSid(token.get()), sid);
  UniqueSecurityDescriptor descriptor = buildPrivateSecurityDescriptor(token.get());
  ASSERT_TRUE(descriptor.valid());
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 3);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  PSID owner = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  EXPECT_EQ(owner, nullptr);
}

TEST(PrivateDescriptor, RefusesAHandleThatIsNoToken) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(messageOf([&] { buildPrivateSecurityDescriptor(event.get()); }), "Migration user identity unavailable");
}

TEST(DesktopImpersonationScope, ActsAsTheUserInsideAndLeavesNoTokenAfter) {
  ASSERT_FALSE(threadToken().valid());
  UniqueHandle token = test::makeDesktopToken();
  {
    DesktopImpersonation asUser(token.get());
    UniqueHandle inside = threadToken();
    ASSERT_TRUE(inside.valid());
    EXPECT_EQ(test::sidOfToken(inside.get()), test::sidOfToken(token.get()));
  }
  EXPECT_FALSE(threadToken().valid());
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST(DesktopImpersonationScope, EndsWhenAnErrorLeavesTheScope) {
  UniqueHandle token = test::makeDesktopToken();
  EXPECT_THROW(
      {
        DesktopImpersonation asUser(token.get());
        throw std::runtime_error("step failed");
      },
      std::runtime_error);
  EXPECT_FALSE(threadToken().valid());
}

TEST(DesktopImpersonationScope, RestoresAnImpersonationThatWasAlreadyInForce) {
  ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
  UniqueHandle before = threadToken();
  ASSERT_TRUE(before.valid());
  const LUID earlier = tokenId(before.get());
  UniqueHandle token = test::makeDesktopToken();
  {
    DesktopImpersonation asUser(token.get());
    UniqueHandle inside = threadToken();
    ASSERT_TRUE(inside.valid());
    const LUID during = tokenId(inside.get());
    EXPECT_FALSE(during.LowPart == earlier.LowPart && during.HighPart == earlier.HighPart);
  }
  UniqueHandle after = threadToken();
  ASSERT_TRUE(after.valid());
  const LUID restored = tokenId(after.get());
  EXPECT_EQ(restored.LowPart, earlier.LowPart);
  EXPECT_EQ(restored.HighPart, earlier.HighPart);
  ::RevertToSelf();
}

TEST(DesktopImpersonationScope, FailsDeniedAndLeavesTheThreadAsItWas) {
  UniqueHandle notAToken(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(messageOf([&] { DesktopImpersonation asUser(notAToken.get()); }), "Migration desktop identity denied");
  EXPECT_FALSE(threadToken().valid());
}

// The calls that give the thread its identity back, refused as the system
// can refuse them in states a test cannot bring about.
BOOL WINAPI refuseRevertToSelf() {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI refuseSetThreadToken(PHANDLE, HANDLE) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

struct RefusedRestore {
  const char* label;
  ThreadIdentityCalls calls;
  bool impersonatingBefore;  // the scope then has a token to give back
};

class DesktopImpersonationRefused : public ::testing::TestWithParam<RefusedRestore> {};

// The caller's next step must not run as the wrong user: ending the scope
// throws instead of carrying on.
TEST_P(DesktopImpersonationRefused, StopsTheCallerWhenTheThreadCannotBeGivenBack) {
  if (GetParam().impersonatingBefore) {
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
  }
  UniqueHandle token = test::makeDesktopToken();
  std::string message;
  {
    DesktopImpersonation asUser(token.get());
    bindThreadIdentityCalls(&GetParam().calls);
    message = messageOf([&] { asUser.end(); });
    bindThreadIdentityCalls(nullptr);
  }
  ::RevertToSelf();
  EXPECT_EQ(message, "Migration identity unavailable");
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, DesktopImpersonationRefused,
    ::testing::Values(RefusedRestore{"RevertToSelf", {&refuseRevertToSelf, &::SetThreadToken}, false},
                      RefusedRestore{"SetThreadToken", {&::RevertToSelf, &refuseSetThreadToken}, true}),
    [](const ::testing::TestParamInfo<RefusedRestore>& info) { return std::string(info.param.label); });

class MigrationDacls : public test::TempDirTest {
 protected:
  void SetUp() override {
    directory = temp / L"object";
    ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
    handle = openMigrationPath(directory, WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE);
  }
  std::wstring directory;
  UniqueHandle handle;
};

TEST_F(MigrationDacls, AppliesThePrivateDaclProtected) {
  if (!test::platformStoresFileDacls()) GTEST_SKIP() << "this platform does not keep the DACL set on a directory";
  UniqueHandle token = test::makeDesktopToken();
  UniqueSecurityDescriptor descriptor = buildPrivateSecurityDescriptor(token.get());
  applyPrivateDacl(descriptor.get(), handle.get());
  EXPECT_EQ(test::daclOf(directory), test::splitDacl(privateDescriptorSddl(test::sidOfToken(token.get()))));
  EXPECT_TRUE(test::daclOf(directory).isProtected);
}

TEST_F(MigrationDacls, RefusesAPrivateDescriptorWithoutADacl) {
  UniqueLocal<PSECURITY_DESCRIPTOR> noDacl;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SY", SDDL_REVISION_1, noDacl.put(), nullptr));
  EXPECT_EQ(messageOf([&] { applyPrivateDacl(noDacl.get(), handle.get()); }), "Migration private ACL failed");
}

// A NULL DACL (everyone may do anything) has no ACL the journal could keep;
// a snapshot of it would be written and then refused by every later run. An
// event stands in for the link here: it keeps a NULL DACL where this
// platform's files may not.
TEST(MigrationAclSnapshot, RefusesADaclTheJournalCouldNotReadBack) {
  SECURITY_DESCRIPTOR nullDacl{};
  ASSERT_TRUE(::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &nullDacl, FALSE};
  UniqueHandle object(::CreateEventW(&attributes, TRUE, FALSE, nullptr));
  ASSERT_TRUE(object.valid());
  EXPECT_EQ(messageOf([&] { saveObjectDacl(object.get()); }), "Migration ACL snapshot failed");
}

TEST_F(MigrationDacls, SavesADaclOnlyDescriptorThatPassesTheJournalRules) {
  const auto saved = saveObjectDacl(handle.get());
  EXPECT_FALSE(saved.empty());
  EXPECT_TRUE(isValidSavedSecurityDescriptor(saved));
}

TEST_F(MigrationDacls, RestoresTheSavedDaclAfterThePrivateOne) {
  if (!test::platformStoresFileDacls()) GTEST_SKIP() << "this platform does not keep the DACL set on a directory";
  const auto bytes = test::descriptorFromSddl(L"D:(A;OICI;FA;;;SY)(A;;0x1200a9;;;WD)");
  restoreSavedDacl(handle.get(), bytes);
  const test::DaclText original = test::daclOf(directory);
  const auto saved = saveObjectDacl(handle.get());
  UniqueHandle token = test::makeDesktopToken();
  UniqueSecurityDescriptor descriptor = buildPrivateSecurityDescriptor(token.get());
  applyPrivateDacl(descriptor.get(), handle.get());
  ASSERT_NE(test::daclOf(directory), original);
  restoreSavedDacl(handle.get(), saved);
  EXPECT_EQ(test::daclOf(directory), original);
}

TEST_F(MigrationDacls, RestoresAProtectedDaclProtected) {
  if (!test::platformStoresFileDacls()) GTEST_SKIP() << "this platform does not keep the DACL set on a directory";
  restoreSavedDacl(handle.get(), test::descriptorFromSddl(L"D:P(A;;FA;;;WD)"));
  EXPECT_TRUE(test::daclOf(directory).isProtected) << test::daclSddlOf(directory);
  EXPECT_EQ(test::daclOf(directory).entries, L"(A;;FA;;;WD)");
}

TEST_F(MigrationDacls, RestoresAnUnprotectedDaclUnprotected) {
  if (!test::platformStoresFileDacls()) GTEST_SKIP() << "this platform does not keep the DACL set on a directory";
  UniqueHandle token = test::makeDesktopToken();
  UniqueSecurityDescriptor descriptor = buildPrivateSecurityDescriptor(token.get());
  applyPrivateDacl(descriptor.get(), handle.get());
  restoreSavedDacl(handle.get(), test::descriptorFromSddl(L"D:(A;;FA;;;WD)"));
  const test::DaclText now = test::daclOf(directory);
  EXPECT_FALSE(now.isProtected) << test::daclSddlOf(directory);
  EXPECT_EQ(now.entries.rfind(L"(A;;FA;;;WD)", 0), 0u) << test::daclSddlOf(directory);
}

TEST_F(MigrationDacls, RefusesToRestoreAnInvalidSavedDescriptor) {
  const std::wstring before = test::daclSddlOf(directory);
  EXPECT_EQ(messageOf([&] { restoreSavedDacl(handle.get(), test::descriptorFromSddl(L"O:SYD:(A;;FA;;;WD)")); }),
            "Migration saved ACL invalid");
  EXPECT_EQ(messageOf([&] { restoreSavedDacl(handle.get(), {}); }), "Migration saved ACL invalid");
  EXPECT_EQ(test::daclSddlOf(directory), before);
}

}  // namespace
}  // namespace orvo
