#include "service/video/gstreamer/GstCameraSource.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/video/gstreamer/GstElements.h"
#include "xulib/sim/SimCameras.h"
#include "xulib/v4l2/V4l2DeviceAccess.h"

namespace video {
namespace {

// The size a simulated camera delivers.
constexpr int kSimWidth = 640;
constexpr int kSimHeight = 480;

struct Camera {
    std::string strName;  // UTF-8; empty when unreadable
    std::string strPath;  // capture node of a real camera
    std::optional<simcam::SimCamera> sim;
};

// Simulated cameras that vanished and come back: when each went, by name.
// A camera is away until its `back` time has passed since then, and from then
// on stays, as a camera plugged in again does.
std::mutex g_awayLock;
std::map<std::string, uint32_t> g_awaySince;

bool SimCameraAway(const simcam::SimCamera& sim, bool& returned) {
    std::lock_guard lock(g_awayLock);
    const auto found = g_awaySince.find(sim.strName);
    returned = found != g_awaySince.end();
    return returned && platform::GetTickCount() - found->second < sim.dwBackMs;
}

// One simulated camera that vanishes: the probe on its output counts from the
// first picture and, once the time is up, drops everything and reports the
// source as gone, as a real camera's source does when it is unplugged.
struct VanishProbe {
    GstElement* source;  // not owned: the probe goes with the source's pad
    uint32_t dwVanishMs;
    std::string strName;
    bool bComesBack;
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
    if (probe->bComesBack) {
        std::lock_guard lock(g_awayLock);
        g_awaySince[probe->strName] = now;
    }
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ, "The camera is gone.");
    gst_element_post_message(probe->source,
                             gst_message_new_error(GST_OBJECT(probe->source), error, "simulated camera vanished"));
    g_error_free(error);
    return GST_PAD_PROBE_DROP;
}

// The cameras in the camera library's order; false with `problem` set when
// the list of simulated cameras cannot be read.
bool ListCameras(std::vector<Camera>& cameras, std::string& problem) {
    std::vector<simcam::SimCamera> simulated;
    std::string error;
    switch (simcam::SimCamerasFromEnvironment(simulated, error)) {
        case simcam::SimSource::Real:
            for (const nodrik::V4l2CaptureNode& node : nodrik::ListCaptureNodes(nodrik::RealV4l2Sys(), "/dev"))
                cameras.push_back({platform::Utf16ToUtf8(node.strName), node.strPath, std::nullopt});
            return true;
        case simcam::SimSource::Simulated:
            for (const simcam::SimCamera& sim : simulated) cameras.push_back({sim.strName, "", sim});
            return true;
        case simcam::SimSource::Invalid:
            break;
    }
    ZTRACE("%s; no camera\n", error.c_str());
    problem = "No camera can be found: " + error + ".";
    return false;
}

// A bin holding `elements` linked in a chain, with a ghost "src" pad for the
// last; nullptr (and `elements` released) when one is missing or they do not link.
GstElement* MakeSourceBin(std::initializer_list<GstElement*> elements) {
    for (GstElement* element : elements) {
        if (element != nullptr) continue;
        for (GstElement* other : elements)
            if (other != nullptr) gst_object_unref(other);
        return nullptr;
    }
    GstElement* bin = gst_bin_new("camera");
    GstElement* previous = nullptr;
    for (GstElement* element : elements) {
        gst_bin_add(GST_BIN(bin), element);
        if (previous != nullptr && !gst_element_link(previous, element)) {
            gst_object_unref(bin);
            return nullptr;
        }
        previous = element;
    }
    GstPad* src = gst_element_get_static_pad(previous, "src");
    gst_element_add_pad(bin, gst_ghost_pad_new("src", src));
    gst_object_unref(src);
    return bin;
}

GstElement* MakeSimulatedSource(const simcam::SimCamera& sim, bool vanishes, std::string& problem) {
    GstElement* source = MakeElement("videotestsrc", problem);
    GstElement* caps = source != nullptr ? MakeElement("capsfilter", problem) : nullptr;
    // A camera that delivers MJPEG compresses on the camera: here a JPEG
    // encoder stands for it.
    GstElement* jpeg = caps != nullptr && sim.bMjpeg ? MakeElement("jpegenc", problem) : nullptr;
    if (source != nullptr) {
        g_object_set(source, "is-live", TRUE, nullptr);
        gst_util_set_object_arg(G_OBJECT(source), "pattern", sim.strPattern.c_str());
    }
    if (caps != nullptr) {
        GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, sim.bMjpeg ? "I420" : "YUY2",
                                           "width", G_TYPE_INT, kSimWidth, "height", G_TYPE_INT, kSimHeight,
                                           "framerate", GST_TYPE_FRACTION, static_cast<int>(sim.nFrameRate), 1,
                                           nullptr);
        g_object_set(caps, "caps", raw, nullptr);
        gst_caps_unref(raw);
    }
    if (sim.bMjpeg && jpeg == nullptr) {
        if (source != nullptr) gst_object_unref(gst_object_ref_sink(source));
        if (caps != nullptr) gst_object_unref(gst_object_ref_sink(caps));
        return nullptr;
    }
    GstElement* bin = sim.bMjpeg ? MakeSourceBin({source, caps, jpeg}) : MakeSourceBin({source, caps});
    if (bin != nullptr && vanishes) {
        auto* probe = new VanishProbe{source, sim.dwVanishMs, sim.strName, sim.dwBackMs != 0};
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnVanishProbe, probe,
                          [](gpointer data) { delete static_cast<VanishProbe*>(data); });
        gst_object_unref(pad);
    }
    return bin;
}

