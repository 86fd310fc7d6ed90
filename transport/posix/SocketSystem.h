#pragma once
// POSIX sockets as transport/Socket.h names them.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace pppp {

using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;

}  // namespace pppp
