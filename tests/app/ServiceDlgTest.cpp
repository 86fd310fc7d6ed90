// The main window's logic over the service controller, on a recording host:
// start-up, the connect button and its refusals, settings, language, the
// controller's threads reaching the window, and teardown. The camera library,
// the capture and the transport are fakes at their ports; the registry is a
// real hive file in a temporary folder.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <mutex>
#include <thread>

#include "platform/Text.h"
#include "service/app/Autostart.h"
#include "service/app/DialogIds.h"
#include "service/app/DialogUtil.h"
#include "service/app/ServiceDlg.h"
#include "service/settings/Settings.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "tests/app/AppFakes.h"
#include "tests/app/MemoryDialogHost.h"
#include "tests/app/PackBytes.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using namespace app;
using namespace settings;
using testsupport::CFakeTransport;

using appfakes::Log;
using appfakes::Position;

// The transport's start and end.
int g_nInitResult = 0;
int FakeInitialize(const char*) { return Log("PPPP_Initialize"), g_nInitResult; }
int FakeDeInitialize() { return Log("PPPP_DeInitialize"), 0; }

class CRecordingHost final : public testsupport::CMemoryDialogHost {
public:
    CRecordingHost() : CMemoryDialogHost({kIdcLanguage}) {}
    MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption, MessageBoxKind kind) override {
        messages.push_back(platform::Utf16ToUtf8(caption + u"|" + text));
        if (kind == MessageBoxKind::YesNo && bAnswerNo) return MessageBoxResult::No;
        return CMemoryDialogHost::MessageBox(text, caption, kind);
    }
    uint32_t SetTimer(uint32_t id, uint32_t periodMs) override {
        Log("SetTimer " + std::to_string(id));
        return CMemoryDialogHost::SetTimer(id, periodMs);
    }
    void KillTimer(uint32_t id) override {
        Log("KillTimer " + std::to_string(id));
        CMemoryDialogHost::KillTimer(id);
    }
    void SetTrayTip(const std::u16string& tip) override {
        Log(tip.empty() ? "tray removed" : "tray added");
        CMemoryDialogHost::SetTrayTip(tip);
    }
    std::string Text(int id) const { return platform::Utf16ToUtf8(GetControlText(id)); }
    std::vector<std::string> messages;
    bool bAnswerNo = false;
    // The tray menu's texts, in order.
    std::vector<std::string> TrayMenuTexts() const {
        std::vector<std::string> texts;
        for (const TrayMenuItem& item : TrayMenu()) texts.push_back(platform::Utf16ToUtf8(item.strText));
        return texts;
    }
};

// The hive file, with writes logged and made to fail on demand.
class CLoggingRegistry final : public settings::IRegistry {
public:
    explicit CLoggingRegistry(const std::string& dir) : m_file(dir) {}
    long CreateKey(settings::HREGKEY root, std::u16string_view path, uint32_t access, settings::HREGKEY* key) override {
        return m_file.CreateKey(root, path, access, key);
    }
    long OpenKey(settings::HREGKEY root, std::u16string_view path, uint32_t access, settings::HREGKEY* key) override {
        return m_file.OpenKey(root, path, access, key);
    }
    long CloseKey(settings::HREGKEY key) override { return m_file.CloseKey(key); }
    long QueryValueCount(settings::HREGKEY key, uint32_t* count) override { return m_file.QueryValueCount(key, count); }
    long EnumValue(settings::HREGKEY key, uint32_t index, char16_t* name, uint32_t* nameChars, uint32_t* type,
                   uint8_t* data, uint32_t* dataBytes) override {
        return m_file.EnumValue(key, index, name, nameChars, type, data, dataBytes);
    }
    long SetValue(settings::HREGKEY key, std::u16string_view name, uint32_t type, const uint8_t* data,
                  uint32_t bytes) override {
        Log("save " + platform::Utf16ToUtf8(name));
        return m_nFailSet ? m_nFailSet : m_file.SetValue(key, name, type, data, bytes);
    }
    // Direct access for the tests.
    void Put(std::u16string_view name, uint32_t type, const std::vector<uint8_t>& data) {
        settings::HREGKEY key = nullptr;
        m_file.CreateKey(settings::kRegCurrentUser, kSettingsKeyPath, settings::kKeySetValue, &key);
        m_file.SetValue(key, name, type, data.data(), static_cast<uint32_t>(data.size()));
        m_file.CloseKey(key);
    }
    void PutString(std::u16string_view name, std::u16string_view text) {
        std::vector<uint8_t> data;
        for (char16_t c : text) data.insert(data.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
        data.insert(data.end(), {0, 0});
        Put(name, settings::kRegSz, data);
    }
    // The stored text of a value; "<missing>" when there is none.
    std::string Stored(std::u16string_view name) {
        settings::CRegStore store(0, m_file);
        if (!store.Open(kSettingsKeyPath, settings::kRegCurrentUser, settings::kKeyQueryValue, false)) return "<no key>";
        settings::CRegValue& value = store.Value(name);
        return value.m_nType == settings::kRegNone ? "<missing>" : platform::Utf16ToUtf8(value.GetString());
    }
    settings::CHiveFileRegistry m_file;
    long m_nFailSet = 0;
};

class ServiceDlgTest : public ::testing::Test {
protected:
    ServiceDlgTest() : m_registry(m_regDir.Path()) {
        appfakes::CLog::Instance().Clear();
        g_nInitResult = 0;
        CFakeTransport::Instance().Reset();
        m_previousXu = appfakes::CameraLibrary::Instance().Install();

        // The program directory: the shipped packs in res/.
        mkdir(m_moduleDir.File("res").c_str(), 0700);
        for (const char* name : {"Lang_English.ini", "Lang_Deutsch.ini"})
            testsupport::WriteBytes(m_moduleDir.File(std::string("res/") + name),
                                    testsupport::ReadBytes(std::string(ZELT_RES_DIR) + "/" + name));
        m_pppp = CFakeTransport::Table();
        m_pppp.Initialize = FakeInitialize;
        m_pppp.DeInitialize = FakeDeInitialize;
    }
    ~ServiceDlgTest() override {
        m_pDialog.reset();
        camera::InstallXuEntryPoints(m_previousXu);
    }

