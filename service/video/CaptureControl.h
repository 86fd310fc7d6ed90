#pragma once
// The live capture as the main window drives it: starting and stopping the
// capture graph, the graph's events, and the encoder's key frames on demand.
// The window owns one CCaptureControl and implements ICaptureWindow; the
// capture reaches the window only through that interface.
//
// Threads: StartCapture and OnGraphEvent run on the window's thread.
// StopCapture runs on the window's thread; a worker thread that needs the
// capture stopped asks the window (it posts), it never calls StopCapture
// itself. RequestKeyFrame may be called on any thread and returns at once.

#include <cstdint>
#include <memory>
#include <string>

#include "service/session/EncodedFrameSink.h"

namespace camera {
class CCameraXU;
}

namespace settings {
class IRegistry;
}

namespace video {

class IGraphOps;
using settings::IRegistry;

// Status codes the capture sets (the window's status line shows them).
inline constexpr int kStatusRunning = 1;
inline constexpr int kStatusCaptureFailed = 4;
// What DrainEvents returns when the camera was lost.
inline constexpr int kGraphEventDeviceLost = 31;

// What the capture needs of the window that owns it.
class ICaptureWindow {
public:
    // A modal message box with an OK button, on the window's thread; the
    // capture's own texts are fixed English texts.
    virtual void ShowCaptureMessage(const std::string& text) = 0;
    // Stores `status` as the window's status and shows it; window's thread.
    virtual void SetCaptureStatus(int status) = 0;
    // The graph has events pending: post the graph-event message to the
    // window's thread, which then calls OnGraphEvent. Called on streaming
    // threads; must return at once and never wait for the window's thread.
    virtual void PostGraphEvent() = 0;
    // The whole service stops (the camera was lost); window's thread.
    virtual void StopService() = 0;

protected:
    ~ICaptureWindow() = default;
};

// What the window's members say when a capture starts.
struct CaptureRequest {
    int32_t nQualityMode = 1;      // 0, 1 high, 2 normal; other values write no bitrate
    std::u16string strCameraName;  // the selected camera's name; empty takes the first camera
    int nCameraIndex = -1;         // the camera list's current index, for the camera channel
    int nMode = 0;                 // camera mode 0..3, sent to the camera
};

class CCaptureControl {
public:
    // `graphOps` builds the real graph (GStreamer in the product); `registry`
    // holds the encoder's settings; `frameSink` is the fan-out that every
    // encoded frame is relayed to. All are kept by reference.
    CCaptureControl(IGraphOps& graphOps, IRegistry& registry, camera::CCameraXU& camXU,
                    session::EncodedFrameSink& frameSink, ICaptureWindow& window);
    ~CCaptureControl();

    // 0 started (or already running), -1 failed: message box, status 4,
    // everything released. On success the camera has been sent its mode and
    // the status is 1. `captureStart` receives the tick count taken right
    // before the graph runs (the time base of frame timestamps).
    int StartCapture(const CaptureRequest& request, uint32_t* captureStart);
    // 0; tears the graph down when a capture runs.
    int StopCapture();
    // The graph-event message: drains the events; a lost camera stops the
    // whole service through the window. Returns 0.
    int OnGraphEvent();
    // A viewer waits for a key frame: forces one at the encoder, coalescing
    // requests that come close together. Any thread; never blocks, never
    // calls back.
    void RequestKeyFrame();

    bool IsCapturing() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace video
