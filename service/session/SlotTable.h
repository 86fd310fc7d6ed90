#pragma once
// The table of eight session slots and the one way to use a slot's transport
// handle.
//
// A slot leaves its session in two steps. Close (any thread) marks the slot
// closing, so that nothing new starts on its handle; the handle itself is
// closed by whoever lets go of it last: at once when nobody uses it, else by
// the last use as it ends. Nobody waits for that. Beginning and ending a use
// take no lock, only when a use is the last of a closing slot's. Release (the slot's reader,
// or the listener before a reader exists) then waits until the handle is
// closed and frees the slot. Every use of a handle holds a CSlotUse, so a
// handle is never closed under a call that uses it; the reader's reads are
// the one exception: it takes the handle under a use and reads without one,
// since the transport ends a read when its session is closed here and never
// hands a handle out twice, so a close ends a reader's wait instead of
// waiting for it. The fan-out, which visits every slot on every frame, holds one CSlotPass for the
// whole frame instead of a use per slot: a handle's close waits for the pass
// under way to end (it never waits longer: a pass does not block). A late
// close names the session it means by the slot's generation and so never
// touches a newer session that took the slot since.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/Thread.h"
#include "wire/Aes.h"
#include "wire/LoginProof.h"
#include "transport/client/PpppTable.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"

namespace session {

// The server speaks the session protocol of wire/ over the transport's table.
using namespace wire;
using pppp::IsSessionGone;
using pppp::PpppTable;

class CListener;

inline constexpr int kMaxSessions = 8;
// In a full table, a remote address holding this many sessions that have not
// logged in makes way with its own oldest one for its next session.
inline constexpr int kMaxPendingPerAddress = 3;
// A new session has this long to send its login answer before it may make
// way for a newcomer; a viewer answers within one round trip.
inline constexpr uint32_t kAnswerGraceMs = 1000;

// Where a session's login answer is; the table's choice of who makes way
// reads it.
enum class AnswerState : uint8_t {
    None,     // no answer under way
    Held,     // waiting out its sender's own refusals
    Queued,   // due, waiting for the device's next look
};

struct SessionSlot {
    std::atomic<int32_t> hSession{0};  // -1 once closed; 0 in a table that has only been cleared
    std::atomic<bool> bInUse{false};
    std::atomic<bool> bVideoOn{false};
    std::atomic<bool> bMarked{false};
    std::atomic<bool> bKeySent{false};        // the key-frame gate of the fan-out
    std::atomic<bool> bBacklogged{false};     // skipped by the fan-out until its backlog drains
    uint8_t szPassword[kPasswordBufferSize] = {};
    uint8_t abySessionKey[kKeySize] = {};
    CAesKey128 aesSessionKey;                 // the session key expanded once, for the frames
    uint8_t abyExpected[kKeySize] = {};       // the AuthResponse payload that proves the password
    // A login bound to the channel (internet route): the channel's binding as
    // this side sees it, and the challenge the acceptance must cover.
    bool bBound = false;
    uint8_t abyBinding[kBindingSize] = {};
    uint8_t abyChallenge[kChallengeSize] = {};
    std::atomic<bool> bAuthed{false};
    std::atomic<uint8_t> byRoute{0};          // 0 direct, other values relayed
    std::atomic<uint32_t> dwRemoteAddress{0}; // who the peer counts as: address or account (PeerKey.h)
    std::atomic<AnswerState> answer{AnswerState::None};
    std::atomic<bool> bAnswerHeld{false};     // after a refusal: the next login answer waits...
    std::atomic<uint32_t> dwNextAnswerTick{0};  // ...until this tick
    CListener* pServer = nullptr;             // the server's listener; the reader reaches it here
    platform::CThread hReader;                // kept past the slot's release until joined
    std::atomic<uint32_t> dwAcceptTick{0};    // base of the login deadline

    // The lifecycle across threads (see the top of this file); under `lock`
    // unless atomic.
    std::mutex lock;
    std::condition_variable changed;          // the handle was closed, or the slot freed
    std::atomic<uint32_t> nGeneration{0};     // sessions the slot has held
    std::atomic<bool> bClosing{false};        // closed for new uses; the reader releases it
    bool bHandleClosing = false;              // a thread is closing the handle
    bool bHandleClosed = false;               // the transport session is closed
    // Uses of the handle under way (low bits) and kNoNewUses; counted without
    // the lock, so that a use costs two atomic operations.
    std::atomic<uint32_t> nUseState{kNoNewUses};
    static constexpr uint32_t kNoNewUses = 0x80000000u;  // free or closing: a use fails
};

class CSlotTable;

// One use of a slot's session handle. While it lives the handle stays open
// and names the session the use began on. Empty when the slot was free or
// closing.
class CSlotUse {
public:
    CSlotUse() = default;
    ~CSlotUse() { End(); }
    CSlotUse(CSlotUse&& other) noexcept { *this = static_cast<CSlotUse&&>(other); }
    CSlotUse& operator=(CSlotUse&& other) noexcept;
    CSlotUse(const CSlotUse&) = delete;
    CSlotUse& operator=(const CSlotUse&) = delete;

