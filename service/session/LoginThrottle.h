#pragma once
// What a wrong login answer costs its sender. After a refusal the next answer
// on the same session is looked at no sooner than a second later; refusals in
// a row from one remote address double that wait for every session of that
// address, up to a limit; and the device as a whole looks at a bounded number
// of wrong answers per second, however many sessions send them. A right answer
// is never refused for being throttled: it waits its turn like a wrong one.
//
// All ticks are the system's 32-bit milliseconds; the state is under one lock,
// held only for the bookkeeping.

#include <cstdint>
#include <mutex>

namespace session {

inline constexpr uint32_t kAnswerPauseMs = 1000;         // after a refusal, per session and address
inline constexpr uint32_t kAnswerPauseLimitMs = 32000;   // the longest an address is made to wait
inline constexpr uint32_t kStreakForgetMs = 60000;       // a quiet address starts afresh
inline constexpr uint32_t kWrongAnswersPerSecond = 10;   // device-wide

class CLoginThrottle {
public:
    // The tick before which no answer from `address` is looked at (now when
    // there is no wait).
    uint32_t NotBefore(uint32_t address, uint32_t now);
    // Takes one look from the device-wide budget; false when it is spent for
    // now (try again a little later).
    bool TakeLook(uint32_t now);
    // The answer looked at was right: its look goes back to the budget and the
    // address's streak of refusals ends.
    void Accepted(uint32_t address);
    // The answer looked at was wrong.
    void Refused(uint32_t address, uint32_t now);

private:
    struct Sender {
        uint32_t address = 0;
        uint32_t refusals = 0;   // in a row
        uint32_t lastTick = 0;   // of the last refusal
        uint32_t dueTick = 0;    // answers from here are looked at from this tick on
        bool used = false;
    };
    static constexpr int kSenders = 64;
    Sender* Find(uint32_t address, uint32_t now);  // under m_lock

    std::mutex m_lock;
    Sender m_aSenders[kSenders];
    uint32_t m_nLooks = kWrongAnswersPerSecond;  // the budget left
    uint32_t m_dwRefillTick = 0;
    bool m_bStarted = false;
};

}  // namespace session
