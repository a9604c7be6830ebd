// Asks for the desktop user's identity from wherever the test starts it (for
// example on a desktop without a shell window) and writes the outcome to the
// result file: "ok " and the SID, or the error message (UTF-8).
//
// Usage: SystemDesktopIdentity.exe <result file>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/Utf.h"
#include "system/DesktopUser.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::string result;
  try {
    const orvo::UniqueHandle token = orvo::getDesktopUserToken();
    result = "ok " + orvo::wideToUtf8(orvo::tokenUserSid(token.get()));
  } catch (const std::exception& error) {
    result = error.what();
  }
  std::ofstream(std::filesystem::path(argv[1]), std::ios::binary) << result;
  return 0;
}
