#pragma once
// Raw TCP on loopback for tests that speak to the transport by hand: blocking
// sockets, nothing of the transport's own code. A socket is an int here
// (Winsock's handles fit one); -1 is none. posix/ or win32/.

#include <cstddef>
#include <cstdint>

namespace testsupport {

// To a port of 127.0.0.1, from `from` (an address of 127.0.0.0/8, every one of
// which is this host) or the system's choice; -1 on failure.
int RawConnect(uint16_t port, const char* from = nullptr);
// Listening on a free port of 127.0.0.1 (its number in `port`), and the next connection to it.
int RawListen(uint16_t* port);
int RawAccept(int listener);
// Receives on `fd` give up after `ms` (0: never).
void RawReceiveTimeout(int fd, uint32_t ms);
// All of `data`, or false.
bool RawSend(int fd, const void* data, size_t size);
// Some bytes (`all`: exactly `size`, waiting for them); the count, 0 at the end, <0 on failure.
long RawReceive(int fd, void* buffer, size_t size, bool all);
void RawClose(int fd);
// Waits until the peer closes `fd` (a receive gives 0 or an error); false after timeoutMs.
bool WaitClosedByPeer(int fd, unsigned timeoutMs);

}  // namespace testsupport
