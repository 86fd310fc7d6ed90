#pragma once
// The video fan-out: every encoded frame as one sealed VideoFrame on the video
// channel to every viewer with video on, holding back viewers that wait for a
// key frame and skipping viewers whose backlog has grown too large. Calls come
// from the capture's streaming thread and the owner's thread and never
// overlap; nothing in a call waits, and nothing is allocated per frame.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "service/session/EncodedFrameSink.h"
#include "service/session/SessionContext.h"

namespace session {

inline constexpr uint32_t kBackPressureBytes = 0xFFFF;  // more than this waiting on the video channel skips the viewer

class CFanout {
public:
    explicit CFanout(SessionContext& context);
    CFanout(const CFanout&) = delete;
    CFanout& operator=(const CFanout&) = delete;

    void OnEncodedFrame(const EncodedFrame& frame);

    // The time base of frame timestamps; the capture takes it when it starts.
    void SetCaptureStart(uint32_t tick) { m_dwCaptureStart.store(tick); }
    // Frees the packet buffer at teardown; later frames are dropped.
    void FreePacketBuffer();

private:
    // Milliseconds since capture start for a frame's timestampMs.
    uint32_t Timestamp() const;

    SessionContext& m_ctx;
    std::mutex m_fanoutLock;  // one frame at a time: the packet buffer is shared
    std::unique_ptr<uint8_t[]> m_pPacketBuf;
    std::atomic<uint32_t> m_dwCaptureStart{0};
};

}  // namespace session
