#include "service/video/gstreamer/GstCapture.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Trace.h"
#include "service/video/H264.h"
#include "service/video/gstreamer/GstCameraSource.h"
#include "service/video/gstreamer/GstElements.h"
#include "service/video/gstreamer/GstEncoder.h"

namespace video {
namespace {

// What the encoder starts with when it is asked for no bitrate (kbit/s).
constexpr uint32_t kDefaultBitrate = 300;
constexpr uint32_t kMaxBitrate = 2048000;  // x264enc's own limit

// GStreamer's text with a full stop, to follow a sentence of ours.
std::string Sentence(std::string text) {
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

}  // namespace

struct CGstCapture::State {
    // The owner's thread only.
    GstElement* pipeline = nullptr;  // a reference while a capture exists
    std::string strCamera;           // the camera taken, for the texts
    std::atomic<bool> bRunning{false};

    // Set before the bus handler is installed and cleared after it is
    // removed: the handler reads it without a lock.
    GstElement* cameraBin = nullptr;

    // Where forced key frames are asked for; any thread.
    std::mutex padLock;
    GstPad* encoderSrc = nullptr;  // a reference
    std::atomic<uint32_t> forceCount{0};

    // Held while a frame is handed on, so that Stop, once it has taken it,
    // knows that no hand-over is under way and none will come.
    std::mutex relayLock;
    session::EncodedFrameSink* sink = nullptr;
    // The streaming thread's (the appsink callback runs on one thread).
    std::vector<NalUnit> scratch;
    std::vector<uint8_t> keyFrame;

    // The preview's subscriber, kept across captures; held while it is
    // called, so that unsubscribing knows no call is under way.
    std::mutex previewLock;
    IPreviewSink* preview = nullptr;
    std::atomic<bool> bPreviewOn{false};  // read first, without the lock
    // The streaming thread's.
    gint64 lastPreviewUs = 0;
    PreviewFrame previewFrame;

    // Held while the events are called, for the same reason.
    std::mutex eventLock;
    ICaptureEvents* events = nullptr;
    bool bStarting = false;        // an error now fails the start
    std::string strStartError;     // the first error while starting
    bool bStartErrorFromCamera = false;
    bool bLost = false;            // the loss is told once

