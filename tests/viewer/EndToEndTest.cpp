// The whole road over the real transport on this host: a device (the session
// server fed by the sample file) and several viewers in one process, each on
// its own libpppp sessions over loopback, discovery on this host only and on
// this program's own ports, so that other test programs may run beside it.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/FileDevice.h"
#include "tests/support/Wait.h"
#include "tests/viewer/ViewerHarness.h"

namespace viewertest {
namespace {

using namespace viewer;

const std::string kSample = std::string(ZELT_TEST_DATA_DIR) + "/sample-320x240-high.h264";
constexpr unsigned short kDiscoveryPort = 41460;  // shared by this program's processes, each with its own DIDs

class EndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(testsupport::InitLoopbackTransport(kDiscoveryPort), 0); }
    static void TearDownTestSuite() { PPPP_DeInitialize(); }

    EndToEndTest() : device(kSample), did("E2E" + std::to_string(getpid()) + "-" + std::to_string(++s_nDevice)) {
        EXPECT_TRUE(device.Loaded()) << device.LoadError();
        sent.Attach(*source);
    }
    ~EndToEndTest() override { StopDevice(); }

    void StartDevice(uint32_t fps = 50) { ASSERT_TRUE(device.Start(did, u"road-test", 0x77, fps)); }
    // Where the device takes sessions, as a viewer that found it sees it.
    std::string DeviceAddress() {
        const uint16_t port = testsupport::CFileDevice::FindPort(did);
        return port ? "127.0.0.1:" + std::to_string(port) : "";
    }
    void StopDevice() { device.Stop(); }
    ViewerOptions Options(uint64_t frames) {
        ViewerOptions o;
        o.did = did;
        o.password = u"road-test";
        o.frameLimit = frames;
        o.connectTimeoutMs = 5000;
        o.loginTimeoutMs = 5000;
        return o;
    }

    testsupport::CFileDevice device;
    demo::CDemoHost& host = device.host;
    std::unique_ptr<session::CSessionServer>& server = device.server;
    std::unique_ptr<demo::CFileFrameSource>& source = device.source;
    const std::string did;
    CSentLog sent;
    static inline int s_nDevice = 0;
};

TEST_F(EndToEndTest, SeveralViewersEachRecordExactlyTheFramesTheDeviceSent) {
    StartDevice();
    const std::string address = DeviceAddress();
    ASSERT_FALSE(address.empty()) << "the device cannot be found";
    constexpr int kViewers = 4;
    std::vector<std::unique_ptr<CViewerClient>> clients;
    std::vector<std::unique_ptr<CRecordingEvents>> events(kViewers);
    std::vector<ViewerStatus> results(kViewers, kViewerFailed);
    for (int i = 0; i < kViewers; ++i) {
        ViewerOptions o = Options(40 + 10 * i);
        if (i == 1) o.mode = 3;
        if (i == 2) o.address = address;  // without discovery
        if (i == 3) o.videoStop = true;
        clients.push_back(std::make_unique<CViewerClient>(pppp::RealPppp(), o));
        events[i] = std::make_unique<CRecordingEvents>();
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kViewers; ++i) threads.emplace_back([&, i] { results[i] = clients[i]->Run(*events[i]); });
    for (auto& t : threads) t.join();

    const auto indices = sent.Indices();
    for (int i = 0; i < kViewers; ++i) {
        SCOPED_TRACE("viewer " + std::to_string(i));
        ASSERT_EQ(results[i], kViewerDone) << clients[i]->Message();
        EXPECT_EQ(events[i]->frames.size(), static_cast<size_t>(40 + 10 * i));
        EXPECT_TRUE(IsRunOfSentFrames(events[i]->frames, indices, *source));
        EXPECT_GE(clients[i]->Stats().keyFrames, 1u);
        EXPECT_GE(clients[i]->Stats().viewerCount, 1u);
        EXPECT_FALSE(events[i]->modes.empty());
    }
    EXPECT_EQ(host.CameraMode(), 3);
    EXPECT_EQ(server->Mode(), 3);
}

TEST_F(EndToEndTest, WrongPasswordUnknownDidAndAStoppedDeviceEachEndTheirOwnWay) {
    StartDevice();
    CRecordingEvents events;
    ViewerOptions wrong = Options(5);
    wrong.password = u"Road-Test";
    CViewerClient refused(pppp::RealPppp(), wrong);
    EXPECT_EQ(refused.Run(events), kViewerWrongPassword) << refused.Message();

    ViewerOptions nobody = Options(5);
    nobody.did = did + "-NOBODY";
    nobody.connectTimeoutMs = 700;
    CViewerClient lost(pppp::RealPppp(), nobody);
    EXPECT_EQ(lost.Run(events), kViewerDeviceNotFound) << lost.Message();

    CViewerClient watching(pppp::RealPppp(), Options(0));
    ViewerStatus status = kViewerDone;
    std::atomic<bool> ended{false};
    std::thread t([&] {
        status = watching.Run(events);
        ended.store(true);
    });
    const bool watched = testsupport::WaitUntil([&] { return events.FrameCount() >= 5; }, 10000);
    const auto stopping = std::chrono::steady_clock::now();
    StopDevice();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(session::kReadWaitMs / 2))
        << "the stop waited for the viewer's next command";
    // The viewer must notice by itself; a cancel is only the way out of a hang.
    const bool noticed = testsupport::WaitUntil([&] { return ended.load(); }, 20000);
    if (!noticed) watching.Cancel();
    t.join();
    ASSERT_TRUE(watched) << watching.Message();
    EXPECT_TRUE(noticed) << "the viewer did not notice the device had gone";
    EXPECT_EQ(status, kViewerSessionLost) << watching.Message();
}

}  // namespace
}  // namespace viewertest
