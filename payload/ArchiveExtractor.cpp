#include "payload/ArchiveExtractor.h"

#include <windows.h>

#include <stdexcept>

#include "common/PathText.h"
#include "common/UniqueHandle.h"
#include "payload/ExtractProgressParser.h"

namespace orvo {
namespace {

constexpr DWORD kPieceSize = 4096;

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

std::wstring extractionCommandLine(const std::wstring& program, const std::wstring& archive,
                                   const std::wstring& directory) {
  return quoted(program) + L" x -y -aoa -bsp1 -bso1 -bse1 " + quoted(archive) + L" -o" + quoted(directory);
}

void extractArchive(const std::wstring& program, const std::wstring& archive, const std::wstring& directory,
                    const ProgressReport& report) {
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

  std::wstring commandLine = extractionCommandLine(program, archive, directory);
  const std::wstring workingDirectory(parentPathText(program));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = nullInput.get();
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info)) {
    throw std::runtime_error("Cannot extract platform files");
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
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
  DWORD exitCode = 1;
  if (!::GetExitCodeProcess(process.get(), &exitCode)) exitCode = 1;
  if (exitCode > 1) throw std::runtime_error("平台文件解压失败");
}

}  // namespace orvo
