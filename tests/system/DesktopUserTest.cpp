// The desktop user's token, its SID, directory grants and the platform program
// runs, for real under the test desktop shell with the test platform program.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "common/PrivateDirectory.h"
#include "common/ScopeExit.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/Sha256.h"
#include "system/DesktopUser.h"
#include "system/PlatformRunLimits.h"
#include "tests/system/SystemTestSupport.h"

namespace orvo {
namespace {

using test::TempDirTest;

std::wstring ownSid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) throw std::runtime_error("own token");
  return tokenUserSid(token.get());
}

void requireDesktopShell() {
  ASSERT_NE(::GetShellWindow(), nullptr) << "the test desktop shell is not running (tools/testenv/start.sh)";
}

TEST(DesktopUserToken, IsAPrimaryTokenOfTheShellWindowsOwner) {
  requireDesktopShell();
  const UniqueHandle token = getDesktopUserToken();
  ASSERT_TRUE(token);
  TOKEN_TYPE type{};
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.get(), TokenType, &type, sizeof type, &size));
  EXPECT_EQ(type, TokenPrimary);

  DWORD shellProcessId = 0;
  ::GetWindowThreadProcessId(::GetShellWindow(), &shellProcessId);
  UniqueHandle shell(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellProcessId));
  ASSERT_TRUE(shell);
  UniqueHandle shellToken;
  ASSERT_TRUE(::OpenProcessToken(shell.get(), TOKEN_QUERY, shellToken.put()));
  EXPECT_EQ(tokenUserSid(token.get()), tokenUserSid(shellToken.get()));
}

class DesktopUserTokenElsewhere : public TempDirTest {};

TEST_F(DesktopUserTokenElsewhere, FailsOnADesktopWithoutAShellWindow) {
  // A window station of its own has no shell window; a process started on
  // its desktop asks. The station stays open until the process has ended.
  HWINSTA station = ::CreateWindowStationW(L"OrvoSystemTestNoShell", 0, GENERIC_ALL, nullptr);
  ASSERT_NE(station, nullptr);
  ScopeExit closeStation([station] { ::CloseWindowStation(station); });
  HWINSTA original = ::GetProcessWindowStation();
  ASSERT_TRUE(::SetProcessWindowStation(station));
  HDESK desktop = ::CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  ::SetProcessWindowStation(original);
  ASSERT_NE(desktop, nullptr);
  ScopeExit closeDesktop([desktop] { ::CloseDesktop(desktop); });

  const std::wstring result = temp / L"identity.txt";
  std::wstring commandLine = L"\"" + test::helperProgram(L"SystemDesktopIdentity") + L"\" \"" + result + L"\"";
  std::wstring desktopName = L"OrvoSystemTestNoShell\\Default";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktopName.data();
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  const std::string outcome = test::readBytes(result);
  if (outcome.rfind("ok ", 0) == 0) {
    GTEST_SKIP() << "this platform shows one shell window on every window station (Wine)";
  }
  EXPECT_EQ(outcome, "无法获取桌面用户身份");
}

TEST_F(DesktopUserTokenElsewhere, NamesTheShellsUserFromAnotherProcess) {
  requireDesktopShell();
  const std::wstring result = temp / L"identity.txt";
  ASSERT_EQ(test::runToExit(test::helperProgram(L"SystemDesktopIdentity"), L"\"" + result + L"\""), 0u);
  EXPECT_EQ(test::readBytes(result), "ok " + wideToUtf8(ownSid()));
}

TEST(TokenUserSid, NamesTheTokensUserInStringForm) {
  UniqueHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
  const std::wstring sid = tokenUserSid(token.get());
  ASSERT_EQ(sid.rfind(L"S-1-", 0), 0u) << wideToUtf8(sid);

  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size));
  UniqueLocal<PSID> parsed;
  ASSERT_TRUE(::ConvertStringSidToSidW(sid.c_str(), parsed.put()));
  EXPECT_TRUE(::EqualSid(parsed.get(), reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid));
}

TEST(TokenUserSid, FailsForAHandleThatIsNoToken) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  try {
    tokenUserSid(event.get());
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "无法验证桌面用户身份");
  }
}

// The explicit allow entries of the directory's DACL: (SID text, mask, flags).
struct AllowEntry {
  std::wstring sid;
  DWORD mask;
  BYTE flags;
};

