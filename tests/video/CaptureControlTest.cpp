// The capture's logic (start, stop, failures, graph events, key frames on
// demand, still frames) against a substitute graph and camera channel.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "service/camera/CameraXU.h"
#include "service/camera/XuBinding.h"
#include "service/video/CaptureControl.h"
#include "service/video/CaptureGraph.h"
#include "service/settings/EncoderSettings.h"
#include "service/video/GraphOps.h"
#include "service/video/H264.h"
#include "service/video/KeyFrameLimiter.h"
#include "service/video/StillFrames.h"
#include "tests/support/ManualClock.h"
#include "tests/settings/TestRegistry.h"

namespace {

using namespace video;
using namespace settings;

// A graph that records every call, holds what is acquired, and fails any
// named operation on demand.
class CFakeGraphOps final : public IGraphOps {
public:
    std::vector<std::string> devices{"Desk Camera", "Door Camera"};
    std::set<int> unreadable;       // positions whose name cannot be read
    std::set<std::string> failing;  // operations that fail
    std::vector<std::string> calls;
    bool graph = false;
    std::set<FilterId> filters;     // created and not yet released
    std::set<GraphControl> controls;
    std::string boundDevice;
    CaptureFormat format;
    session::EncodedFrameSink* sink = nullptr;
    std::function<void()> notify;
    std::vector<int> events;
    std::atomic<int> forced{0};
    FilterId next = 1;

    int Result(const std::string& op) {
        calls.push_back(op);
        return failing.count(op) ? kGraphFail : kGraphOk;
    }
    bool Released() const { return !graph && filters.empty() && controls.empty(); }

    int InitializeThread() override { return Result("init"); }
    int CreateGraph() override {
        if (Result("CreateGraph") < 0) return kGraphFail;
        EXPECT_FALSE(graph) << "a second graph";
        graph = true;
        return kGraphOk;
    }
    void ReleaseGraph() override {
        calls.push_back("ReleaseGraph");
        EXPECT_TRUE(graph) << "graph released twice";
        graph = false;
    }
    int RegisterGraph(uint32_t* cookie) override { return *cookie = 7, Result("Register"); }
    void RevokeGraph(uint32_t cookie) override { calls.push_back("Revoke" + std::to_string(cookie)); }
    int CaptureDeviceCount() override { return static_cast<int>(devices.size()); }
    bool CaptureDeviceName(int position, std::string& name) override {
        if (unreadable.count(position)) return false;
        name = devices[static_cast<size_t>(position)];
        return true;
    }
    FilterId BindCaptureDevice(int position) override {
        if (Result("Bind") < 0) return 0;
        boundDevice = devices[static_cast<size_t>(position)];
        return Make();
    }
    FilterId Make() {
        filters.insert(next);
        return next++;
    }
    int CreateFilter(FilterKind kind, FilterId* filter) override {
        const bool encoder = kind == FilterKind::Encoder;
        *filter = Result(encoder ? "CreateEncoder" : "CreateDump") < 0 ? 0 : Make();
        return *filter ? kGraphOk : kGraphFail;
    }
    int AddFilter(FilterId, const char* name) override { return Result(std::string("Add ") + name); }
    void ReleaseFilter(FilterId filter) override {
        EXPECT_EQ(filters.erase(filter), 1u) << "filter " << filter << " released twice";
    }
    int FindUnconnectedPin(FilterId filter, PinDirection direction) override {
        return Result(std::string("Pin") + (direction == PinDirection::Output ? "Out" : "In") + std::to_string(filter));
    }
    int ConnectDirect(FilterId, FilterId, const CaptureFormat& f) override {
        format = f;
        return Result("ConnectDirect");
    }
    int Connect(FilterId, FilterId) override { return Result("Connect"); }
    int SetFrameSink(FilterId, session::EncodedFrameSink* s, int flags) override {
        if (Result("SetFrameSink") < 0) return kGraphNoInterface;
        EXPECT_EQ(flags, 224);
        sink = s;
        return kGraphOk;
    }
    int QueryControl(GraphControl control) override {
        if (Result("Query" + std::to_string(static_cast<int>(control))) < 0) return kGraphNoInterface;
        controls.insert(control);
        return kGraphOk;
    }
    void ReleaseControl(GraphControl control) override {
        EXPECT_EQ(controls.erase(control), 1u) << "control released twice";
    }
    void DetachVideoWindow() override { calls.push_back("Detach"); }
    int SetNotify(std::function<void()> n) override { return notify = std::move(n), Result("SetNotify"); }
    int GetEvent(int* code) override {
        if (events.empty()) return kGraphFail;
        *code = events.front();
        events.erase(events.begin());
        return kGraphOk;
    }
    int Run() override { return Result("Run"); }
    int Stop() override { return Result("Stop"); }
    void ForceKeyFrame() override { ++forced; }
};

struct CRecordingWindow final : ICaptureWindow {
    std::vector<std::string> messages;
    std::vector<int> statuses;
    int posted = 0;
    int stops = 0;
    void ShowCaptureMessage(const std::string& text) override { messages.push_back(text); }
    void SetCaptureStatus(int status) override { statuses.push_back(status); }
    void PostGraphEvent() override { ++posted; }
    void StopService() override { ++stops; }
};

struct CRecordingSink final : session::EncodedFrameSink {
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> frames;
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        const uint16_t gate = frame.IsLive() ? 1 : 0;
        const uint8_t* data = frame.pData;
        const uint32_t length = frame.nLength;
        frames.emplace_back(gate, std::vector<uint8_t>(data, data + length));
    }
};

