#include "transport/Transport.h"

#include <algorithm>
#include <climits>

#include "platform/Trace.h"
#include "transport/Discovery.h"
#include "transport/Socket.h"
#include "transport/TcpLink.h"

namespace pppp {
namespace {

constexpr uint32_t kDefaultConnectMs = 5000;

// Waits for `events` on `fd` until `deadline`; false on time-out.
bool WaitFd(NativeSocket fd, short events, uint64_t deadline) {
    for (;;) {
        const uint64_t now = NowMs();
        if (now >= deadline) return false;
        pollfd p{fd, events, 0};
        const int n = PollSockets(&p, 1, static_cast<int>(deadline - now));
        if (n > 0) return true;
        if (n < 0) return false;
    }
}

// PPPP_OK, PPPP_ERR_TIMEOUT, or PPPP_ERR_REFUSED when the connection ends or breaks.
int ReceiveExactly(NativeSocket fd, uint8_t* out, size_t size, uint64_t deadline) {
    size_t got = 0;
    while (got < size) {
        const long n = ReceiveSome(fd, out + got, size - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n != kWouldBlock) return PPPP_ERR_REFUSED;
        if (!WaitFd(fd, POLLIN, deadline)) return PPPP_ERR_TIMEOUT;
    }
    return PPPP_OK;
}

int SendExactly(NativeSocket fd, const uint8_t* data, size_t size, uint64_t deadline) {
    size_t sent = 0;
    while (sent < size) {
        const long n = SendSome(fd, data + sent, size - sent, nullptr, 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n != kWouldBlock) return PPPP_ERR_REFUSED;
        if (!WaitFd(fd, POLLOUT, deadline)) return PPPP_ERR_TIMEOUT;
    }
    return PPPP_OK;
}

}  // namespace

CTransport::CTransport(const CConfig& config, const RouteMaker& internetRoute)
    : m_config(config), m_device(config, *this) {
    if (internetRoute) m_pRoute = internetRoute(config, *this, m_device);
}

CTransport::~CTransport() { Shutdown(); }

bool CTransport::Start() { return m_sockets.Started() && m_device.Start() && (!m_pRoute || m_pRoute->Start()); }

void CTransport::Shutdown() {
    {
        std::lock_guard<std::mutex> hold(m_tableLock);
        if (m_bShutdown) return;
        m_bShutdown = true;
    }
    if (m_pRoute) m_pRoute->Stop();
    m_device.Stop();
    std::unordered_map<int, std::shared_ptr<CSession>> sessions;
    std::vector<std::shared_ptr<CSession>> pumps;
    {
        std::lock_guard<std::mutex> hold(m_tableLock);
        sessions.swap(m_sessions);
        pumps.swap(m_pumps);
    }
    // All are closed before any pump runs to drop its socket, so that no
    // session of this process sees another one's end as its peer's.
    for (auto& entry : sessions) entry.second->Close(false, false);
    for (auto& session : pumps) session->Close(false, false);
    for (auto& session : pumps) {
        session->WakePump();
        session->Join();
    }
    sessions.clear();
    pumps.clear();
    // The internet route's connections are stopped on a thread of their own; wait for them.
    if (m_pRoute) m_pRoute->FinishTeardowns();
}

std::shared_ptr<CSession> CTransport::AddSession(const SessionParams& params, std::shared_ptr<ILink> link) {
    std::vector<std::shared_ptr<CSession>> done;
    std::shared_ptr<CSession> session;
    {
        std::lock_guard<std::mutex> hold(m_tableLock);
        if (m_bShutdown || m_sessions.size() >= kMaxSessions) return nullptr;
        while (m_sessions.count(m_nNextHandle)) m_nNextHandle = m_nNextHandle == INT_MAX ? 1 : m_nNextHandle + 1;
        SessionParams p = params;
        p.handle = m_nNextHandle;
        m_nNextHandle = m_nNextHandle == INT_MAX ? 1 : m_nNextHandle + 1;
        session = std::make_shared<CSession>(p, std::move(link));
        if (!session->Start()) return nullptr;
        m_sessions[p.handle] = session;
        TakeFinishedPumps(done);
        m_pumps.push_back(session);
    }
    for (auto& d : done) d->Join();
    return session;
}

void CTransport::DropSession(int handle) { Close(handle); }

void CTransport::TakeFinishedPumps(std::vector<std::shared_ptr<CSession>>& done) {
    for (auto it = m_pumps.begin(); it != m_pumps.end();) {
        if ((*it)->PumpDone()) {
            done.push_back(std::move(*it));
            it = m_pumps.erase(it);
        } else {
            ++it;
        }
    }
}

void CTransport::ReapPumps() {
    std::vector<std::shared_ptr<CSession>> done;
    {
        std::lock_guard<std::mutex> hold(m_tableLock);
        TakeFinishedPumps(done);
    }
    for (auto& d : done) d->Join();
}

std::shared_ptr<CSession> CTransport::Find(int handle) {
    std::lock_guard<std::mutex> hold(m_tableLock);
    auto it = m_sessions.find(handle);
    return it == m_sessions.end() ? nullptr : it->second;
}

int CTransport::ChannelBinding(int handle, uint8_t* out, int size) {
    if (!out) return PPPP_ERR_BAD_ARGUMENT;
    auto s = Find(handle);
    return s ? s->Binding(out, size) : PPPP_ERR_CLOSED_LOCALLY;
}

int CTransport::Check(int handle, uint8_t* record) {
    if (!record) return PPPP_ERR_BAD_ARGUMENT;
    auto s = Find(handle);
    return s ? s->Check(record) : PPPP_ERR_CLOSED_LOCALLY;
}

int CTransport::Read(int handle, uint8_t channel, char* buffer, int* size, uint32_t timeoutMs) {
    auto s = Find(handle);
    if (!s) {
        if (size) *size = 0;
        return PPPP_ERR_CLOSED_LOCALLY;
    }
    return s->Read(channel, buffer, size, timeoutMs);
}

int CTransport::Write(int handle, uint8_t channel, const char* buffer, int size) {
    auto s = Find(handle);
    return s ? s->Write(channel, buffer, size) : PPPP_ERR_CLOSED_LOCALLY;
}

int CTransport::CheckBuffer(int handle, uint8_t channel, unsigned int* writePending, unsigned int* readPending) {
    auto s = Find(handle);
    return s ? s->CheckBuffer(channel, writePending, readPending) : PPPP_ERR_CLOSED_LOCALLY;
}

int CTransport::WaitBuffer(int handle, uint32_t maxQueued, uint32_t timeoutMs) {
    auto s = Find(handle);
    return s ? s->WaitBuffer(maxQueued, timeoutMs) : PPPP_ERR_CLOSED_LOCALLY;
}

int CTransport::Close(int handle) {
    std::shared_ptr<CSession> s;
    {
        std::lock_guard<std::mutex> hold(m_tableLock);
        auto it = m_sessions.find(handle);
        if (it == m_sessions.end()) return PPPP_ERR_CLOSED_LOCALLY;
        s = std::move(it->second);
        m_sessions.erase(it);
    }
    s->Close(true);
    ReapPumps();
    return PPPP_OK;
}

// ---- viewer side -----------------------------------------------------------

int CTransport::ConnectAddress(const std::string& did, const sockaddr_in& address, uint64_t deadline) {
    CFd fd = OpenTcpSocket();
    if (!fd.Valid()) return PPPP_ERR_TOO_MANY;
    TuneSessionSocket(fd.Get(), m_config.dwSendBufferBytes, m_config.dwReceiveBufferBytes);
    const ConnectStart started = StartConnect(fd.Get(), address);
    if (started == ConnectStart::kFailed) return PPPP_ERR_DEVICE_NOT_FOUND;
    if (started == ConnectStart::kPending) {
        if (!WaitFd(fd.Get(), POLLOUT, deadline)) return PPPP_ERR_TIMEOUT;
        if (!ConnectSucceeded(fd.Get())) return PPPP_ERR_DEVICE_NOT_FOUND;
    }
    uint8_t frame[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    hello.did = did;
    hello.deadPeerMs = m_config.dwDeadPeerMs;
    int r = SendExactly(fd.Get(), frame, MakeHello(frame, hello), deadline);
    if (r != PPPP_OK) return r;
    if ((r = ReceiveExactly(fd.Get(), frame, kFrameHeaderSize, deadline)) != PPPP_OK) return r;
    const FrameHeader header = ReadFrameHeader(frame);
    if ((header.type != FrameWelcome && header.type != FrameRefuse) || header.length > kMaxHandshakePayload)
        return PPPP_ERR_REFUSED;
    if ((r = ReceiveExactly(fd.Get(), frame, header.length, deadline)) != PPPP_OK) return r;
    Welcome welcome;
    if (header.type == FrameRefuse || !ParseWelcome(frame, header.length, &welcome)) {
        RefuseReason reason{};
        if (ParseRefuse(frame, header.length, &reason)) ZTRACE("%s refused the session (%d)\n", did.c_str(), reason);
        return PPPP_ERR_REFUSED;
    }
    auto link = CTcpLink::Create(std::move(fd));
    if (!link) return PPPP_ERR_TOO_MANY;
    auto session =
        AddSession(MakeSessionParams(m_config, 1, did, welcome.version, welcome.deadPeerMs), std::move(link));
    if (!session) return PPPP_ERR_TOO_MANY;
    ZTRACE("session %d to %s opened\n", session->Handle(), did.c_str());
    return session->Handle();
}

int CTransport::ConnectTo(const char* did, const char* address, uint32_t timeoutMs) {
    if (!IsValidDid(did)) return PPPP_ERR_BAD_DID;
    sockaddr_in a{};
    if (!ResolveAddress(address, &a)) return PPPP_ERR_BAD_ARGUMENT;
    return ConnectAddress(did, a, NowMs() + (timeoutMs ? timeoutMs : kDefaultConnectMs));
}

int CTransport::Connect(const char* did, uint32_t timeoutMs) {
    if (!IsValidDid(did)) return PPPP_ERR_BAD_DID;
    const uint64_t deadline = NowMs() + (timeoutMs ? timeoutMs : kDefaultConnectMs);
    // With the internet route, the local network has its moment first.
    // A device's rendezvous account can only be called, it calls nobody.
    const std::optional<uint32_t> lanWait = m_pRoute ? m_pRoute->ViewerLanWaitMs() : std::nullopt;
    const bool internet = lanWait.has_value();
    const uint64_t lanDeadline = internet ? std::min(deadline, NowMs() + *lanWait) : deadline;
    int result = PPPP_ERR_DEVICE_NOT_FOUND;
    // An answer may come from a device that has just gone; ask again while time is left.
    for (;;) {
        const uint64_t now = NowMs();
        if (now >= lanDeadline) break;
        sockaddr_in found{};
        if (!FindDevice(m_config, did, static_cast<uint32_t>(lanDeadline - now), &found)) {
            result = PPPP_ERR_DEVICE_NOT_FOUND;
            break;
        }
        result = ConnectAddress(did, found, deadline);
        if (result >= 0 || result == PPPP_ERR_REFUSED || result == PPPP_ERR_TOO_MANY) return result;
    }
    if (!internet || NowMs() >= deadline) return result;
    return m_pRoute->Connect(did, deadline);
}

}  // namespace pppp
