#include "payload/ArchiveExtractor.h"

#include <windows.h>

#include <array>
#include <memory>
#include <stdexcept>

#include "common/NoFollowFile.h"
#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/ExtractProgressParser.h"
#include "payload/Sha256.h"

namespace orvo {
namespace {

constexpr DWORD kPieceSize = 4096;

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring digestOfBytes(const std::vector<unsigned char>& bytes) {
  Sha256Hasher hasher;
  std::array<std::uint8_t, 32> digest{};
  if (!hasher.update(bytes.data(), bytes.size()) || !hasher.finish(digest)) {
    throw std::runtime_error("Cannot extract platform files");
  }
  return digestToHex(digest.data(), digest.size());
}

// Size first, so that a file of another size is refused without being read.
bool holdsExactly(const HeldExtractorFile& held) {
  std::uint64_t size = 0;
  if (held.expected == nullptr || nodeKindOf(held.file) != NodeKind::RegularFile || !fileSizeOf(held.file, size) ||
      size != held.expected->size()) {
    return false;
  }
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(held.file, start, nullptr, FILE_BEGIN)) return false;
  try {
    return sha256OfHandle(held.file) == digestOfBytes(*held.expected);
  } catch (const std::exception&) {
    return false;
  }
}

// Ends and waits for a child that is still running when an error leaves, so
// that nothing of it outlives the call.
class ChildGuard {
 public:
  explicit ChildGuard(HANDLE process) noexcept : process_(process) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (process_ == nullptr) return;
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, INFINITE);
  }
  void release() noexcept { process_ = nullptr; }

 private:
  HANDLE process_;
};

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const noexcept {
    ::DeleteProcThreadAttributeList(list);
    ::operator delete(list);
  }
};
using UniqueAttributeList = std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDeleter>;

// An attribute list that lets the child inherit exactly `handles`, no other
// inheritable handle this process happens to hold.
UniqueAttributeList inheritOnly(HANDLE* handles, std::size_t count) {
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto* memory = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(::operator new(size));
  if (!::InitializeProcThreadAttributeList(memory, 1, 0, &size)) {
    ::operator delete(memory);
    throw std::runtime_error("Cannot start extraction");
  }
  UniqueAttributeList list(memory);
  if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   count * sizeof(HANDLE), nullptr, nullptr)) {
    throw std::runtime_error("Cannot start extraction");
  }
  return list;
}

std::wstring extractionCommandLine(const std::wstring& program, const std::wstring& archive,
                                   const std::wstring& directory) {
  return quoted(program) + L" x -y -aoa -bsp1 -bso1 -bse1 " + quoted(archive) + L" -o" + quoted(directory);
}

}  // namespace

void extractArchive(const std::wstring& program, const std::vector<HeldExtractorFile>& heldFiles,
                    const std::wstring& archive, const std::wstring& directory, const ProgressReport& report) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueHandle readEnd;
  UniqueHandle writeEnd;
  {
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!::CreatePipe(&r, &w, &inheritable, 0)) throw std::runtime_error("Cannot start extraction");
    readEnd.reset(r);
    writeEnd.reset(w);
  }
  // Only the child's end travels to the child; ours must not keep the pipe open in it.
  if (!::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0))
    throw std::runtime_error("Cannot start extraction");

  UniqueHandle nullInput(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!nullInput) throw std::runtime_error("Cannot start extraction");

  HANDLE inherited[] = {nullInput.get(), writeEnd.get()};
  const UniqueAttributeList attributes = inheritOnly(inherited, 2);

  std::wstring commandLine = extractionCommandLine(program, archive, directory);
  const std::wstring workingDirectory(parentPathText(program));

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = nullInput.get();
  startup.StartupInfo.hStdOutput = writeEnd.get();
  startup.StartupInfo.hStdError = writeEnd.get();
  startup.lpAttributeList = attributes.get();

  // The files were written minutes ago; what starts is what was written.
  for (const HeldExtractorFile& held : heldFiles) {
    if (!holdsExactly(held)) throw std::runtime_error("Cannot extract platform files");
  }
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup.StartupInfo, &info)) {
    throw std::runtime_error("Cannot extract platform files");
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  ChildGuard child(process.get());
  // With our copy of the write end gone, the read ends when the child has exited.
  writeEnd.reset();

  ExtractProgressParser parser;
  char piece[kPieceSize];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(readEnd.get(), piece, kPieceSize, &got, nullptr) || got == 0) break;
    for (const int percent : parser.feed(std::string_view(piece, got))) {
      if (report) report(extractionBarPercent(percent), L"正在解压平台文件", extractionDetail(percent));
    }
  }

  ::WaitForSingleObject(process.get(), INFINITE);
  child.release();
  DWORD exitCode = 1;
  if (!::GetExitCodeProcess(process.get(), &exitCode)) exitCode = 1;
  if (exitCode > 1) throw std::runtime_error("平台文件解压失败");
}

}  // namespace orvo
