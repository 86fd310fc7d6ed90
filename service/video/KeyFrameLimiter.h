#pragma once
// How often the encoder is made to start a key frame on demand. A viewer that
// joins or falls behind waits for a key frame and asks for one; a viewer
// under back-pressure would ask on every backlogged frame and turn the stream
// into key frames only. So: a request with no forced key frame in the last
// gap is served at once (the joining viewer sees a picture within a frame
// interval); requests inside the gap are coalesced into one, served by the
// first frame after the gap; a key frame on its way, or any key frame that
// leaves the encoder, satisfies every request made before it.
//
// Threads: any; each call holds a lock for a few instructions only.

#include <cstdint>
#include <mutex>

namespace video {

inline constexpr uint32_t kMinForcedKeyGapMs = 250;
// A forced key frame that has not shown up by then is taken as lost.
inline constexpr uint32_t kForcedKeyLostMs = 1000;

class CKeyFrameLimiter {
public:
    explicit CKeyFrameLimiter(uint32_t minGapMs = kMinForcedKeyGapMs) : m_dwMinGapMs(minGapMs) {}

    // A viewer asks for a key frame at tick `now`. True: force one now.
    bool OnRequest(uint32_t now);
    // A frame left the encoder at tick `now`. True: force one now (coalesced
    // requests have waited out the gap).
    bool OnFrame(uint32_t now, bool keyFrame);
    // A new capture: nothing forced, nothing waiting.
    void Reset();

private:
    bool Forced(uint32_t now);

    const uint32_t m_dwMinGapMs;
    std::mutex m_lock;
    bool m_bForcedOnce = false;
    uint32_t m_dwLastForced = 0;
    bool m_bInFlight = false;  // forced, and no key frame seen since
    bool m_bPending = false;   // asked for inside the gap
};

}  // namespace video
