// The real window over the real logic: the Qt host, CServiceDlg, the camera
// library with a simulated camera, the GStreamer capture, the transport on
// loopback, a hive file in a temporary folder, and ZELT2Viewer as a separate
// process.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QToolTip>

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "service/app/AboutDlg.h"
#include "service/app/DialogIds.h"
#include "service/app/MakerInfo.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceDlg.h"
#include "service/app/qt/QtDialogHost.h"
#include "service/app/qt/QtHyperLink.h"
#include "service/app/qt/ServiceWindow.h"
#include "service/camera/XuBinding.h"
#include "transport/PPPP_API.h"
#include "transport/client/PpppTable.h"
#include "service/video/Capture.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "tests/app/QtTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using testsupport::Pump;

// The window logic as the host sees it, counting the clock's ticks.
class CTickCounter final : public app::IDialogLogic {
public:
    explicit CTickCounter(app::CServiceDlg& dialog) : m_dialog(dialog) {}
    void OnInitDialog() override { m_dialog.OnInitDialog(); }
    void OnCommand(int id) override { m_dialog.OnCommand(id); }
    void OnTimer(uint32_t id) override {
        m_dialog.OnTimer(id);
        if (id == app::kClockTimer) ++ticks;
    }
    bool OnCloseRequest() override { return m_dialog.OnCloseRequest(); }
    void OnDestroy() override { m_dialog.OnDestroy(); }
    void OnShown(bool shown) override { m_dialog.OnShown(shown); }
    int ticks = 0;

private:
    app::CServiceDlg& m_dialog;
};

class CViewerProcess {
public:
    CViewerProcess(const std::string& did, const std::string& log)
        : m_process(platform::GetProgramDirectory() + "ZELT2Viewer",
                    {"--did", did, "--password", "pw", "--this-host-only", "--timeout", "10", "--duration", "20",
                     "--quiet"},
                    Options(log)) {}
    bool Started() const { return m_process.Started(); }

private:
    static testsupport::ChildOptions Options(const std::string& log) {
        testsupport::ChildOptions options;
        options.log = log;
        return options;
    }
    testsupport::CChildProcess m_process;
};

// The environment ZELT2Service runs in here: these variables and no others,
// so that under the leak checker the program meets the same libraries as
// this test.
testsupport::ChildOptions ServiceOptions(std::vector<std::string> env, const std::string& log) {
    env.push_back("PATH=/usr/bin:/bin");
    if (const char* init = std::getenv(PPPP_INIT_ENV_VARIABLE)) env.push_back(std::string(PPPP_INIT_ENV_VARIABLE "=") + init);
    env.push_back("LSAN_OPTIONS=suppressions=" ZELT_QT_LSAN_SUPPRESSIONS);
    env.push_back("ASAN_OPTIONS=fast_unwind_on_malloc=0");
    env.push_back("TSAN_OPTIONS=suppressions=" ZELT_QT_TSAN_SUPPRESSIONS);
    testsupport::ChildOptions options;
    options.environment = std::move(env);
    options.inheritEnvironment = false;
    options.log = log;
    return options;
}

// Runs ZELT2Service with `args` where no display exists; its exit status,
// with its output in `log`.
// `env` adds to the environment, e.g. a DISPLAY where no server listens.
int RunServiceWithoutDisplay(std::vector<std::string> args, const std::string& registryDir, const std::string& log,
                             std::vector<std::string> env = {}) {
    env.insert(env.end(), {"ZELT2_REGISTRY_DIR=" + registryDir, "ZELT2_SIM_CAMERAS=none"});
    testsupport::ChildOptions options = ServiceOptions(std::move(env), log);
    options.workDir = registryDir;
    testsupport::CChildProcess service(platform::GetProgramDirectory() + "ZELT2Service", std::move(args), options);
    return service.Wait(120000);
}

// A display number where no X server listens.
std::string DisplayWithoutServer() {
    int number = 99;
    while (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0) ++number;
    return ":" + std::to_string(number);
}

TEST(ServiceProgram, WithoutADisplayTheWindowSaysSoAndTheHeadlessModeStarts) {
    testsupport::CTempDir dir;
    EXPECT_EQ(RunServiceWithoutDisplay({}, dir.Path(), dir.File("window.log")), app::kExitNoWindow);
    EXPECT_NE(testsupport::ReadBytes(dir.File("window.log")).find("--headless"), std::string::npos);
    // A display that is named but cannot be reached: the same status and advice, no crash.
    const std::string display = DisplayWithoutServer();
    EXPECT_EQ(RunServiceWithoutDisplay({}, dir.Path(), dir.File("unreachable.log"), {"DISPLAY=" + display}),
              app::kExitNoWindow)
        << testsupport::ReadBytes(dir.File("unreachable.log"));
    const std::string unreachable = testsupport::ReadBytes(dir.File("unreachable.log"));
    EXPECT_NE(unreachable.find("DISPLAY=" + display), std::string::npos) << unreachable;
    EXPECT_NE(unreachable.find("--headless"), std::string::npos) << unreachable;
    EXPECT_FALSE(testsupport::ReadBytes(dir.File(app::kCrashReportFile)).size() > 0);
    // The headless mode gets as far as the camera list (empty here).
    EXPECT_EQ(RunServiceWithoutDisplay({"--headless", "--did", "X", "--this-host-only"}, dir.Path(),
                                       dir.File("headless.log")),
              app::kExitNoCamera)
        << testsupport::ReadBytes(dir.File("headless.log"));
}

