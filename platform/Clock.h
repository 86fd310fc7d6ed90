#pragma once
// Time as the rest of the system sees it: a 32-bit millisecond tick count that
// wraps after about 49.7 days, and a sleep. Both go through one replaceable
// clock so that tests can move time on instead of waiting.

#include <cstdint>

namespace platform {

class IClock {
public:
    virtual ~IClock() = default;
    // Milliseconds since an arbitrary start, modulo 2^32.
    virtual uint32_t GetTickCount() = 0;
    virtual void Sleep(uint32_t ms) = 0;
};

// The monotonic system clock; the default.
IClock& SystemClock();

// Current tick count and sleep, through the installed clock.
uint32_t GetTickCount();
void Sleep(uint32_t ms);

// Installs `clock` (nullptr restores the system clock) and returns the clock it
// replaced. The caller keeps ownership and must keep the clock alive until it is
// replaced again.
IClock* SetClock(IClock* clock);

// Installs a clock for the lifetime of a scope, then restores the previous one.
class CScopedClock {
public:
    explicit CScopedClock(IClock& clock) : m_pPrevious(SetClock(&clock)) {}
    ~CScopedClock() { SetClock(m_pPrevious); }
    CScopedClock(const CScopedClock&) = delete;
    CScopedClock& operator=(const CScopedClock&) = delete;

private:
    IClock* m_pPrevious;
};

}  // namespace platform
