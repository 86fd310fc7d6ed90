#pragma once
// A clock that moves only when a test says so, for deadlines and timestamps
// tested without waiting. Install it with platform::CScopedClock.

#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

namespace testsupport {

class CManualClock final : public platform::IClock {
public:
    explicit CManualClock(uint32_t start = 1000) : m_dwNow(start) {}

    uint32_t GetTickCount() override { return m_dwNow.load(); }

    // Counts the request and, unless time advances on sleep, yields for a
    // moment of real time so that polling loops do not spin.
    void Sleep(uint32_t ms) override;

    void Set(uint32_t now) { m_dwNow.store(now); }
    void Advance(uint32_t ms) { m_dwNow.fetch_add(ms); }

    // When set, every Sleep(ms) moves the clock on by ms (single-threaded tests).
    void SetAdvanceOnSleep(bool advance) { m_bAdvanceOnSleep.store(advance); }

    uint64_t SleptMs() const { return m_qwSlept.load(); }
    uint32_t SleepCalls() const { return m_dwSleepCalls.load(); }

private:
    std::atomic<uint32_t> m_dwNow;
    std::atomic<bool> m_bAdvanceOnSleep{false};
    std::atomic<uint64_t> m_qwSlept{0};
    std::atomic<uint32_t> m_dwSleepCalls{0};
};

}  // namespace testsupport
