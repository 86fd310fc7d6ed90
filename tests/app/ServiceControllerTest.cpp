// The service controller without a window: starts and their refusals, the
// stops the service makes by itself (on the controller's own thread, with the
// reason told), the still-frame schedule on a clock the test moves, and the
// settings' round trip. The camera library, the capture and the transport
// are fakes at their ports; the registry is a real hive file.

#include <gtest/gtest.h>

#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/Resources.h"
#include "service/app/ServiceController.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "tests/app/AppFakes.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/FakeViewer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using namespace app;
using testsupport::CFakeTransport;
using testsupport::WaitUntil;

class CRecordingObserver final : public IServiceObserver {
public:
    void OnStatusChanged(int status) override {
        std::lock_guard<std::mutex> hold(m_lock);
        statuses.push_back(status);
    }
    void OnCaptureFailed(const std::string& problem) override {
        std::lock_guard<std::mutex> hold(m_lock);
        problems.push_back(problem);
    }
    void OnServiceStopped(StopReason reason) override {
        std::lock_guard<std::mutex> hold(m_lock);
        stops.push_back(reason);
        stopThread = std::this_thread::get_id();
    }
    template <typename T>
    T Get(const T& what) {
        std::lock_guard<std::mutex> hold(m_lock);
        return what;
    }

    std::vector<int> statuses;
    std::vector<std::string> problems;
    std::vector<StopReason> stops;
    std::thread::id stopThread;

private:
    std::mutex m_lock;
};

class ServiceControllerTest : public ::testing::Test {
protected:
    ServiceControllerTest() : m_registry(m_regDir.Path()) {
        appfakes::CLog::Instance().Clear();
        CFakeTransport::Instance().Reset();
        m_previousXu = appfakes::CameraLibrary::Instance().Install();
    }
    ~ServiceControllerTest() override {
        m_pController.reset();
        camera::InstallXuEntryPoints(m_previousXu);
    }

    CServiceController& Make() {
        m_pController.reset();
        ControllerConfig config;
        config.pPppp = &CFakeTransport::Table();
        config.strInitString = "INIT";
        config.pRegistry = &m_registry;
        config.makeCapture = [this] { return std::make_unique<appfakes::CLoggedCapture>(m_capture); };
        m_pController = std::make_unique<CServiceController>(config, m_observer);
        m_pController->LoadSettings();
        m_pController->Initialize();
        return *m_pController;
    }
    static StartRequest Request(int camera, std::u16string did = u"CAM1") {
        StartRequest request;
        request.nCameraIndex = camera;
        request.strDidField = std::move(did);
        request.strPasswordField = u"pw";
        return request;
    }

    testsupport::CTempDir m_regDir;
    settings::CHiveFileRegistry m_registry;
    camera::XuEntryPoints m_previousXu;
    testsupport::CFakeCapture m_capture;
    CRecordingObserver m_observer;
    std::unique_ptr<CServiceController> m_pController;
};

