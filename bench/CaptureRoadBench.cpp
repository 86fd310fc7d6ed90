// The whole road of live video, measured: a simulated camera captured and
// encoded by the GStreamer capture, the live video, the session server's fan-out, libpppp on
// loopback, and real viewers. Each figure is printed beside its baseline,
// measured in the same run.
//
//   bench_capture_road join [JOINS]        VideoStart to the first key frame at the viewer, p50/p90,
//                                          key-frame interval 1 s and 10 s; baseline: no key frame on demand
//   bench_capture_road latency [SECONDS]   encoder output to viewer, our road and a plain
//                                          tcpserversink road from the same source and encoder settings
//   bench_capture_road cpu [SECONDS]       the device's CPU serving 8 viewers over serving 1
//                                          (viewers are ZELT2Viewer processes)
//   bench_capture_road longrun SECONDS     encoder-to-viewer delay per 10 s window: does it grow?
//
// A third argument picks the quality mode (default 2, normal: 320x240; 1, high: 640x480).

#include <arpa/inet.h>
#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "service/camera/CameraXU.h"
#include "transport/PPPP_API.h"
#include "transport/client/PpppSetup.h"
#include "service/session/SessionHost.h"
#include "service/session/SessionServer.h"
#include "service/video/H264.h"
#include "service/video/LiveVideo.h"
#include "service/video/gstreamer/GstCapture.h"
#include "service/settings/hivefile/HiveFileRegistry.h"
#include "viewer/ViewerClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned short kDiscoveryPort = 41477;
constexpr char16_t kPassword[] = u"bench";
// What the camera shows: 640x480 at 30 frames/s; normal quality makes it
// 320x240 at 15 frames/s for the encoder (a frame interval of 66.7 ms).
constexpr char kCamera[] = "Bench Camera,pattern=ball,fps=30";
int g_nQuality = 2;  // the third argument changes it (1: 640x480)

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

