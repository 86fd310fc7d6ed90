// The capture on real GStreamer pipelines with simulated cameras, and the two
// still frames compiled into the program.

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Resources.h"
#include "service/video/H264.h"
#include "service/video/gstreamer/GstCameraSource.h"
#include "service/video/gstreamer/GstCapture.h"
#include "tests/support/Wait.h"
#include "tests/video/H264Check.h"

// Under AddressSanitizer: GLib allocates a block once while the library
// initialises and never frees it. Full stacks tell that block apart from
// anything the capture could leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
namespace {

using namespace video;
using testsupport::WaitUntil;

struct Frame {
    bool key;   // what the capture says it is
    bool gate;  // what the fan-out's gate sees in its bytes
    bool idr;   // holds an IDR slice
    std::chrono::steady_clock::time_point at;
};

// The fan-out's place: keeps every frame, on the streaming thread, and counts
// any that comes once the capture has been told to stop and has returned.
class CRecordingSink final : public session::EncodedFrameSink {
public:
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        if (m_bStopped.load()) ++m_nAfterStop;
        std::lock_guard lock(m_lock);
        SplitNalUnits(frame.pData, frame.nLength, m_units);
        const bool idr = std::any_of(m_units.begin(), m_units.end(), [](const NalUnit& u) { return u.type == kNalIdr; });
        EXPECT_TRUE(frame.IsLive());
        m_frames.push_back({frame.IsKey(), IsKeyFrame(frame.pData, frame.nLength), idr, std::chrono::steady_clock::now()});
        m_stream.insert(m_stream.end(), frame.pData, frame.pData + frame.nLength);
    }
    size_t Count() {
        std::lock_guard lock(m_lock);
        return m_frames.size();
    }
    std::vector<Frame> Frames() {
        std::lock_guard lock(m_lock);
        return m_frames;
    }
    std::vector<uint8_t> Stream() {
        std::lock_guard lock(m_lock);
        return m_stream;
    }
    void Clear() {
        std::lock_guard lock(m_lock);
        m_frames.clear();
        m_stream.clear();
    }
    std::atomic<bool> m_bStopped{false};
    std::atomic<int> m_nAfterStop{0};

private:
    std::mutex m_lock;
    std::vector<NalUnit> m_units;
    std::vector<Frame> m_frames;
    std::vector<uint8_t> m_stream;
};

struct CEvents final : ICaptureEvents {
    std::atomic<int> lost{0};
    std::atomic<int> problems{0};
    void OnCaptureLost() override { ++lost; }
    void OnCaptureProblem(const std::string&) override { ++problems; }
};

size_t CountEntries(const char* directory) {
    size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

class GstCapture : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // GLib synchronises its threads with futexes the thread checker
        // cannot see, so every hand-over to a streaming thread looks like a
        // race. The live video's threading is checked over a fake capture.
        GTEST_SKIP() << "GStreamer pipelines are not checked under ThreadSanitizer";
#endif
        setenv("ZELT2_SIM_CAMERAS",
               "Desk Camera,pattern=ball,fps=30;Gone Camera,vanish=400;Jpeg Camera,format=mjpeg;"
               "Back Camera,vanish=300,back=600",
               1);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        m_capture.Stop();
        unsetenv("ZELT2_SIM_CAMERAS");
    }
    CaptureStart Start(CaptureFormat format = {320, 240, 15}, const char* name = "Desk Camera",
                       const char* encoder = "") {
        CaptureSettings settings;
        settings.strCameraName = name;
        settings.strEncoder = encoder;
        settings.format = format;
        settings.dwBitrateKbps = 300;
        m_sink.m_bStopped.store(false);
        return m_capture.Start(settings, m_sink, m_events);
    }
    void Stop() {
        m_capture.Stop();
        m_sink.m_bStopped.store(true);
    }

    CRecordingSink m_sink;
    CEvents m_events;
    CGstCapture m_capture;
};

