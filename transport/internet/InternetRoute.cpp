#include "transport/internet/InternetRoute.h"

#include <chrono>
#include <functional>
#include <ctime>

#include "platform/Trace.h"
#include "transport/Socket.h"
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

std::string Key(const std::string& a, const std::string& b) { return a + "/" + b; }

// What a peer does with each candidate it gathers: sends it to `to` about attempt `sid`.
std::function<void(uint32_t, const std::string&)> CandidateSender(std::weak_ptr<CSignalling> signalling,
                                                                 std::string to, std::string sid) {
    return [signalling = std::move(signalling), to = std::move(to), sid = std::move(sid)](
               uint32_t mline, const std::string& candidate) {
        SignalMessage m;
        m.type = SignalMessage::Candidate;
        m.sid = sid;
        m.candidate = candidate;
        m.mline = mline;
        if (auto s = signalling.lock()) s->SendTo(to, MakeSignalMessage(m));
    };
}

}  // namespace

CInternetRoute::CInternetRoute(const CConfig& config, const CRendezvousConfig& rendezvous, ISessionHost& host,
                               CDeviceSide& device)
    : m_config(config), m_rendezvous(rendezvous), m_host(host), m_device(device) {}

CInternetRoute::~CInternetRoute() { Stop(); }

bool CInternetRoute::Start() {
    m_pSignalling = std::make_shared<CSignalling>(m_rendezvous);
    if (!m_pSignalling->Start([this](const std::string& from, const uint8_t* data, size_t size) {
            OnSignal(from, data, size);
        }))
        return false;
    return StartThread(m_thread, [this] { RouteLoop(); });
}

void CInternetRoute::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) return;
        m_bStopping = true;
        m_cv.notify_all();
        for (auto& entry : m_viewerAttempts) {
            std::lock_guard<std::mutex> a(entry.second->lock);
            entry.second->cv.notify_all();
        }
    }
    if (m_thread.joinable()) m_thread.join();
    if (m_pSignalling) m_pSignalling->Stop();
}

void CInternetRoute::OnSignal(const std::string& from, const uint8_t* data, size_t size) {
    Incoming in;
    if (!ParseSignalMessage(data, size, &in.message)) {
        ZTRACE("internet route: a message from %s was not understood; dropped\n", from.c_str());
        return;
    }
    in.from = from;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bStopping) return;
    if (m_rendezvous.IsDevice()) {
        // Bounded: a flood of messages is cut, not queued without end.
        if (m_incoming.size() >= 256) return;
        m_incoming.push_back(std::move(in));
        m_cv.notify_all();
        return;
    }
    auto it = m_viewerAttempts.find(Key(from, in.message.sid));
    if (it == m_viewerAttempts.end()) return;
    std::lock_guard<std::mutex> a(it->second->lock);
    if (it->second->inbox.size() < 256) it->second->inbox.push_back(std::move(in.message));
    it->second->cv.notify_all();
}

// ---- device side ------------------------------------------------------------

PeerIceServers CInternetRoute::OwnServers(const std::string& who, const std::string& sid) const {
    PeerIceServers servers;
    TurnCredential credential{m_rendezvous.turnUser, m_rendezvous.turnPassword};
    if (!m_rendezvous.turnSecret.empty())
        credential = MakeTurnCredential(m_rendezvous.turnSecret, who + "-" + sid,
                                        static_cast<uint64_t>(std::time(nullptr)) + m_rendezvous.turnTtlSeconds);
    for (const auto& s : m_rendezvous.servers) {
        if (s.kind == IceServer::Stun)
            servers.AddStun(s);
        else
            servers.AddTurn(s, credential.username, credential.password);
    }
    return servers;
}