std::vector<AllowEntry> allowEntries(const std::wstring& directory) {
  PACL dacl = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, descriptor.put()) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot read the DACL");
  }
  std::vector<AllowEntry> entries;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) continue;
    const auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    UniqueLocal<wchar_t*> text;
    ::ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), text.put());
    entries.push_back(AllowEntry{text ? text.get() : L"", allowed->Mask, header->AceFlags});
  }
  return entries;
}

bool hasGrant(const std::vector<AllowEntry>& entries, const std::wstring& sid, DWORD mask) {
  for (const auto& entry : entries) {
    if (entry.sid == sid && (entry.mask & mask) == mask &&
        (entry.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
      return true;
    }
  }
  return false;
}

class GrantDirectoryAccess : public TempDirTest {};

TEST_F(GrantDirectoryAccess, AddsAnInheritedGrantForTheUserAndKeepsEarlierEntries) {
  const std::wstring directory = temp / L"work";
  ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
  const std::wstring everyone = L"S-1-1-0";
  grantDirectoryAccess(directory, everyone, kReadExecuteAccess);
  if (!hasGrant(allowEntries(directory), everyone, kReadExecuteAccess)) {
    GTEST_SKIP() << "this file system does not keep the DACLs Wine stores (no extended attributes)";
  }
  const std::wstring user = ownSid();
  grantDirectoryAccess(directory, user, kModifyAccess);
  const auto entries = allowEntries(directory);
  EXPECT_TRUE(hasGrant(entries, user, kModifyAccess));
  EXPECT_TRUE(hasGrant(entries, everyone, kReadExecuteAccess)) << "the earlier grant was replaced, not merged";
}

TEST_F(GrantDirectoryAccess, RefusesASidTextThatDoesNotConvert) {
  try {
    grantDirectoryAccess(temp.path(), L"S-1-not-a-sid", kModifyAccess);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "无法准备安装身份目录");
  }
}

// The grant goes to the directory that is there, never through a link put in
// its place: the link's target would get the rights.
enum class GrantTarget { Missing, File, LinkToDirectory };

class GrantRefusal : public TempDirTest, public ::testing::WithParamInterface<GrantTarget> {};

TEST_P(GrantRefusal, FailsWithoutGrantingAnything) {
  const std::wstring target = temp / L"work";
  const std::wstring elsewhere = temp / L"elsewhere";
  ASSERT_TRUE(::CreateDirectoryW(elsewhere.c_str(), nullptr));
  if (GetParam() == GrantTarget::File) test::writeBytes(target, "a file");
  if (GetParam() == GrantTarget::LinkToDirectory) test::makeDirectoryLink(target, elsewhere);
  try {
    grantDirectoryAccess(target, ownSid(), kModifyAccess);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "无法准备安装身份目录权限");
  }
  if (GetParam() == GrantTarget::LinkToDirectory) test::removeDirectoryLink(target);
}

INSTANTIATE_TEST_SUITE_P(Rows, GrantRefusal,
                         ::testing::Values(GrantTarget::Missing, GrantTarget::File, GrantTarget::LinkToDirectory),
                         [](const auto& info) {
                           switch (info.param) {
                             case GrantTarget::Missing: return std::string("Missing");
                             case GrantTarget::File: return std::string("File");
                             default: return std::string("LinkToDirectory");
                           }
                         });

// The work directory is made private (protected, nothing inherited from the
// user's temp folder); granting the user read access must not unprotect it,
// which would pull the temp folder's entries (the user's full control) in.
TEST_F(GrantDirectoryAccess, KeepsAPrivateDirectoryProtected) {
  const std::wstring directory = temp / L"work";
  createPrivateDirectory(directory);
  // A SID no mode bits map to: only a stored access list can show it.
  const std::wstring desktopUser = L"S-1-5-21-4444-5555-6666-4321";
  grantDirectoryAccess(directory, desktopUser, kReadExecuteAccess);
  if (!hasGrant(allowEntries(directory), desktopUser, kReadExecuteAccess)) {
    GTEST_SKIP() << "this file system keeps no access lists (Wine without extended attributes derives them from "
                    "the mode bits), so the private list and its protection cannot be read back";
  }
  PACL dacl = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  ASSERT_EQ(::GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, descriptor.put()),
            static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    EXPECT_FALSE(ace->AceFlags & INHERITED_ACE) << "entry " << i << " came from the temp folder";
  }
  EXPECT_FALSE(hasGrant(allowEntries(directory), ownSid(), kModifyAccess)) << "the user may change the directory";
}

