// Raw test sockets on Winsock 2.

#include <winsock2.h>
// ws2tcpip.h needs winsock2.h first.
#include <ws2tcpip.h>

#include <chrono>

#include "tests/support/RawSockets.h"

namespace testsupport {

namespace {

// Winsock started for the whole test process: the library's own start ends
// with its last PPPP_DeInitialize, the tests' sockets may outlive that.
bool SocketsStarted() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int NewSocket(int type, int protocol) {
    if (!SocketsStarted()) return -1;
    const SOCKET s = ::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

SOCKET Native(int fd) { return static_cast<SOCKET>(fd); }

}  // namespace

int RawConnect(uint16_t port, const char* from) {
    const int fd = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return -1;
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
            ::bind(Native(fd), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            RawClose(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(Native(fd), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        RawClose(fd);
        return -1;
    }
    return fd;
}

int RawListen(uint16_t* port) {
    const int fd = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (::bind(Native(fd), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(Native(fd), 8) != 0 ||
        ::getsockname(Native(fd), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        RawClose(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int RawAccept(int listener) {
    const SOCKET s = ::accept(Native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

void RawReceiveTimeout(int fd, uint32_t ms) {
    const DWORD timeout = ms;
    ::setsockopt(Native(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

bool RawSend(int fd, const void* data, size_t size) {
    // A blocking Winsock send takes all of it or fails.
    return ::send(Native(fd), static_cast<const char*>(data), static_cast<int>(size), 0) == static_cast<int>(size);
}

long RawReceive(int fd, void* buffer, size_t size, bool all) {
    return ::recv(Native(fd), static_cast<char*>(buffer), static_cast<int>(size), all ? MSG_WAITALL : 0);
}

void RawClose(int fd) { ::closesocket(Native(fd)); }

bool WaitClosedByPeer(int fd, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        WSAPOLLFD p{Native(fd), POLLRDNORM, 0};
        if (::WSAPoll(&p, 1, 50) <= 0) continue;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        char sink[4096];
        const int n = ::recv(Native(fd), sink, sizeof sink, 0);  // readable: it does not block
        if (n <= 0) return true;
    }
    return false;
}

}  // namespace testsupport
