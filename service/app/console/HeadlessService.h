#pragma once
// The service without a window (ZELT2Service --headless): a front end of the
// service controller that loads the settings, takes the command line's DID,
// password and camera over them, starts at once, prints the status line, the
// messages and the clock through CStatusPrinter, and ends on SIGINT or
// SIGTERM, or when the service stops by itself; the settings are saved then.

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
};

// Runs the service until it ends; the exit status (ServiceApp.h). `out`
// receives what a user would read; `terminal` says whether it is a terminal.
int RunHeadless(ControllerConfig config, const std::string& strModuleDir, const HeadlessOptions& options, FILE* out,
                bool terminal);

}  // namespace app