    explicit operator bool() const { return m_pSlot != nullptr; }
    int32_t Handle() const { return m_hSession; }
    uint32_t Generation() const { return m_nGeneration; }
    // Ends the use early; the handle must not be used after it.
    void End();

private:
    friend class CSlotTable;
    CSlotTable* m_pTable = nullptr;
    SessionSlot* m_pSlot = nullptr;
    int32_t m_hSession = -1;
    uint32_t m_nGeneration = 0;
};

// The fan-out's pass over the table for one frame: while it lives, the handle
// of a slot it found open stays open. Begin closing nothing inside a pass:
// collect the sessions to close and close them after it.
class CSlotPass {
public:
    explicit CSlotPass(std::mutex& passLock) : m_hold(passLock) {}
    // The slot's handle, or -1 when the slot is free or closing.
    static int32_t Handle(const SessionSlot& slot) {
        if (slot.nUseState.load(std::memory_order_acquire) & SessionSlot::kNoNewUses) return -1;
        return slot.hSession.load(std::memory_order_relaxed);
    }
    void End() { m_hold.unlock(); }

private:
    std::unique_lock<std::mutex> m_hold;
};

class CSlotTable {
public:
    explicit CSlotTable(const PpppTable& transport) : m_pppp(transport) {}
    CSlotTable(const CSlotTable&) = delete;
    CSlotTable& operator=(const CSlotTable&) = delete;

    SessionSlot& operator[](int i) { return m_aSlots[i]; }
    const SessionSlot& operator[](int i) const { return m_aSlots[i]; }
    SessionSlot* begin() { return m_aSlots; }
    SessionSlot* end() { return m_aSlots + kMaxSessions; }
    const SessionSlot* begin() const { return m_aSlots; }
    const SessionSlot* end() const { return m_aSlots + kMaxSessions; }
    int Index(const SessionSlot& slot) const { return static_cast<int>(&slot - m_aSlots); }

    // Every slot free, secrets wiped; while no thread uses the table.
    void Clear();

    // Where the listener puts a new session from `address` (0: unknown): a
    // free slot, or in a full table one whose session has not logged in and
    // makes way. Null when no session may make way now. Listener only.
    SessionSlot* ChooseSlot(uint32_t address, uint32_t now);
    // True when some session has not logged in yet: one may make way soon.
    bool AnyPending() const;
    // Frees `slot` for a newcomer: closes its session and waits (at most
    // `waitMs` of real time) until its reader has released it. True when the
    // slot is free. Listener only.
    bool MakeWay(SessionSlot& slot, uint32_t waitMs);

    // Puts a new session into a free slot. Listener only.
    void Occupy(SessionSlot& slot, int32_t handle, uint32_t acceptTick, uint8_t route, uint32_t address,
                const uint8_t (&password)[kPasswordBufferSize], const uint8_t (&challenge)[kChallengeSize],
                const uint8_t (&sessionKey)[kKeySize], CListener* server, const uint8_t* binding = nullptr);

    // Begins a use of the slot's handle; empty when the slot is free or closing.
    CSlotUse Use(SessionSlot& slot);
    // Begins a pass over every slot (the fan-out's, one at a time).
    CSlotPass Pass() { return CSlotPass(m_passLock); }
    // Begins closing the session `generation` of the slot; nothing when the
    // slot holds another session by now or its close has already begun.
    // Never waits.
    void Close(SessionSlot& slot, uint32_t generation);
    // Closes (if not yet done) and frees the slot once its handle is closed;
    // its reader only, or the listener before a reader exists.
    void Release(SessionSlot& slot, uint32_t generation);

    // Occupied slots that are not closing; also stored for Online().
    int Recount();
    int Online() const { return m_nOnline.load(); }

private:
    friend class CSlotUse;
    void EndUse(SessionSlot& slot);
    // Closes the handle with the slot's lock let go for the call; `hold` is
    // held on entry and on return.
    void CloseHandle(SessionSlot& slot, std::unique_lock<std::mutex>& hold);
    static void ResetFields(SessionSlot& slot, int32_t hSession);

    const PpppTable& m_pppp;
    SessionSlot m_aSlots[kMaxSessions];
    std::atomic<int> m_nOnline{0};
    std::mutex m_passLock;  // held by a pass; a handle's close waits for it
};

}  // namespace session
