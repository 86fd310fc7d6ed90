#pragma once
// The service's window as this build shows it: the Qt window (qt/), a Win32
// dialog host (win32/), or none (NoWindow.cpp). A front end of the service
// controller beside the headless one; the program links exactly one.

#include <string>

#include "service/app/ServiceController.h"

namespace app {

// Runs the window logic in the window until the user closes it. The exit
// status (ServiceApp.h): kExitDone when the window was closed, kExitNoWindow
// when none can be shown (no display, or a build without a window), after
// saying so on standard error.
int RunServiceWindow(const ControllerConfig& config, const std::string& strModuleDir, int argc, char** argv);

// A message of start-up, before any window: on standard error, and in a
// message box without an owner where a window can be shown.
void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int argc, char** argv);

}  // namespace app
