#pragma once
// Winsock 2 as transport/Socket.h names it. WSAPoll's pollfd and the POLL*
// flags come with winsock2.h on Windows Vista and later.

#include <winsock2.h>
// ws2tcpip.h needs winsock2.h first.
#include <ws2tcpip.h>

namespace pppp {

using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;

}  // namespace pppp
