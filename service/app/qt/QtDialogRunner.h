#pragma once
// The main window on the desktop: runs the window logic in the Qt window
// until the user closes it, and shows the messages of start-up that come
// before any window.

#include <string>

#include "service/app/WindowFrontEnd.h"

namespace app {

class CServiceDlg;

// Runs `dialog` in the window modally; OnDestroy has run when it returns.
// Returns the program's exit status: 0 when the window was closed, 1 when no
// window can be shown (no display).
int RunQtDialog(CServiceDlg& dialog, int argc, char** argv);

// ShowStartupMessage (WindowFrontEnd.h) is the Qt window's here: a message
// box without an owner window (information icon, OK button).

}  // namespace app