// What a real camera's node offers: raw pictures, JPEG frames, or both.
// The node is opened for the question and closed again.
void ProbeNode(GstElement* source, bool& raw, bool& jpeg) {
    raw = jpeg = false;
    if (gst_element_set_state(source, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(source, GST_STATE_NULL);
        raw = true;  // the start will say what is wrong with the node
        return;
    }
    GstPad* pad = gst_element_get_static_pad(source, "src");
    GstCaps* caps = gst_pad_query_caps(pad, nullptr);
    for (guint i = 0; caps != nullptr && i < gst_caps_get_size(caps); ++i) {
        const gchar* name = gst_structure_get_name(gst_caps_get_structure(caps, i));
        raw = raw || g_str_equal(name, "video/x-raw");
        jpeg = jpeg || g_str_equal(name, "image/jpeg");
    }
    if (caps != nullptr) gst_caps_unref(caps);
    gst_object_unref(pad);
    gst_element_set_state(source, GST_STATE_NULL);
    if (!raw && !jpeg) raw = true;
}

GstElement* MakeV4l2Source(const std::string& path, bool& jpegOut, std::string& problem) {
    GstElement* source = MakeElement("v4l2src", problem);
    if (source == nullptr) return nullptr;
    g_object_set(source, "device", path.c_str(), nullptr);
    gst_object_ref_sink(source);
    bool raw = false, jpeg = false;
    ProbeNode(source, raw, jpeg);
    // Raw pictures need no decoding; JPEG frames are taken only from a
    // camera that gives nothing else.
    jpegOut = !raw && jpeg;
    ZTRACE("camera %s offers%s%s; taking %s\n", path.c_str(), raw ? " raw" : "", jpeg ? " JPEG" : "",
           jpegOut ? "JPEG" : "raw");
    GstElement* caps = MakeElement("capsfilter", problem);
    if (caps == nullptr) {
        gst_object_unref(source);
        return nullptr;
    }
    GstCaps* wanted = gst_caps_new_empty_simple(jpegOut ? "image/jpeg" : "video/x-raw");
    g_object_set(caps, "caps", wanted, nullptr);
    gst_caps_unref(wanted);
    GstElement* bin = MakeSourceBin({source, caps});
    gst_object_unref(source);  // the bin holds it now (or it went with the failure)
    return bin;
}

}  // namespace

int FindCamera(const std::vector<std::string>& names, const std::string& name) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty()) continue;  // unreadable: never taken
        if (name.empty() || names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

CameraSource MakeCameraSource(const std::string& name) {
    CameraSource result;
    std::vector<Camera> cameras;
    if (!ListCameras(cameras, result.strProblem)) return result;
    std::vector<std::string> names;
    for (const Camera& camera : cameras) names.push_back(camera.strName);
    const int position = FindCamera(names, name);
    const Camera* chosen = position < 0 ? nullptr : &cameras[static_cast<size_t>(position)];
    if (chosen == nullptr) {
        ZTRACE("no camera matches \"%s\" among %zu\n", name.c_str(), cameras.size());
        result.strProblem = name.empty() ? "No camera can be found." : "The camera \"" + name + "\" cannot be found.";
        result.bAbsent = true;
        return result;
    }
    result.strName = chosen->strName;
    if (chosen->sim) {
        bool returned = false;
        if (SimCameraAway(*chosen->sim, returned)) {
            result.strProblem = "The camera \"" + chosen->strName + "\" cannot be found.";
            result.bAbsent = true;
            return result;
        }
        result.bJpeg = chosen->sim->bMjpeg;
        result.pBin = MakeSimulatedSource(*chosen->sim, chosen->sim->dwVanishMs != 0 && !returned, result.strProblem);
    } else {
        result.pBin = MakeV4l2Source(chosen->strPath, result.bJpeg, result.strProblem);
    }
    if (result.pBin == nullptr && result.strProblem.empty())
        result.strProblem = "The camera \"" + chosen->strName + "\" cannot be opened.";
    return result;
}

}  // namespace video