uint64_t FrameKey(const uint8_t* data, uint32_t length) {
    uint64_t h = 1469598103934665603ull ^ length;
    for (uint32_t i = 0; i < length; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// Encoder output times by frame, for matching what viewers receive.
class CFrameClock {
public:
    void Sent(const uint8_t* data, uint32_t length) {
        const uint64_t key = FrameKey(data, length);
        std::lock_guard lock(m_lock);
        m_sent[key] = NowMs();
        m_order.push_back(key);
        // The oldest go first (a viewer that has not got a frame in 4096 has lost it).
        if (m_order.size() > 4096) {
            m_sent.erase(m_order.front());
            m_order.pop_front();
        }
    }
    // Milliseconds since the frame left the encoder, or -1.
    double Age(const uint8_t* data, uint32_t length) {
        const double now = NowMs();
        std::lock_guard lock(m_lock);
        auto it = m_sent.find(FrameKey(data, length));
        return it == m_sent.end() ? -1 : now - it->second;
    }

private:
    std::mutex m_lock;
    std::map<uint64_t, double> m_sent;
    std::deque<uint64_t> m_order;
};

// The platform's capture with the encoder's scheduled key-frame interval
// that a run measures.
class CKeyIntervalCapture final : public video::ICapture {
public:
    explicit CKeyIntervalCapture(uint32_t keyIntervalMs) : m_dwKeyIntervalMs(keyIntervalMs) {}
    video::CaptureStart Start(const video::CaptureSettings& settings, session::EncodedFrameSink& sink,
                              video::ICaptureEvents& events) override {
        video::CaptureSettings scheduled = settings;
        scheduled.dwKeyIntervalMs = m_dwKeyIntervalMs;
        return m_capture.Start(scheduled, sink, events);
    }
    void Stop() override { m_capture.Stop(); }
    void RequestKeyFrame() override { m_capture.RequestKeyFrame(); }
    bool IsRunning() const override { return m_capture.IsRunning(); }
    void SetPreviewSink(video::IPreviewSink* sink) override { m_capture.SetPreviewSink(sink); }

private:
    const uint32_t m_dwKeyIntervalMs;
    video::CGstCapture m_capture;
};

// The device: capture, live video, fan-out and the host glue a controller would be.
class CDevice final : public session::ISessionHost, public video::ILiveVideoOwner, public session::EncodedFrameSink {
public:
    CDevice(const std::string& did, uint32_t keyIntervalMs, bool keyOnDemand)
        : m_did(did), m_bKeyOnDemand(keyOnDemand), m_registry(MakeDir()), m_capture(keyIntervalMs) {}
    ~CDevice() {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    bool Start() {
        m_server.ClearSlots();
        m_server.SeedScramble(0x42);
        if (m_server.StartListening(platform::Utf8ToUtf16(m_did), kPassword) != 0) return false;
        video::LiveVideoRequest request;
        request.nQualityMode = g_nQuality;
        request.strCameraName = u"Bench Camera";
        const video::LiveVideoStart started = m_video.Start(request);
        if (!started.bStarted) {
            std::fprintf(stderr, "capture: %s\n", started.strProblem.c_str());
            return false;
        }
        m_server.SetCaptureStart(started.dwCaptureStart);
        return true;
    }
    void Stop() {
        m_server.StopListening();
        m_video.Stop();
        m_server.WaitForReaders();
        m_server.StopVideoTimer();
    }
    std::string Address() {
        const int probe = PPPP_Connect(m_did.c_str(), 5000);
        if (probe < 0) return "";
        PPPP_SessionRecord record{};
        PPPP_Check(probe, &record);
        PPPP_Close(probe);
        const unsigned port = record.bytes[PPPP_REC_REMOTE_PORT] | (record.bytes[PPPP_REC_REMOTE_PORT + 1] << 8);
        return "127.0.0.1:" + std::to_string(port);
    }
    int Online() const { return m_server.Online(); }
    const std::string& Did() const { return m_did; }
    CFrameClock& Frames() { return m_frames; }
    uint64_t FramesOut() const { return m_nFramesOut.load(); }

    // The encoder's frames pass here on their way to the fan-out.
    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        m_nFramesOut.fetch_add(1);
        m_frames.Sent(frame.pData, frame.nLength);
        m_server.OnEncodedFrame(frame);
    }
    // Session host.
    void SetStatus(int) override {}
    void StopCapture() override {}
    void ChangeCameraMode(int, const std::function<bool()>& apply) override { apply(); }
    uint32_t SetVideoTimer() override { return 1; }
    void KillVideoTimer(uint32_t) override {}
    void RequestKeyFrame() override {
        if (m_bKeyOnDemand) m_video.RequestKeyFrame();
    }
    // Live video owner.
    void OnCameraLost() override { std::fprintf(stderr, "capture: the camera was lost\n"); }

private:
    std::string MakeDir() {
        char pattern[] = "bench-registry-XXXXXX";
        m_dir = mkdtemp(pattern) ? pattern : ".";
        return m_dir;
    }

    std::string m_did;
    bool m_bKeyOnDemand;
    std::string m_dir;
    settings::CHiveFileRegistry m_registry;
    CKeyIntervalCapture m_capture;
    camera::CCameraXU m_camXU;  // no camera library here: the mode commands go nowhere
    session::CSessionServer m_server{pppp::RealPppp(), *this};
    video::CLiveVideo m_video{m_capture, m_registry, m_camXU, *this, *this};
    CFrameClock m_frames;
    std::atomic<uint64_t> m_nFramesOut{0};
};

struct CViewerEvents final : viewer::IViewerEvents {
    std::function<void(const viewer::ViewerFrame&)> onFrame;
    bool OnFrame(const viewer::ViewerFrame& frame) override {
        if (onFrame) onFrame(frame);
        return true;
    }
};

std::string NewDid() {
    static int n = 0;
    return "BENCH" + std::to_string(getpid() % 100000) + "-" + std::to_string(++n);
}

// --- join ------------------------------------------------------------------

std::vector<double> Joins(uint32_t keyIntervalMs, bool keyOnDemand, int joins) {
    CDevice device(NewDid(), keyIntervalMs, keyOnDemand);
    std::vector<double> ms;
    if (!device.Start()) {
        std::fprintf(stderr, "the device does not start\n");
        return ms;
    }
    const std::string address = device.Address();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < joins; ++i) {
        viewer::ViewerOptions options;
        options.did = device.Did();
        options.address = address;
        options.password = kPassword;
        options.frameLimit = 1;
        viewer::CViewerClient client(pppp::RealPppp(), options);
        CViewerEvents events;
        const viewer::ViewerStatus status = client.Run(events);
        if (status == viewer::kViewerDone && client.Stats().firstKeyFrameMs >= 0) {
            ms.push_back(static_cast<double>(client.Stats().firstKeyFrameMs));
        } else {
            std::fprintf(stderr, "join %d at %s: %d %s\n", i, address.c_str(), status, client.Message().c_str());
        }
        // Joins spread over the key-frame schedule, past the limiter's gap.
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + 37 * (i % 7)));
    }
    return ms;
}