TEST(PlatformCommandLine, QuotesTheProgramAndEndsInASpaceWithoutArguments) {
  EXPECT_EQ(platformCommandLine(L"C:\\orvo game\\OrvoQ9.exe", L""), L"\"C:\\orvo game\\OrvoQ9.exe\" ");
  EXPECT_EQ(platformCommandLine(L"C:\\p\\OrvoQ9.exe", L"--record-install-user \"C:\\t\\installer-user.sid\""),
            L"\"C:\\p\\OrvoQ9.exe\" --record-install-user \"C:\\t\\installer-user.sid\"");
}

TEST(PlatformRunFailure, JoinsLabelTextAndTheCodeInUnsignedDecimal) {
  EXPECT_EQ(platformRunFailure(L"记录安装用户", 2), "记录安装用户失败，错误码 2");
  EXPECT_EQ(platformRunFailure(L"配置平台数据目录", 0xC0000005), "配置平台数据目录失败，错误码 3221225477");
}

// The test platform program in a directory of its own, run there.
class PlatformRun : public TempDirTest {
 protected:
  void SetUp() override {
    program = temp / L"OrvoQ9.exe";
    test::copyFileOrThrow(test::helperProgram(L"SystemPlatform"), program);
    expected = ManifestEntry{L"OrvoQ9.exe", sha256File(program), std::filesystem::file_size(program)};
    ::SetEnvironmentVariableW(L"ORVO_SYSTEM_TEST_PARENT", L"1");
  }
  void setMode(const std::string& mode) { test::writeBytes(temp / L"system-platform-mode.txt", mode); }
  // The lines the program logged: step, pid, environment, command line.
  std::vector<std::vector<std::string>> runs() {
    std::vector<std::vector<std::string>> lines;
    const std::wstring log = temp / L"system-platform-runs.txt";
    if (!test::fileExists(log)) return lines;
    std::istringstream text(test::readBytes(log));
    for (std::string line; std::getline(text, line);) {
      std::vector<std::string> fields;
      std::istringstream parts(line);
      for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
      lines.push_back(fields);
    }
    return lines;
  }
  std::string runError(const std::wstring& arguments, bool wait, HANDLE token, const PlatformRunLimits& limits = {}) {
    try {
      runPlatformProgramWithin(program, expected, arguments, temp.path(), wait, token, L"记录安装用户", limits);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "";
  }
  std::wstring program;
  ManifestEntry expected;  // the program as copied
};

TEST_F(PlatformRun, RecordsTheDesktopUserWithTheUsersOwnEnvironmentAndReturnsItsProcessId) {
  requireDesktopShell();
  const UniqueHandle token = getDesktopUserToken();
  const std::wstring sidFile = temp / L"installer-user.sid";
  const std::wstring arguments = L"--record-install-user \"" + sidFile + L"\"";
  const DWORD pid =
      runPlatformProgram(program, expected, arguments, temp.path(), true, token.get(), L"记录安装用户");
  EXPECT_EQ(test::readBytes(sidFile), wideToUtf8(tokenUserSid(token.get())));
  const auto lines = runs();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][1], std::to_string(pid));
  EXPECT_EQ(lines[0][2], "own-environment") << "the installer's environment leaked into the user's run";
  EXPECT_EQ(lines[0][3], wideToUtf8(platformCommandLine(program, arguments)));
}

TEST_F(PlatformRun, ConfiguresAsTheInstallerWithItsEnvironment) {
  const std::wstring sidFile = temp / L"installer-user.sid";
  test::writeBytes(sidFile, wideToUtf8(ownSid()) + "\n");
  runPlatformProgram(program, expected, L"--configure-platform-install \"" + sidFile + L"\"", temp.path(), true,
                     nullptr, L"配置平台数据目录");
  const auto lines = runs();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][0], "--configure-platform-install");
  EXPECT_EQ(lines[0][2], "inherited");
}

