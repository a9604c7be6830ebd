// A companion program of the platform ("assets/Tarn/<name>.exe"). It answers for
// its own identity: it reads "<name>.identity" beside itself and exits 0 only
// when the file's first two lines name this program and the payload build it was
// made for; it then prints the whole identity on standard output. A missing,
// foreign or stale identity file gives exit code 1 and a line on standard error.
//
// Built once per companion, with ORVO_COMPANION_NAME and ORVO_PAYLOAD_BUILD_ID
// set by the payload build.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/UniqueHandle.h"

#define ORVO_WIDEN2(text) L##text
#define ORVO_WIDEN(text) ORVO_WIDEN2(text)

namespace {

std::wstring programPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

std::string readSmallFile(const std::wstring& path) {
  orvo::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char chunk[4096];
  DWORD read = 0;
  while (bytes.size() < 65536 && ::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) {
    bytes.append(chunk, read);
  }
  return bytes;
}

}  // namespace

int wmain() {
  const std::wstring program = programPath();
  const std::size_t slash = program.find_last_of(L"\\/");
  const std::wstring identityPath =
      (slash == std::wstring::npos ? std::wstring() : program.substr(0, slash + 1)) + ORVO_WIDEN(ORVO_COMPANION_NAME) L".identity";
  const std::string identity = readSmallFile(identityPath);
  const std::string expected = "name=" ORVO_COMPANION_NAME "\nbuild=" ORVO_PAYLOAD_BUILD_ID "\n";
  if (identity.compare(0, expected.size(), expected) != 0) {
    std::fprintf(stderr, "%s: identity file missing or not ours\n", ORVO_COMPANION_NAME);
    return 1;
  }
  std::fwrite(identity.data(), 1, identity.size(), stdout);
  return 0;
}