void PrintJoins(const char* what, const std::vector<double>& ms) {
    std::printf("%-44s joins %3zu  p50 %7.1f ms  p90 %7.1f ms  max %7.1f ms\n", what, ms.size(), Percentile(ms, 0.5),
                Percentile(ms, 0.9), ms.empty() ? -1.0 : *std::max_element(ms.begin(), ms.end()));
}

int RunJoin(int joins) {
    std::printf("VideoStart to the first key frame at the viewer (frame interval 66.7 ms)\n");
    const auto fast = Joins(1000, true, joins);
    PrintJoins("key frame on demand, scheduled every 1 s", fast);
    const auto slow = Joins(10000, true, joins);
    PrintJoins("key frame on demand, scheduled every 10 s", slow);
    const auto base = Joins(1000, false, std::max(10, joins / 3));
    PrintJoins("baseline: scheduled every 1 s only", base);
    const double p90 = std::max(Percentile(fast, 0.9), Percentile(slow, 0.9));
    std::printf("aim: p90 <= 96.7 ms: %s; 10 s vs 1 s p90 ratio %.2f\n", p90 <= 96.7 ? "met" : "NOT met",
                Percentile(slow, 0.9) / std::max(1.0, Percentile(fast, 0.9)));
    return 0;
}

// --- latency -----------------------------------------------------------------

std::vector<double> OurRoad(int seconds) {
    CDevice device(NewDid(), 2000, true);
    std::vector<double> ages;
    if (!device.Start()) return ages;
    viewer::ViewerOptions options;
    options.did = device.Did();
    options.address = device.Address();
    options.password = kPassword;
    options.durationMs = static_cast<uint32_t>(seconds) * 1000;
    viewer::CViewerClient client(pppp::RealPppp(), options);
    CViewerEvents events;
    std::mutex lock;
    events.onFrame = [&](const viewer::ViewerFrame& frame) {
        const double age = device.Frames().Age(frame.data, frame.length);
        std::lock_guard hold(lock);
        if (age >= 0) ages.push_back(age);
    };
    client.Run(events);
    return ages;
}

