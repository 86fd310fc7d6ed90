// Sockets on Windows: Winsock 2, WSAPoll, a loopback datagram socket that
// talks to itself to wake a poll, and the adapter list of the IP helper.

// SIO_TCP_INFO (Windows 10 1703 and later) is declared only for builds that
// ask for that version; the program runs on every Windows 10, asks, and copes
// with a no. (Read before the socket headers include mstcpip.h without it.)
#include <winsock2.h>
#pragma push_macro("NTDDI_VERSION")
#undef NTDDI_VERSION
#define NTDDI_VERSION NTDDI_WIN10_RS2
#include <mstcpip.h>
#pragma pop_macro("NTDDI_VERSION")

#include "transport/Socket.h"

#include <iphlpapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

// Not in every mingw-w64's headers: reports of unreachable peers on a UDP socket, off.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace pppp {
namespace {

std::mutex g_startLock;
int g_nStarts = 0;

sockaddr_in Ipv4(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrderAddress);
    return a;
}

void SetOption(NativeSocket fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAENOBUFS; }

// The IPv4 unicast addresses of the adapters that are up (host order), with their prefix lengths.
struct OwnAddress {
    uint32_t dwAddress;
    uint8_t nPrefix;
    bool bLoopback;
};

std::vector<OwnAddress> OwnAddresses() {
    std::vector<OwnAddress> out;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) return out;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        for (auto* u = adapter->FirstUnicastAddress; u; u = u->Next) {
            if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
            const auto* a = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
            out.push_back({ntohl(a->sin_addr.s_addr), u->OnLinkPrefixLength,
                           adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK});
        }
    }
    return out;
}

}  // namespace

bool StartSockets() {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_nStarts == 0) {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    }
    ++g_nStarts;
    return true;
}

void StopSockets() {
    std::lock_guard<std::mutex> hold(g_startLock);
    if (g_nStarts == 0) return;
    if (--g_nStarts == 0) ::WSACleanup();
}

int LastSocketError() { return ::WSAGetLastError(); }

void CFd::Reset(NativeSocket fd) {
    if (m_fd != kNoSocket) ::closesocket(m_fd);
    m_fd = fd;
}

bool SetNonBlocking(NativeSocket fd) {
    u_long on = 1;
    return ::ioctlsocket(fd, FIONBIO, &on) == 0;
}

void TuneSessionSocket(NativeSocket fd, uint32_t sendBufferBytes, uint32_t receiveBufferBytes) {
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_SNDBUF, static_cast<int>(sendBufferBytes));
    if (receiveBufferBytes) SetOption(fd, SOL_SOCKET, SO_RCVBUF, static_cast<int>(receiveBufferBytes));
}

