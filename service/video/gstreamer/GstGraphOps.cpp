#include "service/video/gstreamer/GstGraphOps.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/video/CaptureControl.h"
#include "service/settings/EncoderSettings.h"
#include "service/video/H264.h"
#include "xulib/sim/SimCameras.h"
#include "xulib/v4l2/V4l2DeviceAccess.h"

namespace video {
namespace {

constexpr int kEventComplete = 1;
// What the encoder starts with when its key holds no bitrate (kbit/s).
constexpr uint32_t kDefaultBitrate = 300;
// The size a simulated camera delivers.
constexpr int kSimWidth = 640;
constexpr int kSimHeight = 480;

struct Camera {
    std::string strName;  // UTF-8; empty when unreadable
    bool bReadable = false;
    std::string strPath;  // capture node of a real camera
    bool bSimulated = false;
    simcam::SimCamera sim;
};

// One simulated camera that vanishes: the probe on its output counts from the
// first picture and, once the time is up, drops everything and reports the
// source as gone, as a real camera's source does when it is unplugged.
struct VanishProbe {
    GstElement* source;  // not owned: the probe goes with the source's pad
    uint32_t dwVanishMs;
    std::atomic<bool> bStarted{false};
    std::atomic<uint32_t> dwFirstTick{0};
    std::atomic<bool> bGone{false};
};

GstPadProbeReturn OnVanishProbe(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* probe = static_cast<VanishProbe*>(data);
    const uint32_t now = platform::GetTickCount();
    if (!probe->bStarted.exchange(true)) probe->dwFirstTick.store(now);
    if (probe->bGone.load()) return GST_PAD_PROBE_DROP;
    if (now - probe->dwFirstTick.load() < probe->dwVanishMs) return GST_PAD_PROBE_OK;
    probe->bGone.store(true);
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ, "The camera is gone.");
    gst_element_post_message(probe->source,
                             gst_message_new_error(GST_OBJECT(probe->source), error, "simulated camera vanished"));
    g_error_free(error);
    return GST_PAD_PROBE_DROP;
}

GstElement* Make(const char* factory, const char* name = nullptr) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (element == nullptr) ZTRACE("no GStreamer element \"%s\"\n", factory);
    return element;
}

// A bin of `elements` linked in a chain, with ghost pads for the chain's free ends.
GstElement* MakeChain(const char* name, std::initializer_list<GstElement*> elements) {
    for (GstElement* element : elements) {
        if (element == nullptr) {
            for (GstElement* other : elements)
                if (other != nullptr) gst_object_unref(other);
            return nullptr;
        }
    }
    GstElement* bin = gst_bin_new(name);
    GstElement* previous = nullptr;
    for (GstElement* element : elements) {
        gst_bin_add(GST_BIN(bin), element);
        if (previous != nullptr && !gst_element_link(previous, element)) {
            ZTRACE("%s: cannot link its elements\n", name);
            gst_object_unref(bin);
            return nullptr;
        }
        previous = element;
    }
    GstElement* first = *elements.begin();
    if (GstPad* sink = gst_element_get_static_pad(first, "sink")) {
        gst_element_add_pad(bin, gst_ghost_pad_new("sink", sink));
        gst_object_unref(sink);
    }
    if (GstPad* src = gst_element_get_static_pad(previous, "src")) {
        gst_element_add_pad(bin, gst_ghost_pad_new("src", src));
        gst_object_unref(src);
    }
    return bin;
}

}  // namespace

struct CGstGraphOps::State {
    State(IRegistry& reg, GstGraphOptions opts) : registry(reg), options(opts) {}

    IRegistry& registry;
    const GstGraphOptions options;
    std::vector<Camera> cameras;

    // Window's thread only.
    GstElement* pipeline = nullptr;
    std::map<FilterId, GstElement*> filters;  // one reference each
    FilterId nextId = 1;
    GstElement* captureBin = nullptr;  // a reference while the graph exists
    GstElement* encoder = nullptr;     // the x264enc inside the encoder filter, not owned
    GstElement* formatCaps = nullptr;  // the capture format's caps filter, not owned

