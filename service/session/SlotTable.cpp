#include "service/session/SlotTable.h"

#include <chrono>
#include <cstring>

#include "platform/SecureZero.h"

namespace session {

CSlotUse& CSlotUse::operator=(CSlotUse&& other) noexcept {
    if (this != &other) {
        End();
        m_pTable = other.m_pTable;
        m_pSlot = other.m_pSlot;
        m_hSession = other.m_hSession;
        m_nGeneration = other.m_nGeneration;
        other.m_pTable = nullptr;
        other.m_pSlot = nullptr;
    }
    return *this;
}

void CSlotUse::End() {
    if (!m_pSlot) return;
    m_pTable->EndUse(*m_pSlot);
    m_pTable = nullptr;
    m_pSlot = nullptr;
}

// Every field back to a free slot's, secrets wiped; bInUse goes last so that a
// thread that sees the slot free sees all of it free.
void CSlotTable::ResetFields(SessionSlot& slot, int32_t hSession) {
    slot.bVideoOn.store(false);
    slot.bMarked.store(false);
    slot.bKeySent.store(false);
    slot.bBacklogged.store(false);
    platform::SecureZero(slot.szPassword, sizeof slot.szPassword);
    platform::SecureZero(slot.abySessionKey, sizeof slot.abySessionKey);
    slot.aesSessionKey.Clear();
    platform::SecureZero(slot.abyExpected, sizeof slot.abyExpected);
    slot.bAuthed.store(false);
    slot.byRoute.store(0);
    slot.dwRemoteAddress.store(0);
    slot.answer.store(AnswerState::None);
    slot.bAnswerHeld.store(false);
    slot.dwNextAnswerTick.store(0);
    slot.pServer = nullptr;
    slot.dwAcceptTick.store(0);
    slot.hSession.store(hSession);
    slot.bClosing.store(false);
    slot.bHandleClosing = false;
    slot.bHandleClosed = false;
    slot.nUseState.fetch_or(SessionSlot::kNoNewUses);
    slot.bInUse.store(false, std::memory_order_release);
}

void CSlotTable::Clear() {
    for (SessionSlot& slot : m_aSlots) {
        std::lock_guard<std::mutex> hold(slot.lock);
        ResetFields(slot, 0);
    }
    m_nOnline.store(0);
}

namespace {

// A session that may make way for a newcomer: present, not logged in, not
// already on its way out.
bool IsPending(const SessionSlot& slot) {
    return slot.bInUse.load() && !slot.bAuthed.load() && !slot.bClosing.load();
}

// The earlier of two accepts, by how long ago each was.
bool AcceptedEarlier(const SessionSlot& a, const SessionSlot& b, uint32_t now) {
    return now - a.dwAcceptTick.load() > now - b.dwAcceptTick.load();
}

// Whether a session that has not logged in may make way for a newcomer from
// `address`. Protected are a viewer already waiting for the device's look at
// its answer, one still within its time to answer, and, against its own
// address, one waiting out that address's refusals: an address cannot push
// out its own viewers that are already in line. A session wrong before on
// this very session, or held by refusals of another address, or silent past
// its time, may go. None of this depends on whether a waiting answer is right.
bool MayMakeWay(const SessionSlot& slot, uint32_t address, uint32_t now) {
    if (slot.bAnswerHeld.load()) return true;
    switch (slot.answer.load()) {
        case AnswerState::Queued:
            return false;
        case AnswerState::Held:
            return address == 0 || slot.dwRemoteAddress.load() != address;
        case AnswerState::None:
        default:
            return now - slot.dwAcceptTick.load() >= kAnswerGraceMs;
    }
}

}  // namespace

SessionSlot* CSlotTable::ChooseSlot(uint32_t address, uint32_t now) {
    for (SessionSlot& slot : m_aSlots)
        if (!slot.bInUse.load()) return &slot;
    // A full table: a session that has not logged in makes way, so that
    // sessions which never log in cannot keep viewers out. An address that
    // already keeps several waiting at the login pushes out its own oldest,
    // never anybody else's; otherwise the one that has waited longest goes.
    SessionSlot* oldest = nullptr;
    SessionSlot* oldestOwn = nullptr;
    int own = 0;
    for (SessionSlot& slot : m_aSlots) {
        if (!IsPending(slot)) continue;
        const bool own_ = address != 0 && slot.dwRemoteAddress.load() == address;
        if (own_) ++own;
        if (!MayMakeWay(slot, address, now)) continue;
        if (!oldest || AcceptedEarlier(slot, *oldest, now)) oldest = &slot;
        if (own_ && (!oldestOwn || AcceptedEarlier(slot, *oldestOwn, now))) oldestOwn = &slot;
    }
    return own >= kMaxPendingPerAddress ? oldestOwn : oldest;
}

bool CSlotTable::AnyPending() const {
    for (const SessionSlot& slot : m_aSlots)
        if (IsPending(slot)) return true;
    return false;
}

bool CSlotTable::MakeWay(SessionSlot& slot, uint32_t waitMs) {
    const uint32_t generation = slot.nGeneration.load();
    if (slot.bInUse.load()) Close(slot, generation);
    std::unique_lock<std::mutex> hold(slot.lock);
    slot.changed.wait_for(hold, std::chrono::milliseconds(waitMs), [&] { return !slot.bInUse.load(); });
    return !slot.bInUse.load();
}

void CSlotTable::Occupy(SessionSlot& slot, int32_t handle, uint32_t acceptTick, uint8_t route, uint32_t address,
                        const uint8_t (&password)[kPasswordBufferSize], const uint8_t (&challenge)[kChallengeSize],
                        const uint8_t (&sessionKey)[kKeySize], CListener* server, const uint8_t* binding) {
    std::lock_guard<std::mutex> hold(slot.lock);
    slot.nGeneration.fetch_add(1);
    slot.hSession.store(handle);
    slot.dwAcceptTick.store(acceptTick);
    slot.byRoute.store(route);
    slot.dwRemoteAddress.store(address);
    slot.answer.store(AnswerState::None);
    slot.bAnswerHeld.store(false);
    slot.dwNextAnswerTick.store(0);
    std::memcpy(slot.szPassword, password, sizeof slot.szPassword);
    std::memcpy(slot.abySessionKey, sessionKey, sizeof slot.abySessionKey);
    slot.aesSessionKey.Expand(sessionKey);
    slot.bBound = binding != nullptr;
    std::memcpy(slot.abyChallenge, challenge, sizeof slot.abyChallenge);
    if (binding) {
        std::memcpy(slot.abyBinding, binding, sizeof slot.abyBinding);
        ViewerProof(password, challenge, binding, slot.abyExpected);
    } else {
        std::memset(slot.abyBinding, 0, sizeof slot.abyBinding);
        AesEncryptBlock(128, challenge, kChallengeSize, password, kPasswordBufferSize, slot.abyExpected);
    }
    slot.bVideoOn.store(false);
    slot.bMarked.store(false);
    slot.bKeySent.store(false);
    slot.bBacklogged.store(false);
    slot.bAuthed.store(false);
    slot.bClosing.store(false);
    slot.bHandleClosing = false;
    slot.bHandleClosed = false;
    slot.pServer = server;
    slot.bInUse.store(true, std::memory_order_release);
    // Open for uses last. Only the flag goes: a use that failed on the free
    // slot may still be taking its count back.
    slot.nUseState.fetch_and(~SessionSlot::kNoNewUses);
}

CSlotUse CSlotTable::Use(SessionSlot& slot) {
    CSlotUse use;
    const uint32_t before = slot.nUseState.fetch_add(1);
    if (before & SessionSlot::kNoNewUses) {
        EndUse(slot);  // takes the count back, and closes if that was owed
        return use;
    }
    // Counted while open: the slot keeps its session and handle until the
    // count is back to 0.
    use.m_pTable = this;
    use.m_pSlot = &slot;
    use.m_hSession = slot.hSession.load();
    use.m_nGeneration = slot.nGeneration.load();
    return use;
}

void CSlotTable::EndUse(SessionSlot& slot) {
    const uint32_t before = slot.nUseState.fetch_sub(1);
    if (before != (SessionSlot::kNoNewUses | 1)) return;
    // The last use of a slot closed for uses: if it is closing and its handle
    // is still open, the handle is this thread's to close.
    std::unique_lock<std::mutex> hold(slot.lock);
    if (slot.bInUse.load() && slot.bClosing.load() && !slot.bHandleClosing &&
        slot.nUseState.load() == SessionSlot::kNoNewUses)
        CloseHandle(slot, hold);
}

void CSlotTable::CloseHandle(SessionSlot& slot, std::unique_lock<std::mutex>& hold) {
    slot.bHandleClosing = true;
    const int32_t handle = slot.hSession.load();
    hold.unlock();
    // The slot is closed for uses by now: a pass that found it open before
    // that ends first, and a later one finds it closing.
    { std::lock_guard<std::mutex> passes(m_passLock); }
    if (handle >= 0) m_pppp.Close(handle);
    hold.lock();
    slot.hSession.store(-1);
    slot.bHandleClosed = true;
    slot.changed.notify_all();
}

void CSlotTable::Close(SessionSlot& slot, uint32_t generation) {
    {
        std::unique_lock<std::mutex> hold(slot.lock);
        if (!slot.bInUse.load() || slot.bClosing.load() || slot.nGeneration.load() != generation) return;
        slot.bClosing.store(true);
        const uint32_t before = slot.nUseState.fetch_or(SessionSlot::kNoNewUses);
        if ((before & ~SessionSlot::kNoNewUses) == 0) CloseHandle(slot, hold);
    }
    Recount();
}

void CSlotTable::Release(SessionSlot& slot, uint32_t generation) {
    Close(slot, generation);
    {
        std::unique_lock<std::mutex> hold(slot.lock);
        // Another thread may be finishing the close: a use ending, or a close
        // that let go of the lock for the transport call.
        slot.changed.wait(hold, [&] {
            return slot.nGeneration.load() != generation || !slot.bInUse.load() || slot.bHandleClosed;
        });
        if (slot.nGeneration.load() != generation || !slot.bInUse.load()) return;
        ResetFields(slot, -1);
        slot.changed.notify_all();
    }
    Recount();
}

int CSlotTable::Recount() {
    int online = 0;
    for (const SessionSlot& slot : m_aSlots)
        if (slot.bInUse.load() && !slot.bClosing.load()) ++online;
    // Stored only when it changed: the fan-out counts on every frame, and a
    // store of a sequentially consistent atomic is a locked instruction.
    if (m_nOnline.load(std::memory_order_relaxed) != online) m_nOnline.store(online);
    return online;
}

}  // namespace session