    CServiceDlg& Start(bool withProgramDirectory = true) {
        m_pDialog.reset();
        m_pHost = std::make_unique<CRecordingHost>();
        ControllerConfig config;
        config.pPppp = &m_pppp;
        config.strInitString = "INIT";
        config.pRegistry = &m_registry;
        config.makeCapture = [this] { return std::make_unique<appfakes::CLoggedCapture>(m_capture); };
        m_pDialog = std::make_unique<CServiceDlg>(config, withProgramDirectory ? m_moduleDir.Path() + "/" : std::string());
        m_pDialog->AttachHost(*m_pHost);
        m_pDialog->AttachAutostart(m_pAutostart);
        m_pDialog->OnInitDialog();
        return *m_pDialog;
    }
    void Press(bool pressed) {
        m_pHost->SetCheck(kIdcConnect, pressed);
        m_pDialog->OnCommand(kIdcConnect);
    }
    // The toggle released with its connect text; the camera list and the edits free.
    void ExpectStoppedState() {
        EXPECT_FALSE(m_pHost->GetCheck(kIdcConnect));
        EXPECT_EQ(m_pHost->Text(kIdcConnect), "Connect to Internet");
        for (int id : {kIdcDid, kIdcPassword, kIdcCamera}) EXPECT_TRUE(m_pHost->IsControlEnabled(id)) << id;
    }
    void Type(const std::u16string& did, const std::u16string& password = u"pw") {
        m_pHost->SetControlText(kIdcDid, did);
        m_pHost->SetControlText(kIdcPassword, password);
    }

    testsupport::CTempDir m_moduleDir;
    testsupport::CTempDir m_regDir;
    CLoggingRegistry m_registry;
    pppp::PpppTable m_pppp{};
    std::unique_ptr<CRecordingHost> m_pHost;
    camera::XuEntryPoints m_previousXu;
    testsupport::CFakeCapture m_capture;
    app::IAutostart* m_pAutostart = nullptr;
    std::unique_ptr<CServiceDlg> m_pDialog;
};

TEST_F(ServiceDlgTest, AFirstRunStartsFromDefaultsAndLeavesAllFiveSettingsAtExit) {
    CServiceDlg& dlg = Start();
    EXPECT_EQ(m_pHost->ComboGetItemText(kIdcLanguage, 0), u"Deutsch");
    EXPECT_EQ(m_pHost->Text(kIdcLanguage), "English");
    EXPECT_EQ(m_pHost->Text(kIdcDid), "");
    EXPECT_EQ(dlg.QualityMode(), kQualityNormal);
    EXPECT_TRUE(dlg.NormalQuality());
    EXPECT_FALSE(dlg.HighQuality());
    EXPECT_EQ(m_pHost->ComboGetCurSel(kIdcCamera), -1);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Stopped");
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "Connect to Internet");
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->WindowTitle()), "ZELT2 Service(V2.1.1)");
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->TrayTip()), "Talvik Remote Service");
    EXPECT_TRUE(m_pHost->TimerRuns(kClockTimer));

    dlg.OnTimer(kClockTimer);
    EXPECT_EQ(m_pHost->Text(kIdcOnline), "0");
    EXPECT_EQ(m_pHost->Text(kIdcClock).size(), std::string("12/07/2012 01:05:09/PM").size());

    dlg.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"DID"), "");
    EXPECT_EQ(m_registry.Stored(u"Password"), "");
    EXPECT_EQ(m_registry.Stored(u"Mode"), "2");
    EXPECT_EQ(m_registry.Stored(u"Language"), "English");
    EXPECT_EQ(m_registry.Stored(u"CamDriveName"), "");
    EXPECT_TRUE(m_pHost->messages.empty());
}

