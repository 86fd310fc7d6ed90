// ZELT2Screenshots: draws the service's window offscreen and writes PNGs of
// it: the main window stopped and running (with its live preview) in every
// shipped language, the About box, the tray icon's menu, and the window after
// its camera was lost. It runs the real window logic over simulated cameras,
// a registry folder of its own and a transport that stays on this computer.
//
//   ZELT2Screenshots OUTPUT-FOLDER

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Text.h"
#include "service/app/Autostart.h"
#include "service/app/DialogIds.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceDlg.h"
#include "service/app/qt/DialogTemplates.h"
#include "service/app/qt/QtDialogHost.h"
#include "service/app/qt/ServiceWindow.h"
#include "transport/PPPP_API.h"
#include "transport/client/PpppTable.h"
#include "service/video/Capture.h"
#include "service/settings/Registry.h"

namespace {

template <typename Predicate>
bool Pump(Predicate done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool Save(QWidget& widget, const QString& path) {
    QApplication::processEvents();
    if (widget.grab().save(path, "PNG")) {
        std::printf("%s\n", path.toUtf8().constData());
        return true;
    }
    std::fprintf(stderr, "ZELT2Screenshots: cannot write %s\n", path.toUtf8().constData());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: ZELT2Screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "ZELT2Screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    // Never the user's settings, cameras or display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const QString registry = QDir(out).absoluteFilePath(QStringLiteral(".registry"));
    QDir(registry).removeRecursively();
    setenv("ZELT2_REGISTRY_DIR", registry.toUtf8().constData(), 1);
    const QString autostartDir = QDir(out).absoluteFilePath(QStringLiteral(".autostart"));
    // The third camera goes away soon after the service starts on it.
    setenv("ZELT2_SIM_CAMERAS", "Desk Camera;Door Camera;Loose Camera,vanish=1500", 1);

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("ZELT2Service"));
    QApplication::setQuitOnLastWindowClosed(false);

    app::ControllerConfig config;
    config.pPppp = &pppp::RealPppp();
    config.pfnShareBandwidth = &PPPP_Share_Bandwidth;
    PPPP_InitOptions init{};
    init.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    char initString[PPPP_INIT_STRING_LENGTH + 1];
    if (PPPP_MakeInitString(&init, initString, sizeof initString) != PPPP_INIT_STRING_LENGTH) return 1;
    config.strInitString = initString;
    config.pRegistry = &settings::DefaultRegistry();
    config.makeCapture = [] { return video::MakePlatformCapture(); };

    int failures = 0;
    app::CServiceApp service;
    const int status = service.Run(
        [](const std::u16string& text, const std::u16string&) {
            std::fprintf(stderr, "ZELT2Screenshots: %s\n", platform::Utf16ToUtf8(text).c_str());
        },
        [&] {
            app::CServiceDlg dialog(config, app::g_strModuleDir);
            // Start at login is offered, over a folder of the pictures' own.
            app::CXdgAutostart autostart(autostartDir.toStdString(), "/usr/bin/ZELT2Service");
            dialog.AttachAutostart(&autostart);
            app::qt::CQtDialogHost host(dialog);
            app::qt::BindServiceDialog(host, dialog);
            host.Open();
            host.SetControlText(app::kIdcDid, u"ZELT2-DEMO-0001");
            host.SetControlText(app::kIdcPassword, u"secret");
            host.ComboSetCurSel(app::kIdcCamera, 0);
            for (int i = 0; i < host.ComboGetCount(app::kIdcLanguage); ++i) {
                host.ComboSetCurSel(app::kIdcLanguage, i);
                dialog.OnCommand(app::kIdcLanguage);
                const QString name = QString::fromStdU16String(host.ComboGetItemText(app::kIdcLanguage, i));
                dialog.UpdateClock();
                if (!Save(host.Window(), QDir(out).filePath(QStringLiteral("main-%1-stopped.png").arg(name)))) ++failures;
                static_cast<QAbstractButton*>(host.Control(app::kIdcConnect))->click();
                if (!Pump([&] { return dialog.Status() == app::kStatusRunning; }, 15000)) {
                    std::fprintf(stderr, "ZELT2Screenshots: the service did not start in %s\n", name.toUtf8().constData());
                    ++failures;
                }
                // Running, the live preview shows the camera's picture.
                const int pictures = host.PreviewPictures();
                if (!Pump([&] { return host.PreviewPictures() > pictures; }, 15000)) {
                    std::fprintf(stderr, "ZELT2Screenshots: no preview picture in %s\n", name.toUtf8().constData());
                    ++failures;
                }
                if (!Save(host.Window(), QDir(out).filePath(QStringLiteral("main-%1-running.png").arg(name)))) ++failures;
                static_cast<QAbstractButton*>(host.Control(app::kIdcConnect))->click();
            }
            QTimer::singleShot(200, [&] {
                if (QWidget* box = QApplication::activeModalWidget()) {
                    if (!Save(*box, QDir(out).filePath(QStringLiteral("about.png")))) ++failures;
                    box->close();
                }
            });
            host.ShowAboutBox();

            // The tray icon's menu.
            for (int i = 0; i < host.ComboGetCount(app::kIdcLanguage); ++i) {
                if (host.ComboGetItemText(app::kIdcLanguage, i) == u"English") host.ComboSetCurSel(app::kIdcLanguage, i);
            }
            dialog.OnCommand(app::kIdcLanguage);
            host.TrayMenu().ensurePolished();
            host.TrayMenu().adjustSize();
            if (!Save(host.TrayMenu(), QDir(out).filePath(QStringLiteral("tray-menu.png")))) ++failures;

            // A camera lost while serving: the message, then the window as it stays.
            host.ComboSetCurSel(app::kIdcCamera, 2);
            bool told = false;
            auto* poll = new QTimer(&host);
            QObject::connect(poll, &QTimer::timeout, [&] {
                QWidget* box = QApplication::activeModalWidget();
                if (!box || told) return;
                told = true;
                if (!Save(*box, QDir(out).filePath(QStringLiteral("camera-lost-message.png")))) ++failures;
                box->close();
            });
            poll->start(50);
            static_cast<QAbstractButton*>(host.Control(app::kIdcConnect))->click();
            if (!Pump([&] { return told && !QApplication::activeModalWidget(); }, 20000)) {
                std::fprintf(stderr, "ZELT2Screenshots: the lost camera was not told\n");
                ++failures;
            }
            poll->stop();
            dialog.UpdateClock();
            if (!Save(host.Window(), QDir(out).filePath(QStringLiteral("main-English-camera-lost.png")))) ++failures;
            host.CloseWindow();
            return 0;
        });
    QDir(registry).removeRecursively();
    QDir(autostartDir).removeRecursively();
    return status != 0 ? status : (failures ? 1 : 0);
}
