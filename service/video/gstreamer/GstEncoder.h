#pragma once
// Which H.264 encoder the capture uses: a hardware one where GStreamer offers
// one that works on this machine (VA-API on PC graphics, V4L2
// memory-to-memory on small ARM boards), else x264. An encoder counts as
// working when its element can be made and opened (taken to READY, where a
// hardware encoder opens its device); the answer is kept for the process.
// Each encoder is given the same low-latency settings: the asked bitrate,
// no B-frames, a key frame at least every key interval.

#include <gst/gst.h>

#include <cstdint>
#include <string>

namespace video {

struct EncoderChoice {
    std::string strFactory;  // the GStreamer element; empty: none works
    bool bHardware = false;
    std::string strProblem;  // when none: the text for the user
};

// The encoder to use. `forced` (an element name) takes that one or none.
EncoderChoice ChooseH264Encoder(const std::string& forced);

// "x264enc (software)", "vah264enc (hardware)".
std::string DescribeEncoder(const EncoderChoice& choice);

// Applies the bitrate (kbit/s) and the key-frame interval (in frames) to
// an encoder made from `choice`.
void ConfigureH264Encoder(GstElement* encoder, const EncoderChoice& choice, uint32_t kbps, uint32_t keyFrames);

}  // namespace video
