#include "payload/EmbeddedResource.h"

#include <windows.h>

#include <stdexcept>

#include "common/NoFollowFile.h"

namespace orvo {
namespace {

[[noreturn]] void cannotPrepare() { throw std::runtime_error("Cannot prepare installer files"); }

void writeAll(HANDLE file, const std::vector<unsigned char>& bytes) {
  DWORD written = 0;
  if (!bytes.empty() &&
      (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size())) {
    cannotPrepare();
  }
}

}  // namespace

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
  // OPEN_ALWAYS rather than CREATE_ALWAYS: the existing object is inspected
  // through the handle before anything in it is replaced.
  UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file || nodeKindOf(file.get()) != NodeKind::RegularFile || !::SetEndOfFile(file.get())) cannotPrepare();
  writeAll(file.get(), bytes);
}

UniqueHandle writeEmbeddedResourceHeld(int id, const std::wstring& target) {
  const std::vector<unsigned char> bytes = readEmbeddedResource(id);
  {
    UniqueHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) cannotPrepare();
    writeAll(file.get(), bytes);
  }
  // A program cannot start while a handle with write access is open on it, so
  // the writing handle goes first; whoever checks the held file later compares
  // its content, which covers the moment between the two opens.
  UniqueHandle held = openNoFollow(target, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ);
  if (!held || nodeKindOf(held.get()) != NodeKind::RegularFile) cannotPrepare();
  return held;
}

}  // namespace orvo
