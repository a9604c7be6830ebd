// The real pipeline on scripted collaborators: the order of its steps and markers, and for a failure at every step
// the failure text (the message, then the recovery notes), the markers and the clean-up.
#include <atomic>
#include <regex>
#include <set>

#include "app/InstallPipeline.h"
#include "common/Utf.h"
#include "tests/support/TestSupport.h"

namespace orvo::test {
namespace {

using Text = const std::wstring&;
using Report = const ProgressReport&;
using Check = const std::function<void()>&;

// A full message queue refuses the first post of a finish notice.
std::atomic<int> failingPosts{0};
BOOL WINAPI fullQueue(HWND w, UINT m, WPARAM wp, LPARAM lp) { return m == WM_INSTALL_FINISHED && failingPosts-- > 0 ? FALSE : ::PostMessageW(w, m, wp, lp); }

// One install attempt in its own directory on scripted steps, started as the window starts it, posting its notices
// to a message-only window. The steps log every call in `trace`, throw at "op" (every call) or "op#n" (its n-th call)
// as `fail` says, and answer a question's n-th call with true when `yes` holds "op#n"; `yes` may also hold "active" (an
// area is held from the start) and "committed" (a commit that fails after its state became Committed). `script`
// lines: "op=message" goes to `fail`, "identity=..." is the identity file the record run writes, "dir=..." the
// directory typed (below the attempt's own when it starts with a backslash); others go to `yes`, which also holds the
// options "interactive", "verify-start", "verify-fallback" and "AA11", the digest the download then has.
struct Attempt final : PipelineSteps {
  Attempt(const std::wstring& dir, const std::vector<std::string>& script) {
    ::CreateDirectoryW(dir.c_str(), nullptr), status.attachWindow(window), failingPosts = 1;
    settings.installDirectory = dir + L"\\orvo game", settings.stageMarkerFile = dir + L"\\markers.txt";
    for (const std::string& line : script) {
      const std::size_t eq = line.find('=');
      const std::string key = line.substr(0, eq), value = line.substr(eq == std::string::npos ? line.size() : eq + 1);
      if (key == "dir") settings.installDirectory = value[0] == '\\' ? dir + utf8ToWide(value) : utf8ToWide(value);
      else if (eq == std::string::npos) yes.insert(key.substr(0, key.size() - (key.back() == '?')));
      else (key == "identity" ? identity : fail[key]) = value;
    }
    settings.verifyInstall = settings.autoRun = !yes.count("interactive"), settings.verifyFallback = yes.count("verify-fallback");
    settings.verifyStart = yes.count("verify-start"), settings.launchAfterInstall = !settings.verifyInstall || settings.verifyStart;
  }
  ~Attempt() override { ::DestroyWindow(window); }
  // The stage markers written and the finish notices posted ("1" success, "0" failure).
  std::string run() {
    // The second start comes while the first attempt runs, and is ignored.
    pipeline.startInstall(settings.installDirectory), pipeline.startInstall(L"C:\\other"), pipeline.joinWorker();
    std::string posted = fileExists(settings.stageMarkerFile) ? readBytes(settings.stageMarkerFile) : "";
    for (MSG m{}; ::PeekMessageW(&m, window, WM_INSTALL_FINISHED, WM_INSTALL_FINISHED, PM_REMOVE);) posted += std::to_string(m.wParam);
    return posted;
  }
  HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  InstallerSettings settings;
  InstallStatus status{&fullQueue};
  InstallPipeline pipeline{settings, status, *this, {L"https://p", L"https://f", L"aa11"}};
  std::map<std::string, std::string> fail;
  std::map<std::string, int> counts;
  std::set<std::string> yes;
  std::string identity = "S-1-5-21-7\n", trace;
  std::wstring workDirectory, validated;
  HANDLE token = nullptr;

