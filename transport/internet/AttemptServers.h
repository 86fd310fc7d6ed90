#pragma once
// The STUN/TURN servers of one attempt. Each side uses its own, from its
// rendezvous file, with TURN credentials made for the attempt when the file
// has the TURN server's shared secret; the device hands the viewer its list
// in the offer, and the viewer uses those before its own.
//
// A made credential is named after the broker account it serves, never after
// anything a caller chooses, so the TURN server's per-user quota is a quota
// per account: "V-<viewer>" for a viewer, "D-<DID>.<viewer>" for the device's
// side of a call from that viewer. Only a viewer the device grants (Grants.h)
// is handed one, valid for kViewerCredentialSeconds: long enough to allocate
// (the server checks the expiry when it allocates, not on refreshes), too short
// to be used later.

#include <string>
#include <vector>

#include "transport/internet/Config.h"
#include "transport/internet/PeerConnection.h"
#include "transport/internet/SignalMessage.h"

namespace pppp {

constexpr uint32_t kViewerCredentialSeconds = 120;

// The TURN usernames (without the expiry) of a call from `viewer`.
std::string DeviceTurnName(const std::string& did, const std::string& viewer);
std::string ViewerTurnName(const std::string& viewer);

// This side's servers, its TURN credentials made under `name`.
PeerIceServers OwnServers(const CRendezvousConfig& rendezvous, const std::string& name);

// Whether a side asks the TURN server over `kind` for a relay of its own: the
// device (the offerer) over any transport, a viewer over TCP and TLS only.
//
// Why not a viewer over UDP: one relay serves both sides (the other side's
// reflexive address reaches it, and the relay's permissions are per address,
// so a symmetric NAT gets through too), while a viewer's own relay over UDP is
// a liability. A viewer process that is killed cannot release it, and the
// server keeps it its full lifetime (deploy/coturn caps it at 2 minutes;
// coturn's default is 10): a few crashed viewers fill the account's quota. And
// a refused allocation over UDP costs the viewer its public address as well
// (TurnUdpProbe.h). Relays over TCP and TLS, which stay on offer either way,
// the server frees with their connections, also when the process dies.
bool AsksOwnRelay(bool offerer, IceServer::Kind kind);

// Device: the list its offer hands to `viewer`; TURN servers only for a granted
// one, and TURN over UDP only when the device asks for no relay over UDP of its
// own. A relay of the device's over TCP or TLS alone does not count: a viewer
// that takes TURN over UDP (a browser, which takes what it is offered, unlike
// the library's viewer: AsksOwnRelay) then relays the session over UDP, where
// it would otherwise run through the device's TCP or TLS connection.
std::vector<IceServerEntry> ServersForViewer(const CRendezvousConfig& rendezvous, const std::string& viewer,
                                             bool granted, bool deviceRelaysOverUdp);

// Viewer: the device's servers from its offer (what cannot be read is left
// out), then its own; its own STUN only when the device named none, and TURN
// only over what a viewer asks a relay of its own over (AsksOwnRelay).
PeerIceServers ServersForAnswer(const std::vector<IceServerEntry>& offered,
                                const CRendezvousConfig& rendezvous);

}  // namespace pppp