TEST_F(ServiceDlgTest, StoredModeDecidesQualityAndRadios) {
    struct Case {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> data;
        int32_t mode;
    };
    const std::vector<Case> cases = {
        {"text 1", settings::kRegSz, {'1', 0, 0, 0}, 1},
        {"dword 1", settings::kRegDword, {1, 0, 0, 0}, 1},
        {"binary 1", settings::kRegBinary, {'1', 0}, 1},
        {"text 0", settings::kRegSz, {'0', 0, 0, 0}, 2},
        {"text without digits", settings::kRegSz, {'x', 0, '1', 0, 0, 0}, 2},
        {"text 5", settings::kRegSz, {' ', 0, '5', 0, 'a', 0, 0, 0}, 5},
        {"multi-string", settings::kRegMultiSz, {'1', 0, 0, 0, 0, 0}, 2},
    };
    for (const Case& c : cases) {
        testsupport::CTempDir dir;
        CLoggingRegistry registry(dir.Path());
        registry.Put(kSettingMode, c.type, c.data);
        settings::CRegStore store(settings::kRegStoreCreate, registry);
        ASSERT_TRUE(store.Open(kSettingsKeyPath, settings::kRegCurrentUser, settings::kKeyQueryValue, false));
        EXPECT_EQ(QualityModeFromValue(store.Value(kSettingMode)), c.mode) << c.what;
    }

    m_registry.PutString(kSettingMode, u"1");
    CServiceDlg& dlg = Start();
    EXPECT_TRUE(dlg.HighQuality());
    EXPECT_TRUE(m_pHost->GetCheck(kIdcHighQuality));
    EXPECT_FALSE(m_pHost->GetCheck(kIdcNormalQuality));
    dlg.OnCommand(kIdcNormalQuality);
    EXPECT_EQ(dlg.QualityMode(), kQualityNormal);
    EXPECT_TRUE(m_pHost->GetCheck(kIdcNormalQuality));
    dlg.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"Mode"), "2");
}

TEST_F(ServiceDlgTest, WithoutACameraTheStartIsRefusedAndTheButtonReleased) {
    appfakes::CameraLibrary::Instance().cameras.clear();
    CServiceDlg& dlg = Start();
    Type(u"CAM1");
    Press(true);
    EXPECT_EQ(dlg.LastStartOutcome(), StartOutcome::NoCamera);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Please select one USB video device");
    ASSERT_EQ(m_pHost->messages.size(), 1u);
    EXPECT_EQ(m_pHost->messages[0], "ZELT2 Service|Please select one USB video device");
    ExpectStoppedState();
    EXPECT_FALSE(dlg.IsListening());

    // The release path, should a host deliver one, is harmless.
    Press(false);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Stopped");
    ExpectStoppedState();
}

TEST_F(ServiceDlgTest, TheDidIsCheckedTrimmedMeasuredInBytesAndUpperCased) {
    CServiceDlg& dlg = Start();
    m_pHost->ComboSetCurSel(kIdcCamera, 1);
    struct Case {
        std::u16string did;
        StartOutcome outcome;
        const char* message;
    };
    const std::vector<Case> cases = {
        {u"   \t ", StartOutcome::EmptyDid, "ZELT2 Service|Please enter the DID of this device.\n\nThe DID is 1 to 20 letters (A to Z), digits, '-' or '_'."},
        {u"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9A", StartOutcome::DidTooLong,
         "ZELT2 Service|Wrong DID\n\nThe DID is 1 to 20 letters (A to Z), digits, '-' or '_'."},
    };
    for (const Case& c : cases) {
        m_pHost->messages.clear();
        Type(c.did);
        Press(true);
        EXPECT_EQ(dlg.LastStartOutcome(), c.outcome);
        ASSERT_EQ(m_pHost->messages.size(), 1u);
        EXPECT_EQ(m_pHost->messages[0], c.message);
        EXPECT_EQ(m_pHost->Text(kIdcStatus), "Stopped");  // the status line keeps its text
        ExpectStoppedState();
    }

    // Twenty single-byte characters, lower case with blanks around; the password as typed.
    Type(u"  abcdefghij0123456789 ", u" Pass word ");
    Press(true);
    EXPECT_EQ(dlg.LastStartOutcome(), StartOutcome::Started);
    EXPECT_TRUE(testsupport::WaitUntil([] { return CFakeTransport::Instance().ListenCalls() > 0; }));
    EXPECT_EQ(CFakeTransport::Instance().LastDid(), "ABCDEFGHIJ0123456789");
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Running");
    EXPECT_FALSE(m_pHost->IsControlEnabled(kIdcCamera));
    EXPECT_NE(Position("capture start USB Camera B 320x240"), SIZE_MAX);
    EXPECT_NE(Position("camera open 1"), SIZE_MAX);
    dlg.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"DID"), "  ABCDEFGHIJ0123456789 ");
    EXPECT_EQ(m_registry.Stored(u"Password"), " Pass word ");
}