// The camera channel's library: records requests; the status query answers
// with `statusByte` (echoing command and mode) unless told otherwise.
std::vector<std::array<uint8_t, 2>> g_sets;
std::vector<int> g_opens;
uint8_t g_statusByte = 0;
bool g_echo = true;
camera::XuEntryPoints FakeCamera() {
    camera::XuEntryPoints e;
    e.pOnSetUnitId = [](int) { return true; };
    e.pOnSetCtrlId = [](int) { return true; };
    e.pOnSetReqLen = [](int) { return true; };
    e.pOnInitializeXU = [](int index) { return g_opens.push_back(index), true; };
    e.pOnUnInitializeXU = [] { return true; };
    e.pOnUVC_SetCur = [](uint8_t* data) { return g_sets.push_back({data[0], data[1]}), true; };
    e.pOnUVC_GetCur = [](uint8_t* data) {
        const auto& last = g_sets.back();
        data[0] = g_echo ? last[0] : 0;
        data[1] = last[1];
        data[2] = g_statusByte;
        return true;
    };
    return e;
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        g_sets.clear();
        g_opens.clear();
        g_statusByte = 0;
        g_echo = true;
        m_previous = camera::InstallXuEntryPoints(FakeCamera());
        m_clock.SetAdvanceOnSleep(true);
    }
    void TearDown() override { camera::InstallXuEntryPoints(m_previous); }

    int Start(int quality = 1, std::u16string name = u"Door Camera", int mode = 2) {
        CaptureRequest request;
        request.nQualityMode = quality;
        request.strCameraName = std::move(name);
        request.nCameraIndex = 1;
        request.nMode = mode;
        return m_control.StartCapture(request, &m_start);
    }
    std::optional<uint32_t> Bitrate() {
        uint32_t value = 0;
        if (!ReadEncoderBitrate(m_registry, &value)) return std::nullopt;
        return value;
    }
    void ExpectFailedAndReleased(const char* message, std::u16string name = u"Door Camera") {
        m_window.messages.clear();
        m_window.statuses.clear();
        g_sets.clear();
        EXPECT_EQ(Start(1, std::move(name)), -1);
        if (message) {
            EXPECT_EQ(m_window.messages, std::vector<std::string>{message});
        } else {
            EXPECT_TRUE(m_window.messages.empty()) << m_window.messages[0];
        }
        EXPECT_EQ(m_window.statuses, std::vector<int>{kStatusCaptureFailed});
        EXPECT_FALSE(m_control.IsCapturing());
        EXPECT_TRUE(m_ops.Released());
        EXPECT_TRUE(g_sets.empty()) << "the camera got its mode though the capture failed";
    }

    camera::XuEntryPoints m_previous;
    testsupport::CManualClock m_clock{5000};
    platform::CScopedClock m_useClock{m_clock};
    testsupport::CTestRegistry m_registry;
    CFakeGraphOps m_ops;
    camera::CCameraXU m_camXU;
    CRecordingSink m_fanout;
    CRecordingWindow m_window;
    CCaptureControl m_control{m_ops, m_registry, m_camXU, m_fanout, m_window};
    uint32_t m_start = 0;
};

