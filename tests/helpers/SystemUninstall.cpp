// The uninstaller as the installer's entry runs it, with the file list embedded
// in this helper (tests stamp resource 105 into a copy placed in an install
// directory). An error is shown the way the entry shows it, and ends with 1.
//
// Usage: SystemUninstall.exe --uninstall [<file> <directory> <link target>]
// With the three extra arguments, once the path of the listed <file> has
// passed the link check, <directory> is moved aside and replaced by a link to
// <link target>: another process's move at the moment that matters.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "system/TextEquality.h"
#include "system/Uninstaller.h"
#include "system/UninstallerSeam.h"
#include "tests/helpers/SystemManifestText.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 5) {
    const std::wstring file = argv[2], directory = argv[3], target = argv[4];
    orvo::setPathCheckedHookForTest([file, directory, target](const std::wstring& path) {
      if (!orvo::equalIgnoringCase(path, file)) return;
      if (!::MoveFileW(directory.c_str(), (directory + L".moved").c_str())) {
        throw std::runtime_error("cannot move the directory aside");
      }
      orvo::test::makeDirectoryLink(directory, target);
    });
  }
  orvo::ComApartment com;
  try {
    orvo::runUninstall(orvo::test::embeddedTestManifest);
    return 0;
  } catch (const std::exception& error) {
    ::MessageBoxW(nullptr, orvo::utf8ToWideLenient(error.what()).c_str(), L"orvo game", MB_OK | MB_ICONERROR);
    return 1;
  }
}
