#include "app/InstallerSettings.h"

namespace orvo {

bool parseCommandLine(const std::vector<std::wstring>& arguments, InstallerSettings& settings) {
  bool uninstall = false;
  const std::size_t count = arguments.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::wstring& argument = arguments[i];
    if (argument == L"--uninstall") {
      uninstall = true;
    } else if (argument == L"--capture-ui") {
      if (i + 1 < count) settings.capturePath = arguments[++i];
    } else if (argument == L"--verify-install") {
      if (i + 2 < count) {
        settings.verifyInstall = true;
        settings.autoRun = true;
        settings.launchAfterInstall = false;
        settings.createDesktopShortcut = false;
        settings.installDirectory = arguments[i + 1];
        settings.stageMarkerFile = arguments[i + 2];
        i += 2;
      }
    } else if (argument == L"--verify-fallback") {
      settings.verifyFallback = true;
    } else if (argument == L"--verify-start") {
      settings.verifyStart = true;
    }
  }
  if (settings.verifyInstall && settings.verifyStart) settings.launchAfterInstall = true;
  return uninstall;
}

InstallerSettings& installerSettings() {
  static InstallerSettings settings;
  return settings;
}

}  // namespace orvo
