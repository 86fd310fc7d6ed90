#include "service/video/KeyFrameLimiter.h"

namespace video {

bool CKeyFrameLimiter::Forced(uint32_t now) {
    m_bForcedOnce = true;
    m_dwLastForced = now;
    m_bInFlight = true;
    m_bPending = false;
    return true;
}

bool CKeyFrameLimiter::OnRequest(uint32_t now) {
    std::lock_guard lock(m_lock);
    const uint32_t since = now - m_dwLastForced;
    if (m_bInFlight && since < kForcedKeyLostMs) return false;
    m_bInFlight = false;
    if (!m_bForcedOnce || since >= m_dwMinGapMs) return Forced(now);
    m_bPending = true;
    return false;
}

bool CKeyFrameLimiter::OnFrame(uint32_t now, bool keyFrame) {
    std::lock_guard lock(m_lock);
    if (keyFrame) {
        m_bInFlight = false;
        m_bPending = false;
        return false;
    }
    const uint32_t since = now - m_dwLastForced;
    if (m_bInFlight && since >= kForcedKeyLostMs) {
        // The forced key frame never came: whoever waited for it still waits.
        m_bInFlight = false;
        m_bPending = true;
    }
    if (m_bPending && !m_bInFlight && since >= m_dwMinGapMs) return Forced(now);
    return false;
}

void CKeyFrameLimiter::Reset() {
    std::lock_guard lock(m_lock);
    m_bForcedOnce = m_bInFlight = m_bPending = false;
    m_dwLastForced = 0;
}

}  // namespace video
