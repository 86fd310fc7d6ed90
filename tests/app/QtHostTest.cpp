// The Qt host of the window logic, on the offscreen platform, driven by a
// small logic that records what the host tells it.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAbstractButton>
#include <QMessageBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QToolTip>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "service/app/LinkErrorText.h"
#include "service/app/qt/DialogTemplates.h"
#include "service/app/qt/QtDialogHost.h"
#include "service/app/qt/QtHyperLink.h"
#include "service/app/DialogIds.h"
#include "tests/app/QtTestSupport.h"

namespace {

using app::qt::CQtDialogHost;

using testsupport::AnswerNextModal;
using testsupport::Pump;

struct TestLogic : app::IDialogLogic {
    void OnInitDialog() override { ++inits; }
    void OnCommand(int id) override { commands.push_back(id); }
    void OnTimer(uint32_t id) override {
        timers.push_back(id);
        timerOnWindowThread = timerOnWindowThread && QThread::currentThread() == qApp->thread();
    }
    bool OnCloseRequest() override { return ++closeRequests, allowClose; }
    void OnDestroy() override { ++destroys; }
    void OnShown(bool shown) override { this->shown = shown; }

    int inits = 0, destroys = 0, closeRequests = 0;
    bool allowClose = true;
    bool shown = false;
    std::vector<int> commands;
    std::vector<uint32_t> timers;
    bool timerOnWindowThread = true;
};

class QtHostTest : public ::testing::Test {
protected:
    QtHostTest() { testsupport::QtApp(); }
    TestLogic logic;
};

TEST_F(QtHostTest, TheMainWindowHasTheTemplatesControls) {
    CQtDialogHost host(logic);
    host.Open();
    EXPECT_EQ(logic.inits, 1);
    EXPECT_TRUE(host.Window().isVisible());
    EXPECT_EQ(host.Window().windowTitle(), QStringLiteral("ZELT2 Service"));
    EXPECT_FALSE(host.Window().windowIcon().isNull());
    for (int id : {1022, 1002, 1034, 1033, 1008, 1023, 1016, 1015, 1024, 1029, 1003, 1030, 1009, 1031, 1018, 1025,
                   1026, 1019, 1027, 1020, 1028, 1021}) {
        EXPECT_NE(host.Control(id), nullptr) << id;
    }
    EXPECT_EQ(host.GetControlText(1018), u"Connect to Internet");
    EXPECT_EQ(host.GetControlText(1021), u"Stopped");
    EXPECT_EQ(host.GetControlText(1019), u"-");
    for (int id : {1023, 1016, 1015}) EXPECT_FALSE(host.IsControlVisible(id)) << id;
    EXPECT_TRUE(host.IsControlVisible(1024));
    EXPECT_TRUE(host.GetCheck(1015));
    EXPECT_EQ(qobject_cast<QLineEdit*>(host.Control(1003))->maxLength(), 20);
    EXPECT_EQ(host.Link().toolTip(), QStringLiteral("https://www.example.com/").left(host.Link().toolTip().size()));

    // Longer texts widen the window instead of being cut.
    const int width = host.Window().width();
    host.SetControlText(1022, std::u16string(80, u'W'));
    ASSERT_TRUE(Pump([&] { return host.Window().width() > width; }));
    // The link resizes to a shorter text.
    const int linkWidth = host.Link().width();
    host.SetControlText(1031, u"Account");
    EXPECT_LT(host.Link().width(), linkWidth);
    EXPECT_EQ(host.Link().text(), QStringLiteral("Account"));
}

TEST_F(QtHostTest, ClicksAndKeysReachTheLogicButNeverCloseTheWindow) {
    CQtDialogHost host(logic);
    host.Open();
    QTest::mouseClick(host.Control(1018), Qt::LeftButton);
    EXPECT_TRUE(host.GetCheck(1018));
    QTest::mouseClick(host.Control(1008), Qt::LeftButton);
    EXPECT_EQ(logic.commands, (std::vector<int>{1018, 1008}));
    host.AboutAction().trigger();
    EXPECT_EQ(logic.commands.back(), app::kAboutMenuCommand);

    for (int id : {1003, 1009, 1018, 1002}) {
        host.Control(id)->setFocus();
        QTest::keyClick(host.Control(id), Qt::Key_Escape);
        QTest::keyClick(host.Control(id), Qt::Key_Return);
        QTest::keyClick(host.Control(id), Qt::Key_Enter);
    }
    QTest::keyClick(&host.Window(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(host.Window().isVisible());
    EXPECT_FALSE(host.IsClosed());
    EXPECT_TRUE(host.GetCheck(1018));  // Return did not toggle it
    EXPECT_EQ(logic.commands.size(), 3u);

    // The close button ends it, once.
    host.Window().close();
    EXPECT_TRUE(host.IsClosed());
    host.CloseWindow();
    EXPECT_EQ(logic.destroys, 1);
}

TEST_F(QtHostTest, ListsEditsAndChecks) {
    CQtDialogHost host(logic);
    host.Open();
    EXPECT_EQ(host.ComboAddString(1002, u"English"), 0);
    EXPECT_EQ(host.ComboAddString(1002, u"deutsch"), 0);
    EXPECT_EQ(host.ComboAddString(1002, u"Zulu"), 2);
    EXPECT_EQ(host.ComboGetCurSel(1002), -1);
    EXPECT_EQ(host.GetControlText(1002), u"");
    EXPECT_EQ(host.ComboAddString(1033, u"B cam"), 0);
    EXPECT_EQ(host.ComboAddString(1033, u"A cam"), 1);
    host.ComboSetCurSel(1033, 1);
    EXPECT_EQ(host.GetControlText(1033), u"A cam");
    host.ComboSetCurSel(1033, 7);
    EXPECT_EQ(host.ComboGetCurSel(1033), -1);
    EXPECT_EQ(host.ComboGetItemText(1002, 1), u"English");

    // Choosing from the list is a command; setting it from the logic is not.
    auto* combo = qobject_cast<QComboBox*>(host.Control(1002));
    emit combo->activated(1);
    EXPECT_EQ(logic.commands, std::vector<int>{1002});

    host.EnableControl(1003, false);
    EXPECT_FALSE(host.IsControlEnabled(1003));
    host.SetControlText(1003, u"  cam-1 ");
    EXPECT_EQ(host.GetControlText(1003), u"  cam-1 ");
    host.SetCheck(1015, false);
    host.SetCheck(1016, false);
    EXPECT_FALSE(host.GetCheck(1015));
    EXPECT_FALSE(host.GetCheck(1016));
    host.SetCheck(1016, true);
    EXPECT_TRUE(host.GetCheck(1016));

    // The password box takes what the password buffer holds, 23 bytes of
    // UTF-8 whatever its width, and says why it refuses more.
    auto* password = qobject_cast<QLineEdit*>(host.Control(1009));
    password->setFocus();
    QTest::keyClicks(password, QString(400, QLatin1Char('W')));
    EXPECT_GT(password->text().size(), 3);
    EXPECT_LT(password->text().size(), 400);
    EXPECT_EQ(password->text(), QString(23, QLatin1Char('W')));
    EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("at most 23 bytes"))) << QToolTip::text().toStdString();
    password->clear();
    for (int i = 0; i < 20; ++i) {  // a letter of two bytes, typed 20 times
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x0416)));
        QApplication::sendEvent(password, &press);
    }
    EXPECT_EQ(password->text(), QString(11, QChar(0x0416)));
    // A longer stored password can still be shortened.
    host.SetControlText(1009, std::u16string(30, u'p'));
    password->end(false);
    QTest::keyClick(password, Qt::Key_Backspace);
    EXPECT_EQ(password->text().size(), 29);
}

