#pragma once
// The main window on the desktop: runs the window logic in the Qt window
// until the user closes it, and shows the messages of start-up that come
// before any window.

#include <string>

namespace app {

class CServiceDlg;

// Runs `dialog` in the window modally; OnDestroy has run when it returns.
// Returns the program's exit status: 0 when the window was closed, 8 when no
// window can be shown (no display, or a build without the window).
int RunQtDialog(CServiceDlg& dialog, int argc, char** argv);

// A message box without an owner window (information icon, OK button).
void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int argc, char** argv);

}  // namespace app
