#pragma once
// The graph operations on GStreamer 1.22.
//
//   camera:  v4l2src on the capture node the camera library names the same
//            way (or, with simulated cameras, a live test source showing the
//            camera's pattern at its frame rate)
//   encoder: videoconvert ! videoscale ! videorate ! caps (the capture
//            format) ! x264enc (veryfast, zerolatency, byte stream, High
//            profile with 8x8 transform, no delimiters, the stored bitrate)
//   dump:    appsink; every access unit goes to the frame sink on the
//            streaming thread, key frames with their SPS first
//
// Nothing between the camera and the dump stage queues: the camera's own
// buffer pool bounds what waits.
//
// Graph events: a resource error of the camera (it vanished, or cannot be
// read) is the device-lost event; other errors are traced and reported as an
// abort; end of stream as completion.

#include <cstdint>
#include <memory>

#include "service/video/GraphOps.h"

namespace settings {
class IRegistry;
}

namespace video {

using settings::IRegistry;

struct GstGraphOptions {
    // The encoder's scheduled key frames. Viewers that join get a forced key
    // frame at once, so this only bounds how long a viewer that lost frames
    // under back-pressure (and whose request is being coalesced) can wait,
    // and how often the stream pays for a full picture.
    uint32_t dwKeyIntervalMs = 2000;
};

class CGstGraphOps final : public IGraphOps {
public:
    // `registry` holds the encoder's settings; it must outlive this object.
    explicit CGstGraphOps(IRegistry& registry, GstGraphOptions options = {});
    ~CGstGraphOps() override;
    CGstGraphOps(const CGstGraphOps&) = delete;
    CGstGraphOps& operator=(const CGstGraphOps&) = delete;

    int InitializeThread() override;
    int CreateGraph() override;
    void ReleaseGraph() override;
    int RegisterGraph(uint32_t* cookie) override;
    void RevokeGraph(uint32_t cookie) override;
    int CaptureDeviceCount() override;
    bool CaptureDeviceName(int position, std::string& name) override;
    FilterId BindCaptureDevice(int position) override;
    int CreateFilter(FilterKind kind, FilterId* filter) override;
    int AddFilter(FilterId filter, const char* name) override;
    void ReleaseFilter(FilterId filter) override;
    int FindUnconnectedPin(FilterId filter, PinDirection direction) override;
    int ConnectDirect(FilterId upstream, FilterId downstream, const CaptureFormat& format) override;
    int Connect(FilterId upstream, FilterId downstream) override;
    int SetFrameSink(FilterId dump, session::EncodedFrameSink* sink, int flags) override;
    int QueryControl(GraphControl control) override;
    void ReleaseControl(GraphControl control) override;
    void DetachVideoWindow() override;
    int SetNotify(std::function<void()> notify) override;
    int GetEvent(int* code) override;
    int Run() override;
    int Stop() override;
    void ForceKeyFrame() override;

    struct State;  // shared with the framework's callbacks

private:
    std::unique_ptr<State> m_pState;
};

}  // namespace video