TEST_F(GstCapture, FramesOpenTheGateAndDecodeAtTheModesSize) {
    for (const CaptureFormat& format : {CaptureFormat{320, 240, 15}, CaptureFormat{640, 480, 15}}) {
        SCOPED_TRACE(format.nWidth);
        m_sink.Clear();
        const CaptureStart started = Start(format);
        ASSERT_TRUE(started.bStarted) << started.strProblem;
        EXPECT_TRUE(m_capture.IsRunning());
        EXPECT_FALSE(Start(format).bStarted) << "a second start while running";
        ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 20; }, 20000));
        Stop();
        EXPECT_FALSE(m_capture.IsRunning());
        Stop();  // twice: nothing
        const std::vector<Frame> frames = m_sink.Frames();
        EXPECT_TRUE(frames[0].key) << "the first frame must open the fan-out's gate";
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].idr, frames[i].key) << "frame " << i;
            EXPECT_EQ(frames[i].gate, frames[i].key) << "frame " << i;
        }
        const auto decoded = testsupport::DecodeH264(m_sink.Stream());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->first, std::make_pair(format.nWidth, format.nHeight));
        EXPECT_GE(decoded->second, 15);
    }
    EXPECT_EQ(m_events.lost.load(), 0);
    EXPECT_EQ(m_sink.m_nAfterStop.load(), 0);
}

TEST_F(GstCapture, ForcedKeyFrameComesWithinAFrameInterval) {
    ASSERT_TRUE(Start().bStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 10; }, 20000));
    for (int round = 0; round < 3; ++round) {
        const size_t before = m_sink.Count();
        const auto asked = std::chrono::steady_clock::now();
        m_capture.RequestKeyFrame();
        ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= before + 3; }, 20000));
        const std::vector<Frame> frames = m_sink.Frames();
        // The next frame after the request, or the one after it when the
        // request crossed a frame already in the encoder.
        size_t k = before;
        while (k < frames.size() && !frames[k].key) ++k;
        EXPECT_LE(k, before + 1) << "no key frame right after the request";
        if (k < frames.size()) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(frames[k].at - asked).count();
            RecordProperty("forced_key_ms_" + std::to_string(round), static_cast<int>(ms));
        }
    }
}

// The window's place for the preview: counts the pictures and keeps the last.
struct CPreviewCounter final : IPreviewSink {
    void OnPreviewFrame(const PreviewFrame& frame) override {
        last = frame;  // read once unsubscribed
        ++count;
    }
    int Count() { return count.load(); }
    std::atomic<int> count{0};
    PreviewFrame last;
};

TEST_F(GstCapture, ThePreviewIsASmallPictureMadeOnlyWhileSubscribed) {
    CPreviewCounter preview;
    ASSERT_TRUE(Start({640, 480, 15}).bStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 5; }, 20000));
    EXPECT_EQ(preview.Count(), 0);

    // Subscribed while running: a few pictures a second, far fewer than
    // frames, each the encoder's picture at 160x120 with the ball on it.
    m_capture.SetPreviewSink(&preview);
    const size_t framesBefore = m_sink.Count();
    ASSERT_TRUE(WaitUntil([&] { return preview.Count() >= 3; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= framesBefore + 30; }, 20000));
    m_capture.SetPreviewSink(nullptr);
    const int made = preview.Count();
    EXPECT_LE(made, 12) << "pictures made for 30 frames";
    EXPECT_EQ(preview.last.nWidth, kPreviewMaxWidth);
    EXPECT_EQ(preview.last.nHeight, kPreviewMaxHeight);
    ASSERT_EQ(preview.last.rgb.size(), size_t{kPreviewMaxWidth * kPreviewMaxHeight * 3});
    const auto [low, high] = std::minmax_element(preview.last.rgb.begin(), preview.last.rgb.end());
    EXPECT_GT(*high - *low, 128) << "a picture, not a flat colour";

    // Unsubscribed: none comes once SetPreviewSink has returned.
    const size_t framesAfter = m_sink.Count();
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= framesAfter + 10; }, 20000));
    EXPECT_EQ(preview.Count(), made);
}

TEST_F(GstCapture, VanishingCameraIsLost) {
    ASSERT_TRUE(Start({320, 240, 15}, "Gone Camera").bStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_events.lost.load() > 0; }, 20000));
    EXPECT_EQ(m_events.lost.load(), 1);
    EXPECT_TRUE(m_capture.IsRunning()) << "stopping is the owner's to do";
    Stop();
    EXPECT_FALSE(m_capture.IsRunning());
}

