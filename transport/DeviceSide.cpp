#include "transport/DeviceSide.h"

#include <algorithm>
#include <chrono>

#include "platform/Trace.h"
#include "transport/Discovery.h"
#include "transport/TcpLink.h"

namespace pppp {

CDeviceSide::CDeviceSide(const CConfig& config, ISessionHost& host) : m_config(config), m_host(host) {}

CDeviceSide::~CDeviceSide() { Stop(); }

bool CDeviceSide::Start() {
    if (!m_sockets.Started() || !m_wake.Open()) return false;
    return StartThread(m_hub, [this] { HubLoop(); });
}

void CDeviceSide::Stop() {
    std::vector<std::shared_ptr<CSession>> orphans;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bStopping = true;
        ++m_qwBreaks;
        CloseDevicesLocked(&orphans);
        m_cv.notify_all();
    }
    WakeHub();
    if (m_hub.joinable()) m_hub.join();
    DropAll(orphans);
}

void CDeviceSide::WakeHub() {
    m_wake.Signal();
}

void CDeviceSide::CloseDevicesLocked(std::vector<std::shared_ptr<CSession>>* orphans) {
    for (auto& entry : m_devices) {
        for (auto& session : entry.second->waiting) orphans->push_back(session);
        ZTRACE("device %s closed\n", entry.first.c_str());
    }
    m_devices.clear();
    // With no device left there is nothing to answer for; the port is free for others.
    m_discovery.Reset();
}

void CDeviceSide::DropAll(const std::vector<std::shared_ptr<CSession>>& orphans) {
    for (const auto& session : orphans) m_host.DropSession(session->Handle());
}

// ---- listening -------------------------------------------------------------

CFd CDeviceSide::OpenDiscoverySocket() const {
    // For this host only, the socket hears loopback's broadcast and nothing
    // sent to the host's other addresses.
    return OpenUdpSocket(m_config.wDiscoveryPort, m_config.bLoopbackOnly ? kLoopbackBroadcast : INADDR_ANY);
}

int CDeviceSide::OpenDevice(const std::string& did, uint16_t port, bool remote) {
    std::lock_guard<std::mutex> opening(m_openLock);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_devices.count(did)) return PPPP_OK;
    }
    auto device = std::make_unique<Device>();
    device->did = did;
    // A process configured for this host only serves this host only, whatever a listen asks.
    device->remote = remote && !m_config.bLoopbackOnly;
    device->listener = OpenTcpListener(!device->remote, port, &device->port);
    if (!device->listener.Valid()) {
        ZTRACE("%s: cannot listen on TCP port %u (error %d)\n", did.c_str(), port, LastSocketError());
        return PPPP_ERR_CANNOT_LISTEN;
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_discovery.Valid()) {
            m_discovery = OpenDiscoverySocket();
            if (!m_discovery.Valid()) {
                ZTRACE("%s: cannot use discovery port %u (error %d)\n", did.c_str(), m_config.wDiscoveryPort,
                       LastSocketError());
                return PPPP_ERR_CANNOT_LISTEN;
            }
        }
    }
    // A DID has one device: ask whether another already serves it.
    sockaddr_in other{};
    if (m_config.bProbe && FindDevice(m_config, did, m_config.dwProbeMs, &other)) {
        ZTRACE("%s is already served at port %u\n", did.c_str(), ntohs(other.sin_port));
        return PPPP_ERR_CANNOT_LISTEN;
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) return PPPP_ERR_INTERRUPTED;
        if (!m_discovery.Valid()) m_discovery = OpenDiscoverySocket();
        if (!m_discovery.Valid()) return PPPP_ERR_CANNOT_LISTEN;
        ZTRACE("device %s open on TCP port %u, discovery port %u\n", did.c_str(), device->port,
               m_config.wDiscoveryPort);
        m_devices[did] = std::move(device);
    }
    WakeHub();
    return PPPP_OK;
}