TEST_F(Capture, StartSendsModeRunsAndRelaysFrames) {
    ASSERT_EQ(Start(1, u"Door Camera", 2), 0);
    EXPECT_TRUE(m_control.IsCapturing());
    EXPECT_EQ(m_ops.boundDevice, "Door Camera");
    EXPECT_EQ(m_window.statuses, std::vector<int>{kStatusRunning});
    EXPECT_EQ(m_start, 5000u);
    EXPECT_EQ(m_ops.calls.back(), "Run");
    EXPECT_EQ(g_opens, std::vector<int>{1});
    EXPECT_EQ(g_sets, (std::vector<std::array<uint8_t, 2>>{{48, 0}, {20, 2}}));
    ASSERT_NE(m_ops.sink, nullptr);
    const uint8_t frame[] = {0, 0, 0, 1, 0x41, 9};
    m_ops.sink->OnEncodedFrame(session::EncodedFrame::Live(frame, sizeof frame));
    ASSERT_EQ(m_fanout.frames.size(), 1u);
    EXPECT_EQ(m_fanout.frames[0].first, 1);

    // Started twice: nothing is touched.
    const size_t calls = m_ops.calls.size();
    const int writes = m_registry.m_nWrites;
    EXPECT_EQ(Start(0), 0);
    EXPECT_EQ(m_ops.calls.size(), calls);
    EXPECT_EQ(m_registry.m_nWrites, writes);

    EXPECT_EQ(m_control.StopCapture(), 0);
    EXPECT_TRUE(m_ops.Released());
    EXPECT_EQ(m_control.StopCapture(), 0);  // without a capture: nothing
    // The graph object is reused.
    EXPECT_EQ(Start(), 0);
}

TEST_F(Capture, QualityModesWriteBitrateAndFormat) {
    struct Row {
        int quality;
        std::optional<uint32_t> bitrate;
        int width, height, rate;
    };
    for (const Row& row : {Row{0, 100, 320, 240, 15}, Row{1, 300, 640, 480, 15}, Row{2, 300, 320, 240, 15}}) {
        ASSERT_EQ(Start(row.quality), 0);
        EXPECT_EQ(Bitrate(), row.bitrate) << row.quality;
        EXPECT_EQ(m_ops.format.nWidth, row.width);
        EXPECT_EQ(m_ops.format.nHeight, row.height);
        EXPECT_EQ(m_ops.format.nFrameRate, row.rate);
        m_control.StopCapture();
    }
    // Mode 3: the stored bitrate stays, the format is the last one recorded.
    const uint32_t stored = 777;
    m_registry.PutDword(kEncoderKeyPath, kEncoderBitrateName, stored);
    ASSERT_EQ(Start(3), 0);
    EXPECT_EQ(Bitrate(), stored);
    EXPECT_EQ(m_ops.format.nWidth, 320);
}

