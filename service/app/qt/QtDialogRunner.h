#pragma once
// Runs the window logic in a Qt window: the program's path when it is started
// without options. Nothing here is reached by the headless mode, which must
// start where no display exists.

#include <functional>

#include "service/app/AboutDlg.h"
#include "service/app/DialogHost.h"

namespace app::qt {

struct QtWindowOptions {
    // Gives the logic its host before the window opens.
    std::function<void(app::IDialogHost&)> attachHost;
    // The About box's texts when it opens.
    std::function<app::AboutTexts()> aboutSource;
};

// Creates the application (unless one exists), opens the window, and returns
// when it has closed: 0, or 1 when no display can be reached (a message on
// standard error says so and how to run without one).
int RunQtWindow(app::IDialogLogic& logic, const QtWindowOptions& options, int argc, char** argv);

// True when a Qt platform can be started: a display is named, or another
// platform (offscreen, for example) is chosen explicitly.
bool DisplayAvailable();

}  // namespace app::qt