int CDeviceSide::Listen(const char* did, unsigned int waitSeconds, unsigned int port, bool remote) {
    if (!IsValidDid(did)) return PPPP_ERR_BAD_DID;
    if (port > 65535) return PPPP_ERR_BAD_ARGUMENT;
    const std::string name(did);
    uint64_t breaks;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) return PPPP_ERR_NOT_INITIALISED;
        if (m_bStickyBreak) {
            m_bStickyBreak = false;
            return PPPP_ERR_INTERRUPTED;
        }
        breaks = m_qwBreaks;
        ++m_nListening;
    }
    const uint16_t wanted = port ? static_cast<uint16_t>(port) : m_config.wSessionPort;
    const int opened = OpenDevice(name, wanted, remote);

    std::vector<std::shared_ptr<CSession>> orphans;
    std::shared_ptr<CSession> taken;
    int result = PPPP_ERR_TIMEOUT;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        for (;;) {
            if (opened != PPPP_OK) {
                result = opened;
                break;
            }
            if (m_bStopping || m_qwBreaks != breaks) {
                // A break while this device was being opened closes it as well.
                auto it = m_devices.find(name);
                if (it != m_devices.end() && m_qwBreaks != breaks && !m_bStopping) {
                    for (auto& s : it->second->waiting) orphans.push_back(s);
                    m_devices.erase(it);
                    if (m_devices.empty()) m_discovery.Reset();
                }
                result = PPPP_ERR_INTERRUPTED;
                break;
            }
            auto it = m_devices.find(name);
            if (it == m_devices.end()) {
                result = PPPP_ERR_INTERRUPTED;
                break;
            }
            auto& waiting = it->second->waiting;
            // Viewers that left while waiting are not worth a handle.
            while (!waiting.empty() && waiting.front()->State() != PPPP_OK) {
                orphans.push_back(waiting.front());
                waiting.pop_front();
            }
            if (!waiting.empty()) {
                taken = waiting.front();
                waiting.pop_front();
                result = taken->Handle();
                break;
            }
            if (waitSeconds == 0) {
                m_cv.wait(hold);
            } else if (m_cv.wait_until(hold, deadline) == std::cv_status::timeout) {
                result = PPPP_ERR_TIMEOUT;
                // One last look below, then give up.
                if (it = m_devices.find(name); it == m_devices.end() || it->second->waiting.empty()) break;
            }
        }
        --m_nListening;
    }
    DropAll(orphans);
    return result;
}

void CDeviceSide::Break() {
    std::vector<std::shared_ptr<CSession>> orphans;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        // Nobody listening: the next listen is the one to stop.
        if (m_nListening == 0) m_bStickyBreak = true;
        ++m_qwBreaks;
        CloseDevicesLocked(&orphans);
        m_cv.notify_all();
    }
    WakeHub();
    DropAll(orphans);
}

// ---- the hub ---------------------------------------------------------------

void CDeviceSide::HubLoop() {
    std::vector<pollfd> fds;
    for (;;) {
        int timeout = -1;
        fds.clear();
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_bStopping) break;
            fds.push_back({m_wake.Handle(), POLLIN, 0});
            if (m_discovery.Valid()) fds.push_back({m_discovery.Get(), POLLIN, 0});
            const uint64_t now = NowMs();
            for (auto& entry : m_devices) {
                Device& d = *entry.second;
                if (d.acceptPausedUntil > now) {
                    const int left = static_cast<int>(d.acceptPausedUntil - now);
                    timeout = timeout < 0 ? left : std::min(timeout, left);
                } else {
                    fds.push_back({d.listener.Get(), POLLIN, 0});
                }
                for (auto& h : d.handshakes) {
                    fds.push_back({h.fd.Get(), POLLIN, 0});
                    const int left = h.deadline > now ? static_cast<int>(h.deadline - now) : 0;
                    timeout = timeout < 0 ? left : std::min(timeout, left);
                }
            }
        }
        PollSockets(fds.data(), fds.size(), timeout);

        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bStopping) break;
        m_wake.Drain();
        // Descriptors are looked up again under the lock: one closed meanwhile
        // (a break) is simply not found.
        for (const pollfd& p : fds) {
            if (!p.revents || p.fd == m_wake.Handle()) continue;
            if (m_discovery.Valid() && p.fd == m_discovery.Get()) {
                AnswerQueries();
                continue;
            }
            for (auto& entry : m_devices) {
                Device& d = *entry.second;
                if (p.fd == d.listener.Get()) {
                    AcceptConnections(d);
                    break;
                }
                auto it = std::find_if(d.handshakes.begin(), d.handshakes.end(),
                                       [&](const Handshake& h) { return h.fd.Get() == p.fd; });
                if (it != d.handshakes.end()) {
                    if (!AdvanceHandshake(d, *it)) d.handshakes.erase(it);
                    break;
                }
            }
        }
        const uint64_t now = NowMs();
        for (auto& entry : m_devices) {
            auto& hs = entry.second->handshakes;
            hs.erase(std::remove_if(hs.begin(), hs.end(), [&](const Handshake& h) { return h.deadline <= now; }),
                     hs.end());
        }
    }
}

