#pragma once
// Finding a device by its DID: broadcast a query on the discovery port (to
// every process of this host through the loopback broadcast, and to the local
// networks), take the first answer for that DID.

#include <cstdint>
#include <string>

#include "transport/InitString.h"
#include "transport/Socket.h"

namespace pppp {

// Asks until a device answers for `did` or timeoutMs pass. True and the
// device's session address in `found` when one answered.
bool FindDevice(const CConfig& config, const std::string& did, uint32_t timeoutMs, sockaddr_in* found);

}  // namespace pppp
