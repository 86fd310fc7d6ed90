// The listener, the login watchdog and the readers of the session server.

#include "service/session/Listener.h"

#include <cstring>

#include "platform/Clock.h"
#include "platform/Random.h"
#include "platform/SecureZero.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/session/PeerKey.h"

namespace session {

// ---------------------------------------------------------------------------
// Start and stop

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// The DID as the listener uses it: trimmed and in upper case.
std::u16string NormaliseDid(std::u16string_view field) {
    size_t begin = 0, end = field.size();
    while (begin < end && IsBlank(field[begin])) ++begin;
    while (end > begin && IsBlank(field[end - 1])) --end;
    std::u16string did(field.substr(begin, end - begin));
    for (char16_t& c : did)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return did;
}

}  // namespace

int CListener::StartListening(std::u16string_view didField, std::u16string_view passwordField) {
    if (m_ctx.bRunning.load()) return 0;
    // Threads of a run that ended by itself (the transport refused the DID)
    // are still to be collected; with the running flag clear they are all ending.
    JoinStoppedThreads();

    m_strDID = NormaliseDid(didField);
    m_strPassword.assign(passwordField);
    m_ctx.bRunning.store(true);

    if (!m_hWatchdogThread.Start(&CListener::ThreadWatchdog, this)) {
        m_ctx.bRunning.store(false);
        return -1;
    }
    platform::Sleep(2);
    if (!m_hListenThread.Start(&CListener::ThreadListen, this)) {
        m_ctx.bRunning.store(false);
        m_hWatchdogThread.Join();
        return -1;
    }
    return 0;
}

void CListener::StopListening() {
    // Cleared before the break, so that the listener cannot start another listen.
    m_ctx.bRunning.store(false);
    m_ctx.pppp.Listen_Break();
    m_hListenThread.Join();
    // The watchdog ends within one period; waiting for it here means nothing
    // of the server runs on once the owner has stopped it.
    m_hWatchdogThread.Join();
}

void CListener::WaitForReaders() {
    for (SessionSlot& slot : m_ctx.slotTable) slot.hReader.Join();
}

void CListener::JoinStoppedThreads() {
    m_hListenThread.Join();
    m_hWatchdogThread.Join();
    WaitForReaders();
}

// ---------------------------------------------------------------------------
// The listener

void CListener::ThreadListen(void* listener) {
    static_cast<CListener*>(listener)->DoListen();
    if (platform::IsTraceEnabled()) platform::TraceRaw("====ThreadListen exit\n");
}