TEST_F(ServiceControllerTest, StartsAndStopsAndEachRefusalStartsNothing) {
    CServiceController& controller = Make();
    EXPECT_EQ(controller.Status(), kStatusStopped);
    EXPECT_EQ(controller.Cameras().size(), 2u);

    EXPECT_EQ(controller.Start(Request(-1)), StartOutcome::NoCamera);
    EXPECT_EQ(controller.Status(), kStatusNoCamera);
    EXPECT_EQ(controller.Start(Request(0, u"  ")), StartOutcome::EmptyDid);
    EXPECT_EQ(controller.Start(Request(0, u"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9A")),
              StartOutcome::DidTooLong);
    appfakes::CameraLibrary::Instance().bAnswers = false;
    EXPECT_EQ(controller.Start(Request(0)), StartOutcome::CameraNotAnswering);
    appfakes::CameraLibrary::Instance().bAnswers = true;
    EXPECT_FALSE(controller.IsListening());
    EXPECT_EQ(appfakes::Position("capture start USB Camera A 320x240"), SIZE_MAX);
    EXPECT_EQ(controller.Status(), kStatusNoCamera);  // refusals after the first leave the status

    EXPECT_EQ(controller.Start(Request(1)), StartOutcome::Started);
    EXPECT_TRUE(controller.IsListening());
    EXPECT_TRUE(controller.IsCapturing());
    EXPECT_EQ(controller.Status(), kStatusRunning);
    EXPECT_EQ(controller.CameraName(), u"USB Camera B");
    controller.Stop();
    EXPECT_FALSE(controller.IsListening());
    EXPECT_FALSE(controller.IsCapturing());
    EXPECT_EQ(controller.Status(), kStatusRunning);  // a stop keeps the status unless told
    controller.Stop(kStatusStopped);
    EXPECT_EQ(controller.Status(), kStatusStopped);

    // A capture that cannot start: listening goes on, the status and the
    // observer say why.
    m_capture.failStart = "No camera can be opened.";
    EXPECT_EQ(controller.Start(Request(0)), StartOutcome::Started);
    EXPECT_TRUE(controller.IsListening());
    EXPECT_EQ(controller.Status(), kStatusCaptureFailed);
    EXPECT_EQ(m_observer.Get(m_observer.problems), std::vector<std::string>{"No camera can be opened."});
    const std::vector<int> statuses = m_observer.Get(m_observer.statuses);
    EXPECT_EQ(statuses.front(), kStatusStopped);
    EXPECT_EQ(statuses.back(), kStatusCaptureFailed);
}

TEST_F(ServiceControllerTest, ALostCameraStopsTheServiceOnTheControllersThreadAndSaysWhy) {
    CServiceController& controller = Make();
    ASSERT_EQ(controller.Start(Request(0)), StartOutcome::Started);
    std::thread::id captureThread;
    std::thread capture([&] {
        captureThread = std::this_thread::get_id();
        ASSERT_TRUE(m_capture.Lose());  // returns at once
    });
    capture.join();
    ASSERT_TRUE(WaitUntil([&] { return !m_observer.Get(m_observer.stops).empty(); }));
    EXPECT_EQ(m_observer.Get(m_observer.stops), std::vector<StopReason>{StopReason::CameraLost});
    EXPECT_NE(m_observer.Get(m_observer.stopThread), std::this_thread::get_id());
    EXPECT_NE(m_observer.Get(m_observer.stopThread), captureThread);
    EXPECT_FALSE(controller.IsListening());
    EXPECT_FALSE(controller.IsCapturing());
    EXPECT_EQ(controller.Status(), kStatusRunning);

    // A user's stop after that tells nothing more.
    controller.Stop(kStatusStopped);
    controller.Flush();
    EXPECT_EQ(m_observer.Get(m_observer.stops).size(), 1u);
}

TEST_F(ServiceControllerTest, ARefusedDidStopsTheServiceAndRunningDoesNotHideIt) {
    CFakeTransport::Instance().FailListen(-8);
    CServiceController& controller = Make();
    // The capture comes up only once the listener has refused the DID.
    m_capture.onStart = [&] { WaitUntil([&] { return controller.Status() == kStatusWrongDid; }); };
    ASSERT_EQ(controller.Start(Request(0)), StartOutcome::Started);
    EXPECT_EQ(controller.Status(), kStatusWrongDid);
    ASSERT_TRUE(WaitUntil([&] { return !m_observer.Get(m_observer.stops).empty(); }));
    EXPECT_EQ(m_observer.Get(m_observer.stops), std::vector<StopReason>{StopReason::DidRefused});
    EXPECT_FALSE(controller.IsListening());
    EXPECT_FALSE(controller.IsCapturing());
    EXPECT_EQ(controller.Status(), kStatusWrongDid);
}