TEST(ServiceProgram, TheWindowClosesOnSigtermAndSavesTheSettings) {
    testsupport::CTempDir dir;
    const std::string log = dir.File("window.log");
    testsupport::ChildOptions options =
        ServiceOptions({"ZELT2_REGISTRY_DIR=" + dir.Path(), "ZELT2_SIM_CAMERAS=Desk Camera", "QT_QPA_PLATFORM=offscreen",
                        "ZELT2_TRACE=1"},
                       log);
    options.output = testsupport::ChildOptions::Output::Inherit;
    testsupport::CChildProcess service(platform::GetProgramDirectory() + "ZELT2Service", {}, options);
    ASSERT_TRUE(service.Started());
    const bool up = testsupport::WaitUntil(
        [&] { return testsupport::ReadBytes(log).find("OnInitDialog has been done") != std::string::npos; }, 30000);
    service.Signal(SIGTERM);
    const int status = service.Wait(30000);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(up) << testsupport::ReadBytes(log);
    EXPECT_EQ(status, app::kExitDone) << testsupport::ReadBytes(log);
    EXPECT_NE(testsupport::ReadBytes(dir.File("HKEY_CURRENT_USER.reg")).find("\"Language\"=\"English\""), std::string::npos)
        << testsupport::ReadBytes(dir.File("HKEY_CURRENT_USER.reg"));
}

class ServiceWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsupport::QtApp();
        // This test's own discovery port, on this computer only.
        PPPP_InitOptions options{};
        options.discoveryPort = 41492;
        options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
        char init[PPPP_INIT_STRING_LENGTH + 1];
        ASSERT_EQ(PPPP_MakeInitString(&options, init, sizeof init), PPPP_INIT_STRING_LENGTH);
        setenv(PPPP_INIT_ENV_VARIABLE, init, 1);
        setenv("ZELT2_SIM_CAMERAS", "Desk Camera", 1);
        app::g_strModuleDir = platform::GetProgramDirectory();
        ASSERT_GE(camera::LoadXuLibrary(app::g_strModuleDir), 0);
    }
    static void TearDownTestSuite() { camera::UnloadXuLibrary(); }

    ServiceWindowTest() : registry(folder.Path()) {
        app::ControllerConfig config;
        config.pPppp = &pppp::RealPppp();
        config.pfnShareBandwidth = &PPPP_Share_Bandwidth;
        config.strInitString = std::getenv(PPPP_INIT_ENV_VARIABLE);
        config.pRegistry = &registry;
        config.makeCapture = [] { return video::MakePlatformCapture(); };
        dialog = std::make_unique<app::CServiceDlg>(config, app::g_strModuleDir);
        logic = std::make_unique<CTickCounter>(*dialog);
        host = std::make_unique<app::qt::CQtDialogHost>(*logic);
        app::qt::BindServiceDialog(*host, *dialog);
        host->Open();
    }
    ~ServiceWindowTest() override {
        host->CloseWindow();
        host.reset();
        logic.reset();
        dialog.reset();
    }

    std::u16string Pack(const char16_t* key) const {
        const std::u16string* text = dialog->LangTable().GetText(key);
        return text ? *text : std::u16string();
    }
    void Click(int id) { QTest::mouseClick(host->Control(id), Qt::LeftButton); }
    void ChooseLanguage(const std::u16string& name) {
        auto* list = qobject_cast<QComboBox*>(host->Control(app::kIdcLanguage));
        const int index = list->findText(QString::fromStdU16String(name));
        ASSERT_GE(index, 0);
        list->setCurrentIndex(index);
        emit list->activated(index);  // as the user's choice
    }

    testsupport::CTempDir folder;
    settings::CHiveFileRegistry registry;
    std::unique_ptr<app::CServiceDlg> dialog;
    std::unique_ptr<CTickCounter> logic;
    std::unique_ptr<app::qt::CQtDialogHost> host;
};

