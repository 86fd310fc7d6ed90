#include "service/app/qt/QtDialogRunner.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "service/app/qt/DialogTemplates.h"
#include "service/app/qt/QtDialogHost.h"

namespace app::qt {

bool DisplayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

int RunQtWindow(app::IDialogLogic& logic, const QtWindowOptions& options, int argc, char** argv) {
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        // Qt ends the process when it cannot reach a display; say why first.
        if (!DisplayAvailable()) {
            std::fprintf(stderr,
                         "ZELT2Service: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is "
                         "set).\nRun it as 'ZELT2Service --headless' to serve without a window.\n");
            return 1;
        }
        static int s_argc = 0;
        s_argc = argc;
        app = std::make_unique<QApplication>(s_argc, argv);
        QApplication::setApplicationName(QStringLiteral("ZELT2Service"));
        // The window closes through its close button; the tray icon alone
        // must not keep the program alive after that.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    QApplication::setWindowIcon(AppIcon());
    CQtDialogHost host(logic);
    host.SetAboutSource(options.aboutSource);
    if (options.attachHost) options.attachHost(host);
    host.Run();
    return 0;
}

}  // namespace app::qt
