#include "service/app/LiveCapture.h"

#include "service/video/gstreamer/GstGraphOps.h"

namespace app {
namespace {

// The capture control over the GStreamer graph, and the still frames from the
// program's resources.
class CLiveCapture final : public IServiceCapture {
public:
    CLiveCapture(video::ICaptureWindow& window, camera::CCameraXU& camXU, session::EncodedFrameSink& frameSink,
                 settings::IRegistry& registry)
        : m_graphOps(registry), m_control(m_graphOps, registry, camXU, frameSink, window) {}

    int StartCapture(const video::CaptureRequest& request, uint32_t* captureStart) override {
        return m_control.StartCapture(request, captureStart);
    }
    int StopCapture() override { return m_control.StopCapture(); }
    int OnGraphEvent() override { return m_control.OnGraphEvent(); }
    void RequestKeyFrame() override { m_control.RequestKeyFrame(); }
    bool IsCapturing() const override { return m_control.IsCapturing(); }
    void LoadStillFrames() override { m_stills.LoadStillFrames(); }
    void OnStillFrameTimer(const video::StillFrameTick& tick, camera::CCameraXU& camXU,
                           session::EncodedFrameSink& sink) override {
        m_stills.OnStillFrameTimer(tick, camXU, sink);
    }

private:
    video::CGstGraphOps m_graphOps;
    video::CCaptureControl m_control;
    video::CStillFrames m_stills;
};

}  // namespace

CaptureFactory LiveCaptureFactory() {
    return [](video::ICaptureWindow& window, camera::CCameraXU& camXU, session::EncodedFrameSink& frameSink,
              settings::IRegistry& registry) -> std::unique_ptr<IServiceCapture> {
        return std::make_unique<CLiveCapture>(window, camXU, frameSink, registry);
    };
}

}  // namespace app
