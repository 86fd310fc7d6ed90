// The Annex-B splitter and the file source that stands in for a camera.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "service/demo/AnnexB.h"
#include "service/demo/FileFrameSource.h"
#include "wire/SessionPacket.h"
#include "tests/support/FakeTransport.h"

namespace {

using namespace demo;

const std::string kSample = std::string(ZELT_TEST_DATA_DIR) + "/sample-320x240-high.h264";

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(f);
    }
    return bytes;
}

class CRecordingSink final : public session::EncodedFrameSink {
public:
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        const uint16_t gate = frame.IsLive() ? 1 : 0;
        const uint8_t* data = frame.pData;
        const uint32_t length = frame.nLength;
        std::lock_guard<std::mutex> hold(m_lock);
        gates.push_back(gate);
        frames.emplace_back(data, data + length);
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(m_lock);
        return frames.size();
    }
    std::vector<uint16_t> gates;
    std::vector<std::vector<uint8_t>> frames;

private:
    std::mutex m_lock;
};

TEST(AnnexB, TheSampleIsAHundredFramesWithAKeyFrameEveryTwentyFive) {
    const auto bytes = ReadFile(kSample);
    ASSERT_FALSE(bytes.empty()) << kSample;
    const auto frames = SplitAccessUnits(bytes.data(), bytes.size());
    ASSERT_EQ(frames.size(), 100u);
    size_t offset = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].offset, offset) << i;
        offset += frames[i].length;
        EXPECT_EQ(frames[i].key, i % 25 == 0) << i;
        const uint8_t* f = bytes.data() + frames[i].offset;
        const uint8_t expected[] = {0, 0, 0, 1, static_cast<uint8_t>(i % 25 == 0 ? 0x67 : 0x41)};
        EXPECT_EQ(std::memcmp(f, expected, sizeof expected), 0) << i;
    }
    EXPECT_EQ(offset, bytes.size());
    EXPECT_LT(bytes.size(), 1u << 20);
}

TEST(AnnexB, UnitsBeginAtParameterSetsDelimitersSeiAndFirstSlicesOnly) {
    // AUD | SEI SPS PPS IDR(mb 0) IDR(mb 5) | slice(mb 0) slice(mb 5) | AUD slice(mb 0)
    const std::vector<uint8_t> s = {
        0xFF, 0xEE,                                    // junk before the first start code
        0, 0, 0, 1, 0x09, 0xF0,                        // AUD
        0, 0, 1, 0x06, 0x05, 0x01,                     // SEI (same unit: no slice yet)
        0, 0, 0, 1, 0x67, 0x64, 0x00, 0x0D,            // SPS
        0, 0, 0, 1, 0x68, 0xEB,                        // PPS
        0, 0, 1, 0x65, 0x88, 0x84,                     // IDR, first_mb 0
        0, 0, 1, 0x65, 0x21, 0x11,                     // IDR, first_mb 5: same picture
        0, 0, 0, 1, 0x41, 0x9A, 0x02,                  // slice, first_mb 0: new unit
        0, 0, 1, 0x01, 0x21, 0x03,                     // slice, first_mb 5
        0, 0, 0, 1, 0x09, 0xF0,                        // AUD: new unit
        0, 0, 0, 1, 0x41, 0x9B,                        // its slice
    };
    const auto frames = SplitAccessUnits(s.data(), s.size());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].offset, 2u);
    EXPECT_EQ(frames[1].offset, 40u);
    EXPECT_EQ(frames[2].offset, 53u);
    EXPECT_EQ(frames[2].offset + frames[2].length, s.size());
    // The first begins with an AUD, so the gate would not open for it.
    EXPECT_FALSE(frames[0].key);

    const std::vector<uint8_t> none = {1, 2, 3, 0, 0, 2};
    EXPECT_TRUE(SplitAccessUnits(none.data(), none.size()).empty());
    EXPECT_TRUE(SplitAccessUnits(nullptr, 0).empty());
}

TEST(FileFrameSource, LoadRefusesWhatItCannotPlayWithAMessage) {
    CRecordingSink sink;
    CFileFrameSource source(sink);
    std::string error;
    EXPECT_FALSE(source.Load("/nonexistent/clip.h264", error));
    EXPECT_NE(error.find("Cannot open the video file \"/nonexistent/clip.h264\""), std::string::npos);

    EXPECT_FALSE(source.LoadBytes({1, 2, 3, 4}, error));
    EXPECT_NE(error.find("no H.264 frame found"), std::string::npos);

    std::vector<uint8_t> huge(wire::kMaxFramePayload + 1, 0x11);
    const uint8_t start[] = {0, 0, 0, 1, 0x67, 0x64};
    std::memcpy(huge.data(), start, sizeof start);
    EXPECT_FALSE(source.LoadBytes(huge, error));
    EXPECT_NE(error.find("at most 262124 can be sent"), std::string::npos);
    EXPECT_FALSE(source.Start(25)) << "nothing loaded";
}