TEST_F(QtHostTest, TimersAndPostedWorkRunOnTheWindowsThread) {
    CQtDialogHost host(logic);
    host.Open();
    EXPECT_EQ(host.SetTimer(100, 20), 100u);
    EXPECT_EQ(host.SetTimer(0, 20), 0u);
    ASSERT_TRUE(Pump([&] { return logic.timers.size() >= 3; }));
    EXPECT_TRUE(logic.timerOnWindowThread);
    host.KillTimer(100);
    const size_t fired = logic.timers.size();
    QTest::qWait(60);
    EXPECT_EQ(logic.timers.size(), fired);

    std::atomic<int> ran{0};
    std::atomic<bool> onWindowThread{true};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            host.PostToWindow([&] {
                onWindowThread = onWindowThread && QThread::currentThread() == qApp->thread();
                ++ran;
            });
        }
    });
    worker.join();  // the worker never waited for the window
    EXPECT_EQ(ran.load(), 0);
    ASSERT_TRUE(Pump([&] { return ran == 100; }));
    EXPECT_TRUE(onWindowThread);

    host.SetTimer(101, 10);
    host.PostToWindow([&] { ++ran; });
    host.CloseWindow();
    host.PostToWindow([&] { ++ran; });
    const size_t before = logic.timers.size();
    QTest::qWait(50);
    EXPECT_EQ(ran.load(), 100);  // work left over when the window went is dropped
    EXPECT_EQ(logic.timers.size(), before);
}

