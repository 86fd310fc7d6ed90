#include "service/video/gstreamer/GstElements.h"

#include <cstring>

#include "platform/Trace.h"

namespace video {
namespace {

struct ElementSource {
    const char* factory;
    const char* role;     // what the capture misses without it
    const char* package;  // the Debian package that provides it
};

constexpr ElementSource kSources[] = {
    {"v4l2src", "The camera source", "gstreamer1.0-plugins-good"},
    {"videotestsrc", "The simulated camera's picture", "gstreamer1.0-plugins-base"},
    {"videoconvert", "The video converter", "gstreamer1.0-plugins-base"},
    {"videoscale", "The video scaler", "gstreamer1.0-plugins-base"},
    {"videorate", "The frame rate converter", "gstreamer1.0-plugins-base"},
    {"capsfilter", "The format filter", "libgstreamer1.0-0"},
    {"x264enc", "The H.264 encoder", "gstreamer1.0-plugins-ugly"},
    {"vah264enc", "The VA-API H.264 encoder", "gstreamer1.0-plugins-bad"},
    {"vaapih264enc", "The VA-API H.264 encoder", "gstreamer1.0-vaapi"},
    {"v4l2h264enc", "The V4L2 H.264 encoder", "gstreamer1.0-plugins-good"},
    {"jpegdec", "The JPEG decoder (for cameras that deliver MJPEG)", "gstreamer1.0-plugins-good"},
    {"jpegenc", "The simulated MJPEG camera's JPEG encoder", "gstreamer1.0-plugins-good"},
    {"appsink", "The frame receiver", "gstreamer1.0-plugins-base"},
};

}  // namespace

std::string MissingElementText(const char* factory) {
    for (const ElementSource& source : kSources) {
        if (std::strcmp(source.factory, factory) != 0) continue;
        return std::string(source.role) + " is missing: GStreamer has no element \"" + factory +
               "\". Install the Debian package " + source.package + ".";
    }
    return std::string("The capture cannot be set up: GStreamer has no element \"") + factory + "\".";
}

GstElement* MakeElement(const char* factory, std::string& problem) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) {
        ZTRACE("no GStreamer element \"%s\"\n", factory);
        problem = MissingElementText(factory);
    }
    return element;
}

}  // namespace video
