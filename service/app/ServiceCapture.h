#pragma once
// The live capture and the still frames as the main window uses them: one
// small seam, so that the window logic runs in tests without a camera or a
// media framework. The program's implementation (LiveCapture.h) is the
// capture control and the still frames themselves.

#include <cstdint>
#include <functional>
#include <memory>

#include "service/video/CaptureControl.h"
#include "service/video/StillFrames.h"

namespace app {

class IServiceCapture {
public:
    virtual ~IServiceCapture() = default;
    // As CCaptureControl.
    virtual int StartCapture(const video::CaptureRequest& request, uint32_t* captureStart) = 0;
    virtual int StopCapture() = 0;
    virtual int OnGraphEvent() = 0;
    virtual void RequestKeyFrame() = 0;
    virtual bool IsCapturing() const = 0;
    // As CStillFrames.
    virtual void LoadStillFrames() = 0;
    virtual void OnStillFrameTimer(const video::StillFrameTick& tick, camera::CCameraXU& camXU,
                                   session::EncodedFrameSink& sink) = 0;
};

// Makes the window's capture: it reports to `window`, sends the camera its
// mode through `camXU`, relays frames to `frameSink` and keeps the encoder's
// settings in `registry`; all outlive it.
using CaptureFactory = std::function<std::unique_ptr<IServiceCapture>(
    video::ICaptureWindow& window, camera::CCameraXU& camXU, session::EncodedFrameSink& frameSink,
    settings::IRegistry& registry)>;

}  // namespace app
