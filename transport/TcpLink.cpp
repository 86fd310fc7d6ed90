#include "transport/TcpLink.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

namespace pppp {

std::shared_ptr<CTcpLink> CTcpLink::Create(CFd socket) {
    CFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), readerWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        writerWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake.Valid() || !readerWake.Valid() || !writerWake.Valid() || !socket.Valid()) return nullptr;
    return std::shared_ptr<CTcpLink>(
        new CTcpLink(std::move(socket), std::move(wake), std::move(readerWake), std::move(writerWake)));
}

namespace {

void Drain(int eventFd) {
    uint64_t count;
    while (::read(eventFd, &count, sizeof count) > 0) {
    }
}

void Signal(int eventFd) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(eventFd, &one, sizeof one);
}

}  // namespace

int CTcpLink::Wait(bool wantRead, bool wantWrite, int timeoutMs) {
    pollfd fds[2] = {};
    // Neither wanted (a full channel, nothing to send): the socket is not
    // watched at all, or a hung-up connection would wake the pump endlessly.
    fds[0].fd = (wantRead || wantWrite) ? m_socket.Get() : -1;
    fds[0].events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    fds[1].fd = m_wake.Get();
    fds[1].events = POLLIN;
    const int n = ::poll(fds, 2, timeoutMs);
    if (n <= 0) return 0;
    int result = 0;
    if (fds[1].revents & POLLIN) {
        Drain(m_wake.Get());
        result |= Woken;
    }
    const short r = fds[0].revents;
    if (r & (POLLIN | POLLHUP | POLLERR)) result |= Readable;
    if (r & (POLLOUT | POLLERR)) result |= Writable;
    return result;
}

long CTcpLink::Receive(uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(m_socket.Get(), buffer, size, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n == 0) return LinkEnded;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return LinkEnded;
    }
}

long CTcpLink::Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) {
    iovec iov[2];
    int count = 0;
    if (firstSize) iov[count++] = {const_cast<uint8_t*>(first), firstSize};
    if (secondSize) iov[count++] = {const_cast<uint8_t*>(second), secondSize};
    if (count == 0) return 0;
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(m_socket.Get(), &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return 0;
        return LinkEnded;
    }
}

uint32_t CTcpLink::UnsentBytes() {
    int unsent = 0;
#ifdef SIOCOUTQNSD
    if (::ioctl(m_socket.Get(), SIOCOUTQNSD, &unsent) == 0 && unsent >= 0) return static_cast<uint32_t>(unsent);
#endif
    // Older kernels: bytes not yet acknowledged, a little more than unsent.
    if (::ioctl(m_socket.Get(), SIOCOUTQ, &unsent) == 0 && unsent >= 0) return static_cast<uint32_t>(unsent);
    return 0;
}

void CTcpLink::Wake() { Signal(m_wake.Get()); }

int CTcpLink::WaitCaller(short events, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{m_socket.Get(), events, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0) return 0;
    int result = 0;
    if (fds[1].revents & POLLIN) {
        Drain(wakeFd);
        result |= Woken;
    }
    const short r = fds[0].revents;
    if (r & (POLLIN | POLLHUP | POLLERR)) result |= Readable;
    if (r & (POLLOUT | POLLHUP | POLLERR)) result |= Writable;
    return result;
}

int CTcpLink::WaitReadable(int timeoutMs) { return WaitCaller(POLLIN, m_readerWake.Get(), timeoutMs); }

int CTcpLink::WaitWritable(int timeoutMs) { return WaitCaller(POLLOUT, m_writerWake.Get(), timeoutMs); }

void CTcpLink::WakeWriter() { Signal(m_writerWake.Get()); }

void CTcpLink::WakeReader() { Signal(m_readerWake.Get()); }

void CTcpLink::FinishSending() { ::shutdown(m_socket.Get(), SHUT_WR); }

void CTcpLink::Describe(LinkInfo* info) {
    LinkInfo out;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(m_socket.Get(), reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET) {
        std::memcpy(out.remoteAddr, &a.sin_addr, 4);
        out.remotePort = ntohs(a.sin_port);
    }
    len = sizeof a;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET) {
        std::memcpy(out.localAddr, &a.sin_addr, 4);
        out.localPort = ntohs(a.sin_port);
    }
    *info = out;
}

}  // namespace pppp