void CListener::DoListen() {
    // The DID and the password serve the whole run; changes in the window take
    // effect at the next start.
    char did[kDidBufferSize];
    platform::Utf16ToUtf8Buffer(m_strDID, did, sizeof did);
    uint8_t password[kPasswordBufferSize];
    MakePasswordBuffer(m_strPassword, password);

    uint32_t backoffMs = 0;
    while (m_ctx.bRunning.load()) {
        const int h = m_ctx.pppp.Listen(did, kListenWaitSeconds, 0, 1);
        ZTRACE("PPPP_Listen(..)=%d, m_bRunning=%d\n", h, m_ctx.bRunning.load() ? 1 : 0);
        if (h == PPPP_ERR_CANNOT_LISTEN || h == PPPP_ERR_BAD_DID) {
            m_ctx.host.SetStatus(kStatusWrongDid);
            m_ctx.bRunning.store(false);
            m_ctx.host.StopCapture();
            break;
        }
        if (h >= 0 || h == PPPP_ERR_TIMEOUT || h == PPPP_ERR_INTERRUPTED) {
            backoffMs = 0;
        } else {
            // A transport that fails at once (not initialised, out of
            // sessions) is asked again after a pause that grows, not in a spin.
            backoffMs = backoffMs == 0 ? 10 : (backoffMs * 2 > kListenBackoffLimitMs ? kListenBackoffLimitMs
                                                                                    : backoffMs * 2);
            for (uint32_t waited = 0; waited < backoffMs && m_ctx.bRunning.load(); waited += 10) platform::Sleep(10);
        }
        if (h < 0) continue;

        uint32_t acceptTick = platform::GetTickCount();
        PPPP_SessionRecord record{};
        const int checked = m_ctx.pppp.Check(h, &record);
        const uint8_t route = record.bytes[PPPP_SESSION_ROUTE_OFFSET];
        // The throttle's and the slot rules' idea of who this is (PeerKey.h).
        const uint32_t address = checked == PPPP_OK ? PeerKey(record) : 0;
        // Anyone on the internet could log in to a device without a password:
        // there, its viewers are told so in place of a challenge, and take no slot.
        if (checked == PPPP_OK && record.bytes[PPPP_REC_PATH] == PPPP_PATH_INTERNET && password[0] == 0) {
            ZTRACE("no device password: a viewer over the internet route refused; set a password to admit them\n");
            const uint8_t reason = kRefusedNoPassword;
            m_ctx.SendIOCtrl(h, nullptr, CmdAuthRefused, &reason, sizeof reason, KindPlain);
            m_ctx.pppp.Close(h);
            continue;
        }

        // On the internet route the login is bound to the channel's
        // certificates; a session that cannot say what they are gets none.
        uint8_t binding[kBindingSize];
        const bool bound = checked == PPPP_OK && record.bytes[PPPP_REC_PATH] == PPPP_PATH_INTERNET;
        if (bound && (!m_ctx.pppp.Channel_Binding ||
                      m_ctx.pppp.Channel_Binding(h, binding, sizeof binding) != static_cast<int>(kBindingSize))) {
            ZTRACE("a viewer over the internet route without a bound channel: session ended\n");
            m_ctx.pppp.Close(h);
            continue;
        }

        SessionSlot* slot = m_ctx.slotTable.ChooseSlot(address, acceptTick);
        // Everyone not logged in yet is protected for now (waiting for a look
        // at an answer, or still within the time to answer): the newcomer
        // waits a little for one of them to log in, be refused or fall silent.
        for (uint32_t waited = 0; !slot && waited < kMakeWayWaitMs && m_ctx.bRunning.load() &&
                                  m_ctx.slotTable.AnyPending();
             waited += kChooseAgainMs) {
            platform::Sleep(kChooseAgainMs);
            slot = m_ctx.slotTable.ChooseSlot(address, platform::GetTickCount());
        }
        if (!slot) {
            // A ninth viewer while eight are logged in or protected: no message, the session just ends.
            m_ctx.pppp.Close(h);
            continue;
        }
        if (slot->bInUse.load()) {
            // A session that has not logged in makes way for this one.
            ZTRACE("slot %d makes way, not logged in\n", m_ctx.slotTable.Index(*slot));
            if (!m_ctx.slotTable.MakeWay(*slot, kMakeWayWaitMs)) {
                m_ctx.pppp.Close(h);
                continue;
            }
        }
        // The slot's previous reader freed the slot as its last step. The
        // login deadline counts from here, not from the wait for a place.
        slot->hReader.Join();
        acceptTick = platform::GetTickCount();
        const int i = m_ctx.slotTable.Index(*slot);
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
            m_ctx.pppp.Close(h);
            continue;
        }
        m_ctx.slotTable.Occupy(*slot, h, acceptTick, route, address, password, challenge, sessionKey, this,
                                bound ? binding : nullptr);
        const uint32_t generation = slot->nGeneration.load();
        platform::SecureZero(sessionKey, sizeof sessionKey);

        int sent = PPPP_ERR_CLOSED_LOCALLY;
        if (CSlotUse use = m_ctx.slotTable.Use(*slot))
            sent = m_ctx.SendIOCtrl(use.Handle(), nullptr, CmdChallenge, challenge, kChallengeSize, KindPlain);
        if (sent < 0) {
            ZTRACE("SendIOCtrl(.)=%d\n", sent);
            m_ctx.slotTable.Release(*slot, generation);
            continue;
        }
        if (!slot->hReader.Start(&CListener::ThreadRecv, slot)) {
            ZTRACE("CreateThread(.) failed, i=%d\n", i);
            m_ctx.slotTable.Release(*slot, generation);
        }
    }
    platform::SecureZero(password, sizeof password);
    // The sessions end with the run (a stop, or a DID the transport refused):
    // their readers, waiting for the viewers' next bytes, end with them.
    for (SessionSlot& slot : m_ctx.slotTable) m_ctx.slotTable.Close(slot, slot.nGeneration.load());
}

