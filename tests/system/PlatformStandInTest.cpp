// The platform program of the payload, run for real under Wine in each of its
// modes (what the installer relies on), and the faulty variants the installer's
// tests put in its place, each showing exactly its one fault.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "tests/support/TestSupport.h"
#include "tools/payload/PlatformStandIn.h"

using namespace orvo;
using namespace orvo::test;
using namespace std::chrono_literals;

namespace {

constexpr DWORD kModifyMask = 0x1301BF;  // read, write, execute and delete
// A SID of nobody on this machine: configuration must grant whoever the file names.
constexpr char kRecordedSid[] = "S-1-5-21-1111-2222-3333-1234";

std::wstring builtPlatformProgram() { return joinPath(buildDirectory(), L"tools\\payload\\OrvoQ9.exe"); }

// The program copied into `directory`, because configuration works beside the program.
std::wstring installCopy(const std::wstring& program, const std::wstring& directory, const std::wstring& name) {
  const std::wstring target = joinPath(directory, name);
  if (!::CopyFileW(program.c_str(), target.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + wideToUtf8(program));
  }
  return target;
}

struct Outcome {
  DWORD exitCode = 0;
  std::string output;  // standard output and standard error together
};

// Runs `commandLine` to its end with both output streams on one pipe.
Outcome runCapturing(const std::wstring& program, const std::wstring& commandLine,
                     const std::wstring& workingDirectory = L"") {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
  if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION info{};
  std::wstring line = commandLine;
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
    throw std::runtime_error("cannot start " + wideToUtf8(program));
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  writeEnd.reset();
  Outcome outcome;
  char chunk[4096];
  DWORD read = 0;
  while (::ReadFile(readEnd.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) outcome.output.append(chunk, read);
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 1);
    throw std::runtime_error("timed out: " + wideToUtf8(program));
  }
  ::GetExitCodeProcess(process.get(), &outcome.exitCode);
  return outcome;
}

Outcome runWithArguments(const std::wstring& program, const std::wstring& arguments,
                         const std::wstring& workingDirectory = L"") {
  return runCapturing(program, L"\"" + program + L"\" " + arguments, workingDirectory);
}

std::wstring inQuotes(const std::wstring& path) { return L"\"" + path + L"\""; }

// This test process's own user, read independently of the program under test.
std::string currentUserSidText() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) throw std::runtime_error("no token");
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) throw std::runtime_error("no user");
  UniqueLocal<wchar_t*> text;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put())) {
    throw std::runtime_error("no SID text");
  }
  return wideToUtf8(text.get());
}

struct Grant {
  bool found = false;
  DWORD mask = 0;
  BYTE flags = 0;
};

UniqueLocal<PSID> sidOf(const std::string& sidText) {
  UniqueLocal<PSID> sid;
  if (!::ConvertStringSidToSidW(utf8ToWide(sidText).c_str(), sid.put())) throw std::runtime_error("bad SID");
  return sid;
}

// The explicit (not inherited) allow entries for `sidText` in `acl`, merged.
Grant explicitGrantIn(PACL acl, const std::string& sidText) {
  const UniqueLocal<PSID> sid = sidOf(sidText);
  Grant grant;
  for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(acl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERITED_ACE)) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!::EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sid.get())) continue;
    grant.found = true;
    grant.mask |= allowed->Mask;
    grant.flags |= header->AceFlags;
  }
  return grant;
}

Grant explicitGrantOn(const std::wstring& directory, const std::string& sidText) {
  PACL dacl = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, descriptor.put()) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot read the access list of " + wideToUtf8(directory));
  }
  return explicitGrantIn(dacl, sidText);
}

// A fresh access list with one plain (not inheritable) allow entry.
UniqueLocal<PACL> aclGranting(const std::string& sidText, DWORD mask) {
  const UniqueLocal<PSID> sid = sidOf(sidText);
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = mask;
  access.grfAccessMode = GRANT_ACCESS;
  ::BuildTrusteeWithSidW(&access.Trustee, sid.get());
  UniqueLocal<PACL> acl;
  if (::SetEntriesInAclW(1, &access, nullptr, acl.put()) != ERROR_SUCCESS) throw std::runtime_error("SetEntriesInAclW");
  return acl;
}

void expectInheritableModify(const Grant& grant) {
  ASSERT_TRUE(grant.found) << "no explicit allow entry";
  EXPECT_EQ(grant.mask & kModifyMask, kModifyMask);
  EXPECT_TRUE(grant.flags & OBJECT_INHERIT_ACE);
  EXPECT_TRUE(grant.flags & CONTAINER_INHERIT_ACE);
}