TEST_F(ServiceWindowTest, ConnectServesAViewerAndTheWindowCountsIt) {
    ASSERT_TRUE(dialog->LangTable().HasPack());
    ASSERT_GT(host->ComboGetCount(app::kIdcCamera), 0);
    host->ComboSetCurSel(app::kIdcCamera, 0);
    const std::string did = "UIWIN" + std::to_string(getpid());
    host->SetControlText(app::kIdcDid, platform::Utf8ToUtf16(did));
    host->SetControlText(app::kIdcPassword, u"pw");

    Click(app::kIdcConnect);
    ASSERT_TRUE(Pump([&] { return host->GetControlText(app::kIdcStatus) == Pack(u"1101"); }, 20000))
        << platform::Utf16ToUtf8(host->GetControlText(app::kIdcStatus));
    EXPECT_EQ(host->GetControlText(app::kIdcConnect), Pack(u"0996"));
    for (int id : {app::kIdcDid, app::kIdcPassword, app::kIdcCamera}) EXPECT_FALSE(host->IsControlEnabled(id)) << id;
    EXPECT_EQ(host->GetControlText(app::kIdcOnline), u"0");

    CViewerProcess viewer(did, folder.File("viewer.log"));
    ASSERT_TRUE(viewer.Started());
    ASSERT_TRUE(Pump([&] { return dialog->Online() >= 1; }, 20000)) << testsupport::ReadBytes(folder.File("viewer.log"));
    const int ticksBefore = logic->ticks;
    ASSERT_TRUE(Pump([&] { return host->GetControlText(app::kIdcOnline) == u"1"; }, 10000));
    EXPECT_LE(logic->ticks - ticksBefore, 2);

    Click(app::kIdcConnect);
    EXPECT_EQ(host->GetControlText(app::kIdcStatus), Pack(u"1100"));
    EXPECT_EQ(host->GetControlText(app::kIdcConnect), Pack(u"0999"));
    for (int id : {app::kIdcDid, app::kIdcPassword, app::kIdcCamera}) EXPECT_TRUE(host->IsControlEnabled(id)) << id;
    EXPECT_FALSE(dialog->IsListening());
}

TEST_F(ServiceWindowTest, ThePreviewShowsTheCameraWhileTheWindowIsShownAndNothingIsMadeWhileItIsNot) {
    auto* preview = qobject_cast<QLabel*>(host->Control(app::kIdcPreview));
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->text().toStdU16String(), Pack(u"1133"));
    host->ComboSetCurSel(app::kIdcCamera, 0);
    host->SetControlText(app::kIdcDid, platform::Utf8ToUtf16("UIPRE" + std::to_string(getpid())));
    host->SetControlText(app::kIdcPassword, u"pw");
    Click(app::kIdcConnect);
    ASSERT_TRUE(Pump([&] { return host->PreviewPictures() >= 3; }, 20000));
    EXPECT_EQ(preview->pixmap().size(), QSize(160, 120));
    EXPECT_TRUE(preview->text().isEmpty());

    // Minimised: the capture is no longer asked for pictures, and none is
    // drawn over the next ticks of the clock.
    host->Window().showMinimized();
    ASSERT_TRUE(Pump([&] { return !dialog->Preview().Subscribed(); }, 10000));
    const int drawn = host->PreviewPictures();
    const int ticks = logic->ticks;
    ASSERT_TRUE(Pump([&] { return logic->ticks >= ticks + 2; }, 10000));
    EXPECT_EQ(host->PreviewPictures(), drawn);

    // Back on the screen: pictures again; stopped: the note.
    host->Window().showNormal();
    ASSERT_TRUE(Pump([&] { return host->PreviewPictures() >= drawn + 2; }, 20000));
    Click(app::kIdcConnect);
    ASSERT_TRUE(Pump([&] { return preview->text().toStdU16String() == Pack(u"1133"); }, 10000));
}

