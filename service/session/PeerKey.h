#pragma once
// Whom the login throttle and the slot rules count a new session as. On the
// local network that is the peer's IPv4 address. On the internet route the
// address is a relay's or a NAT's, shared by every viewer behind it (and 0 for
// a peer over IPv6), whereas the broker has checked which account the viewer
// is: the account's key stands in, written as the address 255.k0.k1.k2, which
// no peer on a network has (240.0.0.0/4 is reserved). One viewer's wrong
// answers then hold back that account alone, wherever it comes from.

#include <cstdint>

#include "transport/PPPP_API.h"

namespace session {

uint32_t PeerKey(const PPPP_SessionRecord& record);

}  // namespace session
