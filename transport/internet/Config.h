#pragma once
// The rendezvous file: where the internet route meets its peers (the MQTT
// broker) and which STUN/TURN servers carry it. Secrets live only in this
// file, never on a command line, so the file must be private to its owner.
//
// Where it is: RendezvousFile.h. Lines are `key = value`; `#` starts a
// comment line. Errors name the file, the line and the key, never a value.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pppp {

struct IceServer {
    enum Kind : uint8_t { Stun, TurnUdp, TurnTcp, TurnTls };
    Kind kind = Stun;
    std::string host;
    uint16_t port = 0;
};

struct CRendezvousConfig {
    std::string path;            // the file it came from
    bool brokerTls = false;
    std::string brokerHost;
    uint16_t brokerPort = 0;
    std::string brokerCa;        // empty: the system's CAs
    // mqtt:// to another computer: only with `broker-in-clear = yes` (a closed
    // test network), as the broker password would cross the network in clear.
    bool brokerInClear = false;
    std::string user;            // a DID (device) or a viewer name
    std::string password;
    std::vector<IceServer> servers;  // STUN and TURN, in file order
    std::string turnSecret;      // makes per-session credentials
    std::string turnUser, turnPassword;  // fixed credentials instead
    uint32_t turnTtlSeconds = 3600;
    uint32_t lanWaitMs = 500;
    // A device's `viewers` line: the viewer accounts it answers (Grants.h).
    // None: any viewer the broker lets call, and none of them gets TURN credentials.
    std::optional<std::vector<std::string>> viewers;

    bool IsDevice() const;       // `user` is a DID
};

enum class RendezvousLoad { Off, Loaded, Unusable };

// Reads the file at `path` (already chosen). On Unusable, *error is one line
// naming the file, line and key.
RendezvousLoad ReadRendezvousFile(const std::string& path, CRendezvousConfig* config, std::string* error);
// Finds the file (RendezvousFile.h) and reads it; Off when there is none.
RendezvousLoad LoadRendezvous(CRendezvousConfig* config, std::string* error);

// "turn:host:port?transport=udp|tcp" or "turns:host:port?transport=tcp".
bool ParseTurnUrl(const std::string& url, IceServer* server);

// A broker account name: a DID, or a viewer name (1-32 of a-z 0-9 . - _, at
// least one lower-case letter or '.').
bool IsValidViewerName(const std::string& name);

}  // namespace pppp