TEST_F(ServiceDlgTest, ACameraThatDoesNotAnswerRefusesTheStart) {
    CServiceDlg& dlg = Start();
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    appfakes::CameraLibrary::Instance().bAnswers = false;
    Type(u"CAM1");
    Press(true);
    EXPECT_EQ(dlg.LastStartOutcome(), StartOutcome::CameraNotAnswering);
    ASSERT_EQ(m_pHost->messages.size(), 1u);
    EXPECT_NE(m_pHost->messages[0].find("The camera does not answer"), std::string::npos);
    ExpectStoppedState();
    EXPECT_EQ(Position("capture start USB Camera A 320x240"), SIZE_MAX);
}

TEST_F(ServiceDlgTest, TheStoredCameraIsFoundByItsBeginningAfterTheFirstEntryWithWrapRound) {
    appfakes::CameraLibrary::Instance().cameras = {u"usb camera 1", u"Other", u"USB Camera 2"};
    m_registry.PutString(kSettingCamera, u"USB CAMERA");
    Start();
    EXPECT_EQ(m_pHost->ComboGetCurSel(kIdcCamera), 2);
    m_pDialog.reset();

    appfakes::CameraLibrary::Instance().cameras = {u"USB Camera 1", u"Other"};
    Start();
    EXPECT_EQ(m_pHost->ComboGetCurSel(kIdcCamera), 0);  // wrapped round to the first
    m_pDialog.reset();

    m_registry.PutString(kSettingCamera, u"Gone");
    Start(false);
    EXPECT_EQ(m_pHost->ComboGetCurSel(kIdcCamera), -1);
    EXPECT_EQ(m_pHost->ComboGetCount(kIdcLanguage), 0);    // no program directory: no packs
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Stopped");       // built-in default
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "");             // no pack, no label
}

TEST_F(ServiceDlgTest, APackWithoutTheRunningTextStillShowsRunningAndLanguagesSwitch) {
    testsupport::WriteBytes(m_moduleDir.File("res/Lang_Partial.ini"),
                            testsupport::PackBytes(u"[CurrentLang]\nLang=Partial\n[Partial]\n1001=P\n0999=Go\n"));
    m_registry.PutString(kSettingLanguage, u"partial");
    CServiceDlg& dlg = Start();
    EXPECT_EQ(m_pHost->Text(kIdcLanguage), "Partial");
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->WindowTitle()), "P(V2.1.1)");
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "Go");
    EXPECT_EQ(m_pHost->Text(kIdcDidLabel), "");
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->AboutMenuText()), "About(&A)...");
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    Type(u"CAM1");
    Press(true);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Running");

    m_pHost->ComboSetCurSel(kIdcLanguage, 0);  // Deutsch
    dlg.OnCommand(kIdcLanguage);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Läuft");
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "Trennen");
    dlg.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"Language"), "Deutsch");
}

TEST_F(ServiceDlgTest, ClosingWhileRunningStopsFirstThenSavesTheCameraOfTheLastStart) {
    CServiceDlg& dlg = Start();
    m_pHost->ComboSetCurSel(kIdcCamera, 1);
    Type(u"CAM1");
    Press(true);
    ASSERT_TRUE(dlg.IsListening());
    dlg.OnDestroy();
    EXPECT_FALSE(dlg.IsListening());
    EXPECT_EQ(m_registry.Stored(u"CamDriveName"), "USB Camera B");
    const size_t stop = Position("capture stop"), tray = Position("tray removed"), save = Position("save DID"),
                 clock = Position("KillTimer 100"), transport = Position("PPPP_DeInitialize");
    EXPECT_LT(stop, tray);
    EXPECT_LT(tray, save);
    EXPECT_LT(save, clock);
    EXPECT_LT(clock, transport);
    EXPECT_NE(transport, SIZE_MAX);
}

