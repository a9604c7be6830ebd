#pragma once
// Process-wide installer settings and the command-line rules that fill them.
// Parsing is pure: it examines an argument list and changes only the settings.
#include <string>
#include <vector>

namespace orvo {

struct InstallerSettings {
  std::wstring installDirectory;
  std::wstring stageMarkerFile;
  std::wstring capturePath;
  bool createDesktopShortcut = true;
  bool launchAfterInstall = true;
  bool verifyInstall = false;
  bool autoRun = false;
  bool verifyFallback = false;
  bool verifyStart = false;
  double uiScale = 1.0;
};

// Applies the arguments that follow the program name, left to right. Options
// match whole, exactly and case-sensitively; an option with values consumes
// them only when all are present. Returns true when "--uninstall" was seen.
bool parseCommandLine(const std::vector<std::wstring>& arguments, InstallerSettings& settings);

// The settings of this process (the entry fills them before any window exists).
InstallerSettings& installerSettings();

}  // namespace orvo