TEST_F(PlatformRun, ReportsANonZeroExitWithTheLabelAndTheCode) {
  setMode("exit3");
  EXPECT_EQ(runError(L"--record-install-user \"x.sid\"", true, nullptr), "记录安装用户失败，错误码 3");
}

TEST_F(PlatformRun, TerminatesAProgramThatOutlivesItsLimit) {
  setMode("hang");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(runError(L"--record-install-user \"x.sid\"", true, nullptr, PlatformRunLimits{1500, 10000}),
            "安装配置超时，请重试");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  const auto lines = runs();
  ASSERT_EQ(lines.size(), 1u);
  const DWORD pid = static_cast<DWORD>(std::stoul(lines[0][1]));
  UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (process) {
    EXPECT_EQ(::WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0) << "the hanging program is still running";
  }
}

TEST_F(PlatformRun, ReportsAProgramThatCannotStart) {
  // The very file the manifest lists, but no program.
  test::writeBytes(program, "not a program");
  expected = ManifestEntry{L"OrvoQ9.exe", sha256File(program), 13};
  EXPECT_EQ(runError(L"", true, nullptr), "无法启动安装配置程序");
}

// What lies at the program's place after the install may have been put there
// by the user the installer runs over; only the listed file may start.
enum class ProgramSwap { OneByteChanged, Directory, Missing };
constexpr const char* kProgramSwapNames[] = {"OneByteChanged", "Directory", "Missing"};

void PrintTo(ProgramSwap swap, std::ostream* out) { *out << kProgramSwapNames[static_cast<int>(swap)]; }

class PlatformRunOfSwappedProgram : public PlatformRun, public ::testing::WithParamInterface<ProgramSwap> {};

TEST_P(PlatformRunOfSwappedProgram, IsRefusedAndNothingStarts) {
  ASSERT_TRUE(::DeleteFileW(program.c_str()));
  switch (GetParam()) {
    case ProgramSwap::OneByteChanged: {
      // Same size, another program: only the digest tells.
      std::string bytes = test::readBytes(test::helperProgram(L"SystemPlatform"));
      bytes[bytes.size() - 1] ^= 0x01;
      test::writeBytes(program, bytes);
      break;
    }
    case ProgramSwap::Directory:
      ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
      break;
    case ProgramSwap::Missing:
      break;
  }
  EXPECT_EQ(runError(L"--configure-platform-install \"x.sid\"", true, nullptr),
            "平台文件校验失败：OrvoQ9.exe");
  EXPECT_TRUE(runs().empty()) << "a program other than the listed one ran";
}

INSTANTIATE_TEST_SUITE_P(Rows, PlatformRunOfSwappedProgram,
                         ::testing::Values(ProgramSwap::OneByteChanged, ProgramSwap::Directory, ProgramSwap::Missing),
                         [](const auto& info) {
                           return std::string(kProgramSwapNames[static_cast<int>(info.param)]);
                         });

TEST_F(PlatformRun, VerifiedProgramCannotBeChangedRenamedOrDeletedWhileHeld) {
  const UniqueHandle held = openVerifiedProgram(program, expected);
  EXPECT_FALSE(::MoveFileExW(program.c_str(), (program + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(::DeleteFileW(program.c_str()));
  UniqueHandle writer(::CreateFileW(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer.valid());
  EXPECT_EQ(sha256File(program), expected.sha256);
}

TEST_F(PlatformRun, LaunchesAsTheDesktopUserWithoutWaiting) {
  requireDesktopShell();
  const UniqueHandle token = getDesktopUserToken();
  const auto started = std::chrono::steady_clock::now();
  const DWORD pid = runPlatformProgram(program, expected, L"", temp.path(), false, token.get(), L"安装配置");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(process) << "the returned id names no process";
  ASSERT_TRUE(test::waitForFile(temp / L"system-platform-runs.txt", std::chrono::seconds(30)));
  // Only a program still running under that id can be ours to end.
  ASSERT_EQ(::WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::TerminateProcess(process.get(), 0);
  ::WaitForSingleObject(process.get(), 10000);
  const auto lines = runs();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0][0], "launch");
  EXPECT_EQ(lines[0][1], std::to_string(pid));
  EXPECT_EQ(lines[0][3], wideToUtf8(L"\"" + program + L"\" "));
}

}  // namespace
}  // namespace orvo
