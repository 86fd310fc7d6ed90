#pragma once
// The capture port on GStreamer 1.22, one pipeline per capture:
//
//   camera:  GstCameraSource.h (v4l2src, or a simulated camera's test source)
//   encoder: videoconvert ! videoscale ! videorate (drop only) ! caps (the
//            capture format, I420) ! x264enc (veryfast, zerolatency, byte
//            stream, High profile with 8x8 transform, no delimiters, the
//            asked bitrate, a key frame at least every key interval)
//   frames:  appsink; every access unit goes to the sink on the streaming
//            thread as a live frame, its kind read once, a key frame with
//            its SPS first (the fan-out's gate opens on it)
//
//   preview: a probe between the format filter and the encoder; while a
//            preview sink is set it scales a picture down now and then
//            (Preview.h), on the streaming thread
//
// Nothing between the camera and the appsink queues: the camera's own
// buffer pool bounds what waits.
//
// Bus: a resource error of the camera (it vanished, or cannot be read) is
// the capture lost; other errors, and the end of the stream, are problems.
// While Start runs, an error fails the start instead, with its text.

#include <memory>

#include "service/video/Capture.h"

namespace video {

class CGstCapture final : public ICapture {
public:
    CGstCapture();
    ~CGstCapture() override;
    CGstCapture(const CGstCapture&) = delete;
    CGstCapture& operator=(const CGstCapture&) = delete;

    CaptureStart Start(const CaptureSettings& settings, session::EncodedFrameSink& sink,
                       ICaptureEvents& events) override;
    void Stop() override;
    void RequestKeyFrame() override;
    bool IsRunning() const override;
    void SetPreviewSink(IPreviewSink* sink) override;

    struct State;  // shared with GStreamer's callbacks

private:
    std::unique_ptr<State> m_pState;
};

}  // namespace video
