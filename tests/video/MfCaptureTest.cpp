// The capture on Media Foundation with simulated cameras, as the system
// offers it: with an H.264 encoder (Windows with its media features) the
// test picture comes encoded, key frame first and again on request; without
// one (Wine) the start says so and holds nothing.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "service/video/H264.h"
#include "service/video/win32/MfCapture.h"
#include "tests/support/Environment.h"
#include "tests/support/Wait.h"

namespace {

using namespace video;
using testsupport::WaitUntil;

class CFrames final : public session::EncodedFrameSink, public ICaptureEvents {
public:
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        std::lock_guard lock(m_lock);
        m_keys.push_back(frame.IsKey());
        if (frame.IsKey()) {
            EXPECT_TRUE(IsKeyFrame(frame.pData, frame.nLength));
        }
    }
    void OnCaptureLost() override { m_bLost.store(true); }
    void OnCaptureProblem(const std::string&) override {}
    size_t Keys() {
        std::lock_guard lock(m_lock);
        size_t n = 0;
        for (bool key : m_keys) n += key;
        return n;
    }
    size_t Count() {
        std::lock_guard lock(m_lock);
        return m_keys.size();
    }
    bool FirstIsKey() {
        std::lock_guard lock(m_lock);
        return !m_keys.empty() && m_keys.front();
    }
    std::atomic<bool> m_bLost{false};

private:
    std::mutex m_lock;
    std::vector<bool> m_keys;
};

CaptureSettings Settings(const char* camera) {
    CaptureSettings settings;
    settings.strCameraName = camera;
    settings.format = {320, 240, 15};
    settings.dwBitrateKbps = 300;
    settings.dwKeyIntervalMs = 60000;  // only the forced key frames come
    return settings;
}

TEST(MfCapture, EncodesTheTestPictureOrSaysThatNoEncoderIsThere) {
    testsupport::SetEnvironment("ZELT2_SIM_CAMERAS", "Desk Camera,fps=30;Short Camera,vanish=600");
    CMfCapture capture;
    CFrames frames;

    const CaptureStart absent = capture.Start(Settings("Nowhere"), frames, frames);
    EXPECT_FALSE(absent.bStarted);
    EXPECT_TRUE(absent.bCameraAbsent) << absent.strProblem;
    EXPECT_FALSE(capture.IsRunning());

    const CaptureStart started = capture.Start(Settings("Desk Camera"), frames, frames);
    if (!started.bStarted) {
        EXPECT_NE(started.strProblem.find("H.264"), std::string::npos) << started.strProblem;
        EXPECT_FALSE(started.bCameraAbsent);
        EXPECT_FALSE(capture.IsRunning());
        capture.Stop();
        GTEST_SKIP() << "no H.264 encoder here: " << started.strProblem;
    }
    EXPECT_FALSE(started.strEncoder.empty());
    ASSERT_TRUE(WaitUntil([&] { return frames.Count() >= 10; }, 20000));
    EXPECT_TRUE(frames.FirstIsKey());
    const size_t keys = frames.Keys();
    capture.RequestKeyFrame();
    EXPECT_TRUE(WaitUntil([&] { return frames.Keys() > keys; }, 20000)) << "a forced key frame";
    EXPECT_FALSE(capture.Start(Settings("Desk Camera"), frames, frames).bStarted) << "one capture at a time";
    capture.Stop();
    const size_t count = frames.Count();
    EXPECT_FALSE(capture.IsRunning());
    EXPECT_EQ(frames.Count(), count) << "no frame after Stop";

    // A camera that vanishes is the capture lost.
    CFrames lost;
    ASSERT_TRUE(capture.Start(Settings("Short Camera"), lost, lost).bStarted);
    EXPECT_TRUE(WaitUntil([&] { return lost.m_bLost.load(); }, 20000));
    capture.Stop();
}

}  // namespace