TEST_F(GstCapture, NoSuchCameraFailsCleanly) {
    // The whole name, letter case included.
    for (const char* name : {"desk camera", "Desk", "Desk Camera "}) {
        const CaptureStart started = Start({320, 240, 15}, name);
        EXPECT_FALSE(started.bStarted);
        EXPECT_EQ(started.strProblem, "The camera \"" + std::string(name) + "\" cannot be found.");
        EXPECT_FALSE(m_capture.IsRunning());
    }
    EXPECT_TRUE(Start({320, 240, 15}, "").bStarted) << "empty: the first camera";
    Stop();
    setenv("ZELT2_SIM_CAMERAS", "none", 1);
    EXPECT_EQ(Start({320, 240, 15}, "").strProblem, "No camera can be found.");
    // An unreadable name is never taken, not even by an empty one.
    EXPECT_EQ(FindCamera({"", "Door Camera"}, ""), 1);
    EXPECT_EQ(FindCamera({"", "Door Camera"}, "Door Camera"), 1);
    EXPECT_EQ(FindCamera({"Desk Camera"}, "Desk"), -1);
}

TEST_F(GstCapture, MissingEncoderNamesItsElementAndPackage) {
    // As on a system without the package: the encoder's factory is gone
    // from GStreamer's registry for as long as the test runs, and so are
    // the hardware encoders a machine may have.
    GstRegistry* registry = gst_registry_get();
    GstPluginFeature* encoder = gst_registry_lookup_feature(registry, "x264enc");
    ASSERT_NE(encoder, nullptr);
    std::vector<GstPluginFeature*> hardware;
    for (const char* name : {"vah264enc", "vaapih264enc", "v4l2h264enc"})
        if (GstPluginFeature* feature = gst_registry_lookup_feature(registry, name)) hardware.push_back(feature);
    gst_registry_remove_feature(registry, encoder);
    for (GstPluginFeature* feature : hardware) gst_registry_remove_feature(registry, feature);
    const CaptureStart started = Start();
    gst_registry_add_feature(registry, encoder);
    gst_object_unref(encoder);
    for (GstPluginFeature* feature : hardware) {
        gst_registry_add_feature(registry, feature);
        gst_object_unref(feature);
    }
    EXPECT_FALSE(started.bStarted);
    EXPECT_EQ(started.strProblem,
              "The H.264 encoder is missing: GStreamer has no element \"x264enc\". "
              "Install the Debian package gstreamer1.0-plugins-ugly.");
    EXPECT_FALSE(m_capture.IsRunning());
    EXPECT_TRUE(Start().bStarted) << "the encoder is back";
}

TEST_F(GstCapture, TheEncoderInUseIsToldAndAForcedOneIsTakenOrRefused) {
    CaptureStart started = Start();
    ASSERT_TRUE(started.bStarted) << started.strProblem;
    EXPECT_TRUE(started.strEncoder.ends_with(" (software)") || started.strEncoder.ends_with(" (hardware)"))
        << started.strEncoder;
    Stop();
    started = Start({320, 240, 15}, "Desk Camera", "x264enc");
    ASSERT_TRUE(started.bStarted) << started.strProblem;
    EXPECT_EQ(started.strEncoder, "x264enc (software)");
    Stop();
    started = Start({320, 240, 15}, "Desk Camera", "h264magic");
    EXPECT_FALSE(started.bStarted);
    EXPECT_NE(started.strProblem.find("\"h264magic\" named in the settings is not one"), std::string::npos)
        << started.strProblem;
    EXPECT_FALSE(m_capture.IsRunning());
}

TEST_F(GstCapture, AnMjpegCameraIsDecodedAndEncoded) {
    ASSERT_TRUE(Start({320, 240, 15}, "Jpeg Camera").bStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 15; }, 20000));
    Stop();
    EXPECT_TRUE(m_sink.Frames()[0].key);
    const auto decoded = testsupport::DecodeH264(m_sink.Stream());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->first, std::make_pair(320, 240));
}

TEST_F(GstCapture, AReturningCameraIsAbsentUntilItsTimeAndThenStays) {
    ASSERT_TRUE(Start({320, 240, 15}, "Back Camera").bStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_events.lost.load() > 0; }, 20000));
    Stop();
    CaptureStart started = Start({320, 240, 15}, "Back Camera");
    EXPECT_FALSE(started.bStarted);
    EXPECT_TRUE(started.bCameraAbsent) << started.strProblem;
    ASSERT_TRUE(WaitUntil([&] { return Start({320, 240, 15}, "Back Camera").bStarted; }, 20000));
    // Back, it stays: no second loss in more than its vanishing time.
    m_sink.Clear();
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 20; }, 20000));
    EXPECT_EQ(m_events.lost.load(), 1);
}

