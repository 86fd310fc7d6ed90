#include "service/video/LiveVideo.h"

#include "platform/Clock.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/camera/CameraXU.h"
#include "service/settings/EncoderSettings.h"
#include "service/settings/RegStore.h"

namespace video {
namespace {

// The camera's name travels as 8-bit text of at most this many bytes, cut at
// a character's boundary, as the camera library keeps it.
constexpr size_t kCameraNameBytes = 127;

CaptureFormat FormatForQuality(int32_t qualityMode) {
    if (qualityMode == 1) return {640, 480, 15};
    return {320, 240, 15};
}

}  // namespace

CLiveVideo::CLiveVideo(ICapture& capture, settings::IRegistry& registry, camera::CCameraXU& camXU,
                       session::EncodedFrameSink& fanout, ILiveVideoOwner& owner)
    : m_capture(capture), m_registry(registry), m_camXU(camXU), m_fanout(fanout), m_owner(owner) {}

CLiveVideo::~CLiveVideo() { Stop(); }

LiveVideoStart CLiveVideo::Start(const LiveVideoRequest& request) {
    if (m_bRunning.load()) return {true, "", m_dwCaptureStart, m_strEncoder, false};

    // The bitrate goes to the registry before the encoder exists, so that the
    // encoder starts with it; the encoder is then given what the registry
    // holds, which a mode without a bitrate of its own leaves as it was.
    const int32_t bitrate = settings::EncoderBitrateForQuality(request.nQualityMode);
    if (bitrate != 0) {
        settings::CRegStore store(settings::kRegStoreCreate, m_registry);
        settings::SetEncoderBitrate(store, bitrate);
    }
    CaptureSettings captureSettings;
    captureSettings.strCameraName =
        std::string(platform::Utf8Prefix(platform::Utf16ToUtf8(request.strCameraName), kCameraNameBytes));
    captureSettings.format = FormatForQuality(request.nQualityMode);
    uint32_t kbps = 0;
    if (settings::ReadEncoderBitrate(m_registry, &kbps)) captureSettings.dwBitrateKbps = kbps;
    captureSettings.strEncoder = request.strEncoder;

    m_limiter.Reset();
    m_dwCaptureStart = platform::GetTickCount();
    const CaptureStart started = m_capture.Start(captureSettings, *this, *this);
    if (!started.bStarted) {
        ZTRACE("the capture does not start: %s\n", started.strProblem.c_str());
        return {false, started.strProblem, 0, "", started.bCameraAbsent};
    }
    m_bRunning.store(true);
    m_strEncoder = started.strEncoder;

    // The capture starts in one step, so the camera gets its mode right after
    // the start instead of between building and running. For what the frames
    // are relied upon for, that is the same: the camera is open in both
    // orders, the mode travels on the extension unit beside the picture, and
    // a live source returns from its start before its first picture is
    // encoded, so at most the first frame or two show the previous mode.
    {
        camera::CCameraXU::CSequence sequence = m_camXU.BeginSequence();
        m_camXU.Open(request.nCameraIndex);
        m_camXU.SendCommand(camera::kCameraCommandBeforeMode, 0);
        m_camXU.SendCommand(camera::kCameraCommandMode, static_cast<uint8_t>(request.nMode));
        m_camXU.Close();
    }
    return {true, "", m_dwCaptureStart, m_strEncoder, false};
}

void CLiveVideo::Stop() {
    if (!m_bRunning.load()) return;
    // Cleared first, so that key-frame requests stop reaching the capture.
    m_bRunning.store(false);
    m_capture.Stop();
}

void CLiveVideo::RequestKeyFrame() {
    if (!m_bRunning.load()) return;
    if (m_limiter.OnRequest(platform::GetTickCount())) m_capture.RequestKeyFrame();
}

void CLiveVideo::OnEncodedFrame(const session::EncodedFrame& frame) {
    // Every frame passes the limiter, so that waiting requests are served or
    // satisfied by it.
    if (m_limiter.OnFrame(platform::GetTickCount(), frame.IsKey())) m_capture.RequestKeyFrame();
    m_fanout.OnEncodedFrame(frame);
    m_nFramesPassed.fetch_add(1, std::memory_order_relaxed);
}

void CLiveVideo::OnCaptureLost() {
    ZTRACE("the camera was lost\n");
    m_owner.OnCameraLost();
}

void CLiveVideo::OnCaptureProblem(const std::string& what) { ZTRACE("capture: %s\n", what.c_str()); }

}  // namespace video
