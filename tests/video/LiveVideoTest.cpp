// The live video's rules (format and bitrate by quality, the camera's mode,
// failures, a lost camera, key frames on demand) over a fake capture and
// camera channel; the still frames; the H.264 rearrangement for the gate.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "service/camera/CameraXU.h"
#include "service/camera/XuBinding.h"
#include "service/settings/EncoderSettings.h"
#include "service/video/H264.h"
#include "service/video/KeyFrameLimiter.h"
#include "service/video/LiveVideo.h"
#include "service/video/Preview.h"
#include "service/video/StillFrames.h"
#include "tests/settings/TestRegistry.h"
#include "tests/support/FakeCapture.h"
#include "tests/support/ManualClock.h"

namespace {

using namespace video;
using namespace settings;

struct CRecordingSink final : session::EncodedFrameSink {
    std::vector<std::pair<session::FrameKind, std::vector<uint8_t>>> frames;
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        frames.emplace_back(frame.kind, std::vector<uint8_t>(frame.pData, frame.pData + frame.nLength));
    }
};

struct CRecordingOwner final : ILiveVideoOwner {
    std::atomic<int> lost{0};
    void OnCameraLost() override { ++lost; }
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

const uint8_t kDelta[] = {0, 0, 0, 1, 0x41, 9};
const uint8_t kKey[] = {0, 0, 0, 1, 0x67, 0x64, 0};

class LiveVideo : public ::testing::Test {
protected:
    void SetUp() override {
        g_sets.clear();
        g_opens.clear();
        g_statusByte = 0;
        g_echo = true;
        m_previous = camera::InstallXuEntryPoints(FakeCamera());
        m_clock.SetAdvanceOnSleep(true);
    }
    void TearDown() override {
        m_video.Stop();
        camera::InstallXuEntryPoints(m_previous);
    }

    LiveVideoStart Start(int quality = 1, std::u16string name = u"Door Camera", int mode = 2) {
        LiveVideoRequest request;
        request.nQualityMode = quality;
        request.strCameraName = std::move(name);
        request.nCameraIndex = 1;
        request.nMode = mode;
        return m_video.Start(request);
    }
    std::optional<uint32_t> Bitrate() {
        uint32_t value = 0;
        if (!ReadEncoderBitrate(m_registry, &value)) return std::nullopt;
        return value;
    }

