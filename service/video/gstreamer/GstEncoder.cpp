#include "service/video/gstreamer/GstEncoder.h"

#include <map>
#include <mutex>

#include "platform/Trace.h"
#include "service/video/gstreamer/GstElements.h"

namespace video {
namespace {

struct Candidate {
    const char* factory;
    bool hardware;
};

// Hardware first: it leaves the processor to the rest of the machine.
constexpr Candidate kCandidates[] = {
    {"vah264enc", true},
    {"vaapih264enc", true},
    {"v4l2h264enc", true},
    {"x264enc", false},
};

bool Works(const char* factory) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) return false;
    gst_object_ref_sink(element);
    const bool opens = gst_element_set_state(element, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
    gst_element_set_state(element, GST_STATE_NULL);
    gst_object_unref(element);
    ZTRACE("H.264 encoder %s: %s\n", factory, opens ? "works" : "present, does not open");
    return opens;
}

bool HasFactory(const char* factory) {
    GstElementFactory* found = gst_element_factory_find(factory);
    if (found != nullptr) gst_object_unref(found);
    return found != nullptr;
}

EncoderChoice Choose(const std::string& forced) {
    EncoderChoice choice;
    bool known = forced.empty();
    for (const Candidate& candidate : kCandidates) {
        if (!forced.empty() && forced != candidate.factory) continue;
        known = true;
        if (!Works(candidate.factory)) continue;
        choice.strFactory = candidate.factory;
        choice.bHardware = candidate.hardware;
        return choice;
    }
    if (!known) {
        choice.strProblem = "The H.264 encoder \"" + forced + "\" named in the settings is not one the capture "
                            "knows (vah264enc, vaapih264enc, v4l2h264enc, x264enc).";
    } else if (forced.empty() || !HasFactory(forced.c_str())) {
        choice.strProblem = MissingElementText(forced.empty() ? "x264enc" : forced.c_str());
    } else {
        choice.strProblem = "The H.264 encoder \"" + forced +
                            "\" named in the settings cannot be opened here: its device is missing or refused.";
    }
    return choice;
}

bool HasProperty(GstElement* element, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

void SetUint(GstElement* element, const char* name, guint value) {
    if (HasProperty(element, name)) g_object_set(element, name, value, nullptr);
}

void SetNick(GstElement* element, const char* name, const char* value) {
    if (HasProperty(element, name)) gst_util_set_object_arg(G_OBJECT(element), name, value);
}

}  // namespace

EncoderChoice ChooseH264Encoder(const std::string& forced) {
    static std::mutex lock;
    static std::map<std::string, EncoderChoice> chosen;
    std::lock_guard hold(lock);
    const auto found = chosen.find(forced);
    if (found != chosen.end()) return found->second;
    EncoderChoice choice = Choose(forced);
    ZTRACE("H.264 encoder chosen: %s\n", choice.strFactory.empty() ? "none" : choice.strFactory.c_str());
    // Only a working choice is kept: a missing package may be installed
    // while the service runs.
    if (!choice.strFactory.empty()) chosen.emplace(forced, choice);
    return choice;
}

std::string DescribeEncoder(const EncoderChoice& choice) {
    if (choice.strFactory.empty()) return "none";
    return choice.strFactory + (choice.bHardware ? " (hardware)" : " (software)");
}

void ConfigureH264Encoder(GstElement* encoder, const EncoderChoice& choice, uint32_t kbps, uint32_t keyFrames) {
    const std::string& factory = choice.strFactory;
    if (factory == "x264enc") {
        gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "veryfast");
        gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
        g_object_set(encoder, "byte-stream", TRUE, "aud", FALSE, "dct8x8", TRUE, "bitrate", kbps, "key-int-max",
                     keyFrames, nullptr);
    } else if (factory == "vah264enc") {
        SetNick(encoder, "rate-control", "cbr");
        SetUint(encoder, "bitrate", kbps);
        SetUint(encoder, "key-int-max", keyFrames);
        SetUint(encoder, "b-frames", 0);
        SetUint(encoder, "target-usage", 7);  // fastest
    } else if (factory == "vaapih264enc") {
        SetNick(encoder, "rate-control", "cbr");
        SetUint(encoder, "bitrate", kbps);
        SetUint(encoder, "keyframe-period", keyFrames);
        SetUint(encoder, "max-bframes", 0);
    } else if (factory == "v4l2h264enc") {
        // The V4L2 encoder takes its settings as device controls.
        GstStructure* controls = gst_structure_new("controls", "video_bitrate", G_TYPE_INT,
                                                   static_cast<int>(kbps * 1000), "h264_i_frame_period",
                                                   G_TYPE_INT, static_cast<int>(keyFrames), "video_b_frames",
                                                   G_TYPE_INT, 0, nullptr);
        g_object_set(encoder, "extra-controls", controls, nullptr);
        gst_structure_free(controls);
    }
    ZTRACE("encoder %s: %u kbit/s, a key frame at least every %u frames\n", factory.c_str(), kbps, keyFrames);
}

}  // namespace video
