#include "transport/internet/InternetRoute.h"

#include <chrono>

#include "platform/Trace.h"
#include "transport/PPPP_API.h"
#include "transport/Socket.h"
#include "transport/internet/Signalling.h"
#include "transport/internet/TurnUdpProbe.h"
#include "transport/internet/WebRtcPeer.h"

namespace pppp {
namespace {

std::string Key(const std::string& peer, const std::string& sid) { return peer + "/" + sid; }

std::unique_ptr<IPeerConnection> MakeWebRtcPeer(bool offerer, const PeerIceServers& servers, PeerEvents events,
                                                std::shared_ptr<IChannelSink> sink) {
    return CWebRtcPeer::Create(offerer, servers, std::move(events), std::move(sink));
}

}  // namespace

RouteSetup SetUpInternetRoute(RouteMaker* maker, std::string* path, std::string* problem) {
    CRendezvousConfig rendezvous;
    switch (LoadRendezvous(&rendezvous, problem)) {
    case RendezvousLoad::Off: return RouteSetup::Off;
    case RendezvousLoad::Unusable: return RouteSetup::Unusable;
    case RendezvousLoad::Loaded: break;
    }
    *path = rendezvous.path;
    *maker = [rendezvous](const CConfig& config, ISessionHost& host, IDeviceSide& devices) -> std::unique_ptr<IRoute> {
        return std::make_unique<CInternetRoute>(config, rendezvous, host, devices);
    };
    return RouteSetup::Configured;
}

CInternetRoute::CInternetRoute(const CConfig& config, const CRendezvousConfig& rendezvous, ISessionHost& host,
                               IDeviceSide& devices)
    : m_config(config), m_rendezvous(rendezvous), m_host(host), m_devices(devices), m_makePeer(MakeWebRtcPeer) {}

CInternetRoute::~CInternetRoute() { Stop(); }

bool CInternetRoute::Start() {
    // Whether each TURN server answers over UDP is known before the first attempt needs it
    // (a viewer learns its TURN servers from the offer; they are usually its STUN server).
    for (const auto& s : m_rendezvous.servers)
        if (s.kind == IceServer::TurnUdp || s.kind == IceServer::Stun) TurnUdpKnown(s.host, s.port);
    m_pSignalling = std::make_shared<CSignalling>(m_rendezvous);
    if (m_rendezvous.IsDevice())
        m_pAnswerer = std::make_unique<CCallAnswerer>(m_config, m_rendezvous, m_pSignalling, m_makePeer, m_devices);
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
        for (auto& entry : m_calls) entry.second->Stop();
    }
    if (m_thread.joinable()) m_thread.join();
    if (m_pSignalling) m_pSignalling->Stop();
}

void CInternetRoute::FinishTeardowns() { DrainPeerTeardowns(); }

std::optional<uint32_t> CInternetRoute::ViewerLanWaitMs() const {
    if (m_rendezvous.IsDevice()) return std::nullopt;
    return m_rendezvous.lanWaitMs;
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
    if (m_pAnswerer) {
        if (m_incoming.size() >= kMaxIncoming) return;
        size_t& mine = m_incomingBy[in.from];
        if (mine >= kMaxIncomingPerViewer) return;
        ++mine;
        m_incoming.push_back(std::move(in));
        m_cv.notify_all();
        return;
    }
    auto it = m_calls.find(Key(from, in.message.sid));
    if (it != m_calls.end()) it->second->Deliver(std::move(in.message));
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
        m_incomingBy.clear();
        hold.unlock();
        bool opening = false;
        if (m_pAnswerer) {
            m_pAnswerer->FollowDevice(usable);
            for (const auto& in : work) m_pAnswerer->Handle(in.from, in.message, NowMs());
            opening = m_pAnswerer->Advance(NowMs());
        }
        hold.lock();
        if (m_bStopping) break;
        if (m_incoming.empty()) m_cv.wait_for(hold, std::chrono::milliseconds(opening ? 5 : 100));
    }
    hold.unlock();
    if (m_pAnswerer) m_pAnswerer->EndAll();
}

int CInternetRoute::Connect(const std::string& did, uint64_t deadlineMs) {
    auto call = std::make_shared<CViewerCall>(m_config, m_rendezvous, m_pSignalling, m_makePeer, m_host, did);
    const int found = call->FindDevice(deadlineMs);
    if (found != PPPP_OK) return found;
    const std::string key = Key(did, call->Sid());
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) return PPPP_ERR_TIMEOUT;
        m_calls[key] = call;
    }
    const int result = call->Open(deadlineMs);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_calls.erase(key);
    }
    return result;
}

}  // namespace pppp