TEST_F(ServiceDlgTest, WorkerThreadsPostToTheWindowAndNeverWaitForIt) {
    CServiceDlg& dlg = Start();
    CServiceController& controller = dlg.Controller();
    m_pHost->ComboSetCurSel(kIdcCamera, 1);
    Type(u"CAM1");
    Press(true);
    m_pHost->RunPosted();
    std::thread worker([&] {
        controller.SetStatus(session::kStatusWrongDid);
        EXPECT_EQ(controller.SetVideoTimer(), kStillFrameSchedule);
        controller.ChangeCameraMode(3, [] { return true; });
    });
    worker.join();  // returns while the window's thread is busy elsewhere
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Running");
    EXPECT_NE(Position("camera command 48 0"), SIZE_MAX);
    EXPECT_LT(Position("camera command 48 0"), Position("camera command 20 3"));
    EXPECT_EQ(m_pHost->RunPosted(), 1);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Wrong DID");
    EXPECT_TRUE(controller.StillFramesScheduled());

    // The listener's request to stop after a refused DID: the service stops
    // on the controller's thread; the window shows the stopped state, keeps
    // the status that says why, and tells the user.
    std::thread listener([&] { controller.StopCapture(); });
    listener.join();
    controller.Flush();
    EXPECT_FALSE(dlg.IsCapturing());
    EXPECT_FALSE(dlg.IsListening());
    EXPECT_FALSE(controller.StillFramesScheduled());
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Wrong DID");
    ExpectStoppedState();
    ASSERT_EQ(m_pHost->messages.size(), 1u);
    EXPECT_EQ(m_pHost->messages[0],
              "ZELT2 Service|The transport will not serve under this DID. The service has stopped; check the DID and "
              "connect again.\n\nThe DID is 1 to 20 letters (A to Z), digits, '-' or '_'.");

    // A lost camera: the service stops; the window shows it stopped and says why.
    Press(true);
    ASSERT_TRUE(dlg.IsCapturing());
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Running");
    EXPECT_EQ(controller.SetVideoTimer(), kStillFrameSchedule);
    std::thread capture([&] { ASSERT_TRUE(m_capture.Lose()); });
    capture.join();
    controller.Flush();
    EXPECT_FALSE(dlg.IsListening());
    EXPECT_FALSE(controller.StillFramesScheduled());
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Stopped");
    ExpectStoppedState();
    ASSERT_EQ(m_pHost->messages.size(), 2u);
    EXPECT_EQ(m_pHost->messages[1],
              "ZELT2 Service|The camera stopped answering (was it unplugged?). The service has stopped; connect again "
              "to resume.");
    // Hidden in the tray, the user hears it from the desktop too.
    ASSERT_FALSE(m_pHost->m_notifications.empty());
    EXPECT_EQ(m_pHost->m_notifications.back(), m_pHost->messages[1]);

    // A stop that reaches the window after the user started again leaves the new run shown.
    Press(true);
    m_pHost->RunPosted();
    std::thread late([&] { ASSERT_TRUE(m_capture.Lose()); });
    late.join();
    controller.Flush();
    ASSERT_FALSE(dlg.IsListening());
    Press(false);
    Press(true);
    ASSERT_TRUE(dlg.IsListening());
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->messages.size(), 2u);
    EXPECT_TRUE(m_pHost->GetCheck(kIdcConnect));
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "Disconnect");
}

TEST_F(ServiceDlgTest, ACaptureThatStartsAfterTheDidWasRefusedDoesNotHideIt) {
    CFakeTransport::Instance().FailListen(-8);
    CServiceDlg& dlg = Start();
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    // The capture comes up only once the listener has refused the DID.
    m_capture.onStart = [&] { testsupport::WaitUntil([&] { return dlg.Status() == session::kStatusWrongDid; }); };
    Type(u"CAM1");
    Press(true);
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "Wrong DID");
    dlg.Controller().Flush();
    EXPECT_FALSE(dlg.IsCapturing());
}

TEST_F(ServiceDlgTest, TransportFailureShowsItsStatusAndASaveThatFailsIsTold) {
    g_nInitResult = -1;
    CServiceDlg& dlg = Start();
    EXPECT_EQ(m_pHost->Text(kIdcStatus), "API Initialize failure");
    EXPECT_FALSE(dlg.TransportInitialised());
    m_registry.m_nFailSet = settings::kRegErrIoFailed;
    dlg.OnDestroy();
    EXPECT_EQ(Position("PPPP_DeInitialize"), SIZE_MAX);
    ASSERT_EQ(m_pHost->messages.size(), 1u);
    EXPECT_EQ(m_pHost->messages[0], "ZELT2 Service|The settings could not be saved. They stay in effect until the program ends.");
}

