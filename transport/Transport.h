#pragma once
// One initialised transport: the session table, the device side and the
// viewer side. The exported PPPP_* functions (Api.cpp) call into the one
// instance of the process.
//
// Handles: positive, counted up and never reused while the process lives
// (after 2^31 - 1 sessions the count starts again at 1, skipping live ones).
// A handle is forgotten by PPPP_Close; a session whose peer has gone keeps its
// handle until then, so the service sees the gone results, not a stranger.

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"
#include "transport/Route.h"
#include "transport/Session.h"
#include "transport/Socket.h"

namespace pppp {

class CTransport final : public ISessionHost {
public:
    static constexpr size_t kMaxSessions = 1024;

    // With a route maker, devices and viewers are reachable over the internet route as well.
    explicit CTransport(const CConfig& config, const RouteMaker& internetRoute = nullptr);
    ~CTransport() override;

    bool Start();
    // Ends every session and device; joins every thread. Calls still running
    // on other threads return failures.
    void Shutdown();

    int Listen(const char* did, unsigned int waitSeconds, unsigned int port, bool remote) {
        return m_device.Listen(did, waitSeconds, port, remote);
    }
    void ListenBreak() { m_device.Break(); }
    int Check(int handle, uint8_t* record);
    int ChannelBinding(int handle, uint8_t* out, int size);
    int Read(int handle, uint8_t channel, char* buffer, int* size, uint32_t timeoutMs);
    int Write(int handle, uint8_t channel, const char* buffer, int size);
    int CheckBuffer(int handle, uint8_t channel, unsigned int* writePending, unsigned int* readPending);
    int WaitBuffer(int handle, uint32_t maxQueued, uint32_t timeoutMs);
    int Close(int handle);
    int Connect(const char* did, uint32_t timeoutMs);
    int ConnectTo(const char* did, const char* address, uint32_t timeoutMs);
    void SetShareBandwidth(bool share) { m_bShareBandwidth.store(share); }

    std::shared_ptr<CSession> AddSession(const SessionParams& params, std::shared_ptr<ILink> link) override;
    void DropSession(int handle) override;

    const CConfig& Config() const { return m_config; }

private:
    std::shared_ptr<CSession> Find(int handle);
    // Joins the pumps that have ended.
    void ReapPumps();
    // Moves the sessions whose pump thread has ended out of m_pumps; under m_tableLock.
    void TakeFinishedPumps(std::vector<std::shared_ptr<CSession>>& done);
    int ConnectAddress(const std::string& did, const sockaddr_in& address, uint64_t deadline);

    // First, so the system's sockets outlast every socket of the transport.
    CSocketsInUse m_sockets;
    const CConfig m_config;
    std::mutex m_tableLock;
    std::unordered_map<int, std::shared_ptr<CSession>> m_sessions;
    std::vector<std::shared_ptr<CSession>> m_pumps;  // not yet joined
    int m_nNextHandle = 1;
    bool m_bShutdown = false;
    std::atomic<bool> m_bShareBandwidth{false};
    CDeviceSide m_device;
    std::unique_ptr<IRoute> m_pRoute;
};

}  // namespace pppp