// A socket that is not inherited by programs this process starts.
CFd NewSocket(int type, int protocol) {
    CFd fd(::WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (fd.Valid() && !SetNonBlocking(fd.Get())) return CFd();
    return fd;
}

CFd OpenTcpListener(bool loopbackOnly, uint16_t port, uint16_t* boundPort) {
    CFd fd = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (!fd.Valid()) return CFd();
    // On Windows SO_REUSEADDR would let a second device take a port in use;
    // a listener owns its port alone (and Windows lets a restarted one have it back).
    SetOption(fd.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    sockaddr_in a = Ipv4(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY, port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return CFd();
    if (::listen(fd.Get(), 64) != 0) return CFd();
    int len = sizeof a;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return CFd();
    if (boundPort) *boundPort = ntohs(a.sin_port);
    return fd;
}

CFd OpenUdpSocket(uint16_t port, uint32_t address) {
    CFd fd = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (!fd.Valid()) return CFd();
    // Several devices on one host share the discovery port; broadcast queries
    // reach every socket bound to it.
    SetOption(fd.Get(), SOL_SOCKET, SO_REUSEADDR, 1);
    SetOption(fd.Get(), SOL_SOCKET, SO_BROADCAST, 1);
    // A datagram the peer did not want must not end the socket (Windows reports
    // it on the next receive as a reset).
    BOOL off = FALSE;
    DWORD ignored = 0;
    ::WSAIoctl(fd.Get(), SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &ignored, nullptr, nullptr);
    sockaddr_in a = Ipv4(address, port);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        // Windows binds no socket to loopback's broadcast address; 127.0.0.1
        // hears this host alone just as well.
        if (address != kLoopbackBroadcast) return CFd();
        a = Ipv4(INADDR_LOOPBACK, port);
        if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return CFd();
    }
    return fd;
}

void BroadcastTargets(bool loopbackOnly, uint16_t port, sockaddr_in* out, int* count, int max) {
    int n = 0;
    auto add = [&](uint32_t hostOrder) {
        for (int i = 0; i < n; ++i)
            if (out[i].sin_addr.s_addr == htonl(hostOrder)) return;
        if (n < max) out[n++] = Ipv4(hostOrder, port);
    };
    // Every socket of this host bound to the port hears the loopback broadcast
    // where the system has one; where it binds them to 127.0.0.1 instead, they hear that.
    add(kLoopbackBroadcast);
    add(INADDR_LOOPBACK);
    if (!loopbackOnly) {
        for (const OwnAddress& own : OwnAddresses()) {
            if (own.bLoopback || own.nPrefix == 0 || own.nPrefix >= 31) continue;
            add(own.dwAddress | (0xFFFFFFFFu >> own.nPrefix));
        }
    }
    *count = n;
}

bool IsOwnAddress(const sockaddr_in& address) {
    if (IsLoopback(address)) return true;
    const uint32_t wanted = ntohl(address.sin_addr.s_addr);
    for (const OwnAddress& own : OwnAddresses())
        if (own.dwAddress == wanted) return true;
    return false;
}

bool CWakeSignal::Open() {
    CFd fd = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    if (!fd.Valid()) return false;
    sockaddr_in a = Ipv4(INADDR_LOOPBACK, 0);
    int len = sizeof a;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return false;
    m_fd = std::move(fd);
    return true;
}

void CWakeSignal::Signal() {
    // A full buffer means a wake-up is pending already.
    const char one = 1;
    if (m_fd.Valid()) ::send(m_fd.Get(), &one, 1, 0);
}

void CWakeSignal::Drain() {
    char bytes[64];
    while (m_fd.Valid() && ::recv(m_fd.Get(), bytes, sizeof bytes, 0) > 0) {
    }
}

int PollSockets(pollfd* fds, size_t count, int timeoutMs) {
    // WSAPoll refuses entries without a socket and a list with none; the
    // entries are gathered, and a wait on nothing is a sleep.
    WSAPOLLFD list[64];
    size_t used[64];
    std::vector<WSAPOLLFD> bigList;
    std::vector<size_t> bigUsed;
    WSAPOLLFD* entries = list;
    size_t* from = used;
    if (count > 64) {
        bigList.resize(count);
        bigUsed.resize(count);
        entries = bigList.data();
        from = bigUsed.data();
    }
    ULONG n = 0;
    for (size_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd == kNoSocket) continue;
        entries[n].fd = fds[i].fd;
        // WSAPoll takes only the reading and writing flags.
        entries[n].events = static_cast<short>(fds[i].events & (POLLIN | POLLOUT));
        entries[n].revents = 0;
        from[n++] = i;
    }
    if (n == 0) {
        ::Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int ready = ::WSAPoll(entries, n, timeoutMs);
    if (ready <= 0) return ready < 0 ? -1 : 0;
    for (ULONG i = 0; i < n; ++i) fds[from[i]].revents = entries[i].revents;
    return ready;
}

long ReceiveSome(NativeSocket fd, void* buffer, size_t size) {
    const int want = static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF));
    const int n = ::recv(fd, static_cast<char*>(buffer), want, 0);
    if (n >= 0) return n;
    return WouldBlock(::WSAGetLastError()) ? kWouldBlock : kBroken;
}