TEST_F(GstCapture, StartStopFiftyTimesLeaksNoThreadOrDescriptor) {
    // Key frames are asked for all along, across every stop.
    std::atomic<bool> done{false};
    std::thread asking([&] {
        while (!done.load()) m_capture.RequestKeyFrame();
    });
    auto cycle = [&] {
        m_sink.Clear();
        ASSERT_TRUE(Start().bStarted);
        ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() >= 1; }, 20000));
        Stop();
    };
    cycle();  // the framework's own lasting threads start here
    const size_t threads = CountEntries("/proc/self/task");
    const size_t descriptors = CountEntries("/proc/self/fd");
    for (int i = 0; i < 50; ++i) cycle();
    done.store(true);
    asking.join();
    EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") <= threads - 1; }, 5000))
        << CountEntries("/proc/self/task") << " threads, " << threads << " before (one of them asking)";
    EXPECT_LE(CountEntries("/proc/self/fd"), descriptors);
    EXPECT_EQ(m_sink.m_nAfterStop.load(), 0) << "a frame reached the sink after Stop returned";
}

TEST(Stills, EachIsOneAccessUnitOfTheRightShapeAndDecodesToItsSize) {
    struct Row {
        int id, level, widthMbs, heightMbs, width, height;
    };
    for (const Row& row : {Row{131, 13, 20, 15, 320, 240}, Row{132, 30, 40, 30, 640, 480}}) {
        SCOPED_TRACE(row.id);
        std::span<const uint8_t> bytes;
        ASSERT_TRUE(platform::FindProgramResource("BIN", row.id, bytes));
        const std::vector<uint8_t> still(bytes.begin(), bytes.end());
        ASSERT_GE(still.size(), 4u);
        EXPECT_EQ(std::vector<uint8_t>(still.begin(), still.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
        std::vector<NalUnit> units;
        SplitNalUnits(still.data(), still.size(), units);
        ASSERT_EQ(units.size(), 4u);
        std::vector<int> types;
        for (const NalUnit& unit : units) {
            types.push_back(unit.type);
            ASSERT_GE(unit.offset, 4u);
            EXPECT_EQ(std::vector<uint8_t>(still.begin() + static_cast<long>(unit.offset) - 4,
                                           still.begin() + static_cast<long>(unit.offset)),
                      (std::vector<uint8_t>{0, 0, 0, 1}));
        }
        EXPECT_EQ(types, (std::vector<int>{6, 7, 8, 5}));
        const std::vector<uint8_t> spsNal(still.begin() + static_cast<long>(units[1].offset),
                                          still.begin() + static_cast<long>(units[1].offset + units[1].length));
        const testsupport::SpsFields sps = testsupport::ParseSps(spsNal);
        EXPECT_EQ(sps.profileIdc, 77);
        EXPECT_TRUE(sps.constraintFlags & 0x40) << "constraint_set1";
        EXPECT_EQ(sps.levelIdc, row.level);
        EXPECT_EQ(sps.widthMbs, static_cast<uint32_t>(row.widthMbs));
        EXPECT_EQ(sps.heightMbs, static_cast<uint32_t>(row.heightMbs));
        EXPECT_TRUE(sps.frameMbsOnly);
        EXPECT_FALSE(sps.cropping);
        EXPECT_TRUE(sps.timing);
        EXPECT_EQ(sps.unitsInTick, 1u);
        EXPECT_EQ(sps.timeScale, 50u);
        EXPECT_TRUE(sps.fixedFrameRate);
#if !defined(__SANITIZE_THREAD__)  // decoding runs a GStreamer pipeline
        const auto decoded = testsupport::DecodeH264(still);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->first, std::make_pair(row.width, row.height));
#endif
    }
    std::span<const uint8_t> none;
    EXPECT_FALSE(platform::FindProgramResource("BIN", 133, none));
    EXPECT_TRUE(platform::FindProgramResource("bin", 131, none));
}

}  // namespace