TEST_F(QtHostTest, MessageBoxesAreModalWithTheirCaption) {
    CQtDialogHost host(logic);
    host.Open();
    host.SetTimer(100, 20);
    QString caption, text;
    AnswerNextModal([&](QWidget* box) {
        caption = box->windowTitle();
        text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
    });
    logic.timers.clear();
    EXPECT_EQ(host.MessageBox(u"Please select one USB video device", u"ZELT2", app::MessageBoxKind::Ok),
              app::MessageBoxResult::Ok);
    EXPECT_EQ(caption, QStringLiteral("ZELT2"));
    EXPECT_EQ(text, QStringLiteral("Please select one USB video device"));

    QApplication::setApplicationName(QStringLiteral("ZELT2Service"));
    AnswerNextModal([&](QWidget* box) { caption = box->windowTitle(); });
    host.MessageBox(u"x", u"", app::MessageBoxKind::Ok);
    EXPECT_EQ(caption, QStringLiteral("ZELT2Service"));  // a missing caption: the program's name

    // The buttons speak the window's language.
    app::ButtonTexts russian{u"\u041e\u041a", u"\u041e\u0442\u043c\u0435\u043d\u0430", u"\u0414\u0430",
                             u"\u041d\u0435\u0442"};
    host.SetButtonTexts(russian);
    QStringList words;
    AnswerNextModal([&](QWidget* box) {
        for (QAbstractButton* button : static_cast<QMessageBox*>(box)->buttons()) words << button->text();
    });
    host.MessageBox(u"Quit?", u"", app::MessageBoxKind::YesNo);
    words.sort();
    EXPECT_EQ(words, (QStringList{QString::fromStdU16String(russian.strYes), QString::fromStdU16String(russian.strNo)}));

    // A short text leaves room for the whole caption.
    int width = 0;
    AnswerNextModal([&](QWidget* box) { width = box->width(); });
    const std::u16string longCaption = u"\u0421\u043b\u0443\u0436\u0431\u0430 ZELT2 Service \u2014 \u0441\u043e\u043e\u0431\u0449\u0435\u043d\u0438\u0435";
    host.MessageBox(u"Wrong DID", longCaption, app::MessageBoxKind::Ok);
    EXPECT_GT(width, QFontMetrics(QApplication::font("QMdiSubWindowTitleBar"))
                             .horizontalAdvance(QString::fromStdU16String(longCaption)) + 60);
}

TEST_F(QtHostTest, AboutBoxShowsWhatItsSourceGives) {
    CQtDialogHost host(logic);
    host.SetAboutSource([] { return app::CAboutDlg(nullptr, u"2.1.1", [] { return 0x01020304u; }).OnInitDialog(); });
    host.Open();
    QString api, title, legal, ok;
    AnswerNextModal([&](QWidget* box) {
        ok = box->findChild<QPushButton*>(QStringLiteral("ctl1"))->text();
        title = box->windowTitle();
        api = box->findChild<QLabel*>(QStringLiteral("ctl1026"))->text();
        legal = box->findChild<QLabel*>(QStringLiteral("ctl1035"))->text();
    });
    host.ShowAboutBox();
    EXPECT_EQ(api, QStringLiteral("API V1.2.3.4"));
    EXPECT_EQ(ok, QStringLiteral("OK"));
    EXPECT_EQ(title, QStringLiteral("ZELT2 Service"));
    EXPECT_FALSE(legal.isEmpty());

    host.SetAboutMenuText(u"Über...");
    EXPECT_EQ(host.AboutAction().text(), QStringLiteral("Über..."));
}