void CDeviceSide::AnswerQueries() {
    for (int i = 0; i < 64; ++i) {
        uint8_t in[kMaxDatagram + 1];
        sockaddr_in from{};
        const long n = ReceiveDatagram(m_discovery.Get(), in, sizeof in, &from);
        if (n < 0) return;
        Datagram query;
        if (!ParseDatagram(in, static_cast<size_t>(n), &query) || query.type != DatagramQuery) continue;
        auto it = m_devices.find(query.did);
        if (it == m_devices.end()) continue;
        const Device& d = *it->second;
        if (!d.remote && !IsLoopback(from)) continue;
        Datagram answer;
        answer.type = DatagramAnswer;
        answer.nonce = query.nonce;
        answer.port = d.port;
        answer.flags = d.remote ? 1 : 0;
        answer.did = d.did;
        uint8_t out[kMaxDatagram];
        const size_t size = MakeDatagram(out, answer);
        SendDatagram(m_discovery.Get(), out, size, from);
    }
}

bool CDeviceSide::EvictHandshake(Device& device) {
    auto& hs = device.handshakes;
    if (hs.empty()) return false;
    // Hellos already here are taken first: that alone may make room.
    const size_t before = hs.size();
    for (auto it = hs.begin(); it != hs.end();) it = AdvanceHandshake(device, *it) ? it + 1 : hs.erase(it);
    if (hs.size() < before) return true;
    if (hs.empty()) return false;
    // The address with the most entries; among equals, the one whose entry is oldest.
    size_t most = 0;
    auto victim = hs.begin();
    for (auto it = hs.begin(); it != hs.end(); ++it) {
        const size_t count = static_cast<size_t>(
            std::count_if(hs.begin(), hs.end(), [&](const Handshake& h) { return h.peer == it->peer; }));
        if (count > most) {
            most = count;
            victim = it;
        }
    }
    hs.erase(victim);
    return true;
}

void CDeviceSide::AcceptConnections(Device& device) {
    for (int i = 0; i < 64; ++i) {
        sockaddr_in from{};
        bool outOfSockets = false;
        CFd fd = AcceptConnection(device.listener.Get(), &from, &outOfSockets);
        if (!fd.Valid()) {
            // Out of descriptors, the connection stays pending and the socket
            // readable: give way by dropping a handshake, or pause accepting a
            // moment rather than spin.
            if (outOfSockets) {
                if (EvictHandshake(device)) continue;
                device.acceptPausedUntil = NowMs() + 100;
            }
            return;
        }
        TuneSessionSocket(fd.Get(), m_config.dwSendBufferBytes, m_config.dwReceiveBufferBytes);
        if (device.handshakes.size() >= kMaxHandshakes) EvictHandshake(device);
        Handshake h;
        h.fd = std::move(fd);
        h.peer = from.sin_addr.s_addr;
        h.deadline = NowMs() + m_config.dwHandshakeMs;
        device.handshakes.push_back(std::move(h));
    }
}

