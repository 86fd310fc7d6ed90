#include "transport/internet/AttemptServers.h"

#include <algorithm>
#include <ctime>

#include "transport/internet/TurnCredentials.h"

namespace pppp {
namespace {

std::string Url(const IceServer& s) {
    switch (s.kind) {
    case IceServer::Stun: return "stun:" + s.host + ":" + std::to_string(s.port);
    case IceServer::TurnUdp: return "turn:" + s.host + ":" + std::to_string(s.port) + "?transport=udp";
    case IceServer::TurnTcp: return "turn:" + s.host + ":" + std::to_string(s.port) + "?transport=tcp";
    case IceServer::TurnTls: return "turns:" + s.host + ":" + std::to_string(s.port) + "?transport=tcp";
    }
    return {};
}

// Parses a server url from an offer ("stun:", "turn:", "turns:").
bool ReadUrl(const std::string& url, IceServer* out) {
    if (url.rfind("stun:", 0) == 0) {
        const std::string rest = url.substr(5);
        const size_t colon = rest.find(':');
        out->kind = IceServer::Stun;
        out->host = rest.substr(0, colon);
        uint32_t port = 3478;
        if (colon != std::string::npos) {
            const std::string p = rest.substr(colon + 1);
            if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
            port = 0;
            for (char c : p) port = port * 10 + static_cast<uint32_t>(c - '0');
        }
        if (out->host.empty() || out->host.find_first_of("/@?# ") != std::string::npos || port == 0 || port > 65535)
            return false;
        out->port = static_cast<uint16_t>(port);
        return true;
    }
    return ParseTurnUrl(url, out);
}

TurnCredential CredentialFor(const CRendezvousConfig& rendezvous, const std::string& name, uint32_t seconds) {
    if (rendezvous.turnSecret.empty()) return {rendezvous.turnUser, rendezvous.turnPassword};
    const uint64_t expiry = static_cast<uint64_t>(std::time(nullptr)) + seconds;
    return MakeTurnCredential(rendezvous.turnSecret, name, expiry);
}

}  // namespace

std::string DeviceTurnName(const std::string& did, const std::string& viewer) {
    return "D-" + did + "." + viewer;
}

std::string ViewerTurnName(const std::string& viewer) { return "V-" + viewer; }

bool AsksOwnRelay(bool offerer, IceServer::Kind kind) { return offerer || kind != IceServer::TurnUdp; }

PeerIceServers OwnServers(const CRendezvousConfig& rendezvous, const std::string& name) {
    PeerIceServers servers;
    servers.tlsCa = rendezvous.brokerCa;  // one rendezvous, one CA for both its servers
    const TurnCredential credential = CredentialFor(rendezvous, name, rendezvous.turnTtlSeconds);
    for (const auto& s : rendezvous.servers) {
        if (s.kind == IceServer::Stun)
            servers.AddStun(s);
        else
            servers.AddTurn(s, credential.username, credential.password);
    }
    return servers;
}

std::vector<IceServerEntry> ServersForViewer(const CRendezvousConfig& rendezvous, const std::string& viewer,
                                             bool granted, bool deviceRelaysOverUdp) {
    std::vector<IceServerEntry> list;
    const TurnCredential credential =
        granted ? CredentialFor(rendezvous, ViewerTurnName(viewer),
                                std::min(kViewerCredentialSeconds, rendezvous.turnTtlSeconds))
                : TurnCredential{};
    for (const auto& s : rendezvous.servers) {
        if (s.kind != IceServer::Stun && !granted) continue;
        if (s.kind == IceServer::TurnUdp && deviceRelaysOverUdp) continue;
        IceServerEntry e;
        e.urls.push_back(Url(s));
        if (s.kind != IceServer::Stun) {
            e.username = credential.username;
            e.credential = credential.password;
        }
        list.push_back(std::move(e));
    }
    return list;
}

PeerIceServers ServersForAnswer(const std::vector<IceServerEntry>& offered,
                                const CRendezvousConfig& rendezvous) {
    PeerIceServers servers;
    for (const auto& e : offered) {
        for (const auto& url : e.urls) {
            IceServer s;
            if (!ReadUrl(url, &s)) continue;
            if (s.kind == IceServer::Stun)
                servers.AddStun(s);
            else if (!e.username.empty() && AsksOwnRelay(false, s.kind))
                servers.AddTurn(s, e.username, e.credential);
        }
    }
    const PeerIceServers own = OwnServers(rendezvous, ViewerTurnName(rendezvous.user));
    if (servers.stun.empty()) servers.stun = own.stun;
    for (const auto& t : own.turn)
        if (AsksOwnRelay(false, t.server.kind)) servers.turn.push_back(t);
    servers.tlsCa = own.tlsCa;
    return servers;
}

}  // namespace pppp