  bool step(const std::string& call) {
    const std::string op = call.substr(0, call.find(':')), nth = op + "#" + std::to_string(++counts[op]);
    trace += (trace.empty() ? "" : " ") + call;
    for (const std::string& key : {op, nth}) if (fail.count(key)) throw std::runtime_error(fail[key]);
    return yes.count(nth) > 0;
  }
  struct Txn final : PipelineTransaction {
    Attempt& f;
    explicit Txn(Attempt& a) : f(a) {}
    TransactionState s = TransactionState::Preparing;
    bool held = false;
    bool isActive() const override { return held || f.yes.count("active"); }
    bool areaExists() override { return f.step("area"); }
    void recoverEarlier() override { f.step("recover"); }
    void prepare(Text) override { held = true, f.step("prepare"), s = TransactionState::Prepared; }
    void apply() override { f.step("apply"), s = TransactionState::Applied; }
    void commit() override { s = f.yes.count("committed") ? TransactionState::Committed : s, f.step("commit"), s = TransactionState::Committed, held = false; }
    void rollback() override { f.step("rollback"), s = TransactionState::RolledBack, held = false; }
    TransactionState state() const override { return s; }
    std::wstring areaPath() const override { return L"C:\\area"; }
  };
  struct Migration final : PipelineMigration {
    Attempt& f;
    explicit Migration(Attempt& a) : f(a) {}
    bool run() override { return f.step("migrate"); }
    void commit() override { f.step("keep"); }
    void rollback() override { f.step("restore"); }
  };
  void validateInstallDirectory(Text d) override { validated = d, step("validate"); }
  void checkNoLinks(Text) override { step("links"); }
  bool isGameRunningUnder(Text) override { return step("game"); }
  bool isPlatformRunningIn(Text) override { return step("platform"); }
  UniqueHandle writeEmbeddedResource(int, Text target) override {
    workDirectory = target.substr(0, target.find_last_of(L'\\')), step("res"), writeBytes(target, "7z");
    return UniqueHandle(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  void downloadPayload(Text url, Text target, Report, Check) override { step("get:" + wideToUtf8(url)), writeBytes(target, "7z"); }
  std::wstring sha256File(HANDLE, const std::function<void(std::uint64_t)>& hashed, Check) override { return step("sha256"), hashed(1 << 30), yes.count("AA11") ? L"AA11" : L"aa11"; }
  void extractArchive(Text, HANDLE, HANDLE, Text, Text, Report report) override { step("extract"), report(90, L"解压", L""); }
  std::vector<ManifestEntry> verifyPayloadFiles(Text, Report, Check) override { return step("verify"), std::vector<ManifestEntry>{{L"OrvoQ9.exe", L"", 1}}; }
  std::function<void()> prepareMarker(Text, Text, std::vector<TransactionEntry>&) override { return step("marker"), [this] { step("unchanged"); }; }
  std::unique_ptr<PipelineTransaction> createTransaction(Text, const std::vector<TransactionEntry>&, Check) override { return step("txn"), std::make_unique<Txn>(*this); }
  HANDLE getDesktopUserToken() override { return step("token"), token = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  std::unique_ptr<PipelineMigration> createMigration(Text, HANDLE) override { return step("migration"), std::make_unique<Migration>(*this); }
  std::wstring tokenUserSid(HANDLE) override { return step("sid"), L"S-1-5-21-7"; }
  void grantDirectoryAccess(Text, Text, DWORD mask) override { step("grant:" + std::to_string(mask)); }
  DWORD runPlatformProgram(Text, const ManifestEntry&, Text args, Text, bool wait, HANDLE token, Text) override {
    step("run:" + wideToUtf8(args.substr(0, args.find(L' '))) + (token ? "/token" : "") + (wait ? "" : "/nowait"));
    if (args.rfind(L"--record", 0) == 0 && !identity.empty()) writeBytes(args.substr(args.find(L'"') + 1, args.size() - args.find(L'"') - 2), identity);
    return 4242;
  }
  void registerInstallation(Text, HANDLE, const std::vector<ManifestEntry>&) override { step("register"); }
};

class Pipeline : public TempDirTest {};

// A row per outcome: the failure text (none for a success), and patterns of the markers and of the calls.
TEST_F(Pipeline, RunsItsStepsInOrderAndAFailureAtAnyStepShowsItsMessageAndRecoveryNotes) {
  const std::wstring restored = L"\n平台文件已恢复；若已进行系统登记或配置，请重新安装完成配置。", ok;
  const std::wstring kept = L"\n个人数据目录已恢复并保留；原数据位置和链接备份仍保留。", id = L"安装用户身份验证失败" + restored;
  const std::string verified = "^download-ok\narchive-sha256-ok\nmanifest-all-files-ok\n", done = "\ninstall-complete\n1$";
  const struct { std::vector<std::string> script; std::wstring text; std::string markers, trace; } rows[] = {
      {{}, ok, verified + "install-copy-ok\nplatform-configured\ninstall-files-committed" + done, "^validate validate game platform "
       "links res res get:https://p sha256 extract verify validate game platform marker txn area marker prepare unchanged links "
       "links token migration migrate keep apply sid grant:1179817 grant:1245631 run:--record-install-user/token "
       "run:--configure-platform-install commit$"},
      {{"interactive"}, ok, "committed\nplatform-launch-ok pid=4242" + done, "install register commit run:/token/nowait$"},
      {{"verify-start"}, ok, "committed\nplatform-launch-ok pid=4242" + done, "install commit run:/token/nowait$"},
      {{"migrate#1?"}, ok, verified + "legacy-platform-data-migrated-and-committed\ninstall-copy-ok\n", ""},
      {{"area#1?"}, ok, done, "area recover marker prepare"},
      {{"verify-fallback", "get#1=x"}, ok, done, "get:https://f get:https://f sha256"}, {{"dir=\\x\\..\\\\orvo game"}, ok, done, ""},
      {{"dir=relative\\orvo"}, L"请选择完整的平台安装目录", "^failed", "^validate$"},
      {{"AA11"}, L"平台文件校验失败，请重试下载", "^download-ok\nfailed", ""},
      {{"game#2?"}, L"请退出游戏和平台后重试安装", verified + "failed", ""},
      {{"active"}, L"Transaction already active" + restored, verified + "failed", ""},
      {{"area#1?", "recover=Journal state mismatch"}, L"Journal state mismatch", verified + "failed", ""},
      {{"migrate=No room"}, L"No room" + restored, verified + "legacy-platform-data-restored\nfailed", ""},
      {{"migrate=No room", "restore=x"}, L"No room\n个人数据迁移恢复待完成，备份已保留；请用同一安装器重试。" + restored, verified + "failed", ""},
      {{"migrate#1?", "apply=Locked"}, L"Locked" + kept + restored, "committed\nfailed", ""},
      {{"apply=Locked", "rollback=Stuck"}, L"Locked\n原文件恢复仍待完成，请释放文件占用后使用同一安装器重试。恢复目录：C:\\area\nStuck", verified + "failed", ""},
      {{"identity=S-1-5-21-9\n"}, id, "install-copy-ok\nfailed", ""}, {{"identity=S-1-5-21-7\r\n"}, id, "copy-ok\nfailed", ""},
      {{"commit=Commit failed"}, L"Commit failed" + restored, "platform-configured\nfailed", ""},
      {{"committed", "commit=Cleanup failed"}, L"Cleanup failed\n平台文件已安装完成，事务清理尚未完成；请释放文件占用后使用同一安装器重试完成清理。恢复目录：C:\\area", "configured\nfailed", ""},
      {{"verify-start", "migrate#1?", "run#3=安装配置失败"}, L"安装配置失败" + kept + L"\n平台文件已安装完成，后续配置或启动未完成，请重试。", "committed\nfailed", ""},
  };
  for (int n = 0; const auto& row : rows) {
    Attempt a(temp / std::to_wstring(++n), row.script);
    const std::string posted = a.run(), failed = row.text.empty() ? "" : "failed: " + wideToUtf8(row.text) + "\n0";
    EXPECT_TRUE(std::regex_search(posted, std::regex(row.markers)) && posted.rfind(failed) == posted.size() - failed.size() &&
                std::regex_search(a.trace, std::regex(row.trace))) << posted << a.trace;
    EXPECT_EQ(a.status.snapshot().heading + L": " + a.status.snapshot().error, (row.text.empty() ? L"正在安装: " : L"安装未完成: ") + row.text);
    DWORD flags = 0;  // the token closed, the work directory removed
    EXPECT_TRUE((!row.text.empty() || (a.validated == temp / std::to_wstring(n) + L"\\orvo game" && a.status.snapshot().percent == 100)) &&
                !::GetHandleInformation(a.token, &flags) && (a.workDirectory.empty() || !directoryExists(a.workDirectory)));
  }
}

}  // namespace
}  // namespace orvo::test
