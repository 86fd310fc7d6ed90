#pragma once
// Making the capture's GStreamer elements, and saying in plain words which
// Debian package a missing one comes from: the elements live in optional
// plug-in packages, and a user who lacks one needs its name to install it.

#include <gst/gst.h>

#include <string>

namespace video {

// A new element of `factory`, or nullptr with `problem` set to the text
// for the user (what is missing and how to get it).
GstElement* MakeElement(const char* factory, std::string& problem);

// The text for the user when GStreamer has no element `factory`.
std::string MissingElementText(const char* factory);

}  // namespace video