bool CDeviceSide::AdvanceHandshake(Device& device, Handshake& h) {
    // Exactly the Hello is read, nothing after it: later bytes belong to the
    // session. Whatever of it has arrived is read now, header and payload.
    for (;;) {
        size_t want = kFrameHeaderSize - std::min(h.got, kFrameHeaderSize);
        if (h.got >= kFrameHeaderSize) want = kFrameHeaderSize + ReadFrameHeader(h.buffer).length - h.got;
        if (want == 0) break;  // all of it is here
        const long n = ReceiveSome(h.fd.Get(), h.buffer + h.got, want);
        if (n == 0) return false;
        if (n < 0) return n == kWouldBlock;
        h.got += static_cast<size_t>(n);
        if (h.got < kFrameHeaderSize) continue;
        const FrameHeader header = ReadFrameHeader(h.buffer);
        if (header.type != FrameHello || header.length > kMaxHandshakePayload) {
            ZTRACE("%s: a connection spoke no protocol; dropped\n", device.did.c_str());
            return false;
        }
        if (h.got == kFrameHeaderSize + header.length) break;
    }
    const FrameHeader header = ReadFrameHeader(h.buffer);
    Hello hello;
    if (!ParseHello(h.buffer + kFrameHeaderSize, header.length, &hello)) {
        ZTRACE("%s: a connection sent a bad Hello; dropped\n", device.did.c_str());
        return false;
    }
    if (auto link = CTcpLink::Create(std::move(h.fd))) AcceptHello(device, std::move(link), hello);
    return false;
}

void CDeviceSide::AcceptLink(std::shared_ptr<ILink> link, const Hello& hello) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_devices.find(hello.did);
    if (it == m_devices.end() || m_bStopping) {
        uint8_t out[kFrameHeaderSize + kMaxHandshakePayload];
        link->Send(out, MakeRefuse(out, RefuseUnknownDid), nullptr, 0);
        return;
    }
    AcceptHello(*it->second, std::move(link), hello);
}

bool CDeviceSide::IsServing(const std::string& did) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_devices.find(did);
    // A device that listens for this host only is not offered to the world either.
    return !m_bStopping && it != m_devices.end() && it->second->remote;
}

void CDeviceSide::AcceptHello(Device& device, std::shared_ptr<ILink> link, const Hello& hello) {
    // The answer is the first thing the link carries: a new link takes it whole.
    uint8_t out[kFrameHeaderSize + kMaxHandshakePayload];
    auto refuse = [&](RefuseReason reason) { link->Send(out, MakeRefuse(out, reason), nullptr, 0); };
    if (hello.did != device.did) {
        ZTRACE("%s: refused a session for %s\n", device.did.c_str(), hello.did.c_str());
        refuse(RefuseUnknownDid);
        return;
    }
    if (hello.version < LowestPeerVersion(link->NeedsAcks())) {
        ZTRACE("%s: refused a session of version %u on the internet route (%u needed)\n", device.did.c_str(),
               hello.version, LowestPeerVersion(true));
        refuse(RefuseVersion);
        return;
    }
    if (device.waiting.size() >= kMaxWaiting) {
        refuse(RefuseBusy);
        return;
    }
    Welcome welcome;
    welcome.version = VersionOnLink(link->NeedsAcks());
    welcome.deadPeerMs = m_config.dwDeadPeerMs;
    const size_t size = MakeWelcome(out, welcome);
    if (link->Send(out, size, nullptr, 0) != static_cast<long>(size)) return;
    auto session = m_host.AddSession(
        MakeSessionParams(m_config, 0, device.did, hello.version, hello.deadPeerMs), std::move(link));
    if (!session) return;
    ZTRACE("%s: session %d accepted\n", device.did.c_str(), session->Handle());
    device.waiting.push_back(std::move(session));
    m_cv.notify_all();
}

}  // namespace pppp