    bool FromCamera(GstObject* from) const {
        return cameraBin != nullptr && from != nullptr &&
               (from == GST_OBJECT(cameraBin) || gst_object_has_as_ancestor(from, GST_OBJECT(cameraBin)));
    }
};

namespace {

using State = CGstCapture::State;

void OnError(State& s, GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    GstObject* from = GST_MESSAGE_SRC(message);
    const std::string text = error != nullptr ? error->message : "unknown error";
    const bool camera = s.FromCamera(from);
    const bool resource = error != nullptr && error->domain == GST_RESOURCE_ERROR;
    ZTRACE("capture error from %s: %s (%s)\n", from ? GST_OBJECT_NAME(from) : "?", text.c_str(), debug ? debug : "");
    if (error) g_error_free(error);
    g_free(debug);

    std::lock_guard lock(s.eventLock);
    if (s.bStarting) {
        if (s.strStartError.empty()) {
            s.strStartError = text;
            s.bStartErrorFromCamera = camera;
        }
    } else if (s.events != nullptr) {
        if (camera && resource) {
            if (!std::exchange(s.bLost, true)) s.events->OnCaptureLost();
        } else {
            s.events->OnCaptureProblem(std::string("GStreamer error from ") + (from ? GST_OBJECT_NAME(from) : "?") +
                                       ": " + text);
        }
    }
}

// Runs on the thread that posts; nothing is queued for later.
GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    State& s = *static_cast<State*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_ERROR:
            OnError(s, message);
            break;
        case GST_MESSAGE_EOS: {
            std::lock_guard lock(s.eventLock);
            if (!s.bStarting && s.events != nullptr) s.events->OnCaptureProblem("the capture's stream ended");
            break;
        }
        case GST_MESSAGE_WARNING: {
            GError* error = nullptr;
            gst_message_parse_warning(message, &error, nullptr);
            ZTRACE("capture warning from %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
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
    State& s = *static_cast<State*>(data);
    GstSample* sample = gst_app_sink_pull_sample(appsink);
    if (sample == nullptr) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const uint8_t* bytes = map.data;
        size_t size = map.size;
        // The fan-out's gate opens only for a frame that begins with a
        // High-profile SPS: a key frame that does not is rearranged. What the
        // frame is, is decided here, for everyone after.
        const bool keyUnit = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        if (keyUnit && !IsKeyFrame(bytes, size) && PutSpsFirst(bytes, size, s.scratch, s.keyFrame)) {
            bytes = s.keyFrame.data();
            size = s.keyFrame.size();
        }
        const session::FrameKind kind =
            keyUnit && IsKeyFrame(bytes, size) ? session::FrameKind::LiveKey : session::FrameKind::LiveDelta;
        std::lock_guard relaying(s.relayLock);
        if (s.sink != nullptr && size <= UINT32_MAX)
            s.sink->OnEncodedFrame(session::EncodedFrame{bytes, static_cast<uint32_t>(size), kind});
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

// Between the format filter and the encoder: while someone subscribes, now
// and then a small copy of the picture the encoder gets. Unsubscribed, one
// atomic read per frame.
GstPadProbeReturn OnRawPicture(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
    State& s = *static_cast<State*>(data);
    if (!s.bPreviewOn.load(std::memory_order_relaxed)) return GST_PAD_PROBE_OK;
    const gint64 now = g_get_monotonic_time();
    if (s.lastPreviewUs != 0 && now - s.lastPreviewUs < static_cast<gint64>(kPreviewPeriodMs) * 1000)
        return GST_PAD_PROBE_OK;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (buffer == nullptr || caps == nullptr) {
        if (caps) gst_caps_unref(caps);
        return GST_PAD_PROBE_OK;
    }
    GstVideoInfo videoInfo;
    const bool parsed = gst_video_info_from_caps(&videoInfo, caps);
    const bool interleaved = parsed && GST_VIDEO_INFO_FORMAT(&videoInfo) == GST_VIDEO_FORMAT_NV12;
    const bool known = parsed && (interleaved || GST_VIDEO_INFO_FORMAT(&videoInfo) == GST_VIDEO_FORMAT_I420);
    gst_caps_unref(caps);
    GstVideoFrame picture;
    if (!known || !gst_video_frame_map(&picture, &videoInfo, buffer, GST_MAP_READ)) return GST_PAD_PROBE_OK;
    I420View view;
    view.nWidth = GST_VIDEO_FRAME_WIDTH(&picture);
    view.nHeight = GST_VIDEO_FRAME_HEIGHT(&picture);
    for (int p = 0; p < (interleaved ? 2 : 3); ++p) {
        view.planes[p] = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&picture, p));
        view.strides[p] = GST_VIDEO_FRAME_PLANE_STRIDE(&picture, p);
    }
    if (interleaved) {  // NV12, as hardware encoders take it: V follows each U
        view.planes[2] = view.planes[1] + 1;
        view.strides[2] = view.strides[1];
        view.nChromaStep = 2;
    }
    const bool made = MakePreviewFrame(view, s.previewFrame);
    gst_video_frame_unmap(&picture);
    if (!made) return GST_PAD_PROBE_OK;
    s.lastPreviewUs = now;
    std::lock_guard lock(s.previewLock);
    if (s.preview != nullptr) s.preview->OnPreviewFrame(s.previewFrame);
    return GST_PAD_PROBE_OK;
}

GstCaps* FormatCaps(const CaptureFormat& format, const char* pixels) {
    return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, pixels, "width", G_TYPE_INT, format.nWidth,
                               "height", G_TYPE_INT, format.nHeight, "framerate", GST_TYPE_FRACTION,
                               format.nFrameRate, 1, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
}

void SetEncoder(GstElement* encoder, const EncoderChoice& choice, const CaptureSettings& settings) {
    uint32_t kbps = settings.dwBitrateKbps != 0 ? settings.dwBitrateKbps : kDefaultBitrate;
    kbps = std::min(kbps, kMaxBitrate);
    const uint64_t keyFrames =
        static_cast<uint64_t>(settings.format.nFrameRate) * settings.dwKeyIntervalMs / 1000;
    ConfigureH264Encoder(encoder, choice, kbps, static_cast<uint32_t>(std::clamp<uint64_t>(keyFrames, 1, 10000)));
}

}  // namespace

CGstCapture::CGstCapture() : m_pState(std::make_unique<State>()) {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
    m_pState->keyFrame.reserve(256 * 1024);
}

CGstCapture::~CGstCapture() { Stop(); }

CaptureStart CGstCapture::Start(const CaptureSettings& settings, session::EncodedFrameSink& sink,
                                ICaptureEvents& events) {
    State& s = *m_pState;
    if (s.pipeline != nullptr) return {false, "The capture is already running.", "", false};
    const CaptureFormat& format = settings.format;
    if (format.nWidth <= 0 || format.nHeight <= 0 || format.nFrameRate <= 0)
        return {false, "The capture cannot be set up: the picture format is not valid.", "", false};

    const EncoderChoice encoderChoice = ChooseH264Encoder(settings.strEncoder);
    if (encoderChoice.strFactory.empty()) return {false, encoderChoice.strProblem, "", false};

    CameraSource camera = MakeCameraSource(settings.strCameraName);
    if (camera.pBin == nullptr) return {false, camera.strProblem, "", camera.bAbsent};

    // The elements in the order the picture passes them; the first missing
    // one is the one the user hears of. JPEG frames are decoded first.
    std::string problem;
    std::vector<const char*> factories = {"videoconvert", "videoscale", "videorate", "capsfilter",
                                          encoderChoice.strFactory.c_str(), "capsfilter", "appsink"};
    if (camera.bJpeg) factories.insert(factories.begin(), "jpegdec");
    const size_t count = factories.size();
    std::vector<GstElement*> chain(count, nullptr);
    for (size_t i = 0; i < count && problem.empty(); ++i) chain[i] = MakeElement(factories[i], problem);
    if (!problem.empty()) {
        gst_object_unref(gst_object_ref_sink(camera.pBin));
        for (GstElement* element : chain)
            if (element != nullptr) gst_object_unref(gst_object_ref_sink(element));
        return {false, problem, "", false};
    }
    GstElement* const rate = chain[count - 5];
    GstElement* const formatCaps = chain[count - 4];
    GstElement* const encoder = chain[count - 3];
    GstElement* const h264Caps = chain[count - 2];
    GstElement* const appsink = chain[count - 1];

    // The camera's rate is only ever lowered to the format's, never padded.
    g_object_set(rate, "drop-only", TRUE, nullptr);
    // Hardware encoders take NV12 on every driver we know; x264 takes I420.
    GstCaps* caps = FormatCaps(format, encoderChoice.bHardware ? "NV12" : "I420");
    g_object_set(formatCaps, "caps", caps, nullptr);
    gst_caps_unref(caps);
    SetEncoder(encoder, encoderChoice, settings);
    caps = gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, "high", "stream-format", G_TYPE_STRING,
                               "byte-stream", "alignment", G_TYPE_STRING, "au", nullptr);
    g_object_set(h264Caps, "caps", caps, nullptr);
    gst_caps_unref(caps);
    // No queue: the callback hands on each access unit as it comes.
    g_object_set(appsink, "sync", FALSE, "max-buffers", 1u, "drop", FALSE, "enable-last-sample", FALSE,
                 "emit-signals", FALSE, nullptr);

