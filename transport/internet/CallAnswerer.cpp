#include "transport/internet/CallAnswerer.h"

#include <algorithm>

#include "platform/Trace.h"
#include "transport/Socket.h"
#include "transport/internet/AttemptServers.h"

namespace pppp {
namespace {

std::string Key(const std::string& viewer, const std::string& sid) { return viewer + "/" + sid; }

}  // namespace

CCallAnswerer::CCallAnswerer(const CConfig& config, const CRendezvousConfig& rendezvous,
                             std::shared_ptr<ISignalling> signalling, PeerFactory makePeer, IDeviceSide& devices)
    : m_config(config),
      m_rendezvous(rendezvous),
      m_pSignalling(std::move(signalling)),
      m_makePeer(std::move(makePeer)),
      m_devices(devices),
      m_grants(rendezvous) {}

CCallAnswerer::~CCallAnswerer() { EndAll(); }

void CCallAnswerer::FollowDevice(bool peersUsable) {
    const bool serving = peersUsable && m_devices.IsServing(m_rendezvous.user);
    if (serving == m_bServing) return;
    m_bServing = serving;
    m_pSignalling->SetPresent(serving);
    ZTRACE("internet route: %s %s\n", m_rendezvous.user.c_str(), serving ? "present" : "absent");
    if (serving) return;
    for (auto& entry : m_attempts) End(entry.second, true);
    m_attempts.clear();
}

void CCallAnswerer::Handle(const std::string& from, const SignalMessage& m, uint64_t nowMs) {
    auto it = m_attempts.find(Key(from, m.sid));
    switch (m.type) {
    case SignalMessage::Call:
        TakeCall(from, m, nowMs);
        return;
    case SignalMessage::Answer:
        if (it != m_attempts.end() && !it->second.link->Peer()->AcceptAnswer(m.sdp)) {
            End(it->second, true);
            m_attempts.erase(it);
        }
        return;
    case SignalMessage::Candidate:
        if (it != m_attempts.end() && ++it->second.candidates <= kMaxRemoteCandidates)
            it->second.link->Peer()->AddRemoteCandidate(m.mline, m.candidate);
        return;
    case SignalMessage::Bye:
        if (it != m_attempts.end()) {
            End(it->second, false);
            m_attempts.erase(it);
        }
        return;
    default:
        return;  // offers and refusals are not for a device
    }
}

void CCallAnswerer::TakeCall(const std::string& viewer, const SignalMessage& call, uint64_t nowMs) {
    if (!m_bServing || m_attempts.count(Key(viewer, call.sid))) return;
    const CGrants::Verdict verdict = m_grants.Check(viewer, nowMs);
    if (verdict == CGrants::Verdict::Denied) {
        ZTRACE("internet route: call from %s refused: not a granted viewer\n", viewer.c_str());
        Refuse(viewer, call.sid, "denied");
        return;
    }
    if (call.version < LowestPeerVersion(true)) {
        Refuse(viewer, call.sid, "version");
        return;
    }
    MakeRoomFor(viewer);
    if (m_attempts.size() >= kMaxAttempts) {
        ZTRACE("internet route: call from %s refused: %zu attempts under way\n", viewer.c_str(), m_attempts.size());
        Refuse(viewer, call.sid, "busy");
        return;
    }
    StartAttempt(viewer, call.sid, verdict == CGrants::Verdict::Granted, nowMs);
}

void CCallAnswerer::MakeRoomFor(const std::string& viewer) {
    auto oldest = m_attempts.end();
    size_t mine = 0;
    for (auto a = m_attempts.begin(); a != m_attempts.end(); ++a) {
        if (a->second.viewer != viewer) continue;
        ++mine;
        if (oldest == m_attempts.end() || a->second.startedMs < oldest->second.startedMs) oldest = a;
    }
    if (mine < kMaxAttemptsPerViewer) return;
    End(oldest->second, true);
    m_attempts.erase(oldest);
}

void CCallAnswerer::StartAttempt(const std::string& viewer, const std::string& sid, bool granted,
                                 uint64_t nowMs) {
    Attempt attempt;
    attempt.viewer = viewer;
    attempt.sid = sid;
    attempt.startedMs = nowMs;
    attempt.link = std::make_shared<CWebRtcLink>();
    attempt.link->SetPeerAccount(viewer);
    std::weak_ptr<ISignalling> signalling = m_pSignalling;
    PeerEvents events;
    // The viewer's servers depend on whether the device's peer relays over UDP (AttemptServers.h):
    // set once it is made, before the offer that carries them is started.
    auto servers = std::make_shared<std::vector<IceServerEntry>>();
    events.localDescription = [signalling, viewer, sid, servers, called = NowMs()](const std::string& sdp) {
        ZTRACE("internet route: offer for %s made in %llu ms\n", sid.c_str(),
               static_cast<unsigned long long>(NowMs() - called));
        SignalMessage m;
        m.type = SignalMessage::Offer;
        m.sdp = sdp;
        m.ice = *servers;
        if (auto s = signalling.lock()) SendSignal(*s, viewer, sid, std::move(m));
    };
    events.localCandidate = CandidateSender(signalling, viewer, sid);
    PeerIceServers own = OwnServers(m_rendezvous, DeviceTurnName(m_rendezvous.user, viewer));
    auto peer = m_makePeer(true, std::move(own), std::move(events), attempt.link);
    if (!peer) {
        // (Told at once: otherwise the caller would wait out its time for an offer.)
        Refuse(viewer, sid, "busy");
        return;
    }
    *servers = ServersForViewer(m_rendezvous, viewer, granted, peer->AsksUdpRelay());
    IPeerConnection* p = peer.get();
    attempt.link->SetPeer(std::move(peer));
    if (!p->StartOffer()) {
        attempt.link->Shut();
        return;
    }
    ZTRACE("internet route: call %s from %s; offer made\n", sid.c_str(), viewer.c_str());
    m_attempts.emplace(Key(viewer, sid), std::move(attempt));
}

bool CCallAnswerer::Advance(uint64_t nowMs) {
    for (auto it = m_attempts.begin(); it != m_attempts.end();) {
        if (AdvanceAttempt(it->second, nowMs))
            ++it;
        else
            it = m_attempts.erase(it);
    }
    while (!m_refused.empty() && m_refused.front().first <= nowMs) {
        m_refused.front().second->Shut();
        m_refused.pop_front();
    }
    return !m_attempts.empty();
}

bool CCallAnswerer::AdvanceAttempt(Attempt& a, uint64_t nowMs) {
    if (a.link->HasEnded()) {
        End(a, false);
        return false;
    }
    if (!a.openedMs) {
        if (!a.link->IsOpen()) {
            if (nowMs - a.startedMs < kAttemptMs) return true;
            ZTRACE("internet route: attempt %s not connected in time; abandoned\n", a.sid.c_str());
            End(a, true);
            return false;
        }
        a.openedMs = nowMs;
    }
    switch (ReadHello(a, nowMs)) {
    case HelloRead::Waiting: return true;
    case HelloRead::Failed: return false;
    case HelloRead::Whole: break;
    }
    Hello hello;
    if (!ParseHello(a.hello + kFrameHeaderSize, ReadFrameHeader(a.hello).length, &hello)) {
        ZTRACE("internet route: attempt %s sent a bad Hello; dropped\n", a.sid.c_str());
        End(a, true);
        return false;
    }
    ZTRACE("internet route: attempt %s from %s open after %llu ms\n", a.sid.c_str(), a.viewer.c_str(),
           static_cast<unsigned long long>(nowMs - a.startedMs));
    // The device answers as on TCP; a refused link is shut once the refusal had its moment to leave.
    m_devices.AcceptLink(a.link, hello);
    if (a.link.use_count() == 1) m_refused.emplace_back(nowMs + 1000, a.link);
    return false;
}

CCallAnswerer::HelloRead CCallAnswerer::ReadHello(Attempt& a, uint64_t nowMs) {
    // Exactly the Hello is read; what follows belongs to the session.
    for (;;) {
        size_t want = kFrameHeaderSize - std::min(a.got, kFrameHeaderSize);
        if (a.got >= kFrameHeaderSize) {
            const FrameHeader h = ReadFrameHeader(a.hello);
            if (h.type != FrameHello || h.length > kMaxHandshakePayload) {
                ZTRACE("internet route: attempt %s spoke no protocol; dropped\n", a.sid.c_str());
                End(a, true);
                return HelloRead::Failed;
            }
            want = kFrameHeaderSize + h.length - a.got;
        }
        if (want == 0) return HelloRead::Whole;
        const long n = a.link->Receive(a.hello + a.got, want);
        if (n < 0) {
            End(a, false);
            return HelloRead::Failed;
        }
        if (n == 0) {
            // The Hello may come as late as the attempt may take (a busy browser opens its side of
            // the channel later than we do), and at least the handshake time after the channel opened;
            // a silent caller holds no more than one that never connects.
            const uint64_t deadline =
                std::max(a.openedMs + m_config.dwHandshakeMs, a.startedMs + kAttemptMs);
            if (nowMs < deadline) return HelloRead::Waiting;
            ZTRACE("internet route: attempt %s sent no Hello in time; dropped\n", a.sid.c_str());
            End(a, true);
            return HelloRead::Failed;
        }
        a.got += static_cast<size_t>(n);
    }
}

void CCallAnswerer::End(Attempt& attempt, bool sayBye) {
    if (sayBye) {
        SignalMessage m;
        m.type = SignalMessage::Bye;
        SendSignal(*m_pSignalling, attempt.viewer, attempt.sid, std::move(m));
    }
    attempt.link->Shut();
}

void CCallAnswerer::EndAll() {
    for (auto& entry : m_attempts) End(entry.second, true);
    m_attempts.clear();
    for (auto& r : m_refused) r.second->Shut();
    m_refused.clear();
}

void CCallAnswerer::Refuse(const std::string& viewer, const std::string& sid, const char* reason) {
    SignalMessage m;
    m.type = SignalMessage::Refuse;
    m.reason = reason;
    SendSignal(*m_pSignalling, viewer, sid, std::move(m));
}

}  // namespace pppp
