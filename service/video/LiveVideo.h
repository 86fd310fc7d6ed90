#pragma once
// CLiveVideo: the live video as the service runs it, on any platform. It
// starts the platform's capture with what the service's settings ask for
// (format and bitrate by quality mode, the selected camera), sends the camera
// its mode as the capture starts, limits the key frames that viewers ask for
// (KeyFrameLimiter.h), and passes every frame on to the fan-out. The frame's
// road is: the capture's streaming thread -> OnEncodedFrame here -> the
// fan-out, with nothing in between.
//
// Threads: Start, Stop and IsRunning on the owner's thread. RequestKeyFrame on
// any thread; never blocks, never calls back. OnEncodedFrame on the capture's
// streaming thread. The owner's OnCameraLost on a capture thread: it must
// return at once and leave stopping to the owner's thread.

#include <atomic>
#include <cstdint>
#include <string>

#include "service/session/EncodedFrameSink.h"
#include "service/video/Capture.h"
#include "service/video/KeyFrameLimiter.h"

namespace camera {
class CCameraXU;
}
namespace settings {
class IRegistry;
}

namespace video {

// What the service asks for when the capture starts.
struct LiveVideoRequest {
    int32_t nQualityMode = 1;      // 1 high (640x480), 2 normal (320x240); other values write no bitrate
    std::u16string strCameraName;  // the selected camera's name; empty takes the first camera
    int nCameraIndex = -1;         // the camera list's index, for the camera channel
    int nMode = 0;                 // camera mode 0..3, sent to the camera
    std::string strEncoder;        // the encoder the settings force; empty: the capture chooses
};

struct LiveVideoStart {
    bool bStarted = false;
    std::string strProblem;     // when not started: the capture's text for the user
    uint32_t dwCaptureStart = 0;  // the tick right before the capture ran: the frames' time base
    std::string strEncoder;       // when started: the encoder in use
    bool bCameraAbsent = false;   // when not started: no camera of that name is there
};

class ILiveVideoOwner {
public:
    // The camera was lost while capturing. A capture thread; return at once.
    virtual void OnCameraLost() = 0;

protected:
    ~ILiveVideoOwner() = default;
};

class CLiveVideo final : public session::EncodedFrameSink, private ICaptureEvents {
public:
    // All are kept by reference and outlive this object. `registry` holds the
    // encoder's bitrate; `fanout` gets every frame.
    CLiveVideo(ICapture& capture, settings::IRegistry& registry, camera::CCameraXU& camXU,
               session::EncodedFrameSink& fanout, ILiveVideoOwner& owner);
    ~CLiveVideo();
    CLiveVideo(const CLiveVideo&) = delete;
    CLiveVideo& operator=(const CLiveVideo&) = delete;

    // Starts the capture (already running: started, nothing done). The
    // bitrate goes to the encoder's registry value first; the camera gets its
    // mode as soon as the capture holds it, before its first frames matter.
    LiveVideoStart Start(const LiveVideoRequest& request);
    // Stops the capture when it runs; safe to call more than once.
    void Stop();
    // A viewer waits for a key frame. Any thread.
    void RequestKeyFrame();
    bool IsRunning() const { return m_bRunning.load(); }
    // Live frames passed on to the fan-out since construction. Any thread.
    uint64_t FramesPassed() const { return m_nFramesPassed.load(std::memory_order_relaxed); }
    // The live preview's subscriber, or nullptr: ICapture::SetPreviewSink.
    // Any thread; it holds across starts and stops.
    void SetPreviewSink(IPreviewSink* sink) { m_capture.SetPreviewSink(sink); }

    // From the capture.
    void OnEncodedFrame(const session::EncodedFrame& frame) override;

private:
    void OnCaptureLost() override;
    void OnCaptureProblem(const std::string& what) override;

    ICapture& m_capture;
    settings::IRegistry& m_registry;
    camera::CCameraXU& m_camXU;
    session::EncodedFrameSink& m_fanout;
    ILiveVideoOwner& m_owner;
    CKeyFrameLimiter m_limiter;
    uint32_t m_dwCaptureStart = 0;  // the owner's thread
    // Read by RequestKeyFrame on any thread.
    std::atomic<bool> m_bRunning{false};
    std::atomic<uint64_t> m_nFramesPassed{0};
    std::string m_strEncoder;  // the owner's thread
};

}  // namespace video
