#pragma once
// Pairs of two relays on one TURN server, given up early.
//
// A pair of two relays on one TURN server cannot work: the server relays to
// none of its own addresses (deploy/coturn). The controlling side (the
// device; libnice's regular nomination) nominates only when two pairs work or
// nothing is left to check. Where one pair works and such a pair is the rest
// (a viewer without UDP, relayed over TCP or TLS and reached from the
// device's own address), the session waited for that pair's checks to run out:
// 3 sends in 2 s (libnice's own count). So for kHurryWindowMs after such a pair
// appears, checks start with fewer: kHurriedRetransmissions (2 sends, given up
// after about 1 s) and, once a check of the peer's has arrived, 1 (given up after
// 0.5 s). Then the agent's own count returns. A working pair checked in that
// time and not answered is checked again when the peer's check arrives, as any
// failed pair is; before the peer has reached this side, it would not know where
// to send that check (behind a NAT that maps each destination anew, this
// side's address for it is learnt from this side's check), hence the 2 sends.
//
// Threads: the notes may come from any thread; the agent's own count returns
// on a timer in the agent's context, which holds this object until it has run.

#include <nice/agent.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace pppp {

constexpr guint kHurriedRetransmissions = 2;
constexpr guint kHurriedReachedRetransmissions = 1;
constexpr uint64_t kHurryWindowMs = 300;

class CHurriedChecks : public std::enable_shared_from_this<CHurriedChecks> {
public:
    // For one agent: it hurries only the controlling side's (`controlling`), and
    // only where the agent has a count of its own and a context for the timer.
    static std::shared_ptr<CHurriedChecks> Make(NiceAgent* agent, bool controlling);

    // A relay address of one side became known (`own`: ours): where the other
    // side has a relay on the same address, a pair that cannot work has just appeared.
    void NoteRelay(const std::string& address, bool own);
    // A check of the peer's has arrived: checks of a hurry under way may give up sooner.
    void NotePeerReached();
    // Leaves the agent alone from now on (its settings are the teardown's).
    void Stop();

private:
    CHurriedChecks() = default;
    static gboolean EndHurry(gpointer data);

    NiceAgent* m_pAgent = nullptr;  // not held: used only until Stop, which comes before the agent goes
    GMainContext* m_pContext = nullptr;  // the agent's
    guint m_nAgentRetransmissions = 0;   // the agent's own count; 0: not hurried here
    std::mutex m_lock;
    std::set<std::string> m_ownRelays, m_remoteRelays;  // under m_lock
    bool m_bStopped = false;                             // under m_lock
    std::atomic<uint64_t> m_hurriedUntilMs{0};
    std::atomic<bool> m_bEnding{false};  // a timer on the agent's context restores its count
    std::atomic<bool> m_bPeerReached{false};
};

}  // namespace pppp
