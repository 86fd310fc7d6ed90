#pragma once
// How often the owner hears of one kind of event that a peer can cause at
// will: the first at once, then at most one report per period; the events in
// between are counted and told with the next report. Any thread.

#include <cstdint>
#include <mutex>

namespace session {

class CReportLimit {
public:
    explicit CReportLimit(uint32_t periodMs) : m_dwPeriodMs(periodMs) {}

    // Counts one event at tick `now`: how many to report now (this one and
    // those held back), or 0 while the period since the last report runs.
    uint32_t Count(uint32_t now) {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_dwHeld;
        if (m_bReported && now - m_dwLastTick < m_dwPeriodMs) return 0;
        m_bReported = true;
        m_dwLastTick = now;
        const uint32_t count = m_dwHeld;
        m_dwHeld = 0;
        return count;
    }

private:
    const uint32_t m_dwPeriodMs;
    std::mutex m_lock;
    bool m_bReported = false;
    uint32_t m_dwLastTick = 0;
    uint32_t m_dwHeld = 0;
};

}  // namespace session