TEST_F(ServiceWindowTest, ALanguageChangeRelabelsTheWholeWindow) {
    ChooseLanguage(u"Deutsch");
    ASSERT_TRUE(dialog->LangTable().HasPack());
    ASSERT_NE(Pack(u"1002"), u"Language Select:");
    const std::pair<int, const char16_t*> labels[] = {
        {1022, u"1002"}, {1034, u"1014"}, {1008, u"0998"}, {1023, u"1003"}, {1016, u"1004"}, {1015, u"1005"},
        {1024, u"1006"}, {1029, u"1007"}, {1030, u"1008"}, {1031, u"1009"}, {1018, u"0999"}, {1025, u"1010"},
        {1026, u"1011"}, {1027, u"1012"}, {1028, u"1013"}, {1021, u"1100"}, {1038, u"1128"}, {1039, u"1129"}};
    for (const auto& [id, key] : labels) {
        EXPECT_EQ(host->GetControlText(id), Pack(key)) << id;
        EXPECT_FALSE(Pack(key).empty()) << id;
    }
    EXPECT_EQ(host->Window().windowTitle(),
              QString::fromStdU16String(Pack(u"1001") + u"(V" + dialog->Version() + u")"));
    EXPECT_EQ(host->AboutAction().text(), QString::fromStdU16String(Pack(u"0001")));
    // Screen readers hear the edits by their translated labels.
    for (const auto& [edit, key] : {std::pair{app::kIdcDid, u"1007"}, std::pair{app::kIdcPassword, u"1008"}})
        EXPECT_EQ(QAccessible::queryAccessibleInterface(host->Control(edit))->text(QAccessible::Name),
                  QString::fromStdU16String(Pack(key)));
    // The link's width follows its new text.
    EXPECT_EQ(host->Link().width(), host->Link().sizeHint().width());

    // The About box: the pack's product name, the transport's version.
    QString title, api, version, licences;
    testsupport::AnswerNextModal([&](QWidget* box) {
        title = box->windowTitle();
        licences = box->findChild<QLabel*>(QStringLiteral("ctl1040"))->text();
        api = box->findChild<QLabel*>(QStringLiteral("ctl1026"))->text();
        version = box->findChild<QLabel*>(QStringLiteral("ctl1016"))->text();
    });
    Click(app::kIdcAbout);
    EXPECT_EQ(title, QString::fromStdU16String(Pack(u"1001")));
    EXPECT_EQ(version, QString::fromStdU16String(Pack(u"1001") + u" V" + dialog->Version()));
    EXPECT_EQ(api, QString::fromStdU16String(app::FormatApiVersion(PPPP_GetAPIVersion())));
    // The libraries' licences, under a heading in the window's language.
    EXPECT_EQ(licences, QString::fromStdU16String(Pack(u"1131") + u"\n" + app::kLibraryLicences + u"\n" + Pack(u"1132")));

    // Escape and Return, wherever they are typed, leave the window open.
    for (int id : {app::kIdcDid, app::kIdcConnect, app::kIdcLanguage}) {
        QTest::keyClick(host->Control(id), Qt::Key_Escape);
        QTest::keyClick(host->Control(id), Qt::Key_Return);
    }
    QApplication::processEvents();
    EXPECT_FALSE(host->IsClosed());
    EXPECT_TRUE(host->Window().isVisible());
    EXPECT_FALSE(host->GetCheck(app::kIdcConnect));
}

TEST_F(ServiceWindowTest, ARefusedDidSaysTheRuleAndTheLinkSaysWhyWithItsAddress) {
    // A pasted DID longer than the box is refused whole, with the rule shown, never cut.
    auto* did = qobject_cast<QLineEdit*>(host->Control(app::kIdcDid));
    did->clear();
    did->insert(QString(40, QLatin1Char('A')));
    EXPECT_EQ(did->text(), QString());
    ASSERT_TRUE(Pump([] { return QToolTip::isVisible(); }));
    EXPECT_EQ(QToolTip::text(), QString::fromStdU16String(Pack(u"1116")));
    did->insert(QString(20, QLatin1Char('A')));
    EXPECT_EQ(did->text().size(), 20);

    // A DID over 20 bytes: the box says the rule, and is wide enough for its caption.
    host->ComboSetCurSel(app::kIdcCamera, 0);
    host->SetControlText(app::kIdcDid, u"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9A");
    QString text, title;
    int width = 0;
    testsupport::AnswerNextModal([&](QWidget* box) {
        title = box->windowTitle();
        text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
        width = box->width();
    });
    Click(app::kIdcConnect);
    EXPECT_EQ(text, QString::fromStdU16String(Pack(u"1112") + u"\n\n" + Pack(u"1116")));
    EXPECT_GT(width, QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(title) + 60);
    EXPECT_FALSE(host->GetCheck(app::kIdcConnect));

    // In Russian, the link that cannot open says so in Russian, with the address to copy.
    ChooseLanguage(u"\u0420\u0443\u0441\u0441\u043a\u0438\u0439");
    host->Link().Link().SetOpener([](std::u16string_view) { return platform::UrlOpenResult::NoHandler(); });
    Qt::TextInteractionFlags flags;
    testsupport::AnswerNextModal([&](QWidget* box) {
        title = box->windowTitle();
        text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
        flags = static_cast<QMessageBox*>(box)->textInteractionFlags();
    });
    QTest::mouseClick(&host->Link(), Qt::LeftButton);
    EXPECT_EQ(title, QString::fromStdU16String(Pack(u"1105")));
    for (const char16_t* key : {u"1119", u"1121", u"1120"})
        EXPECT_TRUE(text.contains(QString::fromStdU16String(Pack(key)))) << platform::Utf16ToUtf8(Pack(key));
    EXPECT_TRUE(text.endsWith(QString::fromUtf8(app::kMakerWebAddress))) << text.toStdString();
    EXPECT_TRUE(flags & Qt::TextSelectableByMouse);
}

}  // namespace