    s.pipeline = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("capture")));
    s.cameraBin = camera.pBin;
    s.strCamera = camera.strName;
    gst_bin_add(GST_BIN(s.pipeline), camera.pBin);
    for (GstElement* element : chain) gst_bin_add(GST_BIN(s.pipeline), element);
    bool linked = gst_element_link(camera.pBin, chain[0]);
    for (size_t i = 1; i < count && linked; ++i) linked = gst_element_link(chain[i - 1], chain[i]);
    if (!linked) {
        ZTRACE("the capture's elements do not link\n");
        Stop();
        return {false, "The capture cannot be set up: GStreamer cannot link its elements.", "", false};
    }

    {
        std::lock_guard lock(s.padLock);
        s.encoderSrc = gst_element_get_static_pad(encoder, "src");
    }
    // The preview's tap; it goes with the pipeline.
    s.lastPreviewUs = 0;
    GstPad* raw = gst_element_get_static_pad(formatCaps, "src");
    gst_pad_add_probe(raw, GST_PAD_PROBE_TYPE_BUFFER, OnRawPicture, &s, nullptr);
    gst_object_unref(raw);
    {
        std::lock_guard relaying(s.relayLock);
        s.sink = &sink;
    }
    {
        std::lock_guard lock(s.eventLock);
        s.events = &events;
        s.bStarting = true;
        s.strStartError.clear();
        s.bStartErrorFromCamera = false;
        s.bLost = false;
    }
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, &s, nullptr);
    GstBus* bus = gst_element_get_bus(s.pipeline);
    gst_bus_set_sync_handler(bus, OnBusMessage, &s, nullptr);
    gst_object_unref(bus);

    // A live source opens the camera on the way to PLAYING and returns
    // without waiting for a picture; an error on the way fails the start.
    const bool refused = gst_element_set_state(s.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE;
    std::string error;
    bool fromCamera = false;
    {
        std::lock_guard lock(s.eventLock);
        s.bStarting = false;
        error = std::move(s.strStartError);
        fromCamera = s.bStartErrorFromCamera;
    }
    if (refused || !error.empty()) {
        const std::string name = s.strCamera;
        Stop();
        if (fromCamera)
            return {false, "The camera \"" + name + "\" cannot be opened. " + Sentence(error), "", false};
        return {false,
                error.empty() ? std::string("The capture cannot be started.")
                              : "The capture cannot be started. " + Sentence(error),
                "", false};
    }
    s.bRunning.store(true);
    return {true, "", DescribeEncoder(encoderChoice), false};
}

