#include "service/video/StillFrames.h"

#include <span>

#include "platform/Resources.h"
#include "platform/Trace.h"
#include "service/camera/CameraXU.h"

namespace video {
namespace {

constexpr int kStillNormalId = 131;
constexpr int kStillHighId = 132;

void LoadOne(int id, std::vector<uint8_t>& copy) {
    std::span<const uint8_t> bytes;
    if (!platform::FindProgramResource("BIN", id, bytes)) {
        ZTRACE("no still frame %d in the program\n", id);
        return;
    }
    copy.assign(bytes.begin(), bytes.end());
}

}  // namespace

void CStillFrames::LoadStillFrames() {
    LoadOne(kStillNormalId, m_stillNormal);
    LoadOne(kStillHighId, m_stillHigh);
}

bool CStillFrames::OnStillFrameTimer(const StillFrameTick& tick, camera::CCameraXU& camXU,
                                     session::EncodedFrameSink& sink) {
    if (!tick.bRunning) return false;
    if (tick.nMode < 0 || tick.nMode > 3) return false;
    uint8_t status = static_cast<uint8_t>(tick.nMode << 4);
    bool answered = false;
    {
        camera::CCameraXU::CSequence sequence = camXU.BeginSequence();
        camXU.Open(tick.nCameraIndex);
        answered = camXU.Query(camera::kCameraQueryStatus, &status);
        camXU.Close();
    }
    if (!answered || (status & 0x0f) != 0) return false;
    if (tick.bNormalQuality && !m_stillNormal.empty())
        sink.OnEncodedFrame(session::EncodedFrame::Still(m_stillNormal.data(), static_cast<uint32_t>(m_stillNormal.size())));
    if (tick.bHighQuality && !m_stillHigh.empty())
        sink.OnEncodedFrame(session::EncodedFrame::Still(m_stillHigh.data(), static_cast<uint32_t>(m_stillHigh.size())));
    return true;
}

}  // namespace video