// The same source and encoder settings into tcpserversink; a TCP reader on
// loopback. Each buffer's end offset in the stream and the time it left the
// encoder; the reader stamps the moment it has read that far.
std::vector<double> TcpRoad(int seconds) {
    std::vector<double> ages;
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "videotestsrc is-live=true pattern=ball ! video/x-raw,format=YUY2,width=640,height=480,framerate=30/1 ! "
        "videoconvert ! videoscale ! videorate drop-only=true ! "
        "video/x-raw,format=I420,width=320,height=240,framerate=15/1,pixel-aspect-ratio=1/1 ! "
        "x264enc speed-preset=veryfast tune=zerolatency byte-stream=true aud=false dct8x8=true bitrate=300 "
        "key-int-max=30 ! video/x-h264,profile=high,stream-format=byte-stream,alignment=au ! "
        "tcpserversink name=out host=127.0.0.1 port=0 sync=false",
        &error);
    if (pipeline == nullptr) {
        std::fprintf(stderr, "tcp road: %s\n", error ? error->message : "?");
        return ages;
    }
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    struct Marks {
        std::mutex lock;
        uint64_t total = 0;
        std::vector<std::pair<uint64_t, double>> ends;
    } marks;
    GstPad* pad = gst_element_get_static_pad(out, "sink");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* m = static_cast<Marks*>(data);
            std::lock_guard hold(m->lock);
            m->total += gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
            m->ends.emplace_back(m->total, NowMs());
            return GST_PAD_PROBE_OK;
        },
        &marks, nullptr);
    gst_object_unref(pad);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    gst_element_get_state(pipeline, nullptr, nullptr, 5 * GST_SECOND);
    int port = 0;
    g_object_get(out, "current-port", &port, nullptr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint64_t read = 0, base = UINT64_MAX;
    size_t next = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const double end = NowMs() + seconds * 1000.0;
        std::vector<uint8_t> buffer(1 << 16);
        while (NowMs() < end) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            const double now = NowMs();
            std::lock_guard hold(marks.lock);
            // The reader joins mid-stream: count from the first whole buffer
            // that starts after it connected (the sink starts it at a key frame).
            if (base == UINT64_MAX) {
                base = marks.ends.empty() ? 0 : marks.ends.back().first - static_cast<uint64_t>(n);
                while (next < marks.ends.size() && marks.ends[next].first <= base) ++next;
            }
            read += static_cast<uint64_t>(n);
            while (next < marks.ends.size() && marks.ends[next].first - base <= read) {
                ages.push_back(now - marks.ends[next].second);
                ++next;
            }
        }
    }
    close(fd);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return ages;
}

int RunLatency(int seconds) {
    const auto ours = OurRoad(seconds);
    const auto tcp = TcpRoad(seconds);
    std::printf("encoder output to receiver, %d s each\n", seconds);
    std::printf("%-36s frames %5zu  p50 %6.3f ms  p90 %6.3f ms\n", "our road (fan-out, libpppp, viewer)", ours.size(),
                Percentile(ours, 0.5), Percentile(ours, 0.9));
    std::printf("%-36s frames %5zu  p50 %6.3f ms  p90 %6.3f ms\n", "baseline: tcpserversink + TCP reader", tcp.size(),
                Percentile(tcp, 0.5), Percentile(tcp, 0.9));
    const double added = Percentile(ours, 0.5) - Percentile(tcp, 0.5);
    std::printf("added median latency %.3f ms (aim: within 0.5 ms): %s\n", added, added <= 0.5 ? "met" : "NOT met");
    return 0;
}

// --- cpu ---------------------------------------------------------------------

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Times the device's threads gave up the processor (waited for something):
// each is a wake-up later. A count, not a time: a busy machine does not change it.
double Waits() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw);
}

struct Served {
    double cpuShare = -1;    // device CPU seconds per second
    double framesPerS = 0;   // encoder frames per second
    double waitsPerS = 0;    // voluntary context switches per second
};

Served ServeCpu(const std::string& viewerPath, int viewers, int seconds) {
    Served served;
    CDevice device(NewDid(), 2000, true);
    if (!device.Start()) return served;
    const std::string address = device.Address();
    std::vector<pid_t> children;
    for (int i = 0; i < viewers; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            const std::string duration = std::to_string(seconds + 20);
            execl(viewerPath.c_str(), viewerPath.c_str(), "--did", device.Did().c_str(), "--address", address.c_str(), "--password",
                  "bench", "--duration", duration.c_str(), "--quiet", static_cast<char*>(nullptr));
            _exit(127);
        }
        children.push_back(pid);
    }
    const double deadline = NowMs() + 15000;
    while (device.Online() < viewers && NowMs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double before = CpuSeconds();
    const double waitsBefore = Waits();
    const double wallBefore = NowMs();
    const uint64_t framesBefore = device.FramesOut();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = CpuSeconds() - before;
    const double waits = Waits() - waitsBefore;
    const double wall = (NowMs() - wallBefore) / 1000;
    const uint64_t frames = device.FramesOut() - framesBefore;
    const int online = device.Online();
    for (pid_t pid : children) kill(pid, SIGTERM);
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    std::printf("  %d viewer(s) (%d online): device CPU %.3f s over %.1f s (%.1f %% of one core), %.1f frames/s, %.0f waits/s\n",
                viewers, online, cpu, wall, 100 * cpu / wall, static_cast<double>(frames) / wall, waits / wall);
    served.waitsPerS = waits / wall;
    served.cpuShare = cpu / wall;
    served.framesPerS = static_cast<double>(frames) / wall;
    return served;
}

