#pragma once
// The capture port: a camera's live picture, encoded to H.264, one capture at
// a time. The service says what it wants (a camera, a format, a bitrate) and
// where the frames go; how the platform gets there is the implementation's
// own business: GStreamer here (gstreamer/), Media Foundation on Windows.
//
// Threads: Start, Stop and IsRunning on the owner's thread. RequestKeyFrame
// on any thread while a capture may run: it never blocks and never calls
// back. SetPreviewSink on any thread; it waits only for a preview picture
// being handed over. The frame sink, the preview sink and the events are
// called on the implementation's own threads until Stop returns; they must
// return at once and never call Start or Stop.

#include <cstdint>
#include <memory>
#include <string>

#include "service/session/EncodedFrameSink.h"
#include "service/video/Preview.h"

namespace video {

// The picture the viewers get.
struct CaptureFormat {
    int32_t nWidth = 320;
    int32_t nHeight = 240;
    int32_t nFrameRate = 15;
};

struct CaptureSettings {
    // The camera as the camera library names it, in 8-bit text; the camera
    // of exactly that name is taken (letter case counts, the whole name).
    // Empty: the first camera whose name can be read.
    std::string strCameraName;
    CaptureFormat format;
    // The encoder's bitrate in kbit/s; 0 leaves the implementation's default.
    uint32_t dwBitrateKbps = 0;
    // How often the encoder starts a key frame of its own accord. Viewers who
    // join get a forced one at once; this bounds the wait of a viewer whose
    // requests are being coalesced, and how often the stream pays for one.
    uint32_t dwKeyIntervalMs = 2000;
    // The H.264 encoder the settings force (the platform's name for it);
    // empty: the implementation chooses, a hardware one where it works.
    std::string strEncoder;
};

// What a capture tells its owner while it runs.
class ICaptureEvents {
public:
    // The camera went away or can no longer be read; no more frames come.
    virtual void OnCaptureLost() = 0;
    // Something went wrong that does not stop the frames (traced, shown
    // nowhere else); `what` is a line of plain text.
    virtual void OnCaptureProblem(const std::string& what) = 0;

protected:
    ~ICaptureEvents() = default;
};

struct CaptureStart {
    bool bStarted = false;
    // When not started: one or two sentences for the user that say what is
    // missing on this platform and how to get it (for example the GStreamer
    // element and the Debian package that provides it), or that the camera
    // cannot be found or opened.
    std::string strProblem;
    // When started: the encoder in use, e.g. "x264enc (software)".
    std::string strEncoder;
    // When not started: no camera of the asked name is there (unplugged).
    bool bCameraAbsent = false;
};

class ICapture {
public:
    virtual ~ICapture() = default;

    // Starts capturing: every encoded access unit goes to `sink` as a live
    // frame whose kind (key or delta) is decided here, once; a key frame
    // carries its SPS and PPS first. `sink` and `events` outlive the capture.
    // Starting while running is refused. A start that fails holds nothing.
    virtual CaptureStart Start(const CaptureSettings& settings, session::EncodedFrameSink& sink,
                               ICaptureEvents& events) = 0;
    // Stops and releases everything; when it returns no sink or event call is
    // under way or will come. Safe to call when stopped, and more than once.
    virtual void Stop() = 0;
    // The next frame the encoder makes is a key frame. Does nothing when
    // stopped.
    virtual void RequestKeyFrame() = 0;
    virtual bool IsRunning() const = 0;
    // Where the preview goes (Preview.h): while set, running or not, each
    // capture hands it the picture the encoder is given, scaled down, at most
    // once per kPreviewPeriodMs; nullptr ends the preview and with it every
    // cost of it. Any thread; when it returns, no call to the sink it
    // replaced is under way or will come. The sink outlives its setting.
    virtual void SetPreviewSink(IPreviewSink* sink) = 0;
};

// This platform's capture.
std::unique_ptr<ICapture> MakePlatformCapture();

}  // namespace video