TEST_F(ServiceDlgTest, AnEmptyOrShortPasswordServesOnTheLanButTheWindowWarns) {
    const std::string emptyWarning =
        "No password is set: any viewer on the network can watch without one. Set a password to protect the camera.";
    CServiceDlg& dlg = Start();
    EXPECT_TRUE(m_pHost->IsControlVisible(kIdcPasswordWarning));
    EXPECT_EQ(m_pHost->Text(kIdcPasswordWarning), emptyWarning);

    // Stored settings with no password keep serving, warned.
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    Type(u"CAM1", u"");
    Press(true);
    EXPECT_EQ(dlg.LastStartOutcome(), StartOutcome::Started);
    EXPECT_TRUE(m_pHost->messages.empty());
    EXPECT_TRUE(m_pHost->IsControlVisible(kIdcPasswordWarning));
    Press(false);

    // Typing changes the warning as it goes; eight characters need none.
    m_pHost->SetControlText(kIdcPassword, u"\U0001F600bc");
    dlg.OnCommand(kIdcPassword);
    EXPECT_EQ(m_pHost->Text(kIdcPasswordWarning), "This password is short (fewer than 8 characters) and easy to guess.");
    m_pHost->SetControlText(kIdcPassword, u"abcdefg\U0001F600");
    dlg.OnCommand(kIdcPassword);
    EXPECT_FALSE(m_pHost->IsControlVisible(kIdcPasswordWarning));

    // In the window's language, as is the DID's rule.
    m_pHost->SetControlText(kIdcPassword, u"");
    m_pHost->ComboSetCurSel(kIdcLanguage, 0);  // Deutsch
    dlg.OnLanguageChanged();
    EXPECT_EQ(m_pHost->Text(kIdcPasswordWarning), platform::Utf16ToUtf8(*dlg.LangTable().GetText(u"1117")));
    EXPECT_EQ(m_pHost->InputRule(kIdcDid), *dlg.LangTable().GetText(u"1116"));
    EXPECT_EQ(m_pHost->LinkTexts().strHeading, u"Die Webseite konnte nicht ge\u00f6ffnet werden.");
    EXPECT_EQ(m_pHost->ButtonTexts().strYes, u"Ja");
    EXPECT_EQ(m_pHost->ButtonTexts().strCancel, u"Abbrechen");

    // A stored password long enough: no warning from the start. The window
    // comes back where it was.
    m_pHost->SetControlText(kIdcPassword, u"long enough");
    m_pHost->SetWindowPosition(210, 95);
    dlg.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"WindowPosition"), "210,95");
    Start();
    EXPECT_FALSE(m_pHost->IsControlVisible(kIdcPasswordWarning));
    EXPECT_EQ(m_pHost->GetWindowPosition(), std::make_pair(210, 95));
}

TEST_F(ServiceDlgTest, TheTrayMenuTooltipAndNotificationsFollowTheServiceAndQuittingAsksWhileWatched) {
    CServiceDlg& dlg = Start();
    EXPECT_EQ(m_pHost->TrayMenuTexts(), (std::vector<std::string>{"Show window", "Connect to Internet", "Quit"}));
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->TrayStatus()), "Stopped \u00b7 Number of online viewer: 0");
    dlg.OnCommand(kTrayShowCommand);
    EXPECT_EQ(m_pHost->m_nShowWindow, 1);

    // Connect from the tray, as the toggle would.
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    Type(u"CAM1");
    dlg.OnCommand(kTrayConnectCommand);
    ASSERT_TRUE(dlg.IsListening());
    EXPECT_TRUE(m_pHost->GetCheck(kIdcConnect));
    EXPECT_EQ(m_pHost->TrayMenuTexts()[1], "Disconnect");

    // A viewer joins: the clock's tick tells the desktop and the tooltip.
    ASSERT_GE(CFakeTransport::Instance().ConnectViewer(), 0);
    // The count is kept as frames go out.
    const uint8_t frame[] = {0, 0, 0, 1, 0x41, 0x9a};
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        m_capture.Deliver(session::EncodedFrame::Live(frame, sizeof frame));
        return dlg.Online() == 1;
    }));
    m_pHost->RunPosted();
    dlg.OnTimer(kClockTimer);
    ASSERT_EQ(m_pHost->m_notifications.size(), 1u);
    EXPECT_EQ(m_pHost->m_notifications[0], "ZELT2 Service|A viewer started watching. Number of online viewer: 1");
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->TrayStatus()), "Running \u00b7 Number of online viewer: 1");
    dlg.OnTimer(kClockTimer);
    EXPECT_EQ(m_pHost->m_notifications.size(), 1u);  // said once

    // Quitting while watched asks; No keeps the window.
    m_pHost->bAnswerNo = true;
    EXPECT_FALSE(dlg.OnCloseRequest());
    dlg.OnCommand(kTrayQuitCommand);
    EXPECT_EQ(m_pHost->m_nCloseWindow, 0);
    ASSERT_EQ(m_pHost->messages.size(), 2u);
    EXPECT_EQ(m_pHost->messages[0], "ZELT2 Service|Viewers are watching. Quit anyway? They will be disconnected.");
    EXPECT_TRUE(dlg.IsListening());
    m_pHost->bAnswerNo = false;
    dlg.OnCommand(kTrayQuitCommand);
    EXPECT_EQ(m_pHost->m_nCloseWindow, 1);

    // Disconnect from the tray: the viewer goes, and nobody watching, quitting asks nothing.
    dlg.OnCommand(kTrayConnectCommand);
    EXPECT_FALSE(dlg.IsListening());
    EXPECT_EQ(m_pHost->TrayMenuTexts()[1], "Connect to Internet");
    dlg.OnTimer(kClockTimer);
    ASSERT_EQ(m_pHost->m_notifications.size(), 2u);
    EXPECT_EQ(m_pHost->m_notifications[1], "ZELT2 Service|A viewer stopped watching. Number of online viewer: 0");
    EXPECT_TRUE(dlg.OnCloseRequest());
    EXPECT_EQ(m_pHost->messages.size(), 3u);

    // The menu speaks the window's language.
    m_pHost->ComboSetCurSel(kIdcLanguage, 0);  // Deutsch
    dlg.OnLanguageChanged();
    EXPECT_EQ(m_pHost->TrayMenuTexts(), (std::vector<std::string>{"Fenster anzeigen", "Mit dem Internet verbinden", "Beenden"}));
}

