#pragma once
// The service without a window (ZELT2Service --headless): a front end of the
// service controller that loads the settings, takes the command line's DID,
// password and camera over them, starts at once, prints the status line, the
// messages and the clock through CStatusPrinter, and ends on SIGINT or
// SIGTERM, or when the service stops by itself; the settings are saved then.
// A camera lost while serving is waited for (the viewers get the still
// frame) unless the registry's "WaitForCamera" says 0. SIGHUP reads the
// configuration file again and restarts the service when it changed.

#include <cstdio>
#include <optional>
#include <string>

#include "service/app/ServiceController.h"

namespace app {

struct HeadlessOptions {
    std::optional<std::u16string> did;
    std::optional<std::u16string> password;
    // A position in the camera list (0, 1, ...) or the beginning of a name.
    std::optional<std::string> camera;
    // The configuration file (ServiceConfig.h); the command line goes over it.
    std::optional<std::string> configFile;
    // A camera that is not plugged in at the start is waited for, the viewers
    // getting the still picture meanwhile, instead of ending with status 3.
    bool bWaitForCamera = false;
};

// Runs the service until it ends; the exit status (ServiceApp.h). `out`
// receives what a user would read; `terminal` says whether it is a terminal.
int RunHeadless(ControllerConfig config, const std::string& strModuleDir, const HeadlessOptions& options, FILE* out,
                bool terminal);

}  // namespace app
