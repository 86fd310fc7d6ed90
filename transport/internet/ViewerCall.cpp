#include "transport/internet/ViewerCall.h"

#include <algorithm>
#include <chrono>

#include "platform/Trace.h"
#include "transport/PPPP_API.h"
#include "transport/Socket.h"
#include "transport/internet/AttemptServers.h"

namespace pppp {
namespace {

unsigned long long Since(uint64_t startedMs) { return static_cast<unsigned long long>(NowMs() - startedMs); }

}  // namespace

CViewerCall::CViewerCall(const CConfig& config, const CRendezvousConfig& rendezvous,
                         std::shared_ptr<ISignalling> signalling, const PeerFactory& makePeer, ISessionHost& host,
                         std::string did)
    : m_config(config),
      m_rendezvous(rendezvous),
      m_pSignalling(std::move(signalling)),
      m_makePeer(makePeer),
      m_host(host),
      m_strDid(std::move(did)),
      m_strSid(NewSid()),
      m_qwStartedMs(NowMs()) {}

CViewerCall::~CViewerCall() = default;

int CViewerCall::FindDevice(uint64_t deadlineMs) {
    if (!m_pSignalling->WaitReady(deadlineMs)) {
        ZTRACE("internet route: the broker was not reached\n");
        return PPPP_ERR_DEVICE_NOT_FOUND;
    }
    const int present = m_pSignalling->Presence(m_strDid, deadlineMs);
    ZTRACE("internet route: presence of %s known after %llu ms\n", m_strDid.c_str(), Since(m_qwStartedMs));
    if (present != 1) {
        ZTRACE("internet route: %s is %s\n", m_strDid.c_str(), present == 0 ? "absent" : "unknown to the broker");
        return PPPP_ERR_DEVICE_NOT_FOUND;
    }
    return PPPP_OK;
}

int CViewerCall::Open(uint64_t deadlineMs) {
    int result = Call(deadlineMs);
    if (result == PPPP_OK) result = OpenChannel(deadlineMs);
    if (result == PPPP_OK) result = Greet(deadlineMs);
    if (result < 0) {
        GiveUp();
        return result;
    }
    ZTRACE("internet route: session %d to %s after %llu ms\n", result, m_strDid.c_str(), Since(m_qwStartedMs));
    return result;
}

int CViewerCall::Call(uint64_t deadlineMs) {
    SignalMessage call;
    call.type = SignalMessage::Call;
    call.version = VersionOnLink(true);
    if (!Send(call)) return PPPP_ERR_DEVICE_NOT_FOUND;
    SignalMessage m;
    while (Next(&m, deadlineMs)) {
        if (m.type == SignalMessage::Refuse) {
            ZTRACE("internet route: %s refused the call (%s)\n", m_strDid.c_str(), m.reason.c_str());
            return PPPP_ERR_REFUSED;
        }
        if (m.type == SignalMessage::Bye) break;
        if (m.type != SignalMessage::Offer) continue;
        ZTRACE("internet route: offer from %s after %llu ms\n", m_strDid.c_str(), Since(m_qwStartedMs));
        return AnswerOffer(m);
    }
    // Present, yet no offer: found but not answering, which is not "not found".
    ZTRACE("internet route: %s is present but made no offer\n", m_strDid.c_str());
    return PPPP_ERR_TIMEOUT;
}

int CViewerCall::AnswerOffer(const SignalMessage& offer) {
    m_pLink = std::make_shared<CWebRtcLink>();
    std::weak_ptr<ISignalling> signalling = m_pSignalling;
    PeerEvents events;
    events.localDescription = [signalling, did = m_strDid, sid = m_strSid](const std::string& sdp) {
        SignalMessage answer;
        answer.type = SignalMessage::Answer;
        answer.sdp = sdp;
        if (auto s = signalling.lock()) SendSignal(*s, did, sid, std::move(answer));
    };
    events.localCandidate = CandidateSender(signalling, m_strDid, m_strSid);
    // The device's servers with this call's credentials, then our own.
    auto peer = m_makePeer(false, ServersForAnswer(offer.ice, m_rendezvous), std::move(events), m_pLink);
    if (!peer) return PPPP_ERR_TOO_MANY;
    // In a fresh process this waits for GStreamer and its DTLS certificate.
    ZTRACE("internet route: peer connection made after %llu ms\n", Since(m_qwStartedMs));
    IPeerConnection* p = peer.get();
    m_pLink->SetPeer(std::move(peer));
    if (!p->AcceptOffer(offer.sdp)) {
        ZTRACE("internet route: %s sent an offer that cannot be used\n", m_strDid.c_str());
        return PPPP_ERR_REFUSED;
    }
    return PPPP_OK;
}

int CViewerCall::OpenChannel(uint64_t deadlineMs) {
    // The device answered: whatever fails from here, it was found.
    if (m_pLink->HasEnded()) return PPPP_ERR_TIMEOUT;
    uint32_t candidates = 0;
    SignalMessage m;
    while (!m_pLink->IsOpen() && !m_pLink->HasEnded()) {
        // Short waits: the channel's opening is seen on the link, not in the inbox.
        if (Next(&m, std::min(deadlineMs, NowMs() + 10))) {
            if (m.type == SignalMessage::Candidate && ++candidates <= kMaxRemoteCandidates)
                m_pLink->Peer()->AddRemoteCandidate(m.mline, m.candidate);
            if (m.type == SignalMessage::Bye) break;
        } else if (NowMs() >= deadlineMs || Stopping()) {
            break;
        }
    }
    if (!m_pLink->IsOpen()) return PPPP_ERR_TIMEOUT;
    ZTRACE("internet route: channel to %s open after %llu ms\n", m_strDid.c_str(), Since(m_qwStartedMs));
    return PPPP_OK;
}

int CViewerCall::Greet(uint64_t deadlineMs) {
    uint8_t frame[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    hello.version = VersionOnLink(true);
    hello.did = m_strDid;
    hello.deadPeerMs = m_config.dwDeadPeerMs;
    const size_t size = MakeHello(frame, hello);
    if (m_pLink->Send(frame, size, nullptr, 0) != static_cast<long>(size)) return PPPP_ERR_REFUSED;
    // Exactly the answer is read; what follows belongs to the session.
    size_t got = 0, want = kFrameHeaderSize;
    while (got < want) {
        const long n = m_pLink->Receive(frame + got, want - got);
        if (n < 0) return PPPP_ERR_REFUSED;
        if (n == 0) {
            const uint64_t now = NowMs();
            if (now >= deadlineMs) return PPPP_ERR_TIMEOUT;
            m_pLink->WaitReadable(static_cast<int>(std::min<uint64_t>(deadlineMs - now, 100)));
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
            ZTRACE("%s refused the session (%d)\n", m_strDid.c_str(), reason);
        return PPPP_ERR_REFUSED;
    }
    // An older device would take a login that is not bound to this channel.
    if (welcome.version < LowestPeerVersion(true)) {
        ZTRACE("%s speaks version %u; the internet route needs %u\n", m_strDid.c_str(), welcome.version,
               LowestPeerVersion(true));
        return PPPP_ERR_REFUSED;
    }
    auto session =
        m_host.AddSession(MakeSessionParams(m_config, 1, m_strDid, welcome.version, welcome.deadPeerMs), m_pLink);
    if (!session) return PPPP_ERR_TOO_MANY;
    return session->Handle();
}

void CViewerCall::GiveUp() {
    SignalMessage bye;
    bye.type = SignalMessage::Bye;
    Send(bye);
    if (m_pLink) m_pLink->Shut();
}

bool CViewerCall::Send(SignalMessage message) {
    return SendSignal(*m_pSignalling, m_strDid, m_strSid, std::move(message));
}

void CViewerCall::Deliver(SignalMessage message) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_inbox.size() >= kMaxInbox) return;
    m_inbox.push_back(std::move(message));
    m_cv.notify_all();
}

void CViewerCall::Stop() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bStopping = true;
    m_cv.notify_all();
}

bool CViewerCall::Stopping() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bStopping;
}

bool CViewerCall::Next(SignalMessage* out, uint64_t untilMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        if (!m_inbox.empty()) {
            *out = std::move(m_inbox.front());
            m_inbox.pop_front();
            return true;
        }
        const uint64_t now = NowMs();
        if (now >= untilMs || m_bStopping) return false;
        m_cv.wait_for(hold, std::chrono::milliseconds(untilMs - now));
    }
}

}  // namespace pppp
