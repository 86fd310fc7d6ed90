#include "service/app/qt/QtDialogRunner.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Text.h"
#include "service/app/AboutDlg.h"
#include "service/app/DialogIds.h"
#include "service/app/LangTableTexts.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceDlg.h"
#include "service/app/qt/DialogTemplates.h"
#include "service/app/qt/QtDialogHost.h"
#include "service/app/qt/ServiceWindow.h"
#include "transport/PPPP_API.h"

namespace app::qt {
namespace {

// Qt ends the process when it cannot reach a display; we look first, to say
// so in our own words and leave with our own status.
bool DisplayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

// A display that is named but cannot be reached (no server there, no right
// to use it) ends Qt's start with a fatal message and an abort. We end
// there ourselves, with the status of "no window can be shown" and a
// message that says what to do, instead of a crash and its report.
QtMessageHandler g_previousHandler = nullptr;

void EndWhenNoDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (g_previousHandler) g_previousHandler(type, context, text);
        return;
    }
    std::string where;
    for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) where += std::string(where.empty() ? "" : ", ") + name + "=" + value;
    }
    // Qt's first sentence only: its advice to reinstall does not fit here.
    const QString detail = text.section(QStringLiteral(". "), 0, 0);
    std::fprintf(stderr,
                 "ZELT2Service: the window cannot be shown: the display cannot be reached (%s; Qt: %s).\n"
                 "To serve without a window: ZELT2Service --headless\n",
                 where.c_str(), detail.toLocal8Bit().constData());
    std::fflush(nullptr);
    // Qt is half started: nothing more may run in this process.
    _exit(kExitNoWindow);
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    if (QApplication::instance()) return nullptr;
    g_previousHandler = qInstallMessageHandler(EndWhenNoDisplay);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    QApplication::setApplicationName(QString::fromStdU16String(kAppName));
    // The window ends through its close button; the tray icon alone must not
    // keep the program alive, nor may a closing message box end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
    return application;
}

// SIGTERM (the session ending) and SIGINT close the window as its close
// button does, so that the service stops and the settings are saved. The
// handler only writes a byte; the window's thread reads it.
int g_closePipe[2] = {-1, -1};

void OnCloseSignal(int) {
    const char byte = 1;
    ssize_t ignored = write(g_closePipe[1], &byte, 1);
    (void)ignored;
}

class CCloseOnSignal {
public:
    explicit CCloseOnSignal(CQtDialogHost& host) {
        if (g_closePipe[0] < 0 && pipe2(g_closePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        m_notifier = std::make_unique<QSocketNotifier>(g_closePipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [&host] {
            char buffer[16];
            while (read(g_closePipe[0], buffer, sizeof buffer) > 0) {
            }
            host.CloseWindow();
        });
        struct sigaction action {};
        action.sa_handler = OnCloseSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, &m_oldTerm);
        sigaction(SIGINT, &action, &m_oldInt);
    }
    ~CCloseOnSignal() {
        if (!m_notifier) return;
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGINT, &m_oldInt, nullptr);
    }

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldTerm {};
    struct sigaction m_oldInt {};
};

}  // namespace

void BindServiceDialog(CQtDialogHost& host, CServiceDlg& dialog) {
    dialog.AttachHost(host);
    host.SetAboutSource([&dialog] {
        const CLangTableTexts pack(dialog.LangTable());
        return app::CAboutDlg(&pack, dialog.Version(), [] { return PPPP_GetAPIVersion(); }).OnInitDialog();
    });
}

}  // namespace app::qt

namespace app {

int RunQtDialog(CServiceDlg& dialog, int argc, char** argv) {
    if (!QApplication::instance() && !qt::DisplayAvailable()) {
        std::fprintf(stderr,
                     "ZELT2Service: there is no display to open the window on (neither DISPLAY nor "
                     "WAYLAND_DISPLAY is set).\nTo serve without a window: ZELT2Service --headless\n");
        return kExitNoWindow;
    }
    static int s_argc;  // QApplication keeps a reference to it
    s_argc = argc;
    const auto application = qt::MakeApplication(s_argc, argv);
    qt::CQtDialogHost host(dialog);
    qt::BindServiceDialog(host, dialog);
    const qt::CCloseOnSignal closeOnSignal(host);
    host.Run();
    return kExitDone;
}

void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int argc, char** argv) {
    // Printed in any case: the message box may not be seen (no display, or
    // a session that shows nothing).
    std::fprintf(stderr, "%s: %s\n", platform::Utf16ToUtf8(caption).c_str(), platform::Utf16ToUtf8(text).c_str());
    if (!QApplication::instance() && !qt::DisplayAvailable()) return;
    static int s_argc;
    s_argc = argc;
    const auto application = qt::MakeApplication(s_argc, argv);
    QMessageBox box(QMessageBox::Information, QString::fromStdU16String(caption), QString::fromStdU16String(text),
                    QMessageBox::Ok);
    box.exec();
}

}  // namespace app