TEST_F(Capture, CameraNameMatching) {
    // Empty: the first camera whose name can be read.
    m_ops.unreadable = {0};
    ASSERT_EQ(Start(1, u""), 0);
    EXPECT_EQ(m_ops.boundDevice, "Door Camera");
    m_control.StopCapture();
    m_ops.unreadable.clear();
    ASSERT_EQ(Start(1, u""), 0);
    EXPECT_EQ(m_ops.boundDevice, "Desk Camera");
    m_control.StopCapture();
    // Exact only: letter case counts, the whole name counts.
    for (const char16_t* other : {u"door camera", u"Door", u"Door Camera "}) ExpectFailedAndReleased(kMsgNoCaptureFilter, other);
    m_ops.devices.clear();
    ExpectFailedAndReleased(kMsgNoCaptureFilter, u"");
}

TEST_F(Capture, EveryFailureReleasesEverythingAndASecondStartWorks) {
    struct Row {
        const char* op;
        const char* message;
    };
    const Row rows[] = {
        {"CreateGraph", nullptr},
        {"Bind", kMsgNoCaptureFilter},
        {"CreateEncoder", kMsgNoEncoder},
        {"Add video encoder", kMsgNoEncoder},
        {"CreateDump", kMsgNoDump},
        {"Add video dump", kMsgNoDump},
        {"PinOut1", nullptr},
        {"PinIn2", nullptr},
        {"ConnectDirect", kMsgCaptureToEncoder},
        {"Connect", kMsgEncoderToDump},
        {"SetFrameSink", kMsgNoPacketDump},
        {"Query0", nullptr},
        {"Query5", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.op);
        m_ops.next = 1;
        m_ops.failing = {row.op};
        ExpectFailedAndReleased(row.message);
        m_ops.failing.clear();
        m_window.statuses.clear();
        m_ops.next = 1;
        ASSERT_EQ(Start(), 0);
        EXPECT_EQ(m_window.statuses, std::vector<int>{kStatusRunning});
        m_control.StopCapture();
        g_sets.clear();
        g_opens.clear();
    }
    // Registration and Run refused: ignored, status still "running".
    m_ops.failing = {"Register", "Run"};
    m_window.statuses.clear();
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(m_window.statuses, std::vector<int>{kStatusRunning});
}

TEST_F(Capture, GraphEventsAndLostCamera) {
    EXPECT_EQ(m_control.OnGraphEvent(), 0);  // no capture: nothing
    ASSERT_EQ(Start(), 0);
    ASSERT_TRUE(m_ops.notify);
    m_ops.notify();
    EXPECT_EQ(m_window.posted, 1);
    m_ops.events = {kGraphEventErrorAbort, 1};
    m_control.OnGraphEvent();
    EXPECT_EQ(m_window.stops, 0);
    EXPECT_TRUE(m_ops.events.empty());
    m_ops.events = {kGraphEventErrorAbort, kGraphEventDeviceLost, 1};
    m_control.OnGraphEvent();
    EXPECT_EQ(m_window.stops, 1);
    EXPECT_EQ(m_ops.events, std::vector<int>{1});  // drained up to the loss
}

TEST_F(Capture, TeardownTwiceAndAfterPartialBuild) {
    CFakeGraphOps ops;
    CCaptureGraph graph(ops, [](const std::string&) {});
    graph.Teardown();
    EXPECT_TRUE(ops.calls.empty());
    ops.failing = {"CreateDump"};
    EXPECT_FALSE(graph.Build([] {}));
    graph.Teardown();
    graph.Teardown();
    EXPECT_TRUE(ops.Released());
    EXPECT_EQ(std::count(ops.calls.begin(), ops.calls.end(), "Revoke7"), 1);
    EXPECT_EQ(graph.DrainEvents(), -1);
    EXPECT_FALSE(graph.Run());
    ops.failing.clear();
    EXPECT_TRUE(graph.Build([] {}));
    EXPECT_FALSE(graph.Build([] {}));  // a graph exists
    EXPECT_TRUE(graph.Run());
    EXPECT_TRUE(graph.IsRunning());
    EXPECT_TRUE(graph.Stop());
    EXPECT_TRUE(graph.Stop());
    EXPECT_TRUE(graph.IsStopped());
}

