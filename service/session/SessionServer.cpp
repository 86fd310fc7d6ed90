#include "service/session/SessionServer.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Random.h"
#include "platform/SecureZero.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/session/Aes.h"

namespace session {
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

// Compares without an early exit, so the time taken says nothing about how
// much of a login response was right.
bool SameBlock(const uint8_t* a, const uint8_t* b) {
    uint8_t diff = 0;
    for (size_t i = 0; i < kKeySize; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

// Waits a moment of real time in a loop that waits for another thread; not
// part of the system's timing, so not through the replaceable clock.
void Pause(unsigned& rounds) {
    if (++rounds < 64) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace

CSessionServer::CSessionServer(const PpppTable& transport, ISessionHost& host)
    : m_pppp(transport), m_host(host), m_pPacketBuf(new uint8_t[kPacketBufferSize]) {}

CSessionServer::~CSessionServer() {
    StopListening();
    WaitForReaders();
}

// Every field back to a free slot's, secrets wiped; bInUse goes last so that a
// thread that sees the slot free sees all of it free.
void CSessionServer::ResetSlotFields(SessionSlot& slot, int32_t hSession) {
    slot.bVideoOn.store(false);
    slot.bMarked.store(false);
    slot.bKeySent.store(false);
    platform::SecureZero(slot.szPassword, sizeof slot.szPassword);
    platform::SecureZero(slot.abySessionKey, sizeof slot.abySessionKey);
    slot.aesSessionKey.Clear();
    platform::SecureZero(slot.abyExpected, sizeof slot.abyExpected);
    slot.bAuthed.store(false);
    slot.byRoute.store(0);
    slot.pServer = nullptr;
    slot.dwAcceptTick.store(0);
    slot.hSession.store(hSession);
    slot.bClosing.store(false);
    slot.bHandleClosed = false;
    slot.bInUse.store(false, std::memory_order_release);
}

void CSessionServer::ClearSlots() {
    for (SessionSlot& slot : m_aSlots) {
        std::lock_guard<std::mutex> hold(slot.lock);
        ResetSlotFields(slot, 0);
    }
    m_nOnline.store(0);
}

// ---------------------------------------------------------------------------
// Starting and stopping

int CSessionServer::StartListening(std::u16string_view didField, std::u16string_view passwordField) {
    if (m_bRunning.load()) return 0;
    // Threads of a run that ended by itself (the transport refused the DID)
    // are still to be collected; with m_bRunning clear they are all ending.
    JoinStoppedThreads();

    m_strDID = NormaliseDid(didField);
    m_strPassword.assign(passwordField);
    m_bRunning.store(true);

    if (!m_hWatchdogThread.Start(&CSessionServer::ThreadWatchdog, this)) {
        m_bRunning.store(false);
        return -1;
    }
    platform::Sleep(2);
    if (!m_hListenThread.Start(&CSessionServer::ThreadListen, this)) {
        m_bRunning.store(false);
        m_hWatchdogThread.Join();
        return -1;
    }
    return 0;
}

void CSessionServer::StopListening() {
    // Cleared before the break, so that the listener cannot start another listen.
    m_bRunning.store(false);
    m_pppp.Listen_Break();
    m_hListenThread.Join();
    // The watchdog ends within one period; waiting for it here means nothing
    // of the server runs on once the owner has stopped it.
    m_hWatchdogThread.Join();
}

void CSessionServer::WaitForReaders() {
    for (SessionSlot& slot : m_aSlots) slot.hReader.Join();
}

void CSessionServer::JoinStoppedThreads() {
    m_hListenThread.Join();
    m_hWatchdogThread.Join();
    WaitForReaders();
}

// ---------------------------------------------------------------------------
// The listener

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

    while (m_bRunning.load()) {
        const int h = m_pppp.Listen(did, kListenWaitSeconds, 0, 1);
        ZTRACE("PPPP_Listen(..)=%d, m_bRunning=%d\n", h, m_bRunning.load() ? 1 : 0);
        if (h == PPPP_ERR_CANNOT_LISTEN || h == PPPP_ERR_BAD_DID) {
            m_host.SetStatus(kStatusWrongDid);
            m_bRunning.store(false);
            m_host.StopCapture();
            break;
        }
        if (h < 0) continue;
        const uint32_t acceptTick = platform::GetTickCount();

        SessionSlot* slot = nullptr;
        for (SessionSlot& candidate : m_aSlots) {
            if (!candidate.bInUse.load()) {
                slot = &candidate;
                break;
            }
        }
        if (!slot) {
            // A ninth viewer: no message, the session just ends.
            m_pppp.Close(h);
            continue;
        }
        // The slot's previous reader freed the slot as its last step.
        slot->hReader.Join();
        const int i = SlotIndex(*slot);

        PPPP_SessionRecord record{};
        const int checked = m_pppp.Check(h, &record);
        const uint8_t route = record.bytes[PPPP_SESSION_ROUTE_OFFSET];
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
        OccupySlot(*slot, h, acceptTick, route, password, challenge, sessionKey);
        const uint32_t generation = slot->nGeneration.load();
        platform::SecureZero(sessionKey, sizeof sessionKey);

        const int sent = SendIOCtrl(h, nullptr, CmdChallenge, challenge, kChallengeSize, KindPlain);
        if (sent < 0) {
            ZTRACE("SendIOCtrl(.)=%d\n", sent);
            ReleaseSlot(*slot, generation);
            continue;
        }
        if (!slot->hReader.Start(&CSessionServer::ThreadRecv, slot)) {
            ZTRACE("CreateThread(.) failed, i=%d\n", i);
            ReleaseSlot(*slot, generation);
        }
    }
    platform::SecureZero(password, sizeof password);
}

// ---------------------------------------------------------------------------
// The session table

void CSessionServer::OccupySlot(SessionSlot& slot, int32_t handle, uint32_t acceptTick, uint8_t route,
                                const uint8_t (&password)[kPasswordBufferSize],
                                const uint8_t (&challenge)[kChallengeSize], const uint8_t (&sessionKey)[kKeySize]) {
    std::lock_guard<std::mutex> hold(slot.lock);
    slot.nGeneration.fetch_add(1);
    slot.hSession.store(handle);
    slot.dwAcceptTick.store(acceptTick);
    slot.byRoute.store(route);
    std::memcpy(slot.szPassword, password, sizeof slot.szPassword);
    std::memcpy(slot.abySessionKey, sessionKey, sizeof slot.abySessionKey);
    slot.aesSessionKey.Expand(sessionKey);
    AesEncryptBlock(128, challenge, kChallengeSize, password, kPasswordBufferSize, slot.abyExpected);
    slot.bVideoOn.store(false);
    slot.bMarked.store(false);
    slot.bKeySent.store(false);
    slot.bAuthed.store(false);
    slot.bClosing.store(false);
    slot.bHandleClosed = false;
    slot.pServer = this;
    slot.bInUse.store(true, std::memory_order_release);
}

void CSessionServer::CloseSlot(SessionSlot& slot, uint32_t generation) {
    int32_t handle;
    {
        std::lock_guard<std::mutex> hold(slot.lock);
        if (!slot.bInUse.load() || slot.bClosing.load() || slot.nGeneration.load() != generation) return;
        slot.bClosing.store(true);
        handle = slot.hSession.load();
    }
    m_nOnline.store(CountOnline());
    // A send on its way still uses the handle; closing it first could let the
    // transport hand the same number to a new session under that send's feet.
    unsigned rounds = 0;
    while (slot.nUsers.load(std::memory_order_acquire) != 0) Pause(rounds);
    if (handle >= 0) m_pppp.Close(handle);
    std::lock_guard<std::mutex> hold(slot.lock);
    slot.hSession.store(-1);
    slot.bHandleClosed = true;
}

void CSessionServer::ReleaseSlot(SessionSlot& slot, uint32_t generation) {
    CloseSlot(slot, generation);
    unsigned rounds = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(slot.lock);
            if (slot.nGeneration.load() != generation || !slot.bInUse.load()) return;
            if (slot.bHandleClosed) {
                ResetSlotFields(slot, -1);
                break;
            }
        }
        // Another thread has begun the close and is finishing it.
        Pause(rounds);
    }
    m_nOnline.store(CountOnline());
}

bool CSessionServer::AcquireUse(SessionSlot& slot, SlotUse& use) {
    if (!slot.bInUse.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> hold(slot.lock);
    if (!slot.bInUse.load() || slot.bClosing.load()) return false;
    slot.nUsers.fetch_add(1, std::memory_order_relaxed);
    use.hSession = slot.hSession.load();
    use.nGeneration = slot.nGeneration.load();
    return true;
}

int CSessionServer::CountOnline() const {
    int online = 0;
    for (const SessionSlot& slot : m_aSlots)
        if (slot.bInUse.load() && !slot.bClosing.load()) ++online;
    return online;
}

// ---------------------------------------------------------------------------
// The watchdog

void CSessionServer::ThreadWatchdog(void* server) { static_cast<CSessionServer*>(server)->DoWatchdog(); }

void CSessionServer::DoWatchdog() {
    while (m_bRunning.load()) {
        for (SessionSlot& slot : m_aSlots) {
            // The generation first: if the slot changes hands after this, the
            // close below names the old session and does nothing.
            const uint32_t generation = slot.nGeneration.load();
            const uint32_t accepted = slot.dwAcceptTick.load();
            if (accepted == 0) continue;
            // A deadline for logging in, counted from accept; not an idle time-out.
            const auto elapsed = static_cast<int32_t>(platform::GetTickCount() - accepted);
            if ((elapsed < 0 || elapsed >= static_cast<int32_t>(kAuthDeadlineMs)) && !slot.bAuthed.load())
                CloseSlot(slot, generation);
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
    int got = 0;
    for (;;) {
        // A closed slot's handle may already name someone else's session.
        if (slot.bClosing.load()) return PPPP_ERR_CLOSED_LOCALLY;
        const int asked = wanted - got;
        int size = asked;
        const int r = m_pppp.Read(slot.hSession.load(), channel, reinterpret_cast<char*>(buffer + got), &size,
                                  timeoutMs);
        if (size > 0) got += size < asked ? size : asked;
        if (!m_bRunning.load()) return PPPP_ERR_TIMEOUT;
        if (r != PPPP_ERR_TIMEOUT) return r;
        if (got >= wanted) return PPPP_ERR_TIMEOUT;
    }
}

void CSessionServer::DoRecv(SessionSlot& slot) {
    const uint32_t generation = slot.nGeneration.load();
    const int i = SlotIndex(slot);
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
    ReleaseSlot(slot, generation);
}

int CSessionServer::SendIOCtrl(int32_t handle, const uint8_t* key, uint16_t command, const uint8_t* payload,
                               uint32_t length, uint8_t kind) {
    uint8_t small[kPacketOverhead + 64];
    std::vector<uint8_t> large;
    uint8_t* packet = small;
    const size_t total = kPacketOverhead + static_cast<size_t>(length);
    if (total > sizeof small) {
        large.resize(total);
        packet = large.data();
    }
    PacketFields fields;
    fields.kind = kind;
    fields.command = command;
    if (BuildPacket(packet, total, fields, payload, length) != total) return PPPP_ERR_BAD_ARGUMENT;
    if (kind != KindPlain) m_byScramble.SealPacket(key, packet, total);
    return m_pppp.Write(handle, kChannelControl, reinterpret_cast<const char*>(packet), static_cast<int>(total));
}

// ---------------------------------------------------------------------------
// Session commands

void CSessionServer::DoAuth(SessionSlot& slot, const uint8_t* body) {
    if (LoadU16(body + kBodyCommand) != CmdAuthResponse) return;
    const int32_t handle = slot.hSession.load();
    const uint16_t length = LoadU16(body + kBodyPayloadLength16);
    // Fewer than 16 bytes are compared as sent followed by the buffer's zeros.
    if (length == 0 || length > kMaxAuthResponse || !SameBlock(body + kBodyPayload, slot.abyExpected)) {
        SendIOCtrl(handle, nullptr, CmdAuthRefused, nullptr, 0, KindPlain);
        return;
    }
    uint8_t wrapped[kKeySize];
    AesEncryptBlock(128, slot.abySessionKey, kKeySize, slot.szPassword, kPasswordBufferSize, wrapped);
    slot.bAuthed.store(true);
    SendIOCtrl(handle, nullptr, CmdAuthAccepted, wrapped, kKeySize, KindPlain);
}

void CSessionServer::DoCommand(SessionSlot& slot, const uint8_t* body) {
    switch (LoadU16(body + kBodyCommand)) {
        case CmdVideoStart: {
            if (!slot.bAuthed.load()) return;
            if (LoadU16(body + kBodyPayloadLength16) >= kVideoStartModeSize) {
                const uint32_t mode = LoadU32(body + kBodyPayload);
                if (mode <= static_cast<uint32_t>(kMaxMode)) ChangeMode(static_cast<int>(mode));
            }
            StartVideoTimer();
            slot.bVideoOn.store(true);
            if (!slot.bKeySent.load()) m_host.RequestKeyFrame();

            // Report phases run one at a time, each with the mode current at its
            // start; a mode change is followed by a phase of its own, so the
            // last report every watcher gets is the mode the camera is in.
            // (The transport's writes do not block.)
            std::lock_guard<std::mutex> reporting(m_reportLock);
            uint8_t report[kModeReportSize];
            StoreU32(report, static_cast<uint32_t>(m_nMode.load()));
            for (SessionSlot& watcher : m_aSlots) {
                if (!watcher.bInUse.load() || !watcher.bVideoOn.load()) continue;
                SlotUse use;
                if (!AcquireUse(watcher, use)) continue;
                SendIOCtrl(use.hSession, watcher.abySessionKey, CmdModeReport, report, kModeReportSize, KindSealed16);
                EndUse(watcher);
            }
            return;
        }
        case CmdVideoStop:
            // Stops the still-frame poll for every viewer, not just this one.
            slot.bVideoOn.store(false);
            StopVideoTimer();
            return;
        case CmdMarkSet:
            if (slot.bAuthed.load()) slot.bMarked.store(true);
            return;
        case CmdMarkClear:
            slot.bMarked.store(false);
            return;
        default:
            return;
    }
}

void CSessionServer::ChangeMode(int mode) {
    // The mode and the camera change together, apart from every other use of
    // the camera channel; of two viewers the later one sets both.
    bool changed = false;
    m_host.ChangeCameraMode(mode, [&] {
        if (mode == m_nMode.load()) return false;
        for (SessionSlot& slot : m_aSlots) slot.bKeySent.store(false);
        m_nMode.store(mode);
        changed = true;
        return true;
    });
    if (changed) m_host.RequestKeyFrame();
}

void CSessionServer::StartVideoTimer() {
    std::lock_guard<std::mutex> hold(m_videoTimerLock);
    if (m_nVideoTimer.load() == 0) m_nVideoTimer.store(m_host.SetVideoTimer());
}

void CSessionServer::StopVideoTimer() {
    std::lock_guard<std::mutex> hold(m_videoTimerLock);
    const uint32_t timer = m_nVideoTimer.load();
    if (timer == 0) return;
    m_host.KillVideoTimer(timer);
    m_nVideoTimer.store(0);
}

// ---------------------------------------------------------------------------
// The fan-out

void CSessionServer::FreePacketBuffer() {
    std::lock_guard<std::mutex> hold(m_fanoutLock);
    m_pPacketBuf.reset();
}

uint32_t CSessionServer::Timestamp() const {
    // After the tick count has wrapped (about 49.7 days) it is below the start.
    const uint32_t now = platform::GetTickCount();
    const uint32_t start = m_dwCaptureStart.load();
    return now > start ? now - start : start - now - 1;
}

void CSessionServer::OnEncodedFrame(uint16_t gate, const uint8_t* data, uint32_t length) {
    // The packet buffer is shared by all callers: one frame at a time.
    std::lock_guard<std::mutex> hold(m_fanoutLock);
    const int online = CountOnline();
    m_nOnline.store(online);
    const uint8_t deltaFrame = (gate != 0 && !IsKeyFrame(data, length)) ? 1 : 0;
    if (!m_bRunning.load()) return;
    if (length > kMaxFramePayload) {
        ZTRACE("frame of %u bytes is longer than %zu, skipped\n", length, kMaxFramePayload);
        return;
    }
    if (!m_pPacketBuf || (length > 0 && !data)) return;

    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    fields.viewerCount = static_cast<uint8_t>(online);
    fields.deltaFrame = deltaFrame;
    // Read once for the frame, and again only after a back-pressure sleep:
    // nothing else makes time pass between two viewers' packets.
    fields.timestampMs = Timestamp();

    for (SessionSlot& slot : m_aSlots) {
        if (!slot.bInUse.load(std::memory_order_acquire) || !slot.bVideoOn.load()) continue;
        SlotUse use;
        if (!AcquireUse(slot, use)) continue;
        if (!slot.bVideoOn.load()) {
            EndUse(slot);
            continue;
        }
        if (gate != 0 && !slot.bKeySent.load()) {
            if (deltaFrame) {
                EndUse(slot);
                continue;
            }
            slot.bKeySent.store(true);
        }

        unsigned int pending = 0;
        const int checked = m_pppp.Check_Buffer(use.hSession, kChannelVideo, &pending, nullptr);
        if (IsSessionGone(checked)) {
            EndUse(slot);
            CloseSlot(slot, use.nGeneration);
            continue;
        }
        if (pending > kBackPressureBytes) {
            // The frame still goes; under gating the viewer then waits for the
            // next key frame, which is asked for at once.
            slot.bKeySent.store(false);
            m_host.RequestKeyFrame();
            platform::Sleep(kBackPressureSleepMs);
            fields.timestampMs = Timestamp();
        }
        const size_t size = m_byScramble.BuildSealedPacket(slot.aesSessionKey, m_pPacketBuf.get(), kPacketBufferSize,
                                                           fields, data, length);
        if (size > 0)
            m_pppp.Write(use.hSession, kChannelVideo, reinterpret_cast<const char*>(m_pPacketBuf.get()),
                         static_cast<int>(size));
        EndUse(slot);
    }
}

}  // namespace session
