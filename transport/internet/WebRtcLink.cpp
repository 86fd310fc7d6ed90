#include "transport/internet/WebRtcLink.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/Trace.h"
#include "transport/PPPP_API.h"
#include "transport/Socket.h"

namespace pppp {

CWebRtcLink::~CWebRtcLink() { Shut(); }

void CWebRtcLink::SetPeer(std::unique_ptr<IPeerConnection> peer) { m_pPeer = std::move(peer); }

void CWebRtcLink::Shut() {
    if (m_pPeer) m_pPeer->Close();
    std::lock_guard<std::mutex> hold(m_lock);
    m_bEnded = true;
    m_cv.notify_all();
}

bool CWebRtcLink::IsOpen() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bOpen && !m_bEnded;
}

bool CWebRtcLink::HasEnded() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bEnded;
}

bool CWebRtcLink::WaitOpen(uint64_t deadlineMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        if (m_bEnded) return false;
        if (m_bOpen) return true;
        const uint64_t now = NowMs();
        if (now >= deadlineMs) return false;
        m_cv.wait_for(hold, std::chrono::milliseconds(deadlineMs - now));
    }
}

void CWebRtcLink::OnChannelOpen() {
    // The selected pair is known once the channel is open; it is read here,
    // away from the session's locks.
    LinkInfo info;
    if (m_pPeer) m_pPeer->Describe(&info);
    std::lock_guard<std::mutex> hold(m_lock);
    m_info = info;
    m_bOpen = true;
    m_cv.notify_all();
}

void CWebRtcLink::OnChannelMessage(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bEnded) return;
    if (m_received.Size() + size > kMaxUnread) {
        ZTRACE("internet route: the peer sent far more than was acknowledged; link ended\n");
        m_bEnded = true;
    } else {
        m_received.Append(data, size);
    }
    m_cv.notify_all();
}

void CWebRtcLink::OnChannelEnded() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bEnded = true;
    m_cv.notify_all();
}

void CWebRtcLink::OnBufferedAmountLow() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_cv.notify_all();
}

bool CWebRtcLink::CanSend() { return !m_pPeer || m_pPeer->BufferedAmount() <= kSendCap; }

int CWebRtcLink::WaitFor(bool wantRead, bool wantWrite, bool* woken, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        // The channel's amount is read without our lock (it takes the channel's).
        const bool canSend = wantWrite && CanSend();
        std::unique_lock<std::mutex> hold(m_lock);
        int result = 0;
        if (*woken) {
            *woken = false;
            result |= Woken;
        }
        if (wantRead && (!m_received.Empty() || m_bEnded)) result |= Readable;
        if (wantWrite && (canSend || m_bEnded)) result |= Writable;
        if (result) return result;
        if (timeoutMs == 0) return 0;
        // The buffered amount falling is signalled; a short wait covers a signal missed
        // between reading the amount and waiting here.
        const auto step = std::chrono::steady_clock::now() + std::chrono::milliseconds(wantWrite ? 50 : 1000);
        const auto until = timeoutMs < 0 ? step : std::min(step, deadline);
        m_cv.wait_until(hold, until);
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            int late = 0;
            if (*woken) {
                *woken = false;
                late |= Woken;
            }
            if (wantRead && (!m_received.Empty() || m_bEnded)) late |= Readable;
            if (wantWrite && m_bEnded) late |= Writable;
            return late;
        }
    }
}

int CWebRtcLink::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
    return WaitFor(wantRead, wantWrite, &m_bWakePump, timeoutMs);
}

int CWebRtcLink::WaitReadable(int timeoutMs) { return WaitFor(true, false, &m_bWakeReader, timeoutMs); }

int CWebRtcLink::WaitWritable(int timeoutMs) { return WaitFor(false, true, &m_bWakeWriter, timeoutMs); }

void CWebRtcLink::Wake() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bWakePump = true;
    m_cv.notify_all();
}

void CWebRtcLink::WakeReader() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bWakeReader = true;
    m_cv.notify_all();
}

void CWebRtcLink::WakeWriter() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bWakeWriter = true;
    m_cv.notify_all();
}

long CWebRtcLink::Receive(uint8_t* buffer, size_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_received.Empty()) return static_cast<long>(m_received.Take(buffer, size));
    return m_bEnded ? LinkEnded : 0;
}

long CWebRtcLink::Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bEnded || !m_bOpen) return m_bEnded ? LinkEnded : 0;
    }
    if (!m_pPeer) return LinkEnded;
    if (!CanSend()) return 0;
    // Messages of at most kMaxMessage bytes, the two pieces joined where they meet.
    uint8_t message[kMaxMessage];
    size_t fill = 0;
    long taken = 0;
    const uint8_t* pieces[2] = {first, second};
    const size_t sizes[2] = {firstSize, secondSize};
    for (int i = 0; i < 2; ++i) {
        size_t at = 0;
        while (at < sizes[i]) {
            const size_t n = std::min(kMaxMessage - fill, sizes[i] - at);
            std::memcpy(message + fill, pieces[i] + at, n);
            fill += n;
            at += n;
            if (fill == kMaxMessage) {
                if (!m_pPeer->Send(message, fill)) return taken ? taken : LinkEnded;
                taken += static_cast<long>(fill);
                fill = 0;
            }
        }
    }
    if (fill) {
        if (!m_pPeer->Send(message, fill)) return taken ? taken : LinkEnded;
        taken += static_cast<long>(fill);
    }
    return taken;
}

uint32_t CWebRtcLink::UnsentBytes(uint32_t) {
    const uint64_t amount = m_pPeer ? m_pPeer->BufferedAmount() : 0;
    return amount > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(amount);
}

void CWebRtcLink::FinishSending() {
    // A data channel has no half-close; the Goodbye frame has said it all.
}

void CWebRtcLink::Describe(LinkInfo* info) {
    // As read when the channel opened (the binding with it): never asked of the peer here.
    std::lock_guard<std::mutex> hold(m_lock);
    *info = m_info;
    info->path = PPPP_PATH_INTERNET;
    std::memcpy(info->account, m_account, sizeof m_account);
}

void CWebRtcLink::SetPeerAccount(const std::string& account) {
    std::lock_guard<std::mutex> hold(m_lock);
    AccountKey(account, m_account);
}

void AccountKey(const std::string& account, uint8_t key[3]) {
    uint32_t h = 2166136261u;
    for (unsigned char c : account) h = (h ^ c) * 16777619u;
    h = (h ^ (h >> 24)) & 0xFFFFFFu;
    if (h == 0) h = 1;
    key[0] = static_cast<uint8_t>(h >> 16);
    key[1] = static_cast<uint8_t>(h >> 8);
    key[2] = static_cast<uint8_t>(h);
}

}  // namespace pppp