    camera::XuEntryPoints m_previous;
    testsupport::CManualClock m_clock{5000};
    platform::CScopedClock m_useClock{m_clock};
    testsupport::CTestRegistry m_registry;
    testsupport::CFakeCapture m_capture;
    camera::CCameraXU m_camXU;
    CRecordingSink m_fanout;
    CRecordingOwner m_owner;
    CLiveVideo m_video{m_capture, m_registry, m_camXU, m_fanout, m_owner};
};

TEST_F(LiveVideo, StartSendsModeAfterTheCaptureAndPassesFramesOn) {
    size_t setsAtStart = 99;
    m_capture.onStart = [&] { setsAtStart = g_sets.size(); };
    const LiveVideoStart started = Start(1, u"Door Camera", 2);
    ASSERT_TRUE(started.bStarted);
    EXPECT_TRUE(m_video.IsRunning());
    EXPECT_EQ(started.dwCaptureStart, 5000u);
    EXPECT_EQ(m_capture.Settings().strCameraName, "Door Camera");
    EXPECT_EQ(setsAtStart, 0u) << "the camera got its mode before the capture existed";
    EXPECT_EQ(g_opens, std::vector<int>{1});
    EXPECT_EQ(g_sets, (std::vector<std::array<uint8_t, 2>>{{48, 0}, {20, 2}}));
    ASSERT_TRUE(m_capture.Deliver(session::EncodedFrame::Live(kDelta, sizeof kDelta)));
    ASSERT_EQ(m_fanout.frames.size(), 1u);
    EXPECT_EQ(m_fanout.frames[0].first, session::FrameKind::LiveDelta);

    // Started twice: the capture is not asked again, the registry not touched.
    const int writes = m_registry.m_nWrites;
    m_clock.Advance(100);
    const LiveVideoStart again = Start(0);
    EXPECT_TRUE(again.bStarted);
    EXPECT_EQ(again.dwCaptureStart, 5000u);
    EXPECT_EQ(m_capture.StartCalls(), 1);
    EXPECT_EQ(m_registry.m_nWrites, writes);

    m_video.Stop();
    EXPECT_FALSE(m_capture.IsRunning());
    m_video.Stop();  // without a capture: nothing
    EXPECT_EQ(m_capture.StopCalls(), 1);
    EXPECT_TRUE(Start().bStarted);  // the same objects start again
    EXPECT_EQ(m_capture.StartsWhileRunning(), 0);
}

TEST_F(LiveVideo, QualityModesWriteBitrateAndFormat) {
    struct Row {
        int quality;
        std::optional<uint32_t> bitrate;
        int width, height, rate;
    };
    for (const Row& row : {Row{0, 100, 320, 240, 15}, Row{1, 300, 640, 480, 15}, Row{2, 300, 320, 240, 15}}) {
        ASSERT_TRUE(Start(row.quality).bStarted);
        EXPECT_EQ(Bitrate(), row.bitrate) << row.quality;
        EXPECT_EQ(m_capture.Settings().dwBitrateKbps, row.bitrate) << "the encoder gets what the registry holds";
        EXPECT_EQ(m_capture.Settings().format.nWidth, row.width);
        EXPECT_EQ(m_capture.Settings().format.nHeight, row.height);
        EXPECT_EQ(m_capture.Settings().format.nFrameRate, row.rate);
        m_video.Stop();
    }
    // Mode 3: the stored bitrate stays and is the encoder's.
    const uint32_t stored = 777;
    m_registry.PutDword(kEncoderKeyPath, kEncoderBitrateName, stored);
    ASSERT_TRUE(Start(3).bStarted);
    EXPECT_EQ(Bitrate(), stored);
    EXPECT_EQ(m_capture.Settings().dwBitrateKbps, stored);
    EXPECT_EQ(m_capture.Settings().format.nWidth, 320);
    m_video.Stop();
    // Nothing stored at all: the capture's own default.
    testsupport::CTestRegistry empty;
    CLiveVideo video(m_capture, empty, m_camXU, m_fanout, m_owner);
    LiveVideoRequest request;
    request.nQualityMode = 3;
    ASSERT_TRUE(video.Start(request).bStarted);
    EXPECT_EQ(m_capture.Settings().dwBitrateKbps, 0u);
}

TEST_F(LiveVideo, CameraNameGoesToTheCaptureAsUtf8) {
    ASSERT_TRUE(Start(1, u"T\u00fcr").bStarted);
    EXPECT_EQ(m_capture.Settings().strCameraName, "T\xc3\xbcr");
    m_video.Stop();
    ASSERT_TRUE(Start(1, u"").bStarted);
    EXPECT_EQ(m_capture.Settings().strCameraName, "");
    m_video.Stop();
    // At most 127 bytes, cut at a character's boundary.
    ASSERT_TRUE(Start(1, u"a" + std::u16string(100, u'\u00fc')).bStarted);
    EXPECT_EQ(m_capture.Settings().strCameraName, "a" + [] {
        std::string s;
        for (int i = 0; i < 63; ++i) s += "\xc3\xbc";
        return s;
    }());
}

TEST_F(LiveVideo, FailureLeavesNothingRunningAndASecondStartWorks) {
    m_capture.failStart = "The camera \"Door Camera\" cannot be found.";
    const LiveVideoStart failed = Start();
    EXPECT_FALSE(failed.bStarted);
    EXPECT_EQ(failed.strProblem, *m_capture.failStart);
    EXPECT_FALSE(m_video.IsRunning());
    EXPECT_TRUE(g_sets.empty()) << "the camera got its mode though the capture failed";
    m_video.RequestKeyFrame();
    m_video.Stop();
    EXPECT_EQ(m_capture.KeyFrames(), 0);
    EXPECT_EQ(m_capture.StopCalls(), 0);

    m_capture.failStart.reset();
    ASSERT_TRUE(Start().bStarted);
    EXPECT_TRUE(m_capture.IsRunning());
    EXPECT_EQ(g_sets.size(), 2u);
}

TEST_F(LiveVideo, LostCameraReachesTheOwnerAndProblemsDoNot) {
    ASSERT_TRUE(Start().bStarted);
    ASSERT_TRUE(m_capture.Problem("GStreamer error from encoder: something"));
    EXPECT_EQ(m_owner.lost.load(), 0);
    ASSERT_TRUE(m_capture.Lose());
    EXPECT_EQ(m_owner.lost.load(), 1);
    // What the owner does then, on its own thread: the capture stops.
    m_video.Stop();
    EXPECT_FALSE(m_video.IsRunning());
    EXPECT_FALSE(m_capture.Lose()) << "nothing reaches the owner after the stop";
    EXPECT_FALSE(m_capture.Deliver(session::EncodedFrame::Live(kKey, sizeof kKey)));
    EXPECT_EQ(m_owner.lost.load(), 1);
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

TEST_F(LiveVideo, KeyFrameRequestsReachTheCaptureLimited) {
    m_video.RequestKeyFrame();  // no capture: nothing
    EXPECT_EQ(m_capture.KeyFrames(), 0);
    ASSERT_TRUE(Start().bStarted);
    m_video.RequestKeyFrame();
    EXPECT_EQ(m_capture.KeyFrames(), 1);
    m_capture.Deliver(session::EncodedFrame::Live(kKey, sizeof kKey));
    m_clock.Advance(50);
    m_video.RequestKeyFrame();
    EXPECT_EQ(m_capture.KeyFrames(), 1);
    m_clock.Advance(250);
    m_capture.Deliver(session::EncodedFrame::Live(kDelta, sizeof kDelta));  // the gap is over: the waiting request fires
    EXPECT_EQ(m_capture.KeyFrames(), 2);
    // A new capture starts with nothing forced and nothing waiting.
    m_video.Stop();
    m_video.RequestKeyFrame();
    EXPECT_EQ(m_capture.KeyFrames(), 2);
    ASSERT_TRUE(Start().bStarted);
    m_video.RequestKeyFrame();
    EXPECT_EQ(m_capture.KeyFrames(), 3);
}

TEST_F(LiveVideo, KeyFrameRequestsFromManyThreadsWhileFramesFlowAndCaptureStops) {
    ASSERT_TRUE(Start().bStarted);
    std::atomic<bool> stop{false};
    std::thread streaming([&] {
        while (m_capture.KeyFrames() == 0) std::this_thread::yield();  // the readers are asking
        int seen = 0;
        for (int i = 0; i < 2000; ++i) {
            m_clock.Advance(33);
            // A forced key frame is the encoder's next frame.
            const int forced = m_capture.KeyFrames();
            if (forced != seen) {
                seen = forced;
                m_capture.Deliver(session::EncodedFrame::Live(kKey, sizeof kKey));
            } else {
                m_capture.Deliver(session::EncodedFrame::Live(kDelta, sizeof kDelta));
            }
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop.load()) m_video.RequestKeyFrame();
        });
    streaming.join();
    // Requests that cross the stop reach a stopped capture, which ignores
    // them; requests after it do not reach the capture at all.
    m_video.Stop();
    stop.store(true);
    for (std::thread& t : readers) t.join();
    const int forced = m_capture.KeyFrames();
    m_video.RequestKeyFrame();
    EXPECT_EQ(m_capture.KeyFrames(), forced);
    // 2000 frames of 33 ms: at most one forced key frame per 250 ms.
    EXPECT_GE(forced, 1);
    EXPECT_LE(forced, 2000 * 33 / 250 + 1);
    EXPECT_EQ(m_fanout.frames.size(), 2000u);
}

TEST_F(LiveVideo, StillFramesFollowTheCameraStatus) {
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
    EXPECT_EQ(m_fanout.frames[0].first, session::FrameKind::Still);
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

TEST(Preview, ScalesDownKeepingTheShapeAndConvertsTheColours) {
    // A 640x480 picture: the left half white, the right half pure red
    // (BT.601 limited range), with padded rows.
    const int w = 640, h = 480, strideY = 704, strideC = 352;
    std::vector<uint8_t> y(strideY * h), u(strideC * h / 2), v(strideC * h / 2);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) y[row * strideY + col] = col < w / 2 ? 235 : 81;
    for (int row = 0; row < h / 2; ++row)
        for (int col = 0; col < w / 2; ++col) {
            u[row * strideC + col] = col < w / 4 ? 128 : 90;
            v[row * strideC + col] = col < w / 4 ? 128 : 240;
        }
    video::I420View view{w, h, {y.data(), u.data(), v.data()}, {strideY, strideC, strideC}};
    video::PreviewFrame out;
    ASSERT_TRUE(video::MakePreviewFrame(view, out));
    EXPECT_EQ(std::make_pair(out.nWidth, out.nHeight), std::make_pair(160, 120));
    ASSERT_EQ(out.rgb.size(), 160u * 120 * 3);
    const auto pixel = [&](int x, int yy) {
        const uint8_t* p = &out.rgb[(yy * 160 + x) * 3];
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    EXPECT_EQ(pixel(10, 60), (std::array<int, 3>{255, 255, 255}));
    const std::array<int, 3> red = pixel(150, 60);
    EXPECT_GE(red[0], 250);
    EXPECT_LE(red[1], 5);
    EXPECT_LE(red[2], 5);

    // The same picture with U and V interleaved, as hardware encoders take it.
    std::vector<uint8_t> uv(strideY * h / 2);
    for (int row = 0; row < h / 2; ++row)
        for (int col = 0; col < w / 2; ++col) {
            uv[row * strideY + 2 * col] = u[row * strideC + col];
            uv[row * strideY + 2 * col + 1] = v[row * strideC + col];
        }
    video::PreviewFrame interleaved;
    ASSERT_TRUE(video::MakePreviewFrame(
        video::I420View{w, h, {y.data(), uv.data(), uv.data() + 1}, {strideY, strideY, strideY}, 2}, interleaved));
    EXPECT_EQ(interleaved.rgb, out.rgb);

    // A wide picture keeps its shape.
    view.nHeight = 120;
    ASSERT_TRUE(video::MakePreviewFrame(view, out));
    EXPECT_EQ(std::make_pair(out.nWidth, out.nHeight), std::make_pair(160, 30));

    // What cannot be a picture makes none.
    for (video::I420View bad : {video::I420View{}, video::I420View{w, h, {y.data(), u.data(), nullptr}, {strideY, strideC, strideC}},
                                video::I420View{w, h, {y.data(), u.data(), v.data()}, {100, strideC, strideC}}}) {
        EXPECT_FALSE(video::MakePreviewFrame(bad, out));
        EXPECT_TRUE(out.rgb.empty());
    }
}