    // Shared with the streaming threads and key-frame requests.
    std::mutex lock;
    GstPad* encoderSrc = nullptr;  // a reference; where forced key frames are asked for
    std::function<void()> notify;
    // Errors and end of stream, kept here before the window is told, so
    // that the window never drains before the event is there.
    std::deque<GstMessage*> events;
    std::atomic<session::EncodedFrameSink*> sink{nullptr};
    // Held while a frame is relayed: once the graph has stopped, taking it
    // proves (to us and to the thread checker) that no relay is under way.
    std::mutex relayLock;
    std::atomic<uint32_t> forceCount{0};

    // The streaming thread's (the appsink callback runs on one thread).
    std::vector<NalUnit> scratch;
    std::vector<uint8_t> keyFrame;

    GstElement* Filter(FilterId id) const {
        auto it = filters.find(id);
        return it == filters.end() ? nullptr : it->second;
    }
    FilterId Keep(GstElement* element) {
        if (g_object_is_floating(element)) gst_object_ref_sink(element);
        const FilterId id = nextId++;
        filters[id] = element;
        return id;
    }
};

namespace {

GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* state = static_cast<CGstGraphOps::State*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_EOS: {
            std::function<void()> notify;
            {
                std::lock_guard lock(state->lock);
                state->events.push_back(gst_message_ref(message));
                notify = state->notify;
            }
            if (notify) notify();
            break;
        }
        case GST_MESSAGE_WARNING: {
            GError* error = nullptr;
            gst_message_parse_warning(message, &error, nullptr);
            ZTRACE("graph warning from %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                   error ? error->message : "?");
            if (error) g_error_free(error);
            break;
        }
        default:
            break;
    }
    // A message the handler drops is the handler's to release.
    gst_message_unref(message);
    return GST_BUS_DROP;
}

GstFlowReturn OnNewSample(GstAppSink* appsink, gpointer data) {
    auto* state = static_cast<CGstGraphOps::State*>(data);
    GstSample* sample = gst_app_sink_pull_sample(appsink);
    if (sample == nullptr) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const uint8_t* bytes = map.data;
        size_t size = map.size;
        // The fan-out's gate opens only for a frame that begins with a
        // High-profile SPS: a key frame that does not is rearranged.
        if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT) && !IsKeyFrame(bytes, size) &&
            PutSpsFirst(bytes, size, state->scratch, state->keyFrame)) {
            bytes = state->keyFrame.data();
            size = state->keyFrame.size();
        }
        std::lock_guard relaying(state->relayLock);
        if (size <= UINT32_MAX) {
            if (session::EncodedFrameSink* sink = state->sink.load())
                sink->OnEncodedFrame(session::EncodedFrame::Live(bytes, static_cast<uint32_t>(size)));
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

}  // namespace

CGstGraphOps::CGstGraphOps(IRegistry& registry, GstGraphOptions options)
    : m_pState(std::make_unique<State>(registry, options)) {
    InitializeThread();
}

CGstGraphOps::~CGstGraphOps() {
    for (auto& [id, element] : m_pState->filters) gst_object_unref(element);
    m_pState->filters.clear();
    ReleaseGraph();
}

int CGstGraphOps::InitializeThread() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
    return kGraphOk;
}

int CGstGraphOps::CreateGraph() {
    State& s = *m_pState;
    if (s.pipeline != nullptr) return kGraphFail;
    s.pipeline = gst_pipeline_new("capture");
    if (s.pipeline == nullptr) return kGraphFail;
    if (g_object_is_floating(s.pipeline)) gst_object_ref_sink(s.pipeline);
    GstBus* bus = gst_element_get_bus(s.pipeline);
    gst_bus_set_sync_handler(bus, OnBusMessage, &s, nullptr);
    gst_object_unref(bus);
    return kGraphOk;
}

