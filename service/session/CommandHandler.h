#pragma once
// What the session server does with a viewer's packets once its reader has
// framed them: the login, checked under the login throttle, and the commands
// (video on and off with the camera mode and its reports to every watcher,
// the mark). Both run on the reader thread of the sending session. It also
// owns the camera mode and the still-frame poll that video on starts.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "service/session/LoginThrottle.h"
#include "service/session/ReportLimit.h"
#include "service/session/SessionContext.h"

namespace session {

inline constexpr uint32_t kVideoTimerPeriodMs = 2500;
inline constexpr int kMaxMode = 3;
inline constexpr uint32_t kQueuePollMs = 10;  // an answer in the device's queue looks for its turn this often
inline constexpr uint32_t kInterceptReportMs = 60000;  // logins over another channel: one report a minute at most

class CCommandHandler {
public:
    explicit CCommandHandler(SessionContext& context) : m_ctx(context) {}
    CCommandHandler(const CCommandHandler&) = delete;
    CCommandHandler& operator=(const CCommandHandler&) = delete;

    // A kind-1 packet's body, authenticated or not.
    void DoAuth(SessionSlot& slot, const uint8_t* body);
    // Any other packet's body, unsealed with the session key.
    void DoCommand(SessionSlot& slot, const uint8_t* body);

    // Timer 101, the still-frame poll: started by a viewer's VideoStart, stopped
    // by the VideoStop of the last viewer with video on and by the owner when
    // the service stops.
    void StartVideoTimer();
    void StopVideoTimer();

    int Mode() const { return m_nMode.load(); }
    uint32_t VideoTimer() const { return m_nVideoTimer.load(); }

private:
    // Waits until the slot's next login answer may be looked at; false when
    // the session ends meanwhile.
    bool AwaitAnswerTurn(SessionSlot& slot);
    // Waits `ms` on the replaceable clock in short steps; false as soon as the
    // slot closes, its session is gone or the server stops.
    bool PauseReader(SessionSlot& slot, uint32_t ms);
    void ChangeMode(int mode);
    void StopVideoTimerIfUnwatched();
    void StopVideoTimerLocked();  // under m_videoTimerLock

    SessionContext& m_ctx;
    CLoginThrottle m_throttle;
    CReportLimit m_interceptReports{kInterceptReportMs};

    std::atomic<int> m_nMode{0};
    std::mutex m_reportLock;  // one ModeReport round at a time
    std::mutex m_videoTimerLock;
    std::atomic<uint32_t> m_nVideoTimer{0};
};

}  // namespace session