std::vector<IceServerEntry> CInternetRoute::ServersForViewer(const std::string& viewer, const std::string& sid) const {
    std::vector<IceServerEntry> list;
    TurnCredential credential{m_rendezvous.turnUser, m_rendezvous.turnPassword};
    if (!m_rendezvous.turnSecret.empty())
        credential = MakeTurnCredential(m_rendezvous.turnSecret, viewer + "-" + sid,
                                        static_cast<uint64_t>(std::time(nullptr)) + m_rendezvous.turnTtlSeconds);
    for (const auto& s : m_rendezvous.servers) {
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

void CInternetRoute::Refuse(const std::string& viewer, const std::string& sid, const char* reason) {
    SignalMessage m;
    m.type = SignalMessage::Refuse;
    m.sid = sid;
    m.reason = reason;
    m_pSignalling->SendTo(viewer, MakeSignalMessage(m));
}

void CInternetRoute::StartDeviceAttempt(const std::string& viewer, const std::string& sid) {
    DeviceAttempt attempt;
    attempt.viewer = viewer;
    attempt.sid = sid;
    attempt.startedMs = NowMs();
    attempt.link = std::make_shared<CWebRtcLink>();
    std::weak_ptr<CSignalling> signalling = m_pSignalling;
    const auto forViewer = ServersForViewer(viewer, sid);
    CWebRtcPeer::Events events;
    const uint64_t called = NowMs();
    events.localDescription = [signalling, viewer, sid, forViewer, called](const std::string& sdp) {
        ZTRACE("internet route: offer for %s made in %llu ms\n", sid.c_str(),
               static_cast<unsigned long long>(NowMs() - called));
        SignalMessage m;
        m.type = SignalMessage::Offer;
        m.sid = sid;
        m.sdp = sdp;
        m.ice = forViewer;
        if (auto s = signalling.lock()) s->SendTo(viewer, MakeSignalMessage(m));
    };
    events.localCandidate = CandidateSender(signalling, viewer, sid);
    auto peer = CWebRtcPeer::Create(true, OwnServers(m_rendezvous.user, sid), std::move(events), attempt.link);
    if (!peer) return;
    CWebRtcPeer* p = peer.get();
    attempt.link->SetPeer(std::move(peer));
    if (!p->StartOffer()) {
        attempt.link->Shut();
        return;
    }
    ZTRACE("internet route: call %s from %s; offer made\n", sid.c_str(), viewer.c_str());
    m_attempts.emplace(Key(viewer, sid), std::move(attempt));
}

void CInternetRoute::HandleDeviceMessage(const Incoming& in) {
    const SignalMessage& m = in.message;
    auto it = m_attempts.find(Key(in.from, m.sid));
    switch (m.type) {
    case SignalMessage::Call:
        if (!m_bServing || it != m_attempts.end()) return;
        if (m.version < kAckVersion) {
            Refuse(in.from, m.sid, "version");
            return;
        }
        {
            auto oldest = m_attempts.end();
            size_t mine = 0;
            for (auto a = m_attempts.begin(); a != m_attempts.end(); ++a) {
                if (a->second.viewer != in.from) continue;
                ++mine;
                if (oldest == m_attempts.end() || a->second.startedMs < oldest->second.startedMs) oldest = a;
            }
            if (mine >= kMaxAttemptsPerViewer) {
                EndDeviceAttempt(oldest->second, true);
                m_attempts.erase(oldest);
            }
        }
        if (m_attempts.size() >= kMaxAttempts) {
            ZTRACE("internet route: call from %s refused: %zu attempts under way\n", in.from.c_str(),
                   m_attempts.size());
            Refuse(in.from, m.sid, "busy");
        } else {
            StartDeviceAttempt(in.from, m.sid);
        }
        return;
    case SignalMessage::Answer:
        if (it != m_attempts.end() && !it->second.link->Peer()->AcceptAnswer(m.sdp)) {
            EndDeviceAttempt(it->second, true);
            m_attempts.erase(it);
        }
        return;
    case SignalMessage::Candidate:
        if (it != m_attempts.end() && ++it->second.candidates <= kMaxRemoteCandidates)
            it->second.link->Peer()->AddRemoteCandidate(m.mline, m.candidate);
        return;
    case SignalMessage::Bye:
        if (it != m_attempts.end()) {
            EndDeviceAttempt(it->second, false);
            m_attempts.erase(it);
        }
        return;
    default:
        return;  // offers and refusals are not for a device
    }
}

void CInternetRoute::EndDeviceAttempt(DeviceAttempt& attempt, bool sayBye) {
    if (sayBye) {
        SignalMessage m;
        m.type = SignalMessage::Bye;
        m.sid = attempt.sid;
        m_pSignalling->SendTo(attempt.viewer, MakeSignalMessage(m));
    }
    attempt.link->Shut();
}

bool CInternetRoute::AdvanceDeviceAttempt(DeviceAttempt& a, uint64_t now) {
    if (a.link->HasEnded()) {
        EndDeviceAttempt(a, false);
        return false;
    }
    if (!a.openedMs) {
        if (!a.link->IsOpen()) {
            if (now - a.startedMs < kAttemptMs) return true;
            ZTRACE("internet route: attempt %s not connected in time; abandoned\n", a.sid.c_str());
            EndDeviceAttempt(a, true);
            return false;
        }
        a.openedMs = now;
    }
    // Exactly the Hello is read; what follows belongs to the session.
    for (;;) {
        size_t want = kFrameHeaderSize - std::min(a.got, kFrameHeaderSize);
        if (a.got >= kFrameHeaderSize) {
            const FrameHeader h = ReadFrameHeader(a.hello);
            if (h.type != FrameHello || h.length > kMaxHandshakePayload) {
                ZTRACE("internet route: attempt %s spoke no protocol; dropped\n", a.sid.c_str());
                EndDeviceAttempt(a, true);
                return false;
            }
            want = kFrameHeaderSize + h.length - a.got;
        }
        if (want == 0) break;
        const long n = a.link->Receive(a.hello + a.got, want);
        if (n < 0) {
            EndDeviceAttempt(a, false);
            return false;
        }
        if (n == 0) {
            if (now - a.openedMs < m_config.dwHandshakeMs) return true;
            ZTRACE("internet route: attempt %s sent no Hello in time; dropped\n", a.sid.c_str());
            EndDeviceAttempt(a, true);
            return false;
        }
        a.got += static_cast<size_t>(n);
    }
    Hello hello;
    if (!ParseHello(a.hello + kFrameHeaderSize, ReadFrameHeader(a.hello).length, &hello)) {
        ZTRACE("internet route: attempt %s sent a bad Hello; dropped\n", a.sid.c_str());
        EndDeviceAttempt(a, true);
        return false;
    }
    ZTRACE("internet route: attempt %s from %s open after %llu ms\n", a.sid.c_str(), a.viewer.c_str(),
           static_cast<unsigned long long>(now - a.startedMs));
    // The device answers as on TCP; a refused link is shut once the refusal had its moment to leave.
    m_device.AcceptLink(a.link, hello);
    if (a.link.use_count() == 1) m_refused.emplace_back(now + 1000, a.link);
    return false;
}

void CInternetRoute::RouteLoop() {
    // The first attempt need not wait for GStreamer to load. Without webrtcbin
    // no call can be answered, so the device never shows as present.
    const bool usable = CWebRtcPeer::Prepare();
    if (!usable) ZTRACE("internet route: GStreamer's webrtcbin cannot be loaded; the route is off\n");
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_bStopping) {
        std::deque<Incoming> work;
        work.swap(m_incoming);
        hold.unlock();

        const bool serving = usable && m_device.IsServing(m_rendezvous.user);
        if (serving != m_bServing) {
            m_bServing = serving;
            m_pSignalling->SetPresent(serving);
            ZTRACE("internet route: %s %s\n", m_rendezvous.user.c_str(), serving ? "present" : "absent");
            if (!serving) {
                for (auto& entry : m_attempts) EndDeviceAttempt(entry.second, true);
                m_attempts.clear();
            }
        }
        for (const auto& in : work) HandleDeviceMessage(in);
        const uint64_t now = NowMs();
        for (auto it = m_attempts.begin(); it != m_attempts.end();) {
            if (AdvanceDeviceAttempt(it->second, now))
                ++it;
            else
                it = m_attempts.erase(it);
        }
        while (!m_refused.empty() && m_refused.front().first <= now) {
            m_refused.front().second->Shut();
            m_refused.pop_front();
        }
        const bool opening = !m_attempts.empty();
        hold.lock();
        if (m_bStopping) break;
        if (m_incoming.empty()) m_cv.wait_for(hold, std::chrono::milliseconds(opening ? 5 : 100));
    }
    hold.unlock();
    for (auto& entry : m_attempts) EndDeviceAttempt(entry.second, true);
    m_attempts.clear();
    for (auto& r : m_refused) r.second->Shut();
    m_refused.clear();
}

// ---- viewer side ------------------------------------------------------------

int CInternetRoute::Greet(const std::string& did, const std::shared_ptr<CWebRtcLink>& link, uint64_t deadlineMs) {
    uint8_t frame[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    hello.did = did;
    hello.deadPeerMs = m_config.dwDeadPeerMs;
    const size_t size = MakeHello(frame, hello);
    if (link->Send(frame, size, nullptr, 0) != static_cast<long>(size)) return PPPP_ERR_REFUSED;
    // Exactly the answer is read; what follows belongs to the session.
    size_t got = 0, want = kFrameHeaderSize;
    while (got < want) {
        const long n = link->Receive(frame + got, want - got);
        if (n < 0) return PPPP_ERR_REFUSED;
        if (n == 0) {
            const uint64_t now = NowMs();
            if (now >= deadlineMs) return PPPP_ERR_TIMEOUT;
            link->WaitReadable(static_cast<int>(std::min<uint64_t>(deadlineMs - now, 100)));
            continue;
        }
        got += static_cast<size_t>(n);
        if (got == kFrameHeaderSize) {
            const FrameHeader h = ReadFrameHeader(frame);
            if ((h.type != FrameWelcome && h.type != FrameRefuse) || h.length > kMaxHandshakePayload)
                return PPPP_ERR_REFUSED;
            want = kFrameHeaderSize + h.length;
        }
    }
    const FrameHeader h = ReadFrameHeader(frame);
    Welcome welcome;
    if (h.type == FrameRefuse || !ParseWelcome(frame + kFrameHeaderSize, h.length, &welcome)) {
        RefuseReason reason{};
        if (ParseRefuse(frame + kFrameHeaderSize, h.length, &reason))
            ZTRACE("%s refused the session (%d)\n", did.c_str(), reason);
        return PPPP_ERR_REFUSED;
    }
    auto session = m_host.AddSession(MakeSessionParams(m_config, 1, did, welcome.version, welcome.deadPeerMs), link);
    if (!session) return PPPP_ERR_TOO_MANY;
    return session->Handle();
}

int CInternetRoute::Connect(const std::string& did, uint64_t deadlineMs) {
    const uint64_t started = NowMs();
    if (!m_pSignalling->WaitReady(deadlineMs)) {
        ZTRACE("internet route: the broker was not reached\n");
        return PPPP_ERR_DEVICE_NOT_FOUND;
    }
    const int present = m_pSignalling->Presence(did, deadlineMs);
    ZTRACE("internet route: presence of %s known after %llu ms\n", did.c_str(),
           static_cast<unsigned long long>(NowMs() - started));
    if (present != 1) {
        ZTRACE("internet route: %s is %s\n", did.c_str(), present == 0 ? "absent" : "unknown to the broker");
        return PPPP_ERR_DEVICE_NOT_FOUND;
    }
    const std::string sid = NewSid();
    const std::string key = Key(did, sid);
    auto attempt = std::make_shared<ViewerAttempt>();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) return PPPP_ERR_TIMEOUT;
        m_viewerAttempts[key] = attempt;
    }
    std::shared_ptr<CWebRtcLink> link;
    auto send = [&](SignalMessage m) {
        m.sid = sid;
        return m_pSignalling->SendTo(did, MakeSignalMessage(m));
    };
    auto stopping = [&] {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_bStopping;
    };
    // The next message of this attempt, or false at the deadline (or a stop).
    auto next = [&](SignalMessage* out, uint64_t until) {
        std::unique_lock<std::mutex> hold(attempt->lock);
        for (;;) {
            if (!attempt->inbox.empty()) {
                *out = std::move(attempt->inbox.front());
                attempt->inbox.pop_front();
                return true;
            }
            const uint64_t now = NowMs();
            if (now >= until) return false;
            hold.unlock();
            if (stopping()) return false;
            hold.lock();
            attempt->cv.wait_for(hold, std::chrono::milliseconds(std::min<uint64_t>(until - now, 20)));
        }
    };

    int result = PPPP_ERR_DEVICE_NOT_FOUND;
    SignalMessage call;
    call.type = SignalMessage::Call;
    call.version = kProtocolVersion;
    bool offered = false;
    if (send(call)) {
        SignalMessage m;
        while (!offered && next(&m, deadlineMs)) {
            if (m.type == SignalMessage::Refuse) {
                ZTRACE("internet route: %s refused the call (%s)\n", did.c_str(), m.reason.c_str());
                result = PPPP_ERR_REFUSED;
                break;
            }
            if (m.type == SignalMessage::Bye) break;
            if (m.type != SignalMessage::Offer) continue;
            offered = true;
            ZTRACE("internet route: offer from %s after %llu ms\n", did.c_str(),
                   static_cast<unsigned long long>(NowMs() - started));
            // The device's servers with this attempt's credentials, then our own.
            PeerIceServers servers;
            for (const auto& e : m.ice) {
                for (const auto& url : e.urls) {
                    IceServer s;
                    if (!ReadUrl(url, &s)) continue;
                    if (s.kind == IceServer::Stun)
                        servers.AddStun(s);
                    else if (!e.username.empty())
                        servers.AddTurn(s, e.username, e.credential);
                }
            }
            const PeerIceServers own = OwnServers(m_rendezvous.user, sid);
            if (servers.stun.empty()) servers.stun = own.stun;
            servers.turn.insert(servers.turn.end(), own.turn.begin(), own.turn.end());
            servers.turnServers.insert(servers.turnServers.end(), own.turnServers.begin(), own.turnServers.end());

            link = std::make_shared<CWebRtcLink>();
            std::weak_ptr<CSignalling> signalling = m_pSignalling;
            CWebRtcPeer::Events events;
            events.localDescription = [signalling, did, sid](const std::string& sdp) {
                SignalMessage a;
                a.type = SignalMessage::Answer;
                a.sid = sid;
                a.sdp = sdp;
                if (auto s = signalling.lock()) s->SendTo(did, MakeSignalMessage(a));
            };
            events.localCandidate = CandidateSender(signalling, did, sid);
            auto peer = CWebRtcPeer::Create(false, servers, std::move(events), link);
            if (!peer) {
                result = PPPP_ERR_TOO_MANY;
                break;
            }
            CWebRtcPeer* p = peer.get();
            link->SetPeer(std::move(peer));
            if (!p->AcceptOffer(m.sdp)) {
                ZTRACE("internet route: %s sent an offer that cannot be used\n", did.c_str());
                result = PPPP_ERR_REFUSED;
                break;
            }
        }
        if (offered && link && !link->HasEnded()) {
            // Candidates until the channel opens.
            result = PPPP_ERR_TIMEOUT;
            uint32_t candidates = 0;
            while (!link->IsOpen() && !link->HasEnded()) {
                if (next(&m, std::min(deadlineMs, NowMs() + 10))) {
                    if (m.type == SignalMessage::Candidate && ++candidates <= kMaxRemoteCandidates)
                        link->Peer()->AddRemoteCandidate(m.mline, m.candidate);
                    if (m.type == SignalMessage::Bye) break;
                } else if (NowMs() >= deadlineMs || stopping()) {
                    break;
                }
            }
            if (link->IsOpen()) {
                ZTRACE("internet route: channel to %s open after %llu ms\n", did.c_str(),
                       static_cast<unsigned long long>(NowMs() - started));
                result = Greet(did, link, deadlineMs);
            }
        }
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_viewerAttempts.erase(key);
    }
    if (result < 0) {
        SignalMessage bye;
        bye.type = SignalMessage::Bye;
        send(bye);
        if (link) link->Shut();
    } else {
        ZTRACE("internet route: session %d to %s after %llu ms\n", result, did.c_str(),
               static_cast<unsigned long long>(NowMs() - started));
    }
    return result;
}

}  // namespace pppp