long SendSome(NativeSocket fd, const void* first, size_t firstSize, const void* second, size_t secondSize) {
    WSABUF buffers[2];
    DWORD count = 0;
    if (firstSize) buffers[count++] = {static_cast<ULONG>(firstSize), static_cast<char*>(const_cast<void*>(first))};
    if (secondSize) buffers[count++] = {static_cast<ULONG>(secondSize), static_cast<char*>(const_cast<void*>(second))};
    if (count == 0) return 0;
    DWORD sent = 0;
    if (::WSASend(fd, buffers, count, &sent, 0, nullptr, nullptr) == 0) return sent > 0 ? static_cast<long>(sent) : kWouldBlock;
    return WouldBlock(::WSAGetLastError()) ? kWouldBlock : kBroken;
}

long ReceiveDatagram(NativeSocket fd, void* buffer, size_t size, sockaddr_in* from) {
    int fromLen = sizeof *from;
    const int n = ::recvfrom(fd, static_cast<char*>(buffer), static_cast<int>(size), 0,
                             reinterpret_cast<sockaddr*>(from), &fromLen);
    if (n >= 0) return n;
    // A datagram longer than the buffer comes cut, as on Linux (and is then refused as too long).
    if (::WSAGetLastError() == WSAEMSGSIZE) return static_cast<long>(size);
    return -1;
}

void SendDatagram(NativeSocket fd, const void* data, size_t size, const sockaddr_in& to) {
    ::sendto(fd, static_cast<const char*>(data), static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
}

CFd OpenTcpSocket() { return NewSocket(SOCK_STREAM, IPPROTO_TCP); }

ConnectStart StartConnect(NativeSocket fd, const sockaddr_in& address) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return ConnectStart::kConnected;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::kPending : ConnectStart::kFailed;
}

bool ConnectSucceeded(NativeSocket fd) {
    int error = 0;
    int len = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) == 0 && error == 0;
}

CFd AcceptConnection(NativeSocket listener, sockaddr_in* from, bool* outOfSockets) {
    int fromLen = sizeof *from;
    CFd fd(::accept(listener, reinterpret_cast<sockaddr*>(from), &fromLen));
    if (!fd.Valid()) {
        const int error = ::WSAGetLastError();
        *outOfSockets = error == WSAEMFILE || error == WSAENOBUFS;
        return fd;
    }
    *outOfSockets = false;
    // An accepted socket inherits the listener's non-blocking mode; made sure of all the same.
    if (!SetNonBlocking(fd.Get())) return CFd();
    ::SetHandleInformation(reinterpret_cast<HANDLE>(fd.Get()), HANDLE_FLAG_INHERIT, 0);
    return fd;
}

uint32_t UnsentBytes(NativeSocket fd, uint64_t taken) {
    // Winsock has no count of what waits in a socket, but TCP tells how much
    // it has transmitted: what the socket took and TCP has not transmitted
    // once yet still waits here. Where TCP does not tell (Windows 10 before
    // 1703, Wine), nothing is added to the session's own queue; the socket's
    // send buffer is capped, so what waits unseen stays bounded.
    static std::atomic<bool> s_bUnanswered{false};
    if (s_bUnanswered.load(std::memory_order_relaxed)) return 0;
    DWORD version = 0, size = 0;
    TCP_INFO_v0 info{};
    if (::WSAIoctl(fd, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &size, nullptr, nullptr) != 0) {
        const int error = ::WSAGetLastError();
        if (error == WSAEOPNOTSUPP || error == WSAEINVAL) s_bUnanswered.store(true, std::memory_order_relaxed);
        return 0;
    }
    // BytesOut counts retransmissions again.
    const uint64_t transmitted = info.BytesOut - std::min<uint64_t>(info.BytesRetrans, info.BytesOut);
    if (transmitted >= taken) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(taken - transmitted, UINT32_MAX));
}

void ShutdownSending(NativeSocket fd) { ::shutdown(fd, SD_SEND); }

bool PeerAddress(NativeSocket fd, sockaddr_in* address) {
    int len = sizeof *address;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(address), &len) == 0 && address->sin_family == AF_INET;
}

bool LocalAddress(NativeSocket fd, sockaddr_in* address) {
    int len = sizeof *address;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(address), &len) == 0 && address->sin_family == AF_INET;
}

}  // namespace pppp
