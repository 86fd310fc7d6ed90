#pragma once
// Small helpers around the system's sockets (IPv4), shared by links, the hub
// and discovery. Everything that differs between systems is behind these
// calls, implemented in posix/ or win32/; SocketSystem.h there names the
// system's socket type and address structures (sockaddr_in, pollfd).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "SocketSystem.h"

namespace pppp {

// Makes the system's sockets usable (Winsock's start on Windows), counted:
// each successful start is matched by one stop.
bool StartSockets();
void StopSockets();

// The system's sockets in use for the lifetime of a scope (the transport's):
// started on construction, stopped on destruction, after every socket of its
// owner is closed when it is the owner's first member.
class CSocketsInUse {
public:
    CSocketsInUse() : m_bStarted(StartSockets()) {}
    ~CSocketsInUse() {
        if (m_bStarted) StopSockets();
    }
    CSocketsInUse(const CSocketsInUse&) = delete;
    CSocketsInUse& operator=(const CSocketsInUse&) = delete;
    bool Started() const { return m_bStarted; }

private:
    bool m_bStarted;
};

// The system's code of the last failed socket call on this thread, for traces.
int LastSocketError();

// Owns a socket (or, on POSIX systems, any file descriptor).
class CFd {
public:
    CFd() = default;
    explicit CFd(NativeSocket fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, kNoSocket)) {}
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, kNoSocket);
        }
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    NativeSocket Get() const { return m_fd; }
    bool Valid() const { return m_fd != kNoSocket; }
    NativeSocket Release() { return std::exchange(m_fd, kNoSocket); }
    void Reset(NativeSocket fd = kNoSocket);

private:
    NativeSocket m_fd = kNoSocket;
};

// Something another thread signals to end a wait in PollSockets: readable
// once signalled, until drained. An eventfd on Linux; a loopback datagram
// socket talking to itself on Windows.
class CWakeSignal {
public:
    bool Open();
    bool Valid() const { return m_fd.Valid(); }
    NativeSocket Handle() const { return m_fd.Get(); }
    void Signal();
    void Drain();

private:
    CFd m_fd;
};

// poll() over sockets (and wake signals): entries whose fd is kNoSocket are
// skipped. The number of entries with events; 0 on time-out or when a signal
// interrupted the wait; -1 on failure.
int PollSockets(pollfd* fds, size_t count, int timeoutMs);

// Results of ReceiveSome and SendSome besides a byte count (and 0: the peer
// ended the connection, for ReceiveSome).
constexpr long kWouldBlock = -1;
constexpr long kBroken = -2;
long ReceiveSome(NativeSocket fd, void* buffer, size_t size);
// Sends from two pieces at once (the second may be empty); 0 bytes is kWouldBlock.
long SendSome(NativeSocket fd, const void* first, size_t firstSize, const void* second, size_t secondSize);
// One datagram (its size) or a negative number when none is waiting.
long ReceiveDatagram(NativeSocket fd, void* buffer, size_t size, sockaddr_in* from);
void SendDatagram(NativeSocket fd, const void* data, size_t size, const sockaddr_in& to);

// A non-blocking TCP socket, not yet connected.
CFd OpenTcpSocket();
enum class ConnectStart { kConnected, kPending, kFailed };
ConnectStart StartConnect(NativeSocket fd, const sockaddr_in& address);
// After a pending connect became writable: whether it connected.
bool ConnectSucceeded(NativeSocket fd);
// The next pending connection, non-blocking; invalid when there is none or
// on failure (`outOfSockets` says whether the system ran out of them).
CFd AcceptConnection(NativeSocket listener, sockaddr_in* from, bool* outOfSockets);
// Bytes written but not yet sent (or, where the system cannot tell, not yet
// acknowledged; 0 when unknown). `taken`: every byte the socket has taken so
// far, for a system that counts what has left rather than what waits (Windows).
uint32_t UnsentBytes(NativeSocket fd, uint64_t taken);
void ShutdownSending(NativeSocket fd);
bool PeerAddress(NativeSocket fd, sockaddr_in* address);
bool LocalAddress(NativeSocket fd, sockaddr_in* address);

bool SetNonBlocking(NativeSocket fd);
// No Nagle delay (frames go out as written) and the configured kernel buffers
// (receive: 0 leaves the system's). Linux reserves twice what it is asked for,
// half of it for its own bookkeeping, so about the asked number of payload
// bytes fit. Less would hurt: on loopback one segment is 64 KiB, and a buffer
// that holds only one waits for delayed acknowledgements (40 ms each).
void TuneSessionSocket(NativeSocket fd, uint32_t sendBufferBytes, uint32_t receiveBufferBytes);

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
