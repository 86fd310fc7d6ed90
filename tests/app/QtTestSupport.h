#pragma once
// What the window's tests share: one application on the offscreen platform,
// running the event loop until a condition holds, and answering modal boxes.

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

namespace testsupport {

inline QApplication& QtApp() {
    static int argc = 1;
    static char name[] = "zelt2-window-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* a = new QApplication(argc, argv);  // lives as long as the test program
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

// Runs the event loop until `done` holds or `ms` have passed.
template <typename Predicate>
bool Pump(Predicate done, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Closes the next modal widget that opens (a message box, the About box)
// after handing it to `look`.
inline void AnswerNextModal(std::function<void(QWidget*)> look) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, look] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        poll->stop();
        poll->deleteLater();
        look(modal);
        QMetaObject::invokeMethod(modal, "accept", Qt::QueuedConnection);
    });
    poll->start(10);
}

}  // namespace testsupport
