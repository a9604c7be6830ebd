#include "payload/EmbeddedResource.h"

#include <windows.h>

#include <stdexcept>

#include "common/UniqueHandle.h"

namespace orvo {

std::vector<unsigned char> readEmbeddedResource(int id) {
  // The module of the executable itself, not of any DLL.
  const HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (info == nullptr) throw std::runtime_error("Embedded resource missing");
  const DWORD size = ::SizeofResource(module, info);
  HGLOBAL loaded = ::LoadResource(module, info);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (size != 0 && bytes == nullptr) throw std::runtime_error("Embedded resource missing");
  const auto* begin = static_cast<const unsigned char*>(bytes);
  return size == 0 ? std::vector<unsigned char>{} : std::vector<unsigned char>(begin, begin + size);
}

void writeEmbeddedResource(int id, const std::wstring& target) {
  const std::vector<unsigned char> bytes = readEmbeddedResource(id);
  UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("Cannot prepare installer files");
  DWORD written = 0;
  if (!bytes.empty() &&
      (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size())) {
    throw std::runtime_error("Cannot prepare installer files");
  }
}

}  // namespace orvo
