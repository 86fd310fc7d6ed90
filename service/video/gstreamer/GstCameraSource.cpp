#include "service/video/gstreamer/GstCameraSource.h"

#include <atomic>
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

GstElement* MakeSimulatedSource(const simcam::SimCamera& sim, std::string& problem) {
    GstElement* source = MakeElement("videotestsrc", problem);
    GstElement* caps = source != nullptr ? MakeElement("capsfilter", problem) : nullptr;
    if (source != nullptr) {
        g_object_set(source, "is-live", TRUE, nullptr);
        gst_util_set_object_arg(G_OBJECT(source), "pattern", sim.strPattern.c_str());
    }
    if (caps != nullptr) {
        GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YUY2", "width", G_TYPE_INT,
                                           kSimWidth, "height", G_TYPE_INT, kSimHeight, "framerate",
                                           GST_TYPE_FRACTION, static_cast<int>(sim.nFrameRate), 1, nullptr);
        g_object_set(caps, "caps", raw, nullptr);
        gst_caps_unref(raw);
    }
    GstElement* bin = MakeSourceBin({source, caps});
    if (bin != nullptr && sim.dwVanishMs != 0) {
        auto* probe = new VanishProbe{source, sim.dwVanishMs};
        GstPad* pad = gst_element_get_static_pad(source, "src");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnVanishProbe, probe,
                          [](gpointer data) { delete static_cast<VanishProbe*>(data); });
        gst_object_unref(pad);
    }
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
        return result;
    }
    result.strName = chosen->strName;
    if (chosen->sim) {
        result.pBin = MakeSimulatedSource(*chosen->sim, result.strProblem);
    } else {
        GstElement* source = MakeElement("v4l2src", result.strProblem);
        if (source != nullptr) g_object_set(source, "device", chosen->strPath.c_str(), nullptr);
        result.pBin = MakeSourceBin({source});
    }
    if (result.pBin == nullptr && result.strProblem.empty())
        result.strProblem = "The camera \"" + chosen->strName + "\" cannot be opened.";
    return result;
}

}  // namespace video
