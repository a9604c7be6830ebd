#include "common/FileSystemErrors.h"

#include <windows.h>

#include <stdexcept>

#include "common/UniqueHandle.h"
#include "common/Utf.h"

namespace orvo {

std::string systemErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD n = ::FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0) {
    n = ::FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  }
  // Owned before anything that can throw touches it.
  const UniqueLocal<wchar_t*> owned(buffer);
  std::wstring text;
  if (n != 0 && buffer != nullptr) text.assign(buffer, n);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  if (text.empty()) return "error " + std::to_string(code);
  return wideToUtf8(text);
}

void throwFilesystemError(const char* operation, const std::error_code& ec, const std::filesystem::path& path) {
  std::string text = systemErrorText(static_cast<unsigned long>(ec.value()));
  if (ec.category() != std::system_category()) text = ec.message();
  throw std::runtime_error(std::string(operation) + ": " + text + ": \"" + wideToUtf8(path.wstring()) + "\"");
}

void createDirectories(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throwFilesystemError("create_directories", ec, path);
}

bool pathExists(const std::filesystem::path& path) {
  std::error_code ec;
  const bool result = std::filesystem::exists(path, ec);
  if (ec) throwFilesystemError("exists", ec, path);
  return result;
}

std::filesystem::path absolutePath(const std::filesystem::path& path) {
  std::error_code ec;
  auto result = std::filesystem::absolute(path, ec);
  if (ec) throwFilesystemError("absolute", ec, path);
  return result;
}

}  // namespace orvo
