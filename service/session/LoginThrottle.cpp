#include "service/session/LoginThrottle.h"

#include <algorithm>

namespace session {
namespace {

// True when tick `a` is before tick `b`, across the tick count's wrap.
bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

}  // namespace

CLoginThrottle::Sender* CLoginThrottle::Find(uint32_t address, uint32_t now) {
    for (Sender& s : m_aSenders) {
        if (!s.used || s.address != address) continue;
        if (now - s.lastTick >= kStreakForgetMs) s = Sender{};
        else return &s;
    }
    return nullptr;
}

uint32_t CLoginThrottle::NotBefore(uint32_t address, uint32_t now) {
    std::lock_guard<std::mutex> hold(m_lock);
    const Sender* s = Find(address, now);
    return s && Before(now, s->dueTick) ? s->dueTick : now;
}

bool CLoginThrottle::HasRefusals(uint32_t address, uint32_t now) {
    std::lock_guard<std::mutex> hold(m_lock);
    return Find(address, now) != nullptr;
}

void CLoginThrottle::Refill(uint32_t now) {
    if (!m_bStarted) {
        m_bStarted = true;
        m_dwRefillTick = now;
    }
    // One look comes back every 1000 / kWrongAnswersPerSecond ms, up to a
    // second's worth.
    constexpr uint32_t kStepMs = 1000 / kWrongAnswersPerSecond;
    const uint32_t elapsed = now - m_dwRefillTick;
    if (!Before(now, m_dwRefillTick) && elapsed >= kStepMs) {
        const uint32_t steps = elapsed / kStepMs;
        m_nLooks = steps >= kWrongAnswersPerSecond - m_nLooks ? kWrongAnswersPerSecond : m_nLooks + steps;
        m_dwRefillTick += steps * kStepMs;
    } else if (Before(now, m_dwRefillTick)) {
        m_dwRefillTick = now;  // a clock that went back starts the count afresh
    }
}

bool CLoginThrottle::TakeLook(uint32_t now) {
    std::lock_guard<std::mutex> hold(m_lock);
    Refill(now);
    if (m_nLooks == 0) return false;
    --m_nLooks;
    return true;
}

uint64_t CLoginThrottle::JoinQueue(bool refused) {
    std::lock_guard<std::mutex> hold(m_lock);
    const uint64_t ticket = m_nNextTicket++;
    m_waiting.push_back(Waiter{ticket, refused});
    return ticket;
}

bool CLoginThrottle::TakeLook(uint64_t ticket, uint32_t now) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto me = std::find_if(m_waiting.begin(), m_waiting.end(), [&](const Waiter& w) { return w.ticket == ticket; });
    if (me == m_waiting.end()) return false;
    // First among those of its kind: senders without refusals do not queue
    // behind those with them.
    for (auto it = m_waiting.begin(); it != me; ++it)
        if (it->refused == me->refused) return false;
    Refill(now);
    const uint32_t floor = me->refused ? kLooksKeptForNewSenders : 0;
    if (m_nLooks <= floor) return false;
    --m_nLooks;
    m_waiting.erase(me);
    return true;
}

void CLoginThrottle::LeaveQueue(uint64_t ticket) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(), [&](const Waiter& w) { return w.ticket == ticket; }),
                    m_waiting.end());
}

void CLoginThrottle::Accepted(uint32_t address) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_nLooks < kWrongAnswersPerSecond) ++m_nLooks;
    for (Sender& s : m_aSenders)
        if (s.used && s.address == address) s = Sender{};
}

void CLoginThrottle::Refused(uint32_t address, uint32_t now) {
    std::lock_guard<std::mutex> hold(m_lock);
    Sender* s = Find(address, now);
    if (!s) {
        // A new sender takes a free entry, or the one quiet for longest.
        s = &m_aSenders[0];
        for (Sender& candidate : m_aSenders) {
            if (!candidate.used) {
                s = &candidate;
                break;
            }
            if (now - candidate.lastTick > now - s->lastTick) s = &candidate;
        }
        *s = Sender{};
        s->used = true;
        s->address = address;
    }
    ++s->refusals;
    uint32_t pause = kAnswerPauseMs;
    for (uint32_t i = 1; i < s->refusals && pause < kAnswerPauseLimitMs; ++i) pause *= 2;
    if (pause > kAnswerPauseLimitMs) pause = kAnswerPauseLimitMs;
    s->lastTick = now;
    s->dueTick = now + pause;
}

}  // namespace session