TEST_F(ServiceDlgTest, ThePreviewRunsOnlyWhileTheWindowIsShownAndSaysWhenThereIsNoPicture) {
    CServiceDlg& dlg = Start();
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    Type(u"CAM1");
    Press(true);
    ASSERT_TRUE(dlg.IsCapturing());
    m_pHost->RunPosted();  // the status
    video::PreviewFrame picture{2, 1, std::vector<uint8_t>(6, 0x80)};

    // Not yet shown: nobody subscribes, nothing is made or drawn.
    EXPECT_FALSE(m_capture.PreviewSubscribed());
    EXPECT_FALSE(m_capture.DeliverPreview(picture));

    // Shown: "no picture" until one comes; pictures arriving faster than the
    // window draws are drawn once, the newest.
    dlg.OnShown(true);
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->m_strPreviewNote), "No picture");
    ASSERT_TRUE(m_capture.DeliverPreview(picture));
    ASSERT_TRUE(m_capture.DeliverPreview(picture));
    EXPECT_EQ(m_pHost->RunPosted(), 1);
    EXPECT_EQ(m_pHost->m_nPreviewPictures, 1);
    EXPECT_TRUE(m_pHost->m_strPreviewNote.empty());

    // The camera gives nothing for two ticks of the clock: the preview says so.
    dlg.OnTimer(kClockTimer);
    EXPECT_TRUE(m_pHost->m_strPreviewNote.empty());
    dlg.OnTimer(kClockTimer);
    dlg.OnTimer(kClockTimer);
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->m_strPreviewNote), "No picture");

    // Hidden (tray, minimised): unsubscribed at once, and a picture that was
    // on its way is not drawn.
    ASSERT_TRUE(m_capture.DeliverPreview(picture));
    dlg.OnShown(false);
    EXPECT_FALSE(m_capture.PreviewSubscribed());
    EXPECT_FALSE(m_capture.DeliverPreview(picture));
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->m_nPreviewPictures, 1);

    // Stopped while shown: the note at once, and a picture still on its way
    // is not left standing as if live.
    dlg.OnShown(true);
    ASSERT_TRUE(m_capture.DeliverPreview(picture));
    Press(false);
    m_pHost->RunPosted();
    EXPECT_EQ(m_pHost->m_nPreviewPictures, 1);
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->m_strPreviewNote), "No picture");
    // In the window's language.
    m_pHost->ComboSetCurSel(kIdcLanguage, 0);  // Deutsch
    dlg.OnLanguageChanged();
    EXPECT_EQ(platform::Utf16ToUtf8(m_pHost->m_strPreviewNote), "Kein Bild");
    // Closing ends the subscription.
    dlg.OnDestroy();
    EXPECT_FALSE(m_capture.PreviewSubscribed());
}

TEST(PreviewFeed, WhileTheCameraHasNoPictureItSaysViewersSeeTheStillAndDrawsNoLivePicture) {
    testsupport::CMemoryDialogHost host({});
    video::IPreviewSink* subscribed = nullptr;
    CPreviewFeed feed([&](video::IPreviewSink* sink) { subscribed = sink; });
    feed.AttachHost(host);
    feed.OnShown(true);
    ASSERT_EQ(subscribed, &feed);
    const video::PreviewFrame picture{2, 1, std::vector<uint8_t>(6, 0x80)};
    feed.OnTick(true, true);
    feed.OnPreviewFrame(picture);
    host.RunPosted();
    EXPECT_EQ(host.m_nPreviewPictures, 0);
    EXPECT_EQ(platform::Utf16ToUtf8(host.m_strPreviewNote), "The camera has no picture: viewers see the stored one");
    // The camera's picture is back.
    feed.OnTick(true, false);
    feed.OnPreviewFrame(picture);
    host.RunPosted();
    EXPECT_EQ(host.m_nPreviewPictures, 1);
}

