#include "transport/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace pppp {

void CFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void TuneSessionSocket(int fd, uint32_t sendBufferBytes, uint32_t receiveBufferBytes) {
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

bool ResolveAddress(const char* text, sockaddr_in* address) {
    if (!text || !address) return false;
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon == text || colon[1] == '\0') return false;
    const std::string host(text, colon);
    char* end = nullptr;
    const unsigned long port = std::strtoul(colon + 1, &end, 10);
    if (*end != '\0' || port == 0 || port > 65535) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
        a.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
        ::freeaddrinfo(result);
    }
    *address = a;
    return true;
}

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
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

bool IsLoopback(const sockaddr_in& address) { return (ntohl(address.sin_addr.s_addr) >> 24) == 127; }

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

}  // namespace pppp