TEST_F(QtHostTest, ALinkThatCannotOpenBeepsAndSaysWhy) {
    CQtDialogHost host(logic);
    host.Open();
    // A desktop with no application for the address.
    host.Link().Link().SetOpener([](std::u16string_view) { return platform::UrlOpenResult::NoHandler(); });
    EXPECT_EQ(host.Link().toolTip(), QStringLiteral("https://www.example.com/"));

    QString caption, text;
    AnswerNextModal([&](QWidget* box) {
        caption = box->windowTitle();
        text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
    });
    QTest::mouseClick(&host.Link(), Qt::LeftButton);
    EXPECT_EQ(logic.commands, std::vector<int>{1031});  // the parent heard of the click first
    EXPECT_EQ(text, QString::fromStdU16String(app::ReportErrorText(app::kErrNoAssociation)));
    EXPECT_EQ(caption, QApplication::applicationName());
    EXPECT_FALSE(host.Link().Link().GetVisited());
}

TEST_F(QtHostTest, MinimiseHidesOnlyWhenATrayCanBringItBack) {
    bool trayAvailable = false;
    CQtDialogHost host(logic, [&] { return trayAvailable; });
    host.Open();
    host.SetTrayTip(u"Talvik Remote Service");
    ASSERT_NE(host.Tray(), nullptr);
    EXPECT_EQ(host.Tray()->toolTip(), QStringLiteral("Talvik Remote Service"));

    // No tray on this desktop: an ordinary minimised window.
    host.Window().showMinimized();
    QTest::qWait(30);
    EXPECT_FALSE(host.Window().isHidden());

    trayAvailable = true;
    host.Window().showNormal();
    host.Window().showMinimized();
    ASSERT_TRUE(Pump([&] { return host.Window().isHidden(); }));
    host.OnTrayActivated(QSystemTrayIcon::Context);
    host.OnTrayActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(host.Window().isHidden());
    host.OnTrayActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(host.Window().isVisible());
    EXPECT_FALSE(host.Window().isMinimized());

    host.Window().showMaximized();
    ASSERT_TRUE(Pump([&] { return !host.Window().isMaximized(); }));

    host.SetTrayTip(u"");
    EXPECT_EQ(host.Tray(), nullptr);
}

TEST_F(QtHostTest, TheTrayHasAMenuAStatusLineAndNotificationsAndACloseCanBeRefused) {
    CQtDialogHost host(logic);
    host.Open();
    host.SetTrayMenu({{app::kTrayShowCommand, u"Show window"}, {app::kTrayQuitCommand, u"Quit"}});
    host.SetTrayTip(u"Talvik Remote Service");
    host.SetTrayStatus(u"Running \u00b7 2");
    ASSERT_NE(host.Tray(), nullptr);
    EXPECT_EQ(host.Tray()->contextMenu(), &host.TrayMenu());
    EXPECT_EQ(host.Tray()->toolTip(), QStringLiteral("Talvik Remote Service\nRunning \u00b7 2"));
    const QList<QAction*> actions = host.TrayMenu().actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[1]->text(), QStringLiteral("Quit"));
    actions[1]->trigger();
    EXPECT_EQ(logic.commands, std::vector<int>{app::kTrayQuitCommand});
    host.ShowNotification(u"ZELT2", u"A viewer started watching.");
    EXPECT_EQ(host.Notifications(), QStringList{QStringLiteral("ZELT2|A viewer started watching.")});

    // The tray's Show brings a hidden window back.
    host.Window().hide();
    host.ShowWindow();
    EXPECT_TRUE(host.Window().isVisible());

    // The logic may keep the window open (viewers are watching).
    logic.allowClose = false;
    host.Window().close();
    EXPECT_FALSE(host.IsClosed());
    EXPECT_EQ(logic.closeRequests, 1);
    logic.allowClose = true;
    host.Window().close();
    EXPECT_TRUE(host.IsClosed());
}

TEST_F(QtHostTest, TheWindowGoesBackWhereItWasButStaysOnTheScreen) {
    const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
    {
        CQtDialogHost host(logic);
        EXPECT_FALSE(host.GetWindowPosition().has_value());  // never shown: nothing to store
        host.SetWindowPosition(room.left() + 30, room.top() + 20);
        host.Open();
        EXPECT_EQ(host.GetWindowPosition(), std::make_pair(room.left() + 30, room.top() + 20));
    }
    // A place near the corner of a screen that has since shrunk: moved in
    // until the whole window shows. A place no screen shows: the desktop's.
    CQtDialogHost host(logic);
    host.SetWindowPosition(room.right() - 5, room.bottom() - 5);
    host.Open();
    EXPECT_TRUE(room.contains(host.Window().frameGeometry())) << host.Window().frameGeometry().x();
    const QPoint before = host.Window().pos();
    host.SetWindowPosition(room.right() + 5000, room.bottom() + 5000);
    EXPECT_EQ(host.Window().pos(), before);
}

