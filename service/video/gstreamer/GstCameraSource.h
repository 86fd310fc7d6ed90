#pragma once
// Which camera the capture takes, and the GStreamer source that shows it: a
// v4l2src on the capture node whose name the camera library shows for the
// same camera, or, with simulated cameras (ZELT2_SIM_CAMERAS), a live test
// source showing the camera's pattern at its frame rate, which can vanish as
// an unplugged camera does, and come back.
//
// A camera that offers raw pictures gives them; one that offers only JPEG
// frames (MJPEG, as many USB cameras do) gives those, and the capture decodes
// them.

#include <gst/gst.h>

#include <string>
#include <vector>

namespace video {

struct CameraSource {
    // A bin named "camera" with one "src" pad (floating); nullptr on failure.
    GstElement* pBin = nullptr;
    std::string strName;     // the camera taken, UTF-8
    std::string strProblem;  // when there is no bin: the text for the user
    bool bJpeg = false;      // the bin gives JPEG frames (image/jpeg) to be decoded
    bool bAbsent = false;    // no bin because no camera of that name is there now
};

// The position in `names` (the cameras' names in the camera library's
// order, empty where unreadable) of the camera `name` selects, or -1: the
// camera named `name`, byte for byte (letter case counts, the whole name);
// an empty `name` takes the first camera whose name can be read.
int FindCamera(const std::vector<std::string>& names, const std::string& name);

// The source of the camera that `name` selects among this system's cameras.
CameraSource MakeCameraSource(const std::string& name);

}  // namespace video
