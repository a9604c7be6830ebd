// Registers an installation the way the pipeline does, from a process of its
// own so that resource 105 (stamped by the test into a copy of this helper) is
// the manifest copy's source and this executable the uninstaller copy's.
//
// Usage: SystemRegister.exe <install directory> desktop|nodesktop <result file>
// The result file receives "ok" or the error message (UTF-8).
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "tests/helpers/SystemManifestText.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  orvo::ComApartment com;
  std::string result = "ok";
  try {
    const orvo::UniqueHandle token = orvo::getDesktopUserToken();
    orvo::registerInstallation(argv[1], token.get(), orvo::test::embeddedTestManifest(),
                               std::wstring(argv[2]) == L"desktop");
  } catch (const std::exception& error) {
    result = error.what();
  }
  std::ofstream(std::filesystem::path(argv[3]), std::ios::binary) << result;
  return result == "ok" ? 0 : 1;
}
