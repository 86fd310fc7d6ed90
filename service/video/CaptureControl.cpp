#include "service/video/CaptureControl.h"

#include <atomic>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/camera/CameraXU.h"
#include "service/video/CaptureGraph.h"
#include "service/settings/EncoderSettings.h"
#include "service/video/H264.h"
#include "service/video/KeyFrameLimiter.h"
#include "service/settings/RegStore.h"

namespace video {

using namespace settings;

// The graph's frame sink: every encoded frame passes the key-frame limiter on
// its way to the fan-out, so that waiting requests are served or satisfied.
struct CCaptureControl::Impl final : session::EncodedFrameSink {
    Impl(IGraphOps& ops, IRegistry& reg, camera::CCameraXU& cam, session::EncodedFrameSink& sink, ICaptureWindow& win)
        : graph(ops, [&win](const std::string& text) { win.ShowCaptureMessage(text); }),
          registry(reg), camXU(cam), frameSink(sink), window(win) {}

    void OnEncodedFrame(const session::EncodedFrame& frame) override {
        if (limiter.OnFrame(platform::GetTickCount(), frame.IsKey())) graph.ForceKeyFrame();
        frameSink.OnEncodedFrame(frame);
    }

    CCaptureGraph graph;
    IRegistry& registry;
    camera::CCameraXU& camXU;
    session::EncodedFrameSink& frameSink;
    ICaptureWindow& window;
    CKeyFrameLimiter limiter;
    // Read by RequestKeyFrame on any thread.
    std::atomic<bool> m_bCapturing{false};
};

CCaptureControl::CCaptureControl(IGraphOps& graphOps, IRegistry& registry, camera::CCameraXU& camXU,
                                 session::EncodedFrameSink& frameSink, ICaptureWindow& window)
    : m_pImpl(std::make_unique<Impl>(graphOps, registry, camXU, frameSink, window)) {}

CCaptureControl::~CCaptureControl() { StopCapture(); }

int CCaptureControl::StartCapture(const CaptureRequest& request, uint32_t* captureStart) {
    Impl& s = *m_pImpl;
    if (s.m_bCapturing.load()) return 0;

    // The bitrate goes to the registry before the encoder exists, so that the
    // encoder starts with it.
    const int32_t bitrate = EncoderBitrateForQuality(request.nQualityMode);
    if (bitrate != 0) {
        CRegStore store(kRegStoreCreate, s.registry);
        SetEncoderBitrate(store, bitrate);
        if (request.nQualityMode == 1) {
            s.graph.SetCaptureFormat(640, 480, 15, 24);
        } else {
            s.graph.SetCaptureFormat(320, 240, 15, 24);
        }
    }
    s.graph.SetFrameSink(&s);
    s.graph.SetCameraName(platform::Utf16ToUtf8(request.strCameraName));

    s.limiter.Reset();
    if (!s.graph.Build([&window = s.window] { window.PostGraphEvent(); })) {
        s.graph.Stop();
        s.graph.Teardown();
        s.window.SetCaptureStatus(kStatusCaptureFailed);
        s.m_bCapturing.store(false);
        return -1;
    }
    s.m_bCapturing.store(true);

    {
        camera::CCameraXU::CSequence sequence = s.camXU.BeginSequence();
        s.camXU.Open(request.nCameraIndex);
        s.camXU.SendCommand(camera::kCameraCommandBeforeMode, 0);
        s.camXU.SendCommand(camera::kCameraCommandMode, static_cast<uint8_t>(request.nMode));
        s.camXU.Close();
    }

    const uint32_t start = platform::GetTickCount();
    if (captureStart != nullptr) *captureStart = start;
    if (!s.graph.Run()) ZTRACE("Run refused\n");
    s.window.SetCaptureStatus(kStatusRunning);
    return 0;
}

int CCaptureControl::StopCapture() {
    Impl& s = *m_pImpl;
    if (s.m_bCapturing.load()) {
        // Cleared first, so that key-frame requests stop reaching the graph.
        s.m_bCapturing.store(false);
        s.graph.Stop();
        s.graph.Teardown();
    }
    return 0;
}

int CCaptureControl::OnGraphEvent() {
    if (m_pImpl->graph.DrainEvents() == kGraphEventDeviceLost) {
        ZTRACE("the camera was lost: the service stops\n");
        m_pImpl->window.StopService();
    }
    return 0;
}

void CCaptureControl::RequestKeyFrame() {
    Impl& s = *m_pImpl;
    if (!s.m_bCapturing.load()) return;
    if (s.limiter.OnRequest(platform::GetTickCount())) s.graph.ForceKeyFrame();
}

bool CCaptureControl::IsCapturing() const { return m_pImpl->m_bCapturing.load(); }

}  // namespace video
