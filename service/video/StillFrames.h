#pragma once
// The two stored still frames (normal and high quality) that stand in for the
// live picture while the camera reports that it has none, and the poll that
// asks the camera for its status. The service controller owns one
// CStillFrames, loads it once while it initialises and ticks it on its
// still-frame schedule.
//
// Threads: the owner's thread only. A tick blocks for as long as the
// camera's status query takes.

#include <cstdint>
#include <vector>

#include "service/session/EncodedFrameSink.h"

namespace camera {
class CCameraXU;
}

namespace video {

// What the service's state says at a tick of the still-frame schedule.
struct StillFrameTick {
    bool bRunning = false;        // the service runs
    int nMode = 0;                // camera mode; outside 0..3 nothing is asked
    int nCameraIndex = -1;        // the camera list's current index
    bool bNormalQuality = false;  // exactly one of the two is set
    bool bHighQuality = false;
};

class CStillFrames {
public:
    // Copies the program's two stored frames; a missing one stays absent and
    // nothing is sent for that quality.
    void LoadStillFrames();
    // Asks the camera for its status; when it has no picture, passes the
    // stored frame of the active quality to `sink` with gate 0. True when
    // the camera answered that it has no picture.
    bool OnStillFrameTimer(const StillFrameTick& tick, camera::CCameraXU& camXU, session::EncodedFrameSink& sink);

    const std::vector<uint8_t>& Normal() const { return m_stillNormal; }
    const std::vector<uint8_t>& High() const { return m_stillHigh; }

private:
    std::vector<uint8_t> m_stillNormal;  // "BIN" 131, 320x240
    std::vector<uint8_t> m_stillHigh;    // "BIN" 132, 640x480
};

}  // namespace video
