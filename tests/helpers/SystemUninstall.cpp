// The uninstaller as the installer's entry runs it, with the file list embedded
// in this helper (tests stamp resource 105 into a copy placed in an install
// directory). An error is shown the way the entry shows it, and ends with 1.
#include <windows.h>

#include <stdexcept>

#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "system/Uninstaller.h"
#include "tests/helpers/SystemManifestText.h"

int wmain() {
  orvo::ComApartment com;
  try {
    orvo::runUninstall(orvo::test::embeddedTestManifest);
    return 0;
  } catch (const std::exception& error) {
    ::MessageBoxW(nullptr, orvo::utf8ToWideLenient(error.what()).c_str(), L"orvo game", MB_OK | MB_ICONERROR);
    return 1;
  }
}
