// The viewer client against the session server over the in-memory transport:
// logins, commands and frames end to end, and every way a session can end.

#include <memory>
#include <thread>

#include "service/demo/DemoHost.h"
#include "service/demo/FileFrameSource.h"
#include "service/session/SessionServer.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/FakeViewer.h"
#include "tests/support/SessionServerProbe.h"
#include "tests/viewer/ViewerHarness.h"

namespace viewertest {
namespace {

using namespace viewer;
using testsupport::CFakeTransport;
using testsupport::WaitUntil;

const std::string kSample = std::string(ZELT_TEST_DATA_DIR) + "/sample-320x240-high.h264";

// A device on the fake transport serving the sample.
class ViewerClientTest : public ::testing::Test {
protected:
    ViewerClientTest() : host(nullptr, [this](const std::string& line) { Log(line); }) {
        CFakeTransport::Instance().Reset();
        server = std::make_unique<session::CSessionServer>(CFakeTransport::Table(), host);
        source = std::make_unique<demo::CFileFrameSource>(*server);
        host.SetSource(source.get());
        std::string error;
        EXPECT_TRUE(source->Load(kSample, error)) << error;
        sent.Attach(*source);
    }
    ~ViewerClientTest() override {
        source->Stop();
        server.reset();
    }
    void StartDevice(uint32_t fps = 100) {
        server->SeedScramble(0x5A);
        ASSERT_EQ(server->StartListening(u"dev-1", u"pw"), 0);
        ASSERT_TRUE(source->Start(fps));
    }
    ViewerOptions Options(uint64_t frames = 0) {
        ViewerOptions o;
        o.did = "dev-1";
        o.password = u"pw";
        o.frameLimit = frames;
        o.connectTimeoutMs = 2000;
        o.loginTimeoutMs = 2000;
        return o;
    }
    void Log(const std::string& line) {
        std::lock_guard<std::mutex> hold(m_logLock);
        m_log.push_back(line);
    }
    bool Logged(const std::string& line) {
        std::lock_guard<std::mutex> hold(m_logLock);
        return std::find(m_log.begin(), m_log.end(), line) != m_log.end();
    }

