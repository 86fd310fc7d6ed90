// Sockets on Linux: file descriptors, poll(2), an eventfd to wake a poll,
// and the interface list of getifaddrs(3).

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <cerrno>
#include <cstring>

#include "transport/Socket.h"

namespace pppp {

bool StartSockets() { return true; }
void StopSockets() {}

int LastSocketError() { return errno; }

void CFd::Reset(NativeSocket fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

bool SetNonBlocking(NativeSocket fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void TuneSessionSocket(NativeSocket fd, uint32_t sendBufferBytes, uint32_t receiveBufferBytes) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int snd = static_cast<int>(sendBufferBytes), rcv = static_cast<int>(receiveBufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    if (rcv) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
}

CFd OpenTcpListener(bool loopbackOnly, uint16_t port, uint16_t* boundPort) {
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return CFd();
    int one = 1;
    // Lets a restarted device take its fixed port again while old connections linger.
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return CFd();
    if (::listen(fd.Get(), 64) != 0) return CFd();
    socklen_t len = sizeof a;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return CFd();
    if (boundPort) *boundPort = ntohs(a.sin_port);
    return fd;
}

CFd OpenUdpSocket(uint16_t port, uint32_t address) {
    CFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return CFd();
    int one = 1;
    // Several devices on one host share the discovery port; broadcast queries
    // reach every socket bound to it.
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(address);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return CFd();
    return fd;
}

void BroadcastTargets(bool loopbackOnly, uint16_t port, sockaddr_in* out, int* count, int max) {
    int n = 0;
    auto add = [&](in_addr_t addr) {
        for (int i = 0; i < n; ++i)
            if (out[i].sin_addr.s_addr == addr) return;
        if (n >= max) return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = addr;
        out[n++] = a;
    };
    // Every socket of this host bound to the port hears the loopback broadcast.
    add(htonl(kLoopbackBroadcast));
    if (!loopbackOnly) {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs* i = list; i; i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
                if (!(i->ifa_flags & IFF_UP) || !(i->ifa_flags & IFF_BROADCAST) || (i->ifa_flags & IFF_LOOPBACK))
                    continue;
                if (!i->ifa_broadaddr) continue;
                add(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
            }
            ::freeifaddrs(list);
        }
    }
    *count = n;
}

bool IsOwnAddress(const sockaddr_in& address) {
    if (IsLoopback(address)) return true;
    bool own = false;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    for (ifaddrs* i = list; i && !own; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            own = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address.sin_addr.s_addr;
    }
    ::freeifaddrs(list);
    return own;
}

bool CWakeSignal::Open() {
    m_fd.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    return m_fd.Valid();
}

void CWakeSignal::Signal() {
    const uint64_t one = 1;
    if (m_fd.Valid()) [[maybe_unused]] const ssize_t n = ::write(m_fd.Get(), &one, sizeof one);
}

void CWakeSignal::Drain() {
    uint64_t count;
    while (m_fd.Valid() && ::read(m_fd.Get(), &count, sizeof count) > 0) {
    }
}

int PollSockets(pollfd* fds, size_t count, int timeoutMs) {
    const int n = ::poll(fds, count, timeoutMs);
    return (n < 0 && errno == EINTR) ? 0 : n;
}

long ReceiveSome(NativeSocket fd, void* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kWouldBlock : kBroken;
    }
}

long SendSome(NativeSocket fd, const void* first, size_t firstSize, const void* second, size_t secondSize) {
    iovec iov[2];
    int count = 0;
    if (firstSize) iov[count++] = {const_cast<void*>(first), firstSize};
    if (secondSize) iov[count++] = {const_cast<void*>(second), secondSize};
    if (count == 0) return 0;
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) return n;
        if (n == 0) return kWouldBlock;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) ? kWouldBlock : kBroken;
    }
}

long ReceiveDatagram(NativeSocket fd, void* buffer, size_t size, sockaddr_in* from) {
    socklen_t fromLen = sizeof *from;
    return ::recvfrom(fd, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &fromLen);
}

void SendDatagram(NativeSocket fd, const void* data, size_t size, const sockaddr_in& to) {
    ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

CFd OpenTcpSocket() { return CFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)); }

ConnectStart StartConnect(NativeSocket fd, const sockaddr_in& address) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return ConnectStart::kConnected;
    return errno == EINPROGRESS ? ConnectStart::kPending : ConnectStart::kFailed;
}

bool ConnectSucceeded(NativeSocket fd) {
    int error = 0;
    socklen_t len = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

CFd AcceptConnection(NativeSocket listener, sockaddr_in* from, bool* outOfSockets) {
    socklen_t fromLen = sizeof *from;
    CFd fd(::accept4(listener, reinterpret_cast<sockaddr*>(from), &fromLen, SOCK_NONBLOCK | SOCK_CLOEXEC));
    *outOfSockets = !fd.Valid() && (errno == EMFILE || errno == ENFILE);
    return fd;
}

uint32_t UnsentBytes(NativeSocket fd, uint64_t) {
    int unsent = 0;
#ifdef SIOCOUTQNSD
    if (::ioctl(fd, SIOCOUTQNSD, &unsent) == 0 && unsent >= 0) return static_cast<uint32_t>(unsent);
#endif
    // Older kernels: bytes not yet acknowledged, a little more than unsent.
    if (::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent >= 0) return static_cast<uint32_t>(unsent);
    return 0;
}

void ShutdownSending(NativeSocket fd) { ::shutdown(fd, SHUT_WR); }

bool PeerAddress(NativeSocket fd, sockaddr_in* address) {
    socklen_t len = sizeof *address;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(address), &len) == 0 && address->sin_family == AF_INET;
}

bool LocalAddress(NativeSocket fd, sockaddr_in* address) {
    socklen_t len = sizeof *address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &len) == 0 && address->sin_family == AF_INET;
}

}  // namespace pppp