TEST_F(ServiceDlgTest, StartAtLoginIsTheDesktopsEntryAndServingResumesOnlyWhereItWasLeft) {
    CServiceDlg& first = Start();
    EXPECT_FALSE(m_pHost->IsControlVisible(kIdcStartAtLogin));  // no desktop folder known
    EXPECT_FALSE(m_pHost->GetCheck(kIdcResume));
    first.OnDestroy();

    // The entry runs this program, quoted; the box follows the entry.
    CXdgAutostart autostart(m_regDir.File("config/autostart"), "/opt/ZELT 2/$bin\\ZELT2Service");
    m_pAutostart = &autostart;
    CServiceDlg& dlg = Start();
    EXPECT_TRUE(m_pHost->IsControlVisible(kIdcStartAtLogin));
    EXPECT_EQ(m_pHost->Text(kIdcStartAtLogin), "Start when I log in");
    EXPECT_FALSE(m_pHost->GetCheck(kIdcStartAtLogin));
    m_pHost->SetCheck(kIdcStartAtLogin, true);
    dlg.OnCommand(kIdcStartAtLogin);
    const std::string entry = testsupport::ReadBytes(autostart.EntryPath());
    EXPECT_NE(entry.find("\nExec=\"/opt/ZELT 2/\\\\$bin\\\\\\\\ZELT2Service\"\n"), std::string::npos) << entry;
    EXPECT_TRUE(autostart.IsOn());
    EXPECT_EQ(DesktopExecValue("/a\n"), "");  // no entry can hold a line break

    // Switched off on the desktop (by its settings), the entry is off here too.
    ASSERT_TRUE(testsupport::WriteBytes(autostart.EntryPath(), entry + "Hidden=true\r\n"));
    EXPECT_FALSE(autostart.IsOn());
    m_pHost->SetCheck(kIdcStartAtLogin, false);
    dlg.OnCommand(kIdcStartAtLogin);
    EXPECT_TRUE(testsupport::ReadBytes(autostart.EntryPath()).empty());

    // A folder that cannot be made: the box stays off, and the user is told.
    ASSERT_TRUE(testsupport::WriteBytes(m_regDir.File("file"), "x"));
    CXdgAutostart blocked(m_regDir.File("file/autostart"), "/usr/bin/ZELT2Service");
    m_pAutostart = &blocked;
    dlg.OnDestroy();
    CServiceDlg& refused = Start();
    m_pHost->SetCheck(kIdcStartAtLogin, true);
    refused.OnCommand(kIdcStartAtLogin);
    EXPECT_FALSE(m_pHost->GetCheck(kIdcStartAtLogin));
    ASSERT_EQ(m_pHost->messages.size(), 1u);
    EXPECT_NE(m_pHost->messages[0].find("autostart folder cannot be written"), std::string::npos);

    // Asked to, the window serves again at launch when it was serving at exit.
    m_pHost->SetCheck(kIdcResume, true);
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    Type(u"CAM1", u"long enough");
    Press(true);
    ASSERT_TRUE(refused.IsListening());
    refused.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"ResumeServing"), "1");
    EXPECT_EQ(m_registry.Stored(u"ServingAtExit"), "1");
    CServiceDlg& resumed = Start();
    EXPECT_TRUE(resumed.IsListening());
    EXPECT_EQ(m_pHost->Text(kIdcConnect), "Disconnect");
    EXPECT_FALSE(m_pHost->IsControlEnabled(kIdcDid));
    // Stopped by the user before closing: the next launch waits.
    Press(false);
    resumed.OnDestroy();
    EXPECT_EQ(m_registry.Stored(u"ServingAtExit"), "0");
    EXPECT_FALSE(Start().IsListening());
    ExpectStoppedState();
}

TEST(ClockText, TwelveHourClockWithAmOrPm) {
    std::tm t{};
    t.tm_year = 112;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(platform::Utf16ToUtf8(FormatClockText(t)), "12/07/2012 01:05:09/PM");
    t.tm_hour = 0;
    EXPECT_EQ(platform::Utf16ToUtf8(FormatClockText(t)), "12/07/2012 12:05:09/AM");
    t.tm_hour = 12;
    EXPECT_EQ(platform::Utf16ToUtf8(FormatClockText(t)), "12/07/2012 12:05:09/PM");
}

}  // namespace
