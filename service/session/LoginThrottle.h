#pragma once
// What a wrong login answer costs its sender. After a refusal the next answer
// on the same session is looked at no sooner than a second later; refusals in
// a row from one remote address double that wait for every session of that
// address, up to a limit below the login deadline (so a patient viewer always
// gets a turn); and the device as a whole looks at a bounded number of answers
// per second, however many sessions send them. A right answer is never
// refused for being throttled: it waits its turn like a wrong one, since a
// verdict that came sooner for right answers would tell a guesser the
// moment it was wrong.
//
// Answers that are due queue for the device's looks in the order they became
// due, so nobody is starved by others polling faster. Senders with refusals
// on record take a look only while a few are left over, so a guesser spread
// over many addresses cannot hold back a viewer who has never been wrong.
//
// All ticks are the system's 32-bit milliseconds; the state is under one lock,
// held only for the bookkeeping.

#include <cstdint>
#include <mutex>
#include <vector>

namespace session {

inline constexpr uint32_t kAnswerPauseMs = 1000;         // after a refusal, per session and address
inline constexpr uint32_t kAnswerPauseLimitMs = 8000;    // the longest an address is made to wait
inline constexpr uint32_t kStreakForgetMs = 60000;       // a quiet address starts afresh
inline constexpr uint32_t kWrongAnswersPerSecond = 10;   // device-wide
inline constexpr uint32_t kLooksKeptForNewSenders = 3;   // out of reach of senders with refusals on record

class CLoginThrottle {
public:
    // The tick before which no answer from `address` is looked at (now when
    // there is no wait).
    uint32_t NotBefore(uint32_t address, uint32_t now);
    // True when `address` has refusals on record.
    bool HasRefusals(uint32_t address, uint32_t now);
    // Takes one look from the device-wide budget for a sender without
    // refusals, outside the queue; false when it is spent for now.
    bool TakeLook(uint32_t now);

    // An answer that is due joins the queue; `refused` says its sender has
    // been wrong before (on record, or on its own session). The ticket names
    // its place.
    uint64_t JoinQueue(bool refused);
    // The ticket's look, when it is first in its queue and a look is free:
    // true, and the ticket has left the queue.
    bool TakeLook(uint64_t ticket, uint32_t now);
    // A ticket whose answer will not be looked at (its session ended).
    void LeaveQueue(uint64_t ticket);

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
    struct Waiter {
        uint64_t ticket = 0;
        bool refused = false;
    };
    // Enough to remember every address of a small network; an attacker with
    // more addresses than this only ever meets the device-wide budget.
    static constexpr int kSenders = 512;
    Sender* Find(uint32_t address, uint32_t now);  // under m_lock
    void Refill(uint32_t now);                      // under m_lock

    std::mutex m_lock;
    Sender m_aSenders[kSenders];
    std::vector<Waiter> m_waiting;  // in the order the answers became due
    uint64_t m_nNextTicket = 1;
    uint32_t m_nLooks = kWrongAnswersPerSecond;  // the budget left
    uint32_t m_dwRefillTick = 0;
    bool m_bStarted = false;
};

}  // namespace session
