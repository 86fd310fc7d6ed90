#pragma once
// The STUN/TURN servers of one attempt. Each side uses its own, from its
// rendezvous file, with TURN credentials made for the attempt when the file
// has the TURN server's shared secret; the device hands the viewer its list
// in the offer (credentials made for that viewer), and the viewer uses those
// before its own.

#include <string>
#include <vector>

#include "transport/internet/Config.h"
#include "transport/internet/PeerConnection.h"
#include "transport/internet/SignalMessage.h"

namespace pppp {

// This side's servers for attempt `sid`, its TURN credentials named after `who`.
PeerIceServers OwnServers(const CRendezvousConfig& rendezvous, const std::string& who, const std::string& sid);

// Device: the list its offer hands to `viewer`.
std::vector<IceServerEntry> ServersForViewer(const CRendezvousConfig& rendezvous, const std::string& viewer,
                                             const std::string& sid);

// Viewer: the device's servers from its offer (what cannot be read is left
// out), then its own; its own STUN only when the device named none.
PeerIceServers ServersForAnswer(const std::vector<IceServerEntry>& offered, const CRendezvousConfig& rendezvous,
                                const std::string& sid);

}  // namespace pppp