// Every control a screen reader can reach, as the accessibility tree (what
// the desktop's accessibility bridge serves) holds it.
std::vector<QAccessibleInterface*> AccessibleControls(QWidget& window) {
    std::vector<QAccessibleInterface*> found;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        for (int i = 0; i < node->childCount(); ++i) {
            QAccessibleInterface* child = node->child(i);
            if (!child || child->state().invisible) continue;
            found.push_back(child);
            walk(child);
        }
    };
    walk(QAccessible::queryAccessibleInterface(&window));
    return found;
}

TEST_F(QtHostTest, ScreenReadersHearEachControlByItsOwnNameAndAltKeysReachThem) {
    CQtDialogHost host(logic);
    host.Open();
    host.Link().Link().SetOpener([](std::u16string_view) { return platform::UrlOpenResult::Success(); });
    std::map<QAccessible::Role, QStringList> named;
    QSet<QString> names;
    for (QAccessibleInterface* control : AccessibleControls(host.Window())) {
        const QAccessible::Role role = control->role();
        if (role != QAccessible::EditableText && role != QAccessible::ComboBox && role != QAccessible::Button &&
            role != QAccessible::Link && role != QAccessible::CheckBox)
            continue;
        const QString name = control->text(QAccessible::Name);
        EXPECT_FALSE(name.isEmpty()) << control->object()->objectName().toStdString();
        EXPECT_FALSE(names.contains(name)) << name.toStdString();
        names.insert(name);
        named[role].append(name);
        if (control->object() == host.Control(app::kIdcConnect)) {
            EXPECT_TRUE(control->state().checkable);
            EXPECT_FALSE(control->state().checked);
        }
        if (role == QAccessible::Link) {
            EXPECT_EQ(control->text(QAccessible::Description), QStringLiteral("https://www.example.com/"));
            control->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        }
    }
    EXPECT_EQ(named[QAccessible::EditableText], (QStringList{QStringLiteral("DID:"), QStringLiteral("Password:")}));
    EXPECT_EQ(named[QAccessible::ComboBox].size(), 2);
    EXPECT_EQ(named[QAccessible::Button].size(), 2);  // About and the connect toggle
    EXPECT_EQ(named[QAccessible::Link], QStringList{host.Link().text()});
    EXPECT_EQ(named[QAccessible::CheckBox].size(), 2);  // start at login, serve again at launch
    EXPECT_EQ(logic.commands, std::vector<int>{app::kIdcAccountLink});  // pressed by the reader

    // Alt-key accelerators, none twice, whatever the texts; a label's takes
    // the keyboard to its control, and a '&' of the text shows as itself.
    host.SetControlText(app::kIdcPasswordLabel, u"Passwort & PIN:");
    EXPECT_EQ(host.GetControlText(app::kIdcPasswordLabel), u"Passwort & PIN:");
    EXPECT_EQ(qobject_cast<QLabel*>(host.Control(app::kIdcPasswordLabel))->text(), QStringLiteral("&Passwort && PIN:"));
    QSet<QChar> keys;
    for (int id : {app::kIdcConnect, app::kIdcDidLabel, app::kIdcPasswordLabel, app::kIdcCameraLabel,
                   app::kIdcLanguageLabel, app::kIdcAbout, app::kIdcStartAtLogin, app::kIdcResume}) {
        QWidget* w = host.Control(id);
        const QString text = qobject_cast<QLabel*>(w) ? qobject_cast<QLabel*>(w)->text()
                                                      : qobject_cast<QAbstractButton*>(w)->text();
        const qsizetype mark = QString(text).replace(QStringLiteral("&&"), QStringLiteral("__")).indexOf(u'&');
        ASSERT_GE(mark, 0) << text.toStdString();
        EXPECT_FALSE(keys.contains(text[mark + 1].toLower())) << text.toStdString();
        keys.insert(text[mark + 1].toLower());
    }
    host.Window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&host.Window()));
    QTest::keyClick(&host.Window(), Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(host.Control(app::kIdcDid)->hasFocus());
    QTest::keyClick(&host.Window(), Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(Pump([&] { return host.GetCheck(app::kIdcConnect); }));  // a button's key clicks it
}

}  // namespace
