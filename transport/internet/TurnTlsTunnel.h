#pragma once
// TURN over TLS through a local tunnel.
//
// libnice wraps a TURN connection in TLS only for two old proprietary
// dialects; to a standard server it speaks plain TURN over TCP, even to the
// TLS port. So a "turns:" server is reached through a tunnel: libnice
// connects to the tunnel on loopback as to a TURN/TCP server, and the tunnel
// carries each connection over TLS (1.2 or later) to the server, checking the
// server's chain against the rendezvous CA (the file's broker-ca, else the
// system's CAs) and its certificate's name or address against the host the
// rendezvous names. A connection whose check fails is closed before anything
// of TURN is sent, so libnice sees that relay fail.
//
// One tunnel per server and CA, shared by the process's attempts; each
// carried connection has a thread of its own that ends when either side
// closes (libnice closes its side when its agent goes).

#include <cstdint>
#include <string>

namespace pppp {

// The loopback port that reaches `host:port` over TLS; 0 when no tunnel can
// be opened (the CA file unreadable, no loopback socket).
uint16_t TurnTlsTunnelPort(const std::string& host, uint16_t port, const std::string& caFile);

// Stops every tunnel and waits for their connections to end (at
// de-initialisation); a later call of TurnTlsTunnelPort opens new ones.
void StopTurnTlsTunnels();

}  // namespace pppp