// Whether this platform keeps an access list written to a directory. Wine 8
// keeps only the Unix mode bits, so there a grant can be made but never read back.
bool platformStoresDirectoryAccessLists(const std::wstring& scratch) {
  const std::wstring probe = joinPath(scratch, L"acl-probe");
  ::CreateDirectoryW(probe.c_str(), nullptr);
  const std::string probeSid = "S-1-5-21-4444-5555-6666-4321";
  const UniqueLocal<PACL> acl = aclGranting(probeSid, 0x1200A9);
  if (::SetNamedSecurityInfoW(const_cast<wchar_t*>(probe.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, acl.get(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return explicitGrantOn(probe, probeSid).found;
}

constexpr char kNoStoredAccessLists[] =
    "this platform keeps no access list on directories (Wine: Unix mode bits only); the grant the program "
    "writes is covered by PlatformAccessGrant";

class PlatformStandIn : public TempDirTest {
 protected:
  void SetUp() override {
    installDirectory = temp / L"install";
    identityDirectory = temp / L"q9-install-identity";
    ::CreateDirectoryW(installDirectory.c_str(), nullptr);
    ::CreateDirectoryW(identityDirectory.c_str(), nullptr);
    program = installCopy(builtPlatformProgram(), installDirectory, L"OrvoQ9.exe");
    sidFile = joinPath(identityDirectory, L"installer-user.sid");
    dataDirectory = joinPath(installDirectory, L".platform");
  }

  Outcome record(const std::wstring& path) {
    return runWithArguments(program, L"--record-install-user " + inQuotes(path), installDirectory);
  }
  Outcome configure(const std::wstring& path) {
    return runWithArguments(program, L"--configure-platform-install " + inQuotes(path), installDirectory);
  }

  std::wstring installDirectory;
  std::wstring identityDirectory;
  std::wstring program;
  std::wstring sidFile;
  std::wstring dataDirectory;
};

TEST_F(PlatformStandIn, RecordingWritesTheRunningUsersSidFollowedByOneLineFeed) {
  const Outcome outcome = record(sidFile);
  ASSERT_EQ(outcome.exitCode, 0u) << outcome.output;
  EXPECT_EQ(readBytes(sidFile), currentUserSidText() + "\n");
  EXPECT_EQ(currentUserSidText().rfind("S-1-", 0), 0u);
}

TEST_F(PlatformStandIn, RecordingReplacesWhateverTheFileHeldBefore) {
  writeBytes(sidFile, std::string(200, 'x') + "\r\n");
  ASSERT_EQ(record(sidFile).exitCode, 0u);
  EXPECT_EQ(readBytes(sidFile), currentUserSidText() + "\n");
}

TEST_F(PlatformStandIn, RecordingIntoAMissingDirectoryFailsWithAMessage) {
  const Outcome outcome = record(temp / L"absent\\installer-user.sid");
  EXPECT_NE(outcome.exitCode, 0u);
  EXPECT_EQ(outcome.output.rfind("OrvoQ9: cannot create ", 0), 0u) << outcome.output;
}

TEST_F(PlatformStandIn, ConfiguringCreatesThePlatformDirectoryBesideTheProgramNotInTheWorkingDirectory) {
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  const Outcome outcome = runWithArguments(program, L"--configure-platform-install " + inQuotes(sidFile), temp.path());
  ASSERT_EQ(outcome.exitCode, 0u) << outcome.output;
  EXPECT_TRUE(directoryExists(dataDirectory));
  EXPECT_FALSE(directoryExists(temp / L".platform"));
}

TEST_F(PlatformStandIn, ConfiguringGrantsTheRecordedUserInheritableModifyRights) {
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  ASSERT_EQ(configure(sidFile).exitCode, 0u);
  if (!platformStoresDirectoryAccessLists(temp.path())) GTEST_SKIP() << kNoStoredAccessLists;
  expectInheritableModify(explicitGrantOn(dataDirectory, kRecordedSid));
}

TEST_F(PlatformStandIn, ConfiguringAcceptsASidFileWithoutTheFinalLineFeed) {
  writeBytes(sidFile, kRecordedSid);
  const Outcome outcome = configure(sidFile);
  EXPECT_EQ(outcome.exitCode, 0u) << outcome.output;
  EXPECT_TRUE(directoryExists(dataDirectory));
}

TEST_F(PlatformStandIn, ConfiguringAfterRecordingGrantsTheUserWhoRecorded) {
  ASSERT_EQ(record(sidFile).exitCode, 0u);
  ASSERT_EQ(configure(sidFile).exitCode, 0u);
  if (!platformStoresDirectoryAccessLists(temp.path())) GTEST_SKIP() << kNoStoredAccessLists;
  expectInheritableModify(explicitGrantOn(dataDirectory, currentUserSidText()));
}

TEST_F(PlatformStandIn, ConfiguringKeepsAnExistingPlatformDirectoryAndItsContent) {
  ::CreateDirectoryW(dataDirectory.c_str(), nullptr);
  writeBytes(joinPath(dataDirectory, L"installer-files.tsv"), "kept\r\n");
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  ASSERT_EQ(configure(sidFile).exitCode, 0u);
  EXPECT_EQ(readBytes(joinPath(dataDirectory, L"installer-files.tsv")), "kept\r\n");
}

TEST_F(PlatformStandIn, ConfiguringRefusesIdentityFilesThatHoldNoSidAndCreatesNothing) {
  const std::string sid(kRecordedSid);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"text", "not a sid\n"},
      {"CR LF", sid + "\r\n"},
      {"two lines", sid + "\nS-1-5-18\n"},
      {"abbreviation", "BA\n"},
      {"byte-order mark", "\xEF\xBB\xBF" + sid + "\n"},
      {"leading space", " " + sid + "\n"},
      {"oversized", sid + std::string(300, '0') + "\n"},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    writeBytes(sidFile, content);
    const Outcome outcome = configure(sidFile);
    EXPECT_NE(outcome.exitCode, 0u);
    EXPECT_EQ(outcome.output.rfind("OrvoQ9: ", 0), 0u) << outcome.output;
    EXPECT_FALSE(directoryExists(dataDirectory));
  }
}

TEST_F(PlatformStandIn, ConfiguringWithAMissingIdentityFileFailsAndCreatesNothing) {
  const Outcome outcome = configure(joinPath(identityDirectory, L"absent.sid"));
  EXPECT_NE(outcome.exitCode, 0u);
  EXPECT_EQ(outcome.output.rfind("OrvoQ9: cannot open ", 0), 0u) << outcome.output;
  EXPECT_FALSE(directoryExists(dataDirectory));
}

TEST_F(PlatformStandIn, ConfiguringRefusesAPlatformPathThatIsAFile) {
  writeBytes(dataDirectory, "a file");
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  const Outcome outcome = configure(sidFile);
  EXPECT_NE(outcome.exitCode, 0u);
  EXPECT_NE(outcome.output.find("is not a directory"), std::string::npos) << outcome.output;
  EXPECT_EQ(readBytes(dataDirectory), "a file");
}

TEST_F(PlatformStandIn, ConfiguringNeverGrantsRightsThroughALinkedPlatformDirectory) {
  const std::wstring elsewhere = temp / L"elsewhere";
  ::CreateDirectoryW(elsewhere.c_str(), nullptr);
  makeDirectoryLink(dataDirectory, elsewhere);
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  const Outcome outcome = configure(sidFile);
  EXPECT_NE(outcome.exitCode, 0u);
  EXPECT_NE(outcome.output.find("is a link; not configured"), std::string::npos) << outcome.output;
  EXPECT_TRUE(directoryExists(elsewhere));
}

TEST_F(PlatformStandIn, UnknownOptionsAndIncompleteCommandLinesAreRefusedAsUsageErrors) {
  const std::vector<std::wstring> commandLines = {
      L"--bogus " + inQuotes(sidFile),
      L"--record-install-user",
      L"--record-install-user \"\"",
      L"--configure-platform-install " + inQuotes(sidFile) + L" extra",
  };
  for (const std::wstring& arguments : commandLines) {
    SCOPED_TRACE(wideToUtf8(arguments));
    const Outcome outcome = runWithArguments(program, arguments, installDirectory);
    EXPECT_EQ(outcome.exitCode, 2u);
    EXPECT_EQ(outcome.output.rfind("OrvoQ9: ", 0), 0u) << outcome.output;
    EXPECT_FALSE(fileExists(sidFile));
    EXPECT_FALSE(directoryExists(dataDirectory));
  }
}

TEST_F(PlatformStandIn, WithoutArgumentsTheOrvoGameWindowStaysUntilClosed) {
  // The launch after install: the quoted program path and one space, nothing else.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION info{};
  std::wstring line = inQuotes(program) + L" ";
  ASSERT_TRUE(::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               installDirectory.c_str(), &startup, &info));
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  const HWND window = waitForTopLevelWindow(info.dwProcessId, L"", L"orvo game", 60s);
  if (window == nullptr) ::TerminateProcess(process.get(), 1);
  ASSERT_NE(window, nullptr) << "no visible window titled \"orvo game\"";
  EXPECT_EQ(::WaitForSingleObject(process.get(), 1500), static_cast<DWORD>(WAIT_TIMEOUT)) << "the platform ended by itself";
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 1;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(directoryExists(dataDirectory));
}

// The access list the program writes, built from real system calls but
// without a directory, so it is checked where directories keep no access list.
TEST(PlatformAccessGrant, AddsAnInheritableModifyEntryAndKeepsTheExistingOnes) {
  const UniqueLocal<PACL> existing = aclGranting("S-1-1-0", 0x1200A9);
  const UniqueLocal<PACL> merged = platform::buildModifyGrant(existing.get(), sidOf(kRecordedSid).get());
  expectInheritableModify(explicitGrantIn(merged.get(), kRecordedSid));
  EXPECT_EQ(explicitGrantIn(merged.get(), "S-1-1-0").mask, 0x1200A9u);
}

TEST(PlatformAccessGrant, WidensAnEntryTheUserAlreadyHasToModify) {
  const UniqueLocal<PACL> existing = aclGranting(kRecordedSid, 0x1200A9);
  ASSERT_EQ(explicitGrantIn(existing.get(), kRecordedSid).mask & kModifyMask, 0x1200A9u);

  const UniqueLocal<PACL> merged = platform::buildModifyGrant(existing.get(), sidOf(kRecordedSid).get());
  expectInheritableModify(explicitGrantIn(merged.get(), kRecordedSid));
}

// The variants live in the test tree; each is copied beside its own identity
// directory so that nothing lands in the build tree.
class PlatformFaultVariant : public PlatformStandIn {
 protected:
  std::wstring variant(const std::wstring& name) {
    return installCopy(helperProgram(name), installDirectory, name + L".exe");
  }
};

TEST_F(PlatformFaultVariant, Exit3ExitsWithThreeAndRecordsNothing) {
  const std::wstring exit3 = variant(L"PlatformExit3");
  EXPECT_EQ(runWithArguments(exit3, L"--record-install-user " + inQuotes(sidFile)).exitCode, 3u);
  EXPECT_FALSE(fileExists(sidFile));
  writeBytes(sidFile, std::string(kRecordedSid) + "\n");
  EXPECT_EQ(runWithArguments(exit3, L"--configure-platform-install " + inQuotes(sidFile)).exitCode, 3u);
  EXPECT_FALSE(directoryExists(dataDirectory));
}

TEST_F(PlatformFaultVariant, HangNeverEndsByItselfAndRecordsNothing) {
  ChildProcess hang = ChildProcess::start(variant(L"PlatformHang"), L"--record-install-user " + inQuotes(sidFile));
  EXPECT_EQ(hang.waitExit(3s), -1);
  hang.terminate();
  EXPECT_FALSE(fileExists(sidFile));
}

TEST_F(PlatformFaultVariant, WrongSidRecordsAWellFormedSidOfAnotherAccount) {
  ASSERT_EQ(runWithArguments(variant(L"PlatformWrongSid"), L"--record-install-user " + inQuotes(sidFile)).exitCode, 0u);
  const std::string recorded = readBytes(sidFile);
  const std::string own = currentUserSidText();
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded.back(), '\n');
  EXPECT_EQ(recorded.find('\r'), std::string::npos);
  EXPECT_NE(recorded, own + "\n");
  // Same domain, another account: only the last sub-authority differs.
  EXPECT_EQ(recorded.substr(0, recorded.rfind('-')), own.substr(0, own.rfind('-')));
  UniqueLocal<PSID> sid;
  EXPECT_TRUE(::ConvertStringSidToSidW(utf8ToWide(recorded.substr(0, recorded.size() - 1)).c_str(), sid.put()));
}

TEST_F(PlatformFaultVariant, WrongSidStillConfiguresForTheSidItRecorded) {
  const std::wstring wrongSid = variant(L"PlatformWrongSid");
  ASSERT_EQ(runWithArguments(wrongSid, L"--record-install-user " + inQuotes(sidFile)).exitCode, 0u);
  ASSERT_EQ(runWithArguments(wrongSid, L"--configure-platform-install " + inQuotes(sidFile)).exitCode, 0u);
  EXPECT_TRUE(directoryExists(dataDirectory));
  if (!platformStoresDirectoryAccessLists(temp.path())) GTEST_SKIP() << kNoStoredAccessLists;
  const std::string recorded = readBytes(sidFile);
  expectInheritableModify(explicitGrantOn(dataDirectory, recorded.substr(0, recorded.size() - 1)));
}

TEST_F(PlatformFaultVariant, CrLfSidRecordsTheRunningUsersSidFollowedByCrLf) {
  ASSERT_EQ(runWithArguments(variant(L"PlatformCrLfSid"), L"--record-install-user " + inQuotes(sidFile)).exitCode, 0u);
  EXPECT_EQ(readBytes(sidFile), currentUserSidText() + "\r\n");
}

}  // namespace
