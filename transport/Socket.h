#pragma once
// Small helpers around POSIX sockets (IPv4), shared by links, the hub and discovery.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <utility>

namespace pppp {

// Owns a file descriptor.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

bool SetNonBlocking(int fd);
// No Nagle delay (frames go out as written) and the configured kernel buffers
// (receive: 0 leaves the system's). Linux reserves twice what it is asked for,
// half of it for its own bookkeeping, so about the asked number of payload
// bytes fit. Less would hurt: on loopback one segment is 64 KiB, and a buffer
// that holds only one waits for delayed acknowledgements (40 ms each).
void TuneSessionSocket(int fd, uint32_t sendBufferBytes, uint32_t receiveBufferBytes);

// A non-blocking TCP socket listening on `port` (0: any) of loopback or of
// every interface. Invalid on failure; `boundPort` gets the port.
CFd OpenTcpListener(bool loopbackOnly, uint16_t port, uint16_t* boundPort);
// A non-blocking UDP socket on `port` (0: any) of `address` (host order;
// every interface by default), shared with other sockets of this and other
// processes on the same port, broadcast allowed.
CFd OpenUdpSocket(uint16_t port, uint32_t address = INADDR_ANY);
// Where a socket that must hear only this host binds: bound to loopback's
// broadcast address, it receives the queries sent there and nothing sent to
// any other address; its answers leave from 127.0.0.1.
constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFF;

// "a.b.c.d:port" or "host:port" to an IPv4 address; false when it is not one.
bool ResolveAddress(const char* text, sockaddr_in* address);

// Milliseconds of a monotonic clock; the transport's own time, independent of
// any clock a program installs for its logic.
uint64_t NowMs();

// Broadcast addresses to send discovery queries to: loopback's always, the
// local network's unless loopbackOnly.
void BroadcastTargets(bool loopbackOnly, uint16_t port, sockaddr_in* out, int* count, int max);

bool IsLoopback(const sockaddr_in& address);
// Whether the address is one of this host's own.
bool IsOwnAddress(const sockaddr_in& address);

}  // namespace pppp
