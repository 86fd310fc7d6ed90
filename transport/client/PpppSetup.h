#pragma once
// Initialising libpppp in the command-line programs (the demo device and the
// viewer), which carry no configuration string of their own: the library's
// defaults, or, with `thisHostOnly`, discovery on this computer only (no
// broadcasts to the network, no probe for another device with the DID). The
// environment variable ZELT2_PPPP_INIT, which the library reads, overrides
// either.

#include <string>

namespace pppp {

// False with a message for the user when the library refuses.
bool InitPppp(bool thisHostOnly, std::string& error);
void DeInitPppp();

}  // namespace pppp