TEST(KeyFrameLimiter, ServesAJoinAtOnceAndCoalescesTheRest) {
    CKeyFrameLimiter limiter(250);
    EXPECT_TRUE(limiter.OnRequest(1000));    // nothing forced recently: now
    EXPECT_FALSE(limiter.OnRequest(1010));   // the forced one is on its way
    EXPECT_FALSE(limiter.OnFrame(1033, true));
    EXPECT_FALSE(limiter.OnRequest(1100));   // inside the gap: waits
    EXPECT_FALSE(limiter.OnRequest(1150));
    EXPECT_FALSE(limiter.OnFrame(1200, false));
    EXPECT_TRUE(limiter.OnFrame(1250, false));  // one, for both
    EXPECT_FALSE(limiter.OnFrame(1300, false));
    EXPECT_FALSE(limiter.OnFrame(1320, true));
    // A slow viewer asking on every frame gets at most one per gap.
    // (A forced key frame is the next frame out of the encoder.)
    int forced = 0;
    bool keyNext = false;
    for (uint32_t t = 2000; t < 4000; t += 33) {
        const bool due = limiter.OnFrame(t, std::exchange(keyNext, false));
        const bool asked = limiter.OnRequest(t + 5);
        forced += due + asked;
        keyNext = due || asked;
    }
    EXPECT_LE(forced, 9);
    EXPECT_GE(forced, 6);
    // A scheduled key frame satisfies a waiting request.
    limiter.Reset();
    EXPECT_TRUE(limiter.OnRequest(10000));
    limiter.OnFrame(10030, true);
    EXPECT_FALSE(limiter.OnRequest(10100));
    limiter.OnFrame(10130, true);
    EXPECT_FALSE(limiter.OnFrame(10400, false));
    // A forced key frame that never comes does not block later requests.
    EXPECT_TRUE(limiter.OnRequest(20000));
    EXPECT_FALSE(limiter.OnRequest(20100));
    EXPECT_TRUE(limiter.OnFrame(21100, false));
}

TEST_F(Capture, KeyFrameRequestsReachTheEncoderLimited) {
    m_control.RequestKeyFrame();  // no capture: nothing
    EXPECT_EQ(m_ops.forced, 0);
    ASSERT_EQ(Start(), 0);
    m_control.RequestKeyFrame();
    EXPECT_EQ(m_ops.forced, 1);
    const uint8_t delta[] = {0, 0, 0, 1, 0x41, 9};
    const uint8_t key[] = {0, 0, 0, 1, 0x67, 0x64, 0};
    m_ops.sink->OnEncodedFrame(session::EncodedFrame::Live(key, sizeof key));
    m_clock.Advance(50);
    m_control.RequestKeyFrame();
    EXPECT_EQ(m_ops.forced, 1);
    m_clock.Advance(250);
    m_ops.sink->OnEncodedFrame(session::EncodedFrame::Live(delta, sizeof delta));  // the gap is over: the waiting request fires
    EXPECT_EQ(m_ops.forced, 2);
    m_control.StopCapture();
    m_control.RequestKeyFrame();
    EXPECT_EQ(m_ops.forced, 2);
}