// ---------------------------------------------------------------------------
// The watchdog

void CListener::ThreadWatchdog(void* listener) { static_cast<CListener*>(listener)->DoWatchdog(); }

void CListener::DoWatchdog() {
    while (m_ctx.bRunning.load()) {
        for (SessionSlot& slot : m_ctx.slotTable) {
            // The generation first: if the slot changes hands after this, the
            // close below names the old session and does nothing.
            const uint32_t generation = slot.nGeneration.load();
            const uint32_t accepted = slot.dwAcceptTick.load();
            if (accepted == 0) continue;
            // A deadline for logging in, counted from accept; not an idle time-out.
            const auto elapsed = static_cast<int32_t>(platform::GetTickCount() - accepted);
            if ((elapsed < 0 || elapsed >= static_cast<int32_t>(kAuthDeadlineMs)) && !slot.bAuthed.load())
                m_ctx.slotTable.Close(slot, generation);
        }
        platform::Sleep(kWatchdogPeriodMs);
    }
}

// ---------------------------------------------------------------------------
// The reader

void CListener::ThreadRecv(void* slot) {
    auto* s = static_cast<SessionSlot*>(slot);
    s->pServer->DoRecv(*s);
}

int CListener::ReadExact(SessionSlot& slot, uint8_t channel, uint8_t* buffer, int wanted, uint32_t timeoutMs) {
    if (wanted <= 0) return -1;
    // The handle is taken under a use, and the reads hold none: the transport
    // ends a read under way when its session is closed here (-13, promptly)
    // and never hands a handle out twice, so a close of the slot need not wait
    // for the reader and ends its wait at once. So the reader sleeps for as
    // long as its viewer is silent instead of waking to let go of the handle.
    int32_t handle;
    {
        const CSlotUse use = m_ctx.slotTable.Use(slot);
        if (!use) return PPPP_ERR_CLOSED_LOCALLY;
        handle = use.Handle();
    }
    int got = 0;
    for (;;) {
        const int asked = wanted - got;
        int size = asked;
        const int r = m_ctx.pppp.Read(handle, channel, reinterpret_cast<char*>(buffer + got), &size, timeoutMs);
        if (size > 0) got += size < asked ? size : asked;
        if (!m_ctx.bRunning.load()) return PPPP_ERR_TIMEOUT;
        if (r != PPPP_ERR_TIMEOUT) return r;
        if (got >= wanted) return PPPP_ERR_TIMEOUT;
    }
}

void CListener::DoRecv(SessionSlot& slot) {
    const uint32_t generation = slot.nGeneration.load();
    const int i = m_ctx.slotTable.Index(slot);
    uint8_t buffer[kReceiveBufferSize];
    do {
        std::memset(buffer, 0, sizeof buffer);
        int r = ReadExact(slot, kChannelControl, buffer, static_cast<int>(kHeaderSize), kReadWaitMs);
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
        r = ReadExact(slot, kChannelControl, buffer, static_cast<int>(header.bodyLength), kReadWaitMs);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
        if (!m_ctx.bRunning.load() || slot.bClosing.load()) break;

        if (header.kind == KindPlain) {
            m_commands.DoAuth(slot, buffer);
        } else {
            const int unsealed = UnsealPacket(slot.abySessionKey, header.kind, buffer, header.bodyLength);
            if (unsealed != kUnsealOk) {
                // A body that does not open under the session key says nothing
                // the viewer could be held to.
                ZTRACE("UnsealPacket(.)=%d, kind=%u, dropped, i=%d\n", unsealed, header.kind, i);
                continue;
            }
            m_commands.DoCommand(slot, buffer);
        }
    } while (m_ctx.bRunning.load());
    m_ctx.slotTable.Release(slot, generation);
}

}  // namespace session