void CGstGraphOps::ReleaseGraph() {
    State& s = *m_pState;
    if (s.pipeline == nullptr) return;
    // Stopping joins the streaming threads; nothing of ours is held meanwhile.
    gst_element_set_state(s.pipeline, GST_STATE_NULL);
    {
        std::lock_guard relaying(s.relayLock);
        s.sink.store(nullptr);
    }
    GstBus* bus = gst_element_get_bus(s.pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
    GstPad* pad = nullptr;
    {
        std::lock_guard lock(s.lock);
        pad = std::exchange(s.encoderSrc, nullptr);
        s.notify = nullptr;
        for (GstMessage* event : s.events) gst_message_unref(event);
        s.events.clear();
    }
    if (pad != nullptr) gst_object_unref(pad);
    if (s.captureBin != nullptr) gst_object_unref(std::exchange(s.captureBin, nullptr));
    s.encoder = nullptr;
    s.formatCaps = nullptr;
    gst_object_unref(std::exchange(s.pipeline, nullptr));
}

int CGstGraphOps::RegisterGraph(uint32_t* cookie) {
    State& s = *m_pState;
    if (s.pipeline == nullptr || cookie == nullptr) return kGraphFail;
    // Named so that the graph is recognised in debug dumps of the process.
    const std::string name = "capture-graph-pid-" + std::to_string(getpid());
    gst_object_set_name(GST_OBJECT(s.pipeline), name.c_str());
    *cookie = 1;
    return kGraphOk;
}

void CGstGraphOps::RevokeGraph(uint32_t) {}

int CGstGraphOps::CaptureDeviceCount() {
    State& s = *m_pState;
    s.cameras.clear();
    std::vector<simcam::SimCamera> simulated;
    std::string error;
    switch (simcam::SimCamerasFromEnvironment(simulated, error)) {
        case simcam::SimSource::Real:
            for (const nodrik::V4l2CaptureNode& node : nodrik::ListCaptureNodes(nodrik::RealV4l2Sys(), "/dev")) {
                Camera camera;
                camera.strName = platform::Utf16ToUtf8(node.strName);
                camera.bReadable = !node.strName.empty();
                camera.strPath = node.strPath;
                s.cameras.push_back(std::move(camera));
            }
            break;
        case simcam::SimSource::Simulated:
            for (const simcam::SimCamera& sim : simulated) {
                Camera camera;
                camera.strName = sim.strName;
                camera.bReadable = true;
                camera.bSimulated = true;
                camera.sim = sim;
                s.cameras.push_back(std::move(camera));
            }
            break;
        case simcam::SimSource::Invalid:
            ZTRACE("%s; no camera\n", error.c_str());
            break;
    }
    return static_cast<int>(s.cameras.size());
}

bool CGstGraphOps::CaptureDeviceName(int position, std::string& name) {
    State& s = *m_pState;
    if (position < 0 || static_cast<size_t>(position) >= s.cameras.size()) return false;
    const Camera& camera = s.cameras[static_cast<size_t>(position)];
    if (!camera.bReadable) return false;
    name = camera.strName;
    return true;
}

FilterId CGstGraphOps::BindCaptureDevice(int position) {
    State& s = *m_pState;
    if (position < 0 || static_cast<size_t>(position) >= s.cameras.size()) return 0;
    const Camera& camera = s.cameras[static_cast<size_t>(position)];
    GstElement* bin = nullptr;
    if (camera.bSimulated) {
        GstElement* source = Make("videotestsrc");
        GstElement* caps = Make("capsfilter");
        if (source != nullptr) {
            g_object_set(source, "is-live", TRUE, nullptr);
            gst_util_set_object_arg(G_OBJECT(source), "pattern", camera.sim.strPattern.c_str());
        }
        if (caps != nullptr) {
            GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT,
                                               kSimWidth, "height", G_TYPE_INT, kSimHeight, "framerate",
                                               GST_TYPE_FRACTION, static_cast<int>(camera.sim.nFrameRate), 1,
                                               nullptr);
            g_object_set(caps, "caps", raw, nullptr);
            gst_caps_unref(raw);
        }
        bin = MakeChain("camera", {source, caps});
        if (bin != nullptr && camera.sim.dwVanishMs != 0) {
            auto* probe = new VanishProbe{source, camera.sim.dwVanishMs};
            GstPad* pad = gst_element_get_static_pad(source, "src");
            gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnVanishProbe, probe,
                              [](gpointer data) { delete static_cast<VanishProbe*>(data); });
            gst_object_unref(pad);
        }
    } else {
        GstElement* source = Make("v4l2src");
        if (source != nullptr) g_object_set(source, "device", camera.strPath.c_str(), nullptr);
        bin = MakeChain("camera", {source});
    }
    if (bin == nullptr) return 0;
    const FilterId id = s.Keep(bin);
    if (s.captureBin != nullptr) gst_object_unref(s.captureBin);
    s.captureBin = GST_ELEMENT(gst_object_ref(bin));
    return id;
}