TEST_F(Capture, KeyFrameRequestsFromManyThreadsWhileFramesFlowAndCaptureStops) {
    ASSERT_EQ(Start(), 0);
    session::EncodedFrameSink* graphSink = m_ops.sink;
    std::atomic<bool> stop{false};
    std::thread streaming([&] {
        const uint8_t delta[] = {0, 0, 0, 1, 0x41, 9};
        const uint8_t key[] = {0, 0, 0, 1, 0x67, 0x64, 0};
        while (m_ops.forced.load() == 0) std::this_thread::yield();  // the readers are asking
        int seen = 0;
        for (int i = 0; i < 2000; ++i) {
            m_clock.Advance(33);
            // A forced key frame is the encoder's next frame.
            const int forced = m_ops.forced.load();
            if (forced != seen) {
                seen = forced;
                graphSink->OnEncodedFrame(session::EncodedFrame::Live(key, sizeof key));
            } else {
                graphSink->OnEncodedFrame(session::EncodedFrame::Live(delta, sizeof delta));
            }
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop.load()) m_control.RequestKeyFrame();
        });
    streaming.join();  // the graph's streaming thread has ended when it stops
    // A request that crosses the stop reaches a graph that is gone, which
    // ignores it; a request after the stop does not reach the graph at all.
    m_control.StopCapture();
    stop.store(true);
    for (std::thread& t : readers) t.join();
    const int forced = m_ops.forced.load();
    m_control.RequestKeyFrame();
    EXPECT_EQ(m_ops.forced.load(), forced);
    // 2000 frames of 33 ms: at most one forced key frame per 250 ms.
    EXPECT_GE(forced, 1);
    EXPECT_LE(forced, 2000 * 33 / 250 + 1);
    EXPECT_EQ(m_fanout.frames.size(), 2000u);
}

TEST_F(Capture, StillFramesFollowTheCameraStatus) {
    CStillFrames stills;
    stills.LoadStillFrames();
    ASSERT_FALSE(stills.Normal().empty());
    ASSERT_FALSE(stills.High().empty());
    StillFrameTick tick;
    tick.bRunning = true;
    tick.nMode = 1;
    tick.nCameraIndex = 1;
    tick.bNormalQuality = true;

    g_statusByte = 0x10;
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    ASSERT_EQ(m_fanout.frames.size(), 1u);
    EXPECT_EQ(m_fanout.frames[0].first, 0);
    EXPECT_EQ(m_fanout.frames[0].second, stills.Normal());
    EXPECT_EQ(g_sets.back(), (std::array<uint8_t, 2>{26, 1}));
    EXPECT_EQ(g_opens.back(), 1);

    tick.bNormalQuality = false;
    tick.bHighQuality = true;
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    ASSERT_EQ(m_fanout.frames.size(), 2u);
    EXPECT_EQ(m_fanout.frames[1].second, stills.High());

    const size_t queries = g_sets.size();
    g_statusByte = 0x11;  // the camera has a picture
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    g_statusByte = 0x10;
    g_echo = false;  // a failed query sends nothing
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    g_echo = true;
    EXPECT_EQ(g_sets.size(), queries + 2);
    tick.nMode = 4;  // no query at all
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    tick.nMode = 1;
    tick.bRunning = false;
    stills.OnStillFrameTimer(tick, m_camXU, m_fanout);
    EXPECT_EQ(g_sets.size(), queries + 2);
    EXPECT_EQ(m_fanout.frames.size(), 2u);
}

TEST(H264, SpsFirstForTheGate) {
    const uint8_t au[] = {0, 0, 0, 1, 9, 0xf0,              // delimiter: dropped
                          0, 0, 1, 6, 5, 1, 2,              // SEI, 3-byte start code
                          0, 0, 0, 1, 0x67, 0x64, 0, 0x1e,  // SPS
                          0, 0, 0, 1, 0x68, 0xee,           // PPS
                          0, 0, 1, 0x65, 0x88, 0x84};       // IDR
    std::vector<NalUnit> scratch;
    std::vector<uint8_t> out;
    ASSERT_TRUE(PutSpsFirst(au, sizeof au, scratch, out));
    const std::vector<uint8_t> expected = {0, 0, 0, 1, 0x67, 0x64, 0, 0x1e, 0, 0, 0, 1, 6, 5, 1, 2,
                                           0, 0, 0, 1, 0x68, 0xee, 0, 0, 0, 1, 0x65, 0x88, 0x84};
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(IsKeyFrame(out.data(), out.size()));
    EXPECT_FALSE(PutSpsFirst(au + 27, sizeof au - 27, scratch, out));  // no SPS
    EXPECT_FALSE(IsKeyFrame(au + 6, 5));
}

}  // namespace
