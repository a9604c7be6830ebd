// The installer's registration and its uninstaller, run from a copy of this
// program into which a test stamped a file list (resource 105): the copy is
// the source of the uninstaller copy and of the manifest copy. A failure shows
// as the installer's entry shows it, in a box, and ends with 1.
//
// Usage: SystemInstallation.exe --register <install directory> desktop|nodesktop
//        SystemInstallation.exe --uninstall [<file> <directory> <link target>]
// With the three extra arguments, once the path of the listed <file> has
// passed the link check, <directory> is moved aside and replaced by a link to
// <link target>: another process's move at the moment that matters.
#include "common/Utf.h"
#include "payload/PayloadVerification.h"
#include "system/DesktopUser.h"
#include "system/Registration.h"
#include "system/TextEquality.h"
#include "system/Uninstaller.h"
#include "system/UninstallerSeam.h"
#include "tests/support/TestSupport.h"

int wmain(int argc, wchar_t** argv) {
  orvo::ComApartment com;
  if (argc == 5) {
    orvo::setPathCheckedHookForTest([file = std::wstring(argv[2]), directory = std::wstring(argv[3]),
                                     target = std::wstring(argv[4])](const std::wstring& path) {
      if (orvo::equalIgnoringCase(path, file) && ::MoveFileW(directory.c_str(), (directory + L".moved").c_str())) {
        orvo::test::makeDirectoryLink(directory, target);
      }
    });
  }
  try {
    if (argc == 4 && std::wstring(argv[1]) == L"--register") {
      orvo::registerInstallation(argv[2], orvo::getDesktopUserToken().get(), orvo::loadEmbeddedFileManifest(),
                                 std::wstring(argv[3]) == L"desktop");
    } else {
      orvo::runUninstall(&orvo::loadEmbeddedFileManifest);
    }
    return 0;
  } catch (const std::exception& error) {
    ::MessageBoxW(nullptr, orvo::utf8ToWideLenient(error.what()).c_str(), L"orvo game", MB_OK | MB_ICONERROR);
    return 1;
  }
}
