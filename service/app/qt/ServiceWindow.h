#pragma once
// The service's window: the Qt host bound to the service's window logic.

namespace app {
class CServiceDlg;
}

namespace app::qt {

class CQtDialogHost;

// Attaches `host` to `dialog` and lets the About box show the dialog's
// active pack, its version and the transport's version.
void BindServiceDialog(CQtDialogHost& host, CServiceDlg& dialog);

}  // namespace app::qt
