#pragma once
// Whether a TURN server answers over UDP at all, asked with a STUN Binding
// request of its own.
//
// Why it matters: libnice checks every STUN answer arriving on a UDP socket
// that still has a TURN/UDP allocation under way against that allocation
// first, and drops the answer of another STUN server (which comes in the
// older form libnice asks in) as malformed. While a named TURN/UDP server stays
// silent, a peer therefore learns no public address from a STUN server of its
// own, and two cone NATs find no direct path. A silent TURN/UDP server is left
// out of an attempt where a different STUN server is named (WebRtcPeer.cpp).
//
// The other way round, a TURN server that answers over UDP makes relays over TCP
// and TLS needless, and they would otherwise be kept as often as not (ICE keeps
// the pair that succeeds first), at a fraction of the throughput: an attempt
// that knows the answer already gathers the relay over UDP alone.
//
// The answers are kept a while per server (a silent one shorter), so an attempt
// waits for a probe at most once in that time, and only while it gets no answer.

#include <cstdint>
#include <string>

namespace pppp {

// Blocks up to about half a second the first time (an answer ends it at once).
bool TurnUdpAnswers(const std::string& host, uint16_t port);

enum class TurnUdp { kUnknown, kAnswers, kSilent };
// What is known now, without waiting; when nothing recent is, a probe starts
// in the background (its answer is there for a later call).
TurnUdp TurnUdpKnown(const std::string& host, uint16_t port);

}  // namespace pppp
