#include "transport/Session.h"

#include <algorithm>
#include <climits>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/Trace.h"
#include "transport/Socket.h"

namespace pppp {
namespace {

constexpr size_t kStagingSize = 64 * 1024;
constexpr int kReceiveRounds = 16;  // receives per pump round, so that sending gets its turn
constexpr size_t kKeptQueueCapacity = 256 * 1024;
constexpr uint32_t kLargeFrame = 16 * 1024;
// While a calling thread watches the link, the pump looks again after a while,
// in case that thread stops calling (a writer leading in WaitBuffer wakes it
// as it leaves instead). Readers come and go with every message, so waking the
// pump as each one leaves would cost a wake-up per message. The look comes
// with the keepalive's (the pump wakes for it anyway), at most kReaderLookMaxMs
// apart; where the peer's Acks must be received for writers to go on, sooner.
constexpr uint64_t kReaderLookMs = 500;
constexpr uint64_t kReaderLookMaxMs = 2000;
// CheckBuffer's count of what the kernel holds unsent may be the link's own
// bound (never below the true count) up to this many bytes; above, and
// whenever the session's own queue holds bytes, the kernel is asked.
constexpr uint32_t kUnsentEstimateBytes = 32 * 1024;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Milliseconds left as poll takes them: never negative, never past INT_MAX.
int PollTimeout(std::chrono::milliseconds left) {
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
}

}  // namespace

SessionParams MakeSessionParams(const CConfig& config, uint8_t side, const std::string& did, uint8_t peerVersion,
                                uint32_t peerDeadMs) {
    SessionParams params;
    params.side = side;
    params.peerVersion = peerVersion;
    params.did = did;
    params.keepaliveMs = config.dwKeepaliveMs;
    params.deadPeerMs = config.dwDeadPeerMs;
    params.peerDeadMs = peerDeadMs;
    params.channelBufferBytes = config.dwChannelBufferBytes;
    params.sendQueueBytes = config.dwSendQueueBytes;
    return params;
}

bool StartThread(std::thread& thread, std::function<void()> body) {
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

CSession::CSession(const SessionParams& params, std::shared_ptr<ILink> link)
    : m_params(params),
      m_bCountAcks(link && link->NeedsAcks() && params.peerVersion >= kAckVersion),
      m_qwOpenedMs(NowMs()),
      m_pLink(std::move(link)),
      m_pStaging(new uint8_t[kStagingSize]),
      m_qwLastReceiveMs(m_qwOpenedMs),
      m_qwLastSendMs(m_qwOpenedMs) {
    // Keepalives often enough for the peer's dead time as well as for ours,
    // but no peer makes this side chatter: it gets at most one in kMinPeerPingMs.
    m_dwPingMs = m_params.keepaliveMs;
    if (m_params.peerDeadMs)
        m_dwPingMs = std::min(m_dwPingMs, std::max<uint32_t>(m_params.peerDeadMs / 3, kMinPeerPingMs));
    if (m_pLink) m_pLink->Describe(&m_linkInfo);
    m_qwReaderLookMs = m_bCountAcks ? kReaderLookMs : std::clamp<uint64_t>(m_dwPingMs, kReaderLookMs, kReaderLookMaxMs);
}

CSession::~CSession() {
    // The transport joins every pump before it lets go of a session.
    if (m_pump.joinable()) m_pump.join();
}

bool CSession::Start() {
    return StartThread(m_pump, [this] { Pump(); });
}

void CSession::Join() {
    if (m_pump.joinable()) m_pump.join();
}

int CSession::State() const {
    if (m_bClosed.load()) return PPPP_ERR_CLOSED_LOCALLY;
    return m_nEnd.load();
}

void CSession::EndLocked(int reason) {
    int expected = 0;
    if (!m_nEnd.compare_exchange_strong(expected, reason)) return;
    ZTRACE("session %d ended: %d\n", m_params.handle, reason);
    m_cvRead.notify_all();
    // Whoever waits on the link learns it now; the pump ends and releases it.
    if (m_pLink) {
        m_pLink->WakeReader();
        m_pLink->WakeWriter();
        m_pLink->Wake();
    }
    WakeAckWaiters();
}

void CSession::End(int reason) {
    std::lock_guard<std::mutex> hold(m_recvLock);
    EndLocked(reason);
}

void CSession::WakePump() {
    std::lock_guard<std::mutex> hold(m_sendLock);
    if (m_pLink) m_pLink->Wake();
}

bool CSession::AnyChannelFull() const {
    for (const auto& channel : m_aChannels)
        if (channel.Size() >= m_params.channelBufferBytes) return true;
    return false;
}

// ---- reading ---------------------------------------------------------------

long CSession::ReceiveLocked(int channel, uint8_t* direct, size_t room, size_t* delivered) {
    // Inside a data frame of the reader's own channel, with nothing queued
    // before it, the payload goes straight to the reader.
    if (direct && *delivered < room && m_nHeaderGot == kFrameHeaderSize && m_dwFrameLeft > 0 &&
        m_frame.type == FrameData && m_frame.channel == channel && m_aChannels[channel].Empty()) {
        const long n = m_pLink->Receive(direct + *delivered, std::min<size_t>(room - *delivered, m_dwFrameLeft));
        if (n > 0) {
            m_dwFrameLeft -= static_cast<uint32_t>(n);
            if (m_dwFrameLeft == 0) m_nHeaderGot = 0;
            m_qwBytesReceived.fetch_add(static_cast<uint64_t>(n));
            m_qwLastReceiveMs.store(NowMs());
            *delivered += static_cast<size_t>(n);
            NoteReceivedLocked(false);
        }
        return n;
    }
    // After a large frame, the next header alone: its payload may then take
    // the direct way above instead of passing through the staging buffer.
    size_t want = kStagingSize;
    if (direct && m_nHeaderGot < kFrameHeaderSize && m_dwLastFrameLength >= kLargeFrame)
        want = kFrameHeaderSize - m_nHeaderGot;
    const long n = m_pLink->Receive(m_pStaging.get(), want);
    if (n > 0) {
        m_qwLastReceiveMs.store(NowMs());
        ParseLocked(m_pStaging.get(), static_cast<size_t>(n), channel, direct, room, delivered);
    }
    return n;
}

int CSession::Read(uint8_t channel, char* buffer, int* size, uint32_t timeoutMs) {
    if (channel >= kChannelCount || !size || *size < 0 || (!buffer && *size > 0)) return PPPP_ERR_BAD_ARGUMENT;
    uint8_t* out = reinterpret_cast<uint8_t*>(buffer);
    const size_t wanted = static_cast<size_t>(*size);
    size_t got = 0;
    bool resumed = false;
    int result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::unique_lock<std::mutex> hold(m_recvLock);
        ++m_nReaders;
        bool expired = false;
        bool quiet = false;  // the link had nothing when this thread's wait ran out
        for (;;) {
            if (m_bClosed.load()) {
                result = PPPP_ERR_CLOSED_LOCALLY;
                break;
            }
            got += m_aChannels[channel].Take(out + got, wanted - got);
            if (m_bPaused && !AnyChannelFull()) {
                m_bPaused = false;
                resumed = true;
            }
            if (got == wanted) {
                result = PPPP_OK;
                break;
            }
            // Bytes that came before the end are delivered; then the end shows.
            if (const int end = m_nEnd.load()) {
                result = end;
                break;
            }
            if (!m_bPaused && m_pLink && !(expired && quiet)) {
                const long n = ReceiveLocked(channel, out, wanted, &got);
                if (n < 0) EndLocked(PPPP_ERR_CLOSED_BY_PEER);
                if (n != 0) continue;
            }
            if (expired) {
                result = PPPP_ERR_TIMEOUT;
                break;
            }
            if (!m_bPaused && !m_bLeader && m_pLink) {
                // Lead: watch the link from this thread, so that arriving
                // bytes wake the thread that wants them.
                m_bLeader = true;
                const std::shared_ptr<ILink> link = m_pLink;
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                hold.unlock();
                quiet = link->WaitReadable(PollTimeout(left)) == 0;
                hold.lock();
                m_bLeader = false;
                expired = std::chrono::steady_clock::now() >= deadline;
                m_cvRead.notify_all();  // another reader may lead now
            } else {
                expired = m_cvRead.wait_until(hold, deadline) == std::cv_status::timeout;
                quiet = false;
            }
        }
        --m_nReaders;
    }
    if (resumed) WakePump();
    *size = static_cast<int>(got);
    return result;
}

// ---- writing ---------------------------------------------------------------

void CSession::SendFrameLocked(uint8_t type, uint8_t channel, const uint8_t* payload, uint32_t size) {
    uint8_t header[kFrameHeaderSize];
    WriteFrameHeader(header, type, channel, size);
    const size_t total = kFrameHeaderSize + size;
    size_t sent = 0;
    // What waits goes first; often it can go now, and this frame after it.
    if (!m_queue.Empty()) FlushLocked();
    if (m_queue.Empty() && m_pLink) {
        const long n = m_pLink->Send(header, kFrameHeaderSize, payload, size);
        if (n < 0) {
            End(PPPP_ERR_CLOSED_BY_PEER);
            m_pLink->Wake();
            return;
        }
        sent = static_cast<size_t>(n);
        m_qwLastSendMs.store(NowMs());
        if (sent == total) return;
    }
    // Queue what the link did not take: the rest of the header, then of the payload.
    const bool wasEmpty = m_queue.Empty();
    if (sent < kFrameHeaderSize) m_queue.Append(header + sent, kFrameHeaderSize - sent);
    const size_t payloadSent = sent > kFrameHeaderSize ? sent - kFrameHeaderSize : 0;
    m_queue.Append(payload + payloadSent, size - payloadSent);
    m_dwQueued.store(static_cast<uint32_t>(m_queue.Size()));
    // The pump waits for the link to drain only while something is queued.
    if (wasEmpty && m_pLink) m_pLink->Wake();
}

int CSession::Write(uint8_t channel, const char* buffer, int size) {
    if (channel >= kChannelCount || size < 0 || static_cast<uint32_t>(size) > kMaxFramePayload ||
        (!buffer && size > 0))
        return PPPP_ERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> hold(m_sendLock);
    if (const int state = State()) return state;
    if (size == 0) return 0;
    const uint32_t frame = static_cast<uint32_t>(kFrameHeaderSize) + static_cast<uint32_t>(size);
    if (!m_queue.Empty()) FlushLocked();
    // An empty queue always takes one frame, so that no write is too big to ever pass.
    if (m_bCountAcks) {
        // The link takes nearly everything: the backlog is what the peer has not acknowledged.
        const uint64_t unacknowledged = Unacknowledged();
        if (unacknowledged > 0 && unacknowledged + static_cast<uint64_t>(size) > m_params.sendQueueBytes)
            return PPPP_ERR_BUFFER_FULL;
    } else {
        const uint32_t queued = m_dwQueued.load();
        if (queued > 0 && queued + frame > m_params.sendQueueBytes) return PPPP_ERR_BUFFER_FULL;
    }
    // Counted before it leaves, so that an Ack for it never finds it missing.
    m_qwBytesSent.fetch_add(static_cast<uint64_t>(size));
    SendFrameLocked(FrameData, channel, reinterpret_cast<const uint8_t*>(buffer), static_cast<uint32_t>(size));
    if (const int end = m_nEnd.load()) {
        m_qwBytesSent.fetch_sub(static_cast<uint64_t>(size));
        return end;
    }
    return size;
}

void CSession::FlushLocked() {
    bool progress = false;
    while (!m_queue.Empty() && m_pLink) {
        const uint8_t *a, *b;
        size_t an, bn;
        m_queue.Peek(&a, &an, &b, &bn);
        const long n = m_pLink->Send(a, an, b, bn);
        if (n < 0) {
            End(PPPP_ERR_CLOSED_BY_PEER);
            break;
        }
        if (n == 0) break;
        progress = true;
        m_queue.Drop(static_cast<size_t>(n));
    }
    if (progress) {
        // A burst is over: a large ring is given back rather than kept for the session's life.
        if (m_queue.Empty() && m_queue.Capacity() > kKeptQueueCapacity) m_queue.Clear();
        m_dwQueued.store(static_cast<uint32_t>(m_queue.Size()));
        m_qwLastSendMs.store(NowMs());
        if (m_nSentWaiters) m_cvSent.notify_all();
        if (m_bWriteLeader) m_pLink->WakeWriter();
    }
}

uint64_t CSession::Unacknowledged() const {
    // The acknowledged count first: the written count only grows past it.
    const uint64_t acked = m_qwPeerAcked.load();
    const uint64_t sent = m_qwBytesSent.load();
    return sent > acked ? sent - acked : 0;
}

void CSession::WakeAckWaiters() {
    if (!m_bCountAcks) return;
    // Taken and let go, so that a waiter between its check and its wait is not missed.
    { std::lock_guard<std::mutex> hold(m_ackLock); }
    m_cvAcked.notify_all();
}

int CSession::WaitAcknowledged(uint64_t most, uint32_t timeoutMs) {
    // The pump sends what is queued; only the peer's Acks lower the count.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> hold(m_ackLock);
    m_cvAcked.wait_until(hold, deadline, [&] { return State() != PPPP_OK || Unacknowledged() <= most; });
    if (const int state = State()) return state;
    return Unacknowledged() <= most ? PPPP_OK : PPPP_ERR_TIMEOUT;
}

int CSession::WaitBuffer(uint32_t maxQueued, uint32_t timeoutMs) {
    if (m_bCountAcks) return WaitAcknowledged(maxQueued, timeoutMs);
    std::unique_lock<std::mutex> hold(m_sendLock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool expired = false;
    for (;;) {
        if (const int state = State()) return state;
        if (!m_queue.Empty()) FlushLocked();
        if (m_dwQueued.load() <= maxQueued) return PPPP_OK;
        if (expired) return PPPP_ERR_TIMEOUT;
        if (!m_bWriteLeader && m_pLink) {
            // Lead: wait for the link to drain on this thread and send from here.
            m_bWriteLeader = true;
            const std::shared_ptr<ILink> link = m_pLink;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            hold.unlock();
            link->WaitWritable(PollTimeout(left));
            hold.lock();
            m_bWriteLeader = false;
            expired = std::chrono::steady_clock::now() >= deadline;
            m_cvSent.notify_all();
            // The pump left the queue to this thread; it is the pump's again.
            if (!m_queue.Empty() && m_pLink) m_pLink->Wake();
        } else {
            ++m_nSentWaiters;
            expired = m_cvSent.wait_until(hold, deadline) == std::cv_status::timeout;
            --m_nSentWaiters;
        }
    }
}

// ---- state -----------------------------------------------------------------

int CSession::CheckBuffer(uint8_t channel, unsigned int* writePending, unsigned int* readPending) {
    if (channel >= kChannelCount) return PPPP_ERR_BAD_ARGUMENT;
    if (const int state = State()) return state;
    if (writePending && m_bCountAcks) {
        *writePending = static_cast<unsigned int>(std::min<uint64_t>(Unacknowledged(), UINT_MAX));
    } else if (writePending) {
        std::lock_guard<std::mutex> hold(m_sendLock);
        // With nothing queued here the link may answer with its own bound while
        // that is small: far below a slow viewer's mark, where only the exact
        // count could tip a caller's decision, the kernel is asked.
        const uint32_t queued = m_dwQueued.load();
        *writePending = queued + (m_pLink ? m_pLink->UnsentBytes(queued ? 0 : kUnsentEstimateBytes) : 0);
    }
    if (readPending) {
        std::lock_guard<std::mutex> hold(m_recvLock);
        *readPending = static_cast<unsigned int>(m_aChannels[channel].Size());
    }
    return State();
}

int CSession::Binding(uint8_t* out, int size) const {
    if (!m_linkInfo.bound || m_params.peerVersion < kBoundVersion) return 0;
    if (size < static_cast<int>(sizeof m_linkInfo.binding)) return PPPP_ERR_BAD_ARGUMENT;
    std::memcpy(out, m_linkInfo.binding, sizeof m_linkInfo.binding);
    return static_cast<int>(sizeof m_linkInfo.binding);
}

int CSession::Check(uint8_t* r) {
    std::memset(r, 0, PPPP_SESSION_RECORD_SIZE);
    const int state = State();
    const uint64_t now = NowMs();
    Put32(r + PPPP_REC_HANDLE, static_cast<uint32_t>(m_params.handle));
    r[PPPP_REC_SIDE] = m_params.side;
    r[PPPP_REC_STATE] = state ? 1 : 0;
    r[PPPP_REC_CHANNELS] = kChannelCount;
    r[PPPP_REC_PEER_VERSION] = m_params.peerVersion;
    std::memcpy(r + PPPP_REC_REMOTE_ADDR, m_linkInfo.remoteAddr, 4);
    Put16(r + PPPP_REC_REMOTE_PORT, m_linkInfo.remotePort);
    std::memcpy(r + PPPP_REC_LOCAL_ADDR, m_linkInfo.localAddr, 4);
    Put16(r + PPPP_REC_LOCAL_PORT, m_linkInfo.localPort);
    std::memcpy(r + PPPP_REC_PEER_ACCOUNT, m_linkInfo.account, sizeof m_linkInfo.account);
    std::memcpy(r + PPPP_REC_DID, m_params.did.data(), std::min<size_t>(m_params.did.size(), kMaxDidLength));
    Put32(r + PPPP_REC_AGE_MS, static_cast<uint32_t>(now - m_qwOpenedMs));
    Put32(r + PPPP_REC_IDLE_MS, static_cast<uint32_t>(now - std::min(now, m_qwLastReceiveMs.load())));
    Put64(r + PPPP_REC_BYTES_SENT, m_qwBytesSent.load());
    Put64(r + PPPP_REC_BYTES_RECEIVED, m_qwBytesReceived.load());
    unsigned int pending = 0;
    if (!state) CheckBuffer(0, &pending, nullptr);
    Put32(r + PPPP_REC_WRITE_PENDING, pending);
    Put32(r + PPPP_REC_KEEPALIVE_MS, m_dwPingMs);
    r[PPPP_REC_PATH] = m_linkInfo.path;
    r[PPPP_SESSION_ROUTE_OFFSET] = m_linkInfo.route;
    r[PPPP_REC_END_REASON] = static_cast<uint8_t>(-state);
    return state;
}

void CSession::Close(bool linger, bool wakePump) {
    if (!linger) m_bNoLinger.store(true);
    if (m_bClosed.exchange(true)) {
        if (wakePump) WakePump();
        return;
    }
    std::lock_guard<std::mutex> holdSend(m_sendLock);
    {
        std::lock_guard<std::mutex> hold(m_recvLock);
        for (auto& channel : m_aChannels) channel.Clear();
        m_cvRead.notify_all();
        if (m_pLink) m_pLink->WakeReader();
    }
    m_cvSent.notify_all();
    if (m_pLink) {
        m_pLink->WakeWriter();
        if (wakePump) m_pLink->Wake();
    }
    WakeAckWaiters();
}

// ---- the pump --------------------------------------------------------------

void CSession::ParseLocked(const uint8_t* data, size_t size, int channel, uint8_t* direct, size_t room,
                           size_t* directDelivered) {
    bool delivered = false;
    bool counted = false;  // Data payload arrived
    size_t at = 0;
    while (at < size && !m_nEnd.load()) {
        if (m_nHeaderGot < kFrameHeaderSize) {
            const size_t take = std::min(kFrameHeaderSize - m_nHeaderGot, size - at);
            std::memcpy(m_abyHeader + m_nHeaderGot, data + at, take);
            m_nHeaderGot += take;
            at += take;
            if (m_nHeaderGot < kFrameHeaderSize) break;
            m_frame = ReadFrameHeader(m_abyHeader);
            // An Ack from a peer that never said it knows them breaks the protocol as well.
            if (!IsValidSessionFrame(m_frame) || m_frame.type == FrameGoodbye ||
                (m_frame.type == FrameAck && m_params.peerVersion < kAckVersion)) {
                if (m_frame.type != FrameGoodbye)
                    ZTRACE("session %d: bad frame, type %u channel %u length %u\n", m_params.handle, m_frame.type,
                           m_frame.channel, m_frame.length);
                EndLocked(PPPP_ERR_CLOSED_BY_PEER);
                return;
            }
            m_dwFrameLeft = m_frame.length;
            m_dwLastFrameLength = m_frame.length;
        } else if (m_frame.type == FrameAck) {
            const size_t take = std::min<size_t>(m_dwFrameLeft, size - at);
            std::memcpy(m_abyAck + (kAckPayloadSize - m_dwFrameLeft), data + at, take);
            m_dwFrameLeft -= static_cast<uint32_t>(take);
            at += take;
            if (m_dwFrameLeft == 0) TakeAckLocked(Get64(m_abyAck));
        } else {
            size_t take = std::min<size_t>(m_dwFrameLeft, size - at);
            auto& queue = m_aChannels[m_frame.channel];
            if (m_frame.channel == channel && queue.Empty() && *directDelivered < room) {
                take = std::min(take, room - *directDelivered);
                std::memcpy(direct + *directDelivered, data + at, take);
                *directDelivered += take;
            } else {
                queue.Append(data + at, take);
                delivered = true;
            }
            m_qwBytesReceived.fetch_add(take);
            counted = true;
            m_dwFrameLeft -= static_cast<uint32_t>(take);
            at += take;
        }
        if (m_nHeaderGot == kFrameHeaderSize && m_dwFrameLeft == 0) m_nHeaderGot = 0;
    }
    if (AnyChannelFull()) m_bPaused = true;
    if (counted) NoteReceivedLocked(channel < 0);  // only the pump receives for no channel
    if (delivered) {
        m_cvRead.notify_all();
        // The leading reader sleeps on the link, not on the condition: the
        // bytes it waits for may be among these.
        if (m_bLeader && m_pLink) m_pLink->WakeReader();
    }
}

void CSession::NoteReceivedLocked(bool onPump) {
    if (!m_bCountAcks || m_bAckNow || m_nEnd.load()) return;
    const uint64_t unacknowledged = m_qwBytesReceived.load() - m_qwAckedHere;
    if (unacknowledged == 0) return;
    bool wake = false;
    if (!m_qwAckDue) {
        m_qwAckDue = std::max<uint64_t>(NowMs() + m_params.ackDelayMs, 1);
        wake = true;  // the pump's wait must end by then
    }
    if (unacknowledged >= kAckEveryBytes) {
        m_bAckNow = true;
        wake = true;
    }
    if (wake && !onPump && m_pLink) m_pLink->Wake();
}

void CSession::TakeAckLocked(uint64_t count) {
    if (count < m_qwPeerAcked.load() || count > m_qwBytesSent.load()) {
        ZTRACE("session %d: the peer acknowledged %llu bytes (before %llu, of %llu written)\n", m_params.handle,
               static_cast<unsigned long long>(count), static_cast<unsigned long long>(m_qwPeerAcked.load()),
               static_cast<unsigned long long>(m_qwBytesSent.load()));
        EndLocked(PPPP_ERR_CLOSED_BY_PEER);
        return;
    }
    m_qwPeerAcked.store(count);
    WakeAckWaiters();
}

void CSession::SendAckIfDue() {
    std::lock_guard<std::mutex> holdSend(m_sendLock);
    uint64_t count;
    {
        std::lock_guard<std::mutex> hold(m_recvLock);
        if (!m_qwAckDue || m_nEnd.load() || (!m_bAckNow && NowMs() < m_qwAckDue)) return;
        count = m_qwBytesReceived.load();
        m_qwAckedHere = count;
        m_qwAckDue = 0;
        m_bAckNow = false;
    }
    uint8_t payload[kAckPayloadSize];
    Put64(payload, count);
    SendFrameLocked(FrameAck, 0, payload, kAckPayloadSize);
}

void CSession::Pump() {
    uint64_t lingerDeadline = 0;
    bool wasPaused = false;
    bool finished = false;  // closing: goodbye sent, waiting for the peer's end
    for (;;) {
        uint64_t now = NowMs();
        const bool closing = m_bClosed.load();
        bool wantWrite, writeLeader;
        {
            std::lock_guard<std::mutex> hold(m_sendLock);
            if (closing) {
                if (!lingerDeadline) lingerDeadline = now + std::min(m_params.lingerMs, m_params.deadPeerMs);
                if (m_bNoLinger.load() || now >= lingerDeadline || m_nEnd.load()) break;
                FlushLocked();
                if (m_queue.Empty() && !m_bGoodbyeQueued) {
                    SendFrameLocked(FrameGoodbye, 0, nullptr, 0);
                    m_bGoodbyeQueued = true;
                }
                if (m_queue.Empty() && !finished) {
                    m_pLink->FinishSending();
                    finished = true;
                }
            }
            if (m_nEnd.load()) break;
            writeLeader = m_bWriteLeader;
            wantWrite = !m_queue.Empty() && !writeLeader;
        }
        if (finished) {
            // Wait for the peer to end too, throwing away what it still sends:
            // closing a socket with unread bytes would reset the connection,
            // and a reset may cost the peer the last bytes we sent.
            if (m_pLink->Wait(true, false, static_cast<int>(lingerDeadline > now ? lingerDeadline - now : 0)) &
                ILink::Readable) {
                std::lock_guard<std::mutex> hold(m_recvLock);
                if (m_pLink->Receive(m_pStaging.get(), kStagingSize) < 0) break;
            }
            continue;
        }
        if (m_bCountAcks && !closing) SendAckIfDue();
        bool paused, readers;
        uint64_t ackDue;
        {
            std::lock_guard<std::mutex> hold(m_recvLock);
            paused = m_bPaused;
            readers = m_nReaders > 0;
            ackDue = m_bAckNow ? now : m_qwAckDue;
        }
        // Silence while nobody received says nothing about the peer.
        if (wasPaused && !paused) m_qwLastReceiveMs.store(now);
        wasPaused = paused;
        const bool watching = !closing && !paused;
        const bool wantRead = watching && !readers;

        uint64_t wake = closing ? lingerDeadline : m_qwLastSendMs.load() + m_dwPingMs;
        if (watching) wake = std::min(wake, m_qwLastReceiveMs.load() + m_params.deadPeerMs);
        // A calling thread watches the link now; look again later, in case it stops.
        if (readers) wake = std::min(wake, now + m_qwReaderLookMs);
        if (ackDue && !closing) wake = std::min(wake, ackDue);
        const int timeout = wake > now ? static_cast<int>(std::min<uint64_t>(wake - now, 60000)) : 0;

        const int events = m_pLink->Wait(wantRead, wantWrite, timeout);
        if ((events & ILink::Readable) && wantRead) {
            std::lock_guard<std::mutex> hold(m_recvLock);
            // An Ack owed at once ends the rounds, so that it goes out now.
            for (int round = 0; round < kReceiveRounds && !m_bPaused && !m_nEnd.load() && !m_bAckNow; ++round) {
                size_t none = 0;
                const long n = ReceiveLocked(-1, nullptr, 0, &none);
                if (n < 0) EndLocked(PPPP_ERR_CLOSED_BY_PEER);
                if (n <= 0) break;
            }
        }
        if (events & (ILink::Writable | ILink::Readable)) {
            std::lock_guard<std::mutex> hold(m_sendLock);
            FlushLocked();
        }

        now = NowMs();
        // Blind while readers watched: when they have all left, what arrived
        // since may not be received yet; the next round looks before judging.
        bool judged = true;
        if (watching && !wantRead) {
            std::lock_guard<std::mutex> hold(m_recvLock);
            judged = m_nReaders > 0;
        }
        if (watching && judged && !m_nEnd.load() && now >= m_qwLastReceiveMs.load() + m_params.deadPeerMs) {
            ZTRACE("session %d: nothing from the peer for %u ms\n", m_params.handle, m_params.deadPeerMs);
            End(PPPP_ERR_CLOSED_TIMEOUT);
        }
        if (!closing && now >= m_qwLastSendMs.load() + m_dwPingMs) {
            std::lock_guard<std::mutex> hold(m_sendLock);
            // A queue that does not drain is already more than a keepalive could say.
            if (m_queue.Empty() && !m_nEnd.load()) SendFrameLocked(FrameKeepalive, 0, nullptr, 0);
            m_qwLastSendMs.store(now);
        }
    }
    if (!m_nEnd.load() && !m_bClosed.load()) End(PPPP_ERR_CLOSED_BY_PEER);
    // Release the link (its socket) now; the session itself lives on for its handle.
    {
        std::lock_guard<std::mutex> holdSend(m_sendLock);
        m_queue.Clear();
        m_dwQueued.store(0);
        m_cvSent.notify_all();
        if (m_pLink) m_pLink->WakeWriter();
        std::lock_guard<std::mutex> hold(m_recvLock);
        if (m_pLink) m_pLink->WakeReader();
        m_pLink.reset();
        m_cvRead.notify_all();
    }
    m_bPumpDone.store(true);
}

}  // namespace pppp
