#pragma once
// The capture port on Media Foundation, one thread per capture:
//
//   camera:  PictureSource.h (a source reader giving NV12 of the capture's
//            size, or a simulated camera's test picture)
//   rate:    pictures that come sooner than the capture's frame rate allows
//            are dropped, never padded
//   encoder: MfH264Encoder.h (the system's H.264 transform, low latency)
//   frames:  every access unit goes to the sink on the capture's thread as a
//            live frame, its kind read once, a key frame with its SPS first
//
//   preview: while a preview sink is set, now and then a picture the
//            encoder gets, scaled down (Preview.h), on the capture's thread
//
// Start sets the whole chain up on the capture's thread and waits for it,
// so a camera that cannot be opened or an encoder that cannot be had fails
// the start with its text. A camera that can no longer be read is the
// capture lost; the thread then ends.

#include <memory>

#include "service/video/Capture.h"

namespace video {

class CMfCapture final : public ICapture {
public:
    CMfCapture();
    ~CMfCapture() override;
    CMfCapture(const CMfCapture&) = delete;
    CMfCapture& operator=(const CMfCapture&) = delete;

    CaptureStart Start(const CaptureSettings& settings, session::EncodedFrameSink& sink,
                       ICaptureEvents& events) override;
    void Stop() override;
    void RequestKeyFrame() override;
    bool IsRunning() const override;
    void SetPreviewSink(IPreviewSink* sink) override;

    struct State;

private:
    std::unique_ptr<State> m_pState;
};

}  // namespace video
