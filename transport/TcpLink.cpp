#include "transport/TcpLink.h"

#include <cstring>

namespace pppp {

std::shared_ptr<CTcpLink> CTcpLink::Create(CFd socket) {
    if (!socket.Valid()) return nullptr;
    std::shared_ptr<CTcpLink> link(new CTcpLink(std::move(socket)));
    if (!link->m_wake.Open() || !link->m_readerWake.Open() || !link->m_writerWake.Open()) return nullptr;
    return link;
}

int CTcpLink::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
    pollfd fds[2] = {};
    // Neither wanted (a full channel, nothing to send): the socket is not
    // watched at all, or a hung-up connection would wake the pump endlessly.
    fds[0].fd = (wantRead || wantWrite) ? m_socket.Get() : kNoSocket;
    fds[0].events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    fds[1].fd = m_wake.Handle();
    fds[1].events = POLLIN;
    const int n = PollSockets(fds, 2, timeoutMs);
    if (n <= 0) return 0;
    int result = 0;
    if (fds[1].revents & POLLIN) {
        m_wake.Drain();
        result |= Woken;
    }
    const short r = fds[0].revents;
    if (r & (POLLIN | POLLHUP | POLLERR)) result |= Readable;
    if (r & (POLLOUT | POLLERR)) result |= Writable;
    return result;
}

long CTcpLink::Receive(uint8_t* buffer, size_t size) {
    const long n = ReceiveSome(m_socket.Get(), buffer, size);
    if (n > 0) return n;
    if (n == kWouldBlock) return 0;
    return LinkEnded;
}

long CTcpLink::Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) {
    if (!firstSize && !secondSize) return 0;
    const long n = SendSome(m_socket.Get(), first, firstSize, second, secondSize);
    if (n > 0) m_qwTaken.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    if (n >= 0) return n;
    return n == kWouldBlock ? 0 : LinkEnded;
}

uint32_t CTcpLink::UnsentBytes(uint32_t estimateUpTo) {
    // The system's count can only have grown by what the socket took since it
    // was last asked: while that sum is small, it is the answer, and a session
    // writing a frame at a time to a viewer that keeps up asks seldom. With
    // nothing taken since, asking is what lets a falling count show.
    const uint64_t taken = m_qwTaken.load(std::memory_order_relaxed);
    const uint64_t since = taken - m_qwTakenAsked;
    if (since > 0 && m_dwUnsentAsked + since <= estimateUpTo) return static_cast<uint32_t>(m_dwUnsentAsked + since);
    m_dwUnsentAsked = pppp::UnsentBytes(m_socket.Get(), taken);
    m_qwTakenAsked = taken;
    return m_dwUnsentAsked;
}

void CTcpLink::Wake() { m_wake.Signal(); }

int CTcpLink::WaitCaller(short events, CWakeSignal& wake, int timeoutMs) {
    pollfd fds[2] = {{m_socket.Get(), events, 0}, {wake.Handle(), POLLIN, 0}};
    if (PollSockets(fds, 2, timeoutMs) <= 0) return 0;
    int result = 0;
    if (fds[1].revents & POLLIN) {
        wake.Drain();
        result |= Woken;
    }
    const short r = fds[0].revents;
    if (r & (POLLIN | POLLHUP | POLLERR)) result |= Readable;
    if (r & (POLLOUT | POLLHUP | POLLERR)) result |= Writable;
    return result;
}

int CTcpLink::WaitReadable(int timeoutMs) { return WaitCaller(POLLIN, m_readerWake, timeoutMs); }

int CTcpLink::WaitWritable(int timeoutMs) { return WaitCaller(POLLOUT, m_writerWake, timeoutMs); }

void CTcpLink::WakeWriter() { m_writerWake.Signal(); }

void CTcpLink::WakeReader() { m_readerWake.Signal(); }

void CTcpLink::FinishSending() { ShutdownSending(m_socket.Get()); }

void CTcpLink::Describe(LinkInfo* info) {
    LinkInfo out;
    sockaddr_in a{};
    if (PeerAddress(m_socket.Get(), &a)) {
        std::memcpy(out.remoteAddr, &a.sin_addr, 4);
        out.remotePort = ntohs(a.sin_port);
    }
    a = {};
    if (LocalAddress(m_socket.Get(), &a)) {
        std::memcpy(out.localAddr, &a.sin_addr, 4);
        out.localPort = ntohs(a.sin_port);
    }
    *info = out;
}

}  // namespace pppp
