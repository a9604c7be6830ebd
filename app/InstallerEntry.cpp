#include "app/InstallerEntrySeam.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/GdiplusSession.h"
#include "app/InstallDirectory.h"
#include "app/InstallPipeline.h"
#include "app/InstallStatus.h"
#include "app/InstallerSettings.h"
#include "app/InstallerWindow.h"
#include "app/PipelineSteps.h"
#include "app/ResourceImage.h"
#include "common/UniqueHandle.h"
#include "common/Utf.h"
#include "payload/PayloadVerification.h"
#include "system/Uninstaller.h"

namespace {

using namespace orvo;

int windowMessageLoop(InstallerWindow& window) { return window.runMessageLoop(); }

std::atomic<MessageLoop> messageLoop{&windowMessageLoop};

// The uninstaller's file list is the manifest embedded in this executable.
void runUninstaller() { runUninstall(&loadEmbeddedFileManifest); }

// The window's pictures with the streams behind them; the entry holds them
// until shutdown, also when an error ends the run.
struct WindowImages {
  ResourceImage background;
  ResourceImage logo;
};

void showError(const std::exception& error) {
  std::wstring text;
  try {
    text = utf8ToWide(error.what());
  } catch (const std::exception& conversion) {
    text = utf8ToWideLenient(conversion.what());
  }
  ::MessageBoxW(nullptr, text.c_str(), L"orvo game", MB_OK | MB_ICONERROR);
}

int runInstaller(HINSTANCE instance, PipelineSteps& steps, WindowImages& images) {
  InstallerSettings& settings = installerSettings();
  settings.installDirectory = defaultInstallDirectory();
  if (parseCommandLine(commandLineArguments(), settings)) {
    runUninstaller();
    return 0;
  }

  UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, L"Local\\OrvoGameSingleInstaller20261014"));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) throw std::runtime_error("orvo game 安装程序已在运行");

  ::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  settings.uiScale = ::GetDpiForSystem() / 96.0;

  images.background = loadResourceImage(101);
  images.logo = loadResourceImage(102);

  InstallStatus& status = installStatus();
  InstallPipeline pipeline(settings, status, steps, buildEndpoints());
  int exitCode = 0;
  try {
    InstallerWindow window(instance, settings, status, pipeline, images.background.image(), images.logo.image());
    status.attachWindow(window.create());
    // Return starts an install from any window of the thread (the path box too).
    exitCode = messageLoop.load()(window);
  } catch (const std::exception& error) {
    // The window is gone, but a worker may still run for minutes: it stops
    // posting to the window, and the person learns of the error now, not
    // after the install has ended.
    status.attachWindow(nullptr);
    showError(error);
    pipeline.joinWorker();
    return 1;
  }
  status.attachWindow(nullptr);
  // A running install finishes before anything is torn down.
  pipeline.joinWorker();
  return exitCode;
}

}  // namespace

namespace orvo {

std::vector<std::wstring> commandLineArguments() {
  int count = 0;
  UniqueLocal<wchar_t**> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  std::vector<std::wstring> arguments;
  for (int i = 1; argv && i < count; ++i) arguments.emplace_back(argv.get()[i]);
  return arguments;
}

MessageLoop replaceMessageLoop(MessageLoop loop) noexcept { return messageLoop.exchange(loop); }

int runInstallerProcess(HINSTANCE instance, PipelineSteps& steps) {
  // Ended in reverse order: the pictures before GDI+, GDI+ before COM.
  const ComApartment com;
  const GdiplusSession gdiplus;
  WindowImages images;
  int exitCode = 0;
  try {
    exitCode = runInstaller(instance, steps, images);
  } catch (const std::exception& error) {
    showError(error);
    exitCode = 1;
  }
  return exitCode;
}

}  // namespace orvo
