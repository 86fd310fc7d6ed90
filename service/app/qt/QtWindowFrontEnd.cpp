// The Qt window as the service's window, with the desktop's autostart entry
// (freedesktop.org) for the window's start-at-login choice.

#include <unistd.h>

#include <string>

#include "service/app/Autostart.h"
#include "service/app/ServiceDlg.h"
#include "service/app/WindowFrontEnd.h"
#include "service/app/qt/QtDialogRunner.h"

namespace app {

int RunServiceWindow(const ControllerConfig& config, const std::string& strModuleDir, int argc, char** argv) {
    // The window attaches its own host.
    CServiceDlg dialog(config, strModuleDir);
    char self[4096];
    const ssize_t selfBytes = ::readlink("/proc/self/exe", self, sizeof self - 1);
    CXdgAutostart autostart(CXdgAutostart::DefaultFolder(),
                            selfBytes > 0 ? std::string(self, static_cast<size_t>(selfBytes)) : std::string());
    // Offered where the desktop's autostart folder and this program are known.
    if (selfBytes > 0 && !CXdgAutostart::DefaultFolder().empty()) dialog.AttachAutostart(&autostart);
    return RunQtDialog(dialog, argc, argv);
}

}  // namespace app