void CGstCapture::Stop() {
    State& s = *m_pState;
    if (s.pipeline == nullptr) return;
    s.bRunning.store(false);
    // Key-frame requests, frames and events end first: each hand-over under
    // way finishes before its lock is had, and none comes after.
    GstPad* pad = nullptr;
    {
        std::lock_guard lock(s.padLock);
        pad = std::exchange(s.encoderSrc, nullptr);
    }
    {
        std::lock_guard relaying(s.relayLock);
        s.sink = nullptr;
    }
    {
        std::lock_guard lock(s.eventLock);
        s.events = nullptr;
    }
    // Stopping joins the streaming threads; no lock of ours is held meanwhile.
    gst_element_set_state(s.pipeline, GST_STATE_NULL);
    GstBus* bus = gst_element_get_bus(s.pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
    if (pad != nullptr) gst_object_unref(pad);
    s.cameraBin = nullptr;
    gst_object_unref(std::exchange(s.pipeline, nullptr));
}

void CGstCapture::RequestKeyFrame() {
    State& s = *m_pState;
    GstPad* pad = nullptr;
    {
        std::lock_guard lock(s.padLock);
        if (s.encoderSrc != nullptr) pad = GST_PAD(gst_object_ref(s.encoderSrc));
    }
    if (pad == nullptr) return;
    // An upstream event is handled on the calling thread under the encoder's
    // object lock only: it does not wait for the streaming thread.
    gst_pad_send_event(pad, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE,
                                                                         s.forceCount.fetch_add(1) + 1));
    gst_object_unref(pad);
}

void CGstCapture::SetPreviewSink(IPreviewSink* sink) {
    State& s = *m_pState;
    std::lock_guard lock(s.previewLock);
    s.preview = sink;
    s.bPreviewOn.store(sink != nullptr);
}

bool CGstCapture::IsRunning() const { return m_pState->bRunning.load(); }

std::unique_ptr<ICapture> MakePlatformCapture() { return std::make_unique<CGstCapture>(); }

}  // namespace video