    demo::CDemoHost host;
    std::unique_ptr<session::CSessionServer> server;
    std::unique_ptr<demo::CFileFrameSource> source;
    CSentLog sent;

private:
    std::mutex m_logLock;
    std::vector<std::string> m_log;
};

TEST_F(ViewerClientTest, TwoViewersRecordExactlyTheFramesSentFromTheirFirstKeyFrame) {
    StartDevice();
    CViewerClient first(CFakeTransport::Table(), Options());
    ViewerOptions withMode = Options(40);
    withMode.mode = 2;
    CViewerClient second(CFakeTransport::Table(), withMode);
    CRecordingEvents a, b;
    ViewerStatus sa = kViewerFailed, sb = kViewerFailed;
    std::thread ta([&] { sa = first.Run(a); });
    std::thread tb([&] { sb = second.Run(b); });
    tb.join();
    // The first watches on until the second's mode change has reached it.
    EXPECT_TRUE(WaitUntil([&] { return a.Reported(2); }));
    first.Cancel();
    ta.join();
    ASSERT_EQ(sa, kViewerDone) << first.Message();
    ASSERT_EQ(sb, kViewerDone) << second.Message();
    EXPECT_EQ(CFakeTransport::Instance().LastDid(), "DEV-1");

    const auto indices = sent.Indices();
    for (CRecordingEvents* events : {&a, &b}) {
        EXPECT_TRUE(IsRunOfSentFrames(events->frames, indices, *source));
        EXPECT_EQ(events->deltaFlags[0], 0);
        ASSERT_FALSE(events->modes.empty());
        EXPECT_EQ(events->modes.back(), 2u);
    }
    EXPECT_EQ(b.frames.size(), 40u);
    EXPECT_EQ(first.Stats().frames, a.frames.size());
    EXPECT_GE(first.Stats().keyFrames, 1u);
    EXPECT_GE(first.Stats().firstKeyFrameMs, 0);
    EXPECT_EQ(first.Stats().firstFrameMs, first.Stats().firstKeyFrameMs);
    EXPECT_GE(first.Stats().viewerCount, 1u);
    EXPECT_EQ(host.CameraMode(), 2);
    // Each new viewer asked for a key frame instead of waiting for the next one.
    EXPECT_GE(source->KeyFramesRequested(), 1u);
}

TEST_F(ViewerClientTest, WrongPasswordUnknownDidAndAFullDeviceEndWithTheirOwnStatus) {
    StartDevice();
    ViewerOptions wrong = Options(5);
    wrong.password = u"PW";
    CViewerClient refused(CFakeTransport::Table(), wrong);
    CRecordingEvents events;
    EXPECT_EQ(refused.Run(events), kViewerWrongPassword);
    EXPECT_EQ(refused.Message(), "Wrong password for device DEV-1.");

    CFakeTransport::Instance().FailConnect(PPPP_ERR_DEVICE_NOT_FOUND);
    CViewerClient lost(CFakeTransport::Table(), Options(5));
    EXPECT_EQ(lost.Run(events), kViewerDeviceNotFound);
    // The time really spent is told, not the time allowed.
    EXPECT_EQ(lost.Message().rfind("No device answers for DID DEV-1: it is not online (looked for 0.", 0), 0u)
        << lost.Message();
    CFakeTransport::Instance().FailConnect(PPPP_ERR_TIMEOUT);
    CViewerClient unreachable(CFakeTransport::Table(), Options(5));
    EXPECT_EQ(unreachable.Run(events), kViewerDeviceNotFound);
    EXPECT_NE(unreachable.Message().find("Device DEV-1 was found but no connection to it could be opened"),
              std::string::npos)
        << unreachable.Message();
    CFakeTransport::Instance().FailConnect(PPPP_ERR_BAD_DID);
    CViewerClient bad(CFakeTransport::Table(), Options(5));
    EXPECT_EQ(bad.Run(events), kViewerUsage) << "an invalid DID is the user's to mend";
    CFakeTransport::Instance().FailConnect(0);

    std::vector<std::unique_ptr<testsupport::CFakeViewer>> eight;
    for (int i = 0; i < session::kMaxSessions; ++i) {
        eight.push_back(std::make_unique<testsupport::CFakeViewer>(u"pw"));
        ASSERT_TRUE(eight.back()->Login());
    }
    CViewerClient ninth(CFakeTransport::Table(), Options(5));
    EXPECT_EQ(ninth.Run(events), kViewerSessionLost);
    EXPECT_NE(ninth.Message().find("eight viewers"), std::string::npos) << ninth.Message();
    EXPECT_EQ(ninth.Message().rfind("Device DEV-1 is busy", 0), 0u) << ninth.Message();
    EXPECT_TRUE(events.frames.empty());
}

TEST_F(ViewerClientTest, OverTheInternetTheLoginHoldsOnlyOnTheChannelBothEndsSee) {
    StartDevice();
    CFakeTransport& fake = CFakeTransport::Instance();
    fake.SetPath(PPPP_PATH_INTERNET);
    const std::vector<uint8_t> channel(32, 0x11), device(32, 0x22);
    CRecordingEvents events;

    fake.SetBindings(channel, channel);
    CViewerClient direct(CFakeTransport::Table(), Options(3));
    ASSERT_EQ(direct.Run(events), kViewerDone) << direct.Message();
    EXPECT_EQ(events.frames.size(), 3u);

    ViewerOptions wrong = Options(3);
    wrong.password = u"PW";
    CViewerClient guessing(CFakeTransport::Table(), wrong);
    EXPECT_EQ(guessing.Run(events), kViewerWrongPassword);
    EXPECT_NE(guessing.Message().find("may be intercepted"), std::string::npos) << guessing.Message();

    // Someone in the middle: each end sees other certificates. The device
    // refuses the right password, and the viewer says why.
    fake.SetBindings(device, channel);
    CRecordingEvents middle;
    CViewerClient intercepted(CFakeTransport::Table(), Options(3));
    EXPECT_EQ(intercepted.Run(middle), kViewerIntercepted);
    EXPECT_NE(intercepted.Message().find("may be intercepted: the device sees other certificates"),
              std::string::npos)
        << intercepted.Message();
    EXPECT_TRUE(middle.frames.empty());
    // The device's owner hears of it, not only its trace.
    EXPECT_TRUE(WaitUntil([&] {
        return Logged("Login refused over another channel (1 since the last report): someone may sit between the "
                      "device and its viewer");
    }));

    // A route that cannot name its channel gets no login at all.
    fake.SetBindings({}, {});
    CViewerClient unbound(CFakeTransport::Table(), Options(3));
    EXPECT_EQ(unbound.Run(middle), kViewerSessionLost);
    EXPECT_TRUE(middle.frames.empty());
}

TEST_F(ViewerClientTest, ASessionThatEndsUnderTheViewerIsReportedLost) {
    StartDevice();
    CViewerClient client(CFakeTransport::Table(), Options());
    CRecordingEvents events;
    ViewerStatus status = kViewerDone;
    std::thread t([&] { status = client.Run(events); });
    ASSERT_TRUE(WaitUntil([&] { return events.FrameCount() >= 3; }));
    server->StopListening();
    server->WaitForReaders();
    t.join();
    EXPECT_EQ(status, kViewerSessionLost);
    EXPECT_EQ(client.Message(), "The session was lost: device DEV-1 closed it or stopped answering.");
}

TEST_F(ViewerClientTest, MarksAndVideoStopReachTheDevice) {
    StartDevice();
    session::CSessionServerProbe probe(*server);
    ViewerOptions o = Options();
    o.markSet = true;
    o.videoStop = true;
    CViewerClient client(CFakeTransport::Table(), o);
    CRecordingEvents events;
    ViewerStatus status = kViewerFailed;
    std::thread t([&] { status = client.Run(events); });
    ASSERT_TRUE(WaitUntil([&] { return events.FrameCount() >= 1; }));
    EXPECT_TRUE(probe.Slot(0).bMarked.load());
    EXPECT_TRUE(Logged("Still-frame poll started"));
    client.Cancel();
    t.join();
    EXPECT_EQ(status, kViewerDone);
    EXPECT_TRUE(Logged("Still-frame poll stopped"));

    // The next viewer takes the same slot once it is free; marks arrive in order.
    ASSERT_TRUE(WaitUntil([&] { return !probe.Slot(0).bInUse.load(); }));
    ViewerOptions clear = Options();
    clear.markSet = true;
    clear.markClear = true;
    CViewerClient other(CFakeTransport::Table(), clear);
    ViewerStatus otherStatus = kViewerFailed;
    std::thread t2([&] { otherStatus = other.Run(events); });
    ASSERT_TRUE(WaitUntil([&] { return probe.Slot(0).bVideoOn.load(); }));
    EXPECT_FALSE(probe.Slot(0).bMarked.load());
    other.Cancel();
    t2.join();
    EXPECT_EQ(otherStatus, kViewerDone);
}

TEST_F(ViewerClientTest, FramesThatCannotBeWrittenEndTheSession) {
    StartDevice();
    CViewerClient client(CFakeTransport::Table(), Options());
    CRecordingEvents events;
    events.failOutput = true;
    EXPECT_EQ(client.Run(events), kViewerOutputFailed);
    EXPECT_EQ(events.frames.size(), 1u);
}

TEST(ViewerStatsTest, DelayGrowthFollowsTheDeviceClockAcrossItsWrap) {
    ViewerStats s;
    s.AddArrival(100, 0xFFFFFF00u);
    s.AddArrival(140, 0xFFFFFF28u);  // on time
    EXPECT_EQ(s.delayGrowthMs, 0);
    s.AddArrival(1180, 0x00000030u);  // 0x130 ms of device time later, 1080 ms here: 776 ms behind
    EXPECT_EQ(s.delayGrowthMs, 776);
    s.AddArrival(1500, 0x00000200u);  // frames skipped: back near the device's clock
    EXPECT_EQ(s.delayGrowthMs, 1400 - 0x300);
    EXPECT_EQ(s.maxDelayGrowthMs, 776);
}

}  // namespace
}  // namespace viewertest
