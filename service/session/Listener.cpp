// The listener, the login watchdog and the readers of the session server.

#include <cstring>

#include "platform/Clock.h"
#include "platform/Random.h"
#include "platform/SecureZero.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/session/SessionServer.h"

namespace session {

void CSessionServer::ThreadListen(void* server) {
    static_cast<CSessionServer*>(server)->DoListen();
    if (platform::IsTraceEnabled()) platform::TraceRaw("====ThreadListen exit\n");
}

void CSessionServer::DoListen() {
    // The DID and the password serve the whole run; changes in the window take
    // effect at the next start.
    char did[kDidBufferSize];
    platform::Utf16ToUtf8Buffer(m_strDID, did, sizeof did);
    uint8_t password[kPasswordBufferSize];
    MakePasswordBuffer(m_strPassword, password);

    uint32_t backoffMs = 0;
    while (m_bRunning.load()) {
        const int h = m_pppp.Listen(did, kListenWaitSeconds, 0, 1);
        ZTRACE("PPPP_Listen(..)=%d, m_bRunning=%d\n", h, m_bRunning.load() ? 1 : 0);
        if (h == PPPP_ERR_CANNOT_LISTEN || h == PPPP_ERR_BAD_DID) {
            m_host.SetStatus(kStatusWrongDid);
            m_bRunning.store(false);
            m_host.StopCapture();
            break;
        }
        if (h >= 0 || h == PPPP_ERR_TIMEOUT || h == PPPP_ERR_INTERRUPTED) {
            backoffMs = 0;
        } else {
            // A transport that fails at once (not initialised, out of
            // sessions) is asked again after a pause that grows, not in a spin.
            backoffMs = backoffMs == 0 ? 10 : (backoffMs * 2 > kListenBackoffLimitMs ? kListenBackoffLimitMs
                                                                                    : backoffMs * 2);
            for (uint32_t waited = 0; waited < backoffMs && m_bRunning.load(); waited += 10) platform::Sleep(10);
        }
        if (h < 0) continue;

        const uint32_t acceptTick = platform::GetTickCount();
        PPPP_SessionRecord record{};
        const int checked = m_pppp.Check(h, &record);
        const uint8_t route = record.bytes[PPPP_SESSION_ROUTE_OFFSET];
        uint32_t address = 0;
        if (checked == PPPP_OK) std::memcpy(&address, record.bytes + PPPP_REC_REMOTE_ADDR, sizeof address);

        SessionSlot* slot = m_slots.ChooseSlot(address, acceptTick);
        if (!slot) {
            // A ninth viewer while eight are logged in: no message, the session just ends.
            m_pppp.Close(h);
            continue;
        }
        if (slot->bInUse.load()) {
            // A session that has not logged in makes way for this one.
            ZTRACE("slot %d makes way, not logged in\n", m_slots.Index(*slot));
            if (!m_slots.MakeWay(*slot, kMakeWayWaitMs)) {
                m_pppp.Close(h);
                continue;
            }
        }
        // The slot's previous reader freed the slot as its last step.
        slot->hReader.Join();
        const int i = m_slots.Index(*slot);
        if (checked == PPPP_OK) {
            ZTRACE("PPPP_Check(.), i=%d, %s\n", i, route == 0 ? "P2P" : "RLY");
        } else {
            ZTRACE("PPPP_Check(.)=%d\n", checked);
        }

        // The challenge and the session key come from the system's secure
        // source: anything derived from the clock could be worked out by
        // whoever sees the challenge go past in clear.
        uint8_t challenge[kChallengeSize];
        uint8_t sessionKey[kKeySize];
        if (!platform::SecureRandomBytes(challenge, sizeof challenge) ||
            !platform::SecureRandomBytes(sessionKey, sizeof sessionKey)) {
            ZTRACE("SecureRandomBytes(.) failed, i=%d\n", i);
            m_pppp.Close(h);
            continue;
        }
        m_slots.Occupy(*slot, h, acceptTick, route, address, password, challenge, sessionKey, this);
        const uint32_t generation = slot->nGeneration.load();
        platform::SecureZero(sessionKey, sizeof sessionKey);

        int sent = PPPP_ERR_CLOSED_LOCALLY;
        if (CSlotUse use = m_slots.Use(*slot))
            sent = SendIOCtrl(use.Handle(), nullptr, CmdChallenge, challenge, kChallengeSize, KindPlain);
        if (sent < 0) {
            ZTRACE("SendIOCtrl(.)=%d\n", sent);
            m_slots.Release(*slot, generation);
            continue;
        }
        if (!slot->hReader.Start(&CSessionServer::ThreadRecv, slot)) {
            ZTRACE("CreateThread(.) failed, i=%d\n", i);
            m_slots.Release(*slot, generation);
        }
    }
    platform::SecureZero(password, sizeof password);
}

// ---------------------------------------------------------------------------
// The watchdog

void CSessionServer::ThreadWatchdog(void* server) { static_cast<CSessionServer*>(server)->DoWatchdog(); }

void CSessionServer::DoWatchdog() {
    while (m_bRunning.load()) {
        for (SessionSlot& slot : m_slots) {
            // The generation first: if the slot changes hands after this, the
            // close below names the old session and does nothing.
            const uint32_t generation = slot.nGeneration.load();
            const uint32_t accepted = slot.dwAcceptTick.load();
            if (accepted == 0) continue;
            // A deadline for logging in, counted from accept; not an idle time-out.
            const auto elapsed = static_cast<int32_t>(platform::GetTickCount() - accepted);
            if ((elapsed < 0 || elapsed >= static_cast<int32_t>(kAuthDeadlineMs)) && !slot.bAuthed.load())
                m_slots.Close(slot, generation);
        }
        platform::Sleep(kWatchdogPeriodMs);
    }
}

// ---------------------------------------------------------------------------
// The reader

void CSessionServer::ThreadRecv(void* slot) {
    auto* s = static_cast<SessionSlot*>(slot);
    s->pServer->DoRecv(*s);
}

int CSessionServer::ReadExact(SessionSlot& slot, uint8_t channel, uint8_t* buffer, int wanted, uint32_t timeoutMs) {
    if (wanted <= 0) return -1;
    // Reads in short slices, each a use of the handle, so that a close waits
    // for at most one slice before the handle goes.
    const uint32_t slice = timeoutMs < kReadSliceMs ? timeoutMs : kReadSliceMs;
    int got = 0;
    for (;;) {
        CSlotUse use = m_slots.Use(slot);
        if (!use) return PPPP_ERR_CLOSED_LOCALLY;
        const int asked = wanted - got;
        int size = asked;
        const int r = m_pppp.Read(use.Handle(), channel, reinterpret_cast<char*>(buffer + got), &size, slice);
        use.End();
        if (size > 0) got += size < asked ? size : asked;
        if (!m_bRunning.load()) return PPPP_ERR_TIMEOUT;
        if (r != PPPP_ERR_TIMEOUT) return r;
        if (got >= wanted) return PPPP_ERR_TIMEOUT;
    }
}

bool CSessionServer::PauseReader(const SessionSlot& slot, uint32_t ms) {
    if (slot.bClosing.load() || !m_bRunning.load()) return false;
    platform::Sleep(ms < 50 ? ms : 50);
    return !slot.bClosing.load() && m_bRunning.load();
}

void CSessionServer::DoRecv(SessionSlot& slot) {
    const uint32_t generation = slot.nGeneration.load();
    const int i = m_slots.Index(slot);
    uint8_t buffer[kReceiveBufferSize];
    do {
        std::memset(buffer, 0, sizeof buffer);
        int r = ReadExact(slot, kChannelControl, buffer, static_cast<int>(kHeaderSize), kReadTimeoutMs);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
        const PacketHeader header = ReadHeader(buffer);
        // Nothing is read past the buffer: a longer announcement ends the
        // session like any other broken read.
        if (header.bodyLength > kReceiveBufferSize) {
            ZTRACE("body of %u bytes announced, i=%d\n", header.bodyLength, i);
            break;
        }
        // The body replaces the header at the start of the buffer; a body
        // length of 0 ends the session (ReadExact refuses it).
        r = ReadExact(slot, kChannelControl, buffer, static_cast<int>(header.bodyLength), kReadTimeoutMs);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
        if (!m_bRunning.load() || slot.bClosing.load()) break;

        if (header.kind == KindPlain) {
            DoAuth(slot, buffer);
        } else {
            const int unsealed = UnsealPacket(slot.abySessionKey, header.kind, buffer, header.bodyLength);
            if (unsealed != kUnsealOk) {
                // A body that does not open under the session key says nothing
                // the viewer could be held to.
                ZTRACE("UnsealPacket(.)=%d, kind=%u, dropped, i=%d\n", unsealed, header.kind, i);
                continue;
            }
            DoCommand(slot, buffer);
        }
    } while (m_bRunning.load());
    m_slots.Release(slot, generation);
}

}  // namespace session