TEST(FileFrameSource, PlaysEveryFrameGatedInOrderAndLoopsRound) {
    CRecordingSink sink;
    CFileFrameSource source(sink);
    std::string error;
    ASSERT_TRUE(source.Load(kSample, error)) << error;
    EXPECT_EQ(source.KeyFrameCount(), 4u);
    for (size_t i = 0; i < source.FrameCount() + 2; ++i) source.DeliverNext();
    ASSERT_EQ(sink.frames.size(), 102u);
    for (size_t i = 0; i < sink.frames.size(); ++i) {
        const size_t index = i % 100;
        EXPECT_EQ(sink.gates[i], 1);
        ASSERT_EQ(sink.frames[i].size(), source.Frame(index).length);
        EXPECT_EQ(std::memcmp(sink.frames[i].data(), source.FrameData(index), sink.frames[i].size()), 0);
    }
}

TEST(FileFrameSource, AKeyFrameRequestSkipsToTheNextKeyFrameWrappingRound) {
    CRecordingSink sink;
    CFileFrameSource source(sink);
    std::string error;
    ASSERT_TRUE(source.Load(kSample, error)) << error;
    std::vector<size_t> played;
    source.SetFrameObserver([&](size_t i) { played.push_back(i); });
    for (int i = 0; i < 3; ++i) source.DeliverNext();
    source.RequestKeyFrame();
    source.DeliverNext();
    source.DeliverNext();
    source.RequestKeyFrame();  // already right after a key frame: the next one
    source.DeliverNext();
    while (source.NextIndex() != 80) source.DeliverNext();
    source.RequestKeyFrame();
    source.DeliverNext();
    EXPECT_EQ(std::vector<size_t>(played.begin(), played.begin() + 6), (std::vector<size_t>{0, 1, 2, 25, 26, 50}));
    EXPECT_EQ(played.back(), 0u);
    EXPECT_EQ(source.KeyFramesRequested(), 3u);
}

TEST(FileFrameSource, PlaysOnItsOwnThreadUntilStopped) {
    CRecordingSink sink;
    CFileFrameSource source(sink);
    std::string error;
    ASSERT_TRUE(source.Load(kSample, error)) << error;
    ASSERT_TRUE(source.Start(500));
    EXPECT_FALSE(source.Start(500));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return sink.Count() >= 10; }));
    source.Stop();
    source.Stop();
    EXPECT_FALSE(source.IsPlaying());
    EXPECT_EQ(sink.frames[0].size(), source.Frame(0).length);
}

// Stop waits for a frame that is on its way and nothing follows it.
TEST(FileFrameSource, StopWaitsForTheFrameUnderWayAndNoneComesAfter) {
    struct CHoldingSink final : session::EncodedFrameSink {
        std::mutex lock;
        std::condition_variable changed;
        int frames = 0;
        bool holding = false, released = false;
        void OnEncodedFrame(const session::EncodedFrame& frame) override {
        (void)frame;
            std::unique_lock<std::mutex> hold(lock);
            ++frames;
            if (frames != 3) return;
            holding = true;
            changed.notify_all();
            changed.wait(hold, [&] { return released; });
        }
    } sink;
    CFileFrameSource source(sink);
    std::string error;
    ASSERT_TRUE(source.Load(kSample, error)) << error;
    ASSERT_TRUE(source.Start(1000));
    {
        std::unique_lock<std::mutex> hold(sink.lock);
        ASSERT_TRUE(sink.changed.wait_for(hold, std::chrono::seconds(10), [&] { return sink.holding; }));
    }
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        source.Stop();
        stopped.store(true);
    });
    // While the third frame is held, Stop does not return.
    EXPECT_FALSE(testsupport::WaitUntil([&] { return stopped.load(); }, 100));
    {
        std::lock_guard<std::mutex> hold(sink.lock);
        sink.released = true;
        sink.changed.notify_all();
    }
    stopper.join();
    std::lock_guard<std::mutex> hold(sink.lock);
    EXPECT_EQ(sink.frames, 3);
    EXPECT_EQ(source.FramesPlayed(), 3u);
}

}  // namespace