int CGstGraphOps::CreateFilter(FilterKind kind, FilterId* filter) {
    State& s = *m_pState;
    if (filter == nullptr) return kGraphPointer;
    *filter = 0;
    if (kind == FilterKind::Dump) {
        GstElement* appsink = Make("appsink", "dump");
        if (appsink == nullptr) return kGraphFail;
        // No queue: the callback relays each access unit as it comes.
        g_object_set(appsink, "sync", FALSE, "max-buffers", 1u, "drop", FALSE, "enable-last-sample", FALSE,
                     "emit-signals", FALSE, nullptr);
        *filter = s.Keep(appsink);
        return kGraphOk;
    }
    GstElement* encoder = Make("x264enc");
    GstElement* caps = Make("capsfilter", "format");
    GstElement* h264 = Make("capsfilter");
    GstElement* rate = Make("videorate");
    // The camera's rate is only ever lowered to the format's, never padded.
    if (rate != nullptr) g_object_set(rate, "drop-only", TRUE, nullptr);
    GstElement* bin = MakeChain("encoder", {Make("videoconvert"), Make("videoscale"), rate, caps, encoder, h264});
    if (bin == nullptr) return kGraphFail;
    uint32_t kbps = 0;
    if (!ReadEncoderBitrate(s.registry, &kbps) || kbps == 0) kbps = kDefaultBitrate;
    kbps = std::min<uint32_t>(kbps, 2048000);
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "veryfast");
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    g_object_set(encoder, "byte-stream", TRUE, "aud", FALSE, "dct8x8", TRUE, "bitrate", kbps, nullptr);
    GstCaps* out = gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, "high", "stream-format",
                                       G_TYPE_STRING, "byte-stream", "alignment", G_TYPE_STRING, "au", nullptr);
    g_object_set(h264, "caps", out, nullptr);
    gst_caps_unref(out);
    ZTRACE("encoder: %u kbit/s\n", kbps);

    *filter = s.Keep(bin);
    s.encoder = encoder;
    s.formatCaps = caps;
    GstPad* src = gst_element_get_static_pad(encoder, "src");
    std::lock_guard lock(s.lock);
    if (s.encoderSrc != nullptr) gst_object_unref(s.encoderSrc);
    s.encoderSrc = src;
    return kGraphOk;
}

int CGstGraphOps::AddFilter(FilterId filter, const char* name) {
    State& s = *m_pState;
    GstElement* element = s.Filter(filter);
    if (element == nullptr || s.pipeline == nullptr) return kGraphPointer;
    if (name != nullptr && GST_OBJECT_PARENT(element) == nullptr) gst_object_set_name(GST_OBJECT(element), name);
    return gst_bin_add(GST_BIN(s.pipeline), element) ? kGraphOk : kGraphFail;
}

void CGstGraphOps::ReleaseFilter(FilterId filter) {
    State& s = *m_pState;
    auto it = s.filters.find(filter);
    if (it == s.filters.end()) return;
    gst_object_unref(it->second);
    s.filters.erase(it);
}

int CGstGraphOps::FindUnconnectedPin(FilterId filter, PinDirection direction) {
    GstElement* element = m_pState->Filter(filter);
    if (element == nullptr) return kGraphPointer;
    GstPad* pad = gst_element_get_static_pad(element, direction == PinDirection::Output ? "src" : "sink");
    if (pad == nullptr) return kGraphFail;
    const bool linked = gst_pad_is_linked(pad);
    gst_object_unref(pad);
    return linked ? kGraphFail : kGraphOk;
}

int CGstGraphOps::ConnectDirect(FilterId upstream, FilterId downstream, const CaptureFormat& format) {
    State& s = *m_pState;
    GstElement* up = s.Filter(upstream);
    GstElement* down = s.Filter(downstream);
    if (up == nullptr || down == nullptr) return kGraphPointer;
    if (format.nWidth <= 0 || format.nHeight <= 0 || format.nFrameRate <= 0) return kGraphFail;
    // What the encoder receives is the recorded format, whatever the camera gives.
    if (s.formatCaps != nullptr && gst_object_has_as_ancestor(GST_OBJECT(s.formatCaps), GST_OBJECT(down))) {
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                            format.nWidth, "height", G_TYPE_INT, format.nHeight, "framerate",
                                            GST_TYPE_FRACTION, format.nFrameRate, 1, "pixel-aspect-ratio",
                                            GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(s.formatCaps, "caps", caps, nullptr);
        gst_caps_unref(caps);
        const uint64_t frames = static_cast<uint64_t>(format.nFrameRate) * s.options.dwKeyIntervalMs / 1000;
        g_object_set(s.encoder, "key-int-max", static_cast<guint>(std::clamp<uint64_t>(frames, 1, 10000)), nullptr);
    }
    return gst_element_link_pads(up, "src", down, "sink") ? kGraphOk : kGraphFail;
}