int RunCpu(const char* argv0, int seconds) {
    const std::string viewerPath = (std::filesystem::path(argv0).parent_path() / "ZELT2Viewer").string();
    std::printf("device CPU while serving (viewers are separate processes), %d s each\n", seconds);
    const Served one = ServeCpu(viewerPath, 1, seconds);
    const Served eight = ServeCpu(viewerPath, 8, seconds);
    if (one.cpuShare <= 0 || eight.cpuShare < 0) {
        std::fprintf(stderr, "the device did not serve\n");
        return 1;
    }
    const double ratio = eight.cpuShare / one.cpuShare;
    // Device CPU each of the seven extra viewers costs per encoded frame.
    const double fps = std::max(1.0, (one.framesPerS + eight.framesPerS) / 2);
    const double perViewerUs = (eight.cpuShare - one.cpuShare) / 7 / fps * 1e6;
    std::printf("8 viewers over 1 viewer: %.3fx (aim: at most 1.05x): %s\n", ratio, ratio <= 1.05 ? "met" : "NOT met");
    std::printf("per extra viewer: %.1f us of device CPU per frame, %.2f thread wake-ups per frame\n", perViewerUs,
                (eight.waitsPerS - one.waitsPerS) / 7 / fps);
    return 0;
}

// --- longrun -----------------------------------------------------------------

int RunLongRun(int seconds) {
    CDevice device(NewDid(), 2000, true);
    if (!device.Start()) return 1;
    viewer::ViewerOptions options;
    options.did = device.Did();
    options.address = device.Address();
    options.password = kPassword;
    options.durationMs = static_cast<uint32_t>(seconds) * 1000;
    viewer::CViewerClient client(pppp::RealPppp(), options);
    CViewerEvents events;
    std::vector<double> window;
    double windowStart = NowMs();
    int index = 0;
    std::printf("encoder-to-viewer delay per 10 s window over %d s\n", seconds);
    events.onFrame = [&](const viewer::ViewerFrame& frame) {
        const double age = device.Frames().Age(frame.data, frame.length);
        if (age >= 0) window.push_back(age);
        if (NowMs() - windowStart >= 10000) {
            std::printf("  window %3d: frames %4zu  p50 %6.3f ms  p99 %6.3f ms  max %7.3f ms\n", index++,
                        window.size(), Percentile(window, 0.5), Percentile(window, 0.99),
                        *std::max_element(window.begin(), window.end()));
            std::fflush(stdout);
            window.clear();
            windowStart = NowMs();
        }
    };
    client.Run(events);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int value = argc > 2 ? std::atoi(argv[2]) : 0;
    if (argc > 3) g_nQuality = std::atoi(argv[3]);
    if (mode != "join" && mode != "latency" && mode != "cpu" && mode != "longrun") {
        std::fprintf(stderr, "usage: %s join [JOINS] | latency [SECONDS] | cpu [SECONDS] | longrun SECONDS  [QUALITY]\n",
                     argv[0]);
        return 2;
    }
    setenv("ZELT2_SIM_CAMERAS", kCamera, 1);
    signal(SIGPIPE, SIG_IGN);
    gst_init(&argc, &argv);
    PPPP_InitOptions options{};
    options.discoveryPort = kDiscoveryPort;
    options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    if (PPPP_MakeInitString(&options, init, sizeof init) != PPPP_INIT_STRING_LENGTH || PPPP_Initialize(init) < 0) {
        std::fprintf(stderr, "the transport does not start\n");
        return 1;
    }
    int result = 0;
    if (mode == "join") result = RunJoin(value > 0 ? value : 30);
    if (mode == "latency") result = RunLatency(value > 0 ? value : 20);
    if (mode == "cpu") result = RunCpu(argv[0], value > 0 ? value : 20);
    if (mode == "longrun") result = RunLongRun(value > 0 ? value : 60);
    PPPP_DeInitialize();
    return result;
}