TEST_F(ServiceControllerTest, StillFramesAtOnceAndEvery2500MsWhileAViewerHasVideoOn) {
    testsupport::CManualClock clock;
    platform::CScopedClock useClock(clock);
    // The controller's threads read the clock: they end before it goes.
    struct CRelease {
        std::unique_ptr<CServiceController>& pController;
        ~CRelease() { pController.reset(); }
    } release{m_pController};
    std::span<const uint8_t> still;
    ASSERT_TRUE(platform::FindProgramResource("BIN", 131, still));
    CServiceController& controller = Make();
    ASSERT_EQ(controller.Start(Request(0)), StartOutcome::Started);
    testsupport::CFakeViewer viewer(u"pw");
    ASSERT_TRUE(viewer.Login());
    viewer.SendVideoStart();
    ASSERT_TRUE(WaitUntil([&] { return controller.StillFramesScheduled(); }));
    const std::string query = "camera command 26 0";  // mode 0 asked

    // Starting video asks the camera at once; it says it has no picture: the
    // normal-quality still goes to the viewer without waiting for the poll.
    ASSERT_TRUE(WaitUntil([&] { return appfakes::CLog::Instance().Count(query) == 1; }));
    session::ServerMessage frame;
    ASSERT_TRUE(viewer.Receive(1, frame));
    EXPECT_EQ(frame.type, session::ServerMessageType::VideoFrame);
    EXPECT_EQ(frame.payloadLength, still.size());
    // The tick notes what the camera said once the still is on its way.
    EXPECT_TRUE(WaitUntil([&] { return controller.CameraHasNoPicture(); }));

    // VideoStart in a loop does not make the camera be asked more than once a
    // second (each VideoStart is answered with a mode report once handled).
    viewer.Drain(session::kChannelControl);
    clock.Advance(kStillCheckGapMs - 1);
    for (int i = 0; i < 20; ++i) viewer.SendVideoStart();
    for (int i = 0; i < 20; ++i) {
        do ASSERT_TRUE(viewer.Receive(session::kChannelControl, frame));
        while (frame.type != session::ServerMessageType::ModeReport);
    }
    clock.Advance(2499 - (kStillCheckGapMs - 1));
    controller.Flush();
    EXPECT_EQ(appfakes::CLog::Instance().Count(query), 1u);
    // The poll's tick.
    clock.Advance(1);
    ASSERT_TRUE(WaitUntil([&] { return appfakes::CLog::Instance().Count(query) == 2; }));

    viewer.SendVideoStop();
    ASSERT_TRUE(WaitUntil([&] { return !controller.StillFramesScheduled(); }));
    EXPECT_FALSE(controller.CameraHasNoPicture()) << "nobody asks the camera any more";
    clock.Advance(10000);
    controller.Flush();
    EXPECT_EQ(appfakes::CLog::Instance().Count(query), 2u);
}

TEST_F(ServiceControllerTest, SettingsGoAndComeBack) {
    CServiceController& first = Make();
    EXPECT_EQ(first.Settings().nQualityMode, settings::kQualityNormal);  // nothing stored
    ServiceSettings values;
    values.strDID = u" ABC123 ";
    values.strPassword = u" Pass word ";
    values.nQualityMode = settings::kQualityHigh;
    values.strLanguage = u"Deutsch";
    values.strCameraName = u"USB Camera B";
    ASSERT_TRUE(first.SaveSettings(values));

    CServiceController& second = Make();
    const ServiceSettings& loaded = second.Settings();
    EXPECT_EQ(loaded.strDID, values.strDID);
    EXPECT_EQ(loaded.strPassword, values.strPassword);
    EXPECT_EQ(loaded.nQualityMode, values.nQualityMode);
    EXPECT_EQ(loaded.strLanguage, values.strLanguage);
    EXPECT_EQ(loaded.strCameraName, values.strCameraName);
    EXPECT_EQ(second.StoredCameraIndex(), 1);
    EXPECT_FALSE(loaded.windowPosition.has_value());

    // The window's place comes back; a save without one (headless) leaves it.
    values.windowPosition = WindowPosition{-40, 1200};
    ASSERT_TRUE(second.SaveSettings(values));
    values.windowPosition.reset();
    ASSERT_TRUE(Make().SaveSettings(values));
    EXPECT_EQ(Make().Settings().windowPosition, (WindowPosition{-40, 1200}));
    EXPECT_EQ(ParseWindowPosition(u"12,-3"), (WindowPosition{12, -3}));
    for (const char16_t* bad : {u"", u"12", u"12,", u",3", u"1,2,3", u"a,b", u"1, 2"})
        EXPECT_FALSE(ParseWindowPosition(bad).has_value()) << platform::Utf16ToUtf8(bad);
}

}  // namespace