int CGstGraphOps::Connect(FilterId upstream, FilterId downstream) {
    State& s = *m_pState;
    GstElement* up = s.Filter(upstream);
    GstElement* down = s.Filter(downstream);
    if (up == nullptr || down == nullptr) return kGraphPointer;
    return gst_element_link_pads(up, "src", down, "sink") ? kGraphOk : kGraphFail;
}

int CGstGraphOps::SetFrameSink(FilterId dump, session::EncodedFrameSink* sink, int) {
    State& s = *m_pState;
    GstElement* element = s.Filter(dump);
    if (element == nullptr) return kGraphPointer;
    if (!GST_IS_APP_SINK(element)) return kGraphNoInterface;
    s.keyFrame.reserve(256 * 1024);
    s.sink.store(sink);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(element), &callbacks, &s, nullptr);
    return kGraphOk;
}

int CGstGraphOps::QueryControl(GraphControl) {
    // The pipeline is its own control, event source, video and seeking
    // interface; there is nothing to fetch.
    return m_pState->pipeline != nullptr ? kGraphOk : kGraphNoInterface;
}

void CGstGraphOps::ReleaseControl(GraphControl) {}

void CGstGraphOps::DetachVideoWindow() {}

int CGstGraphOps::SetNotify(std::function<void()> notify) {
    State& s = *m_pState;
    if (s.pipeline == nullptr) return kGraphFail;
    std::lock_guard lock(s.lock);
    s.notify = std::move(notify);
    return kGraphOk;
}

int CGstGraphOps::GetEvent(int* code) {
    State& s = *m_pState;
    if (s.pipeline == nullptr || code == nullptr) return kGraphFail;
    GstMessage* message = nullptr;
    {
        std::lock_guard lock(s.lock);
        if (s.events.empty()) return kGraphFail;
        message = s.events.front();
        s.events.pop_front();
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        *code = kEventComplete;
    } else {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        GstObject* from = GST_MESSAGE_SRC(message);
        const bool camera = s.captureBin != nullptr && from != nullptr &&
                            (from == GST_OBJECT(s.captureBin) ||
                             gst_object_has_as_ancestor(from, GST_OBJECT(s.captureBin)));
        const bool resource = error != nullptr && error->domain == GST_RESOURCE_ERROR;
        *code = camera && resource ? kGraphEventDeviceLost : kGraphEventErrorAbort;
        ZTRACE("graph error from %s: %s (%s)\n", from ? GST_OBJECT_NAME(from) : "?", error ? error->message : "?",
               debug ? debug : "");
        if (error) g_error_free(error);
        g_free(debug);
    }
    gst_message_unref(message);
    return kGraphOk;
}

int CGstGraphOps::Run() {
    State& s = *m_pState;
    if (s.pipeline == nullptr) return kGraphFail;
    return gst_element_set_state(s.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE ? kGraphFail : kGraphOk;
}

int CGstGraphOps::Stop() {
    State& s = *m_pState;
    if (s.pipeline == nullptr) return kGraphFail;
    const bool stopped = gst_element_set_state(s.pipeline, GST_STATE_NULL) != GST_STATE_CHANGE_FAILURE;
    std::lock_guard relaying(s.relayLock);  // a relay under way has ended
    return stopped ? kGraphOk : kGraphFail;
}

void CGstGraphOps::ForceKeyFrame() {
    State& s = *m_pState;
    GstPad* pad = nullptr;
    {
        std::lock_guard lock(s.lock);
        if (s.encoderSrc != nullptr) pad = GST_PAD(gst_object_ref(s.encoderSrc));
    }
    if (pad == nullptr) return;
    // An upstream event is handled on the calling thread under the encoder's
    // object lock only: it does not wait for the streaming thread.
    gst_pad_send_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE,
                                                                         s.forceCount.fetch_add(1) + 1));
    gst_object_unref(pad);
}

}  // namespace video
