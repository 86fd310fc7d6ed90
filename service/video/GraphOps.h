#pragma once
// The graph-operations port: what the capture graph needs of the media
// framework, one graph at a time. The capture graph's logic (order of steps,
// tests, messages, states) is written against it; the product implements it
// on GStreamer (gstreamer/), the tests with a substitute.
//
// Results are HRESULT-like: kGraphOk (0) or another non-negative value for
// success, a negative value for failure. Filters are small positive handles
// owned by the caller until released; 0 is no filter.
//
// Threads: everything runs on the window's thread except ForceKeyFrame, which
// any thread may call while a graph exists, and the frame sink and event
// callback given to the graph, which the framework calls on its own threads.

#include <cstdint>
#include <functional>
#include <string>

#include "service/session/EncodedFrameSink.h"

namespace video {

using FilterId = int;

inline constexpr int kGraphOk = 0;
inline constexpr int kGraphFalse = 1;                             // success, but "no"
inline constexpr int kGraphFail = static_cast<int>(0x80004005u);  // unspecified failure
inline constexpr int kGraphPointer = static_cast<int>(0x80004003u);  // a required argument is null
inline constexpr int kGraphNoInterface = static_cast<int>(0x80004002u);

// The two filters the capture graph creates by kind, besides the camera.
enum class FilterKind { Encoder, Dump };
enum class PinDirection { Input, Output };
// The controls the capture takes from the graph manager.
enum class GraphControl { MediaControl, MediaEvent, BasicVideo, BasicAudio, VideoWindow, MediaSeeking };
inline constexpr int kGraphControlCount = 6;

// Graph event codes the capture tells apart.
inline constexpr int kGraphEventErrorAbort = 3;

// What the camera's output is converted to before the encoder: frame size,
// frame rate and bit depth.
struct CaptureFormat {
    int32_t nWidth = 320;
    int32_t nHeight = 240;
    int32_t nFrameRate = 30;
    int32_t nBitDepth = 0;  // 0: not given
};

class IGraphOps {
public:
    virtual ~IGraphOps() = default;

    // Prepares the calling thread for the framework (its result is not looked at).
    virtual int InitializeThread() = 0;

    // The graph manager: one graph per port at a time.
    virtual int CreateGraph() = 0;
    virtual void ReleaseGraph() = 0;
    // Registration of the graph for outside inspection; failures are silent.
    virtual int RegisterGraph(uint32_t* cookie) = 0;
    virtual void RevokeGraph(uint32_t cookie) = 0;

    // The video input devices, in the camera library's order. `name` is the
    // device's 8-bit name; false when it cannot be read.
    virtual int CaptureDeviceCount() = 0;
    virtual bool CaptureDeviceName(int position, std::string& name) = 0;
    // The device's capture filter, or 0 when it cannot be bound.
    virtual FilterId BindCaptureDevice(int position) = 0;

    // Creates a filter of `kind` (not yet in the graph); 0 in *filter on failure.
    virtual int CreateFilter(FilterKind kind, FilterId* filter) = 0;
    virtual int AddFilter(FilterId filter, const char* name) = 0;
    virtual void ReleaseFilter(FilterId filter) = 0;
    // kGraphOk when `filter` has a pin of that direction that is not connected.
    virtual int FindUnconnectedPin(FilterId filter, PinDirection direction) = 0;
    // Connects the free output pin of `upstream` to the free input pin of
    // `downstream` with exactly this format.
    virtual int ConnectDirect(FilterId upstream, FilterId downstream, const CaptureFormat& format) = 0;
    // The same, letting the framework put converters between them.
    virtual int Connect(FilterId upstream, FilterId downstream) = 0;
    // The dump filter's frame interface: kGraphNoInterface when the filter has
    // none; otherwise hands it `sink` (called on the streaming thread for every
    // encoded frame until the graph is released) and `flags`.
    virtual int SetFrameSink(FilterId dump, session::EncodedFrameSink* sink, int flags) = 0;

    virtual int QueryControl(GraphControl control) = 0;
    virtual void ReleaseControl(GraphControl control) = 0;
    // Hides the graph's video window and detaches it (before it is released).
    virtual void DetachVideoWindow() = 0;
    // `notify` is called, on any thread and without waiting, whenever events
    // are pending.
    virtual int SetNotify(std::function<void()> notify) = 0;
    // Fetches one pending event without waiting: kGraphOk and its code, or a
    // failure when none is pending.
    virtual int GetEvent(int* code) = 0;

    virtual int Run() = 0;
    virtual int Stop() = 0;

    // Asks the encoder for a key frame as its next frame. Any thread; never
    // blocks, never calls back; does nothing without a graph.
    virtual void ForceKeyFrame() = 0;
};

}  // namespace video
