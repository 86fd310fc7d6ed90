#pragma once
// The device side of the transport: for every DID this process serves, a
// listening TCP socket and answers to discovery; new connections introduce
// themselves (Hello) within the handshake time or are dropped; accepted
// sessions wait (at most kMaxWaiting) until PPPP_Listen takes them.
//
// One hub thread does all of this with non-blocking sockets, so a flood of
// connections that never speak costs neither threads nor unbounded memory: at
// most kMaxHandshakes wait per device. When a new one comes to a full table,
// what has arrived is read first, so a viewer whose Hello is here is welcomed
// rather than dropped, whatever number of addresses the others use; then the
// address holding the most entries gives up its oldest, so that one flooding
// address pushes out its own connections, not other viewers'.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/InitString.h"
#include "transport/Session.h"
#include "transport/Socket.h"
#include "transport/Wire.h"

namespace pppp {

// Where new sessions get their handles.
class ISessionHost {
public:
    virtual ~ISessionHost() = default;
    // Makes, registers and starts a session; null when the process cannot take one more.
    virtual std::shared_ptr<CSession> AddSession(const SessionParams& params, std::shared_ptr<ILink> link) = 0;
    // Closes and forgets a session that no listen took.
    virtual void DropSession(int handle) = 0;
};

// What another route needs of the device side: whether a device is served, and
// the door for a viewer that arrived on a link of that route.
class IDeviceSide {
public:
    virtual ~IDeviceSide() = default;
    // Whether a device for `did` is open (listened for and not closed by a
    // break) and reachable from other hosts.
    virtual bool IsServing(const std::string& did) = 0;
    // A viewer's Hello that arrived on a link of another route, nothing else
    // read from it yet: answered as on TCP (Welcome and a waiting session, or
    // Refuse). A link that needs acknowledgements needs a Hello of a version
    // that speaks them.
    virtual void AcceptLink(std::shared_ptr<ILink> link, const Hello& hello) = 0;
};

class CDeviceSide final : public IDeviceSide {
public:
    static constexpr size_t kMaxHandshakes = 32;
    static constexpr size_t kMaxWaiting = 8;

    CDeviceSide(const CConfig& config, ISessionHost& host);
    ~CDeviceSide() override;
    CDeviceSide(const CDeviceSide&) = delete;
    CDeviceSide& operator=(const CDeviceSide&) = delete;

    bool Start();
    // Ends pending listens, closes every device, stops the hub thread.
    void Stop();

    int Listen(const char* did, unsigned int waitSeconds, unsigned int port, bool remote);
    void Break();

    void AcceptLink(std::shared_ptr<ILink> link, const Hello& hello) override;
    bool IsServing(const std::string& did) override;

private:
    struct Handshake {
        CFd fd;
        uint32_t peer = 0;  // IPv4 address, network order
        uint64_t deadline = 0;
        uint8_t buffer[kFrameHeaderSize + kMaxHandshakePayload] = {};
        size_t got = 0;
    };
    struct Device {
        std::string did;
        bool remote = false;
        uint16_t port = 0;
        CFd listener;
        uint64_t acceptPausedUntil = 0;  // out of descriptors: accept again from then
        std::deque<Handshake> handshakes;
        std::deque<std::shared_ptr<CSession>> waiting;
    };

    int OpenDevice(const std::string& did, uint16_t port, bool remote);
    CFd OpenDiscoverySocket() const;
    void CloseDevicesLocked(std::vector<std::shared_ptr<CSession>>* orphans);
    void DropAll(const std::vector<std::shared_ptr<CSession>>& orphans);
    void WakeHub();
    void HubLoop();
    void AnswerQueries();
    void AcceptConnections(Device& device);
    // Makes room in a full table; false when it is empty.
    bool EvictHandshake(Device& device);
    // False when the handshake is over (done or failed) and its entry may go.
    bool AdvanceHandshake(Device& device, Handshake& handshake);
    // Under m_lock.
    void AcceptHello(Device& device, std::shared_ptr<ILink> link, const Hello& hello);

    // First, so the system's sockets outlast the hub's (the device side may be used alone).
    CSocketsInUse m_sockets;
    const CConfig m_config;
    ISessionHost& m_host;

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::map<std::string, std::unique_ptr<Device>> m_devices;
    CFd m_discovery;
    CWakeSignal m_wake;
    std::thread m_hub;
    bool m_bStopping = false;
    int m_nListening = 0;
    uint64_t m_qwBreaks = 0;
    bool m_bStickyBreak = false;
    std::mutex m_openLock;  // one device opens at a time (port and probe)
};

}  // namespace pppp
