#pragma once
// The internet route of one transport: the broker connection, the device side
// (a device whose DID is the rendezvous user answers calls with a peer
// connection per attempt and hands each opened channel to the device's
// handshake), and the viewer side (call a device by DID, answer its offer,
// greet it on the opened channel).
//
// Device attempts run on the route's own thread: messages from the broker
// and channel events only queue work and wake it. At most kMaxAttempts are
// under way per device; one whose channel is not open within kAttemptMs is
// abandoned, and an opened one must deliver its Hello within the handshake time.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"
#include "transport/internet/Config.h"
#include "transport/internet/SignalMessage.h"
#include "transport/internet/Signalling.h"
#include "transport/internet/WebRtcLink.h"

namespace pppp {

class CInternetRoute {
public:
    static constexpr size_t kMaxAttempts = 8;
    // One viewer calling again and again pushes out its own oldest attempt, not other viewers'.
    static constexpr size_t kMaxAttemptsPerViewer = 2;
    // Remote candidates taken per attempt; a real peer has a handful.
    static constexpr uint32_t kMaxRemoteCandidates = 32;
    static constexpr uint32_t kAttemptMs = 15000;

    CInternetRoute(const CConfig& config, const CRendezvousConfig& rendezvous, ISessionHost& host,
                   CDeviceSide& device);
    ~CInternetRoute();
    CInternetRoute(const CInternetRoute&) = delete;
    CInternetRoute& operator=(const CInternetRoute&) = delete;

    bool Start();
    // Ends every attempt and the broker connection.
    void Stop();

    const CRendezvousConfig& Rendezvous() const { return m_rendezvous; }
    // Viewer: a session with `did` over the route by `deadline` (NowMs):
    // a handle, or -6 not found, -7 refused, -3 time-out.
    int Connect(const std::string& did, uint64_t deadlineMs);

private:
    struct DeviceAttempt {
        std::string viewer, sid;
        std::shared_ptr<CWebRtcLink> link;
        uint64_t startedMs = 0;
        uint64_t openedMs = 0;  // 0 until the channel opened
        uint32_t candidates = 0;
        uint8_t hello[kFrameHeaderSize + kMaxHandshakePayload] = {};
        size_t got = 0;
    };
    struct ViewerAttempt {
        std::mutex lock;
        std::condition_variable cv;
        std::deque<SignalMessage> inbox;
    };
    struct Incoming {
        std::string from;
        SignalMessage message;
    };

    void OnSignal(const std::string& from, const uint8_t* data, size_t size);
    void RouteLoop();
    void HandleDeviceMessage(const Incoming& in);
    void StartDeviceAttempt(const std::string& viewer, const std::string& sid);
    // False when the attempt is over (handed to the device or failed).
    bool AdvanceDeviceAttempt(DeviceAttempt& attempt, uint64_t now);
    void EndDeviceAttempt(DeviceAttempt& attempt, bool sayBye);
    void Refuse(const std::string& viewer, const std::string& sid, const char* reason);
    // The servers a side uses, with credentials made for this attempt.
    PeerIceServers OwnServers(const std::string& who, const std::string& sid) const;
    std::vector<IceServerEntry> ServersForViewer(const std::string& viewer, const std::string& sid) const;
    int Greet(const std::string& did, const std::shared_ptr<CWebRtcLink>& link, uint64_t deadlineMs);

    const CConfig m_config;
    const CRendezvousConfig m_rendezvous;
    ISessionHost& m_host;
    CDeviceSide& m_device;
    std::shared_ptr<CSignalling> m_pSignalling;

    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bStopping = false;
    std::deque<Incoming> m_incoming;                             // for the route thread
    std::map<std::string, std::shared_ptr<ViewerAttempt>> m_viewerAttempts;  // by did + "/" + sid
    std::thread m_thread;

    // Route thread only.
    std::map<std::string, DeviceAttempt> m_attempts;  // by viewer + "/" + sid
    // Refused links stay a moment, so that the refusal reaches the viewer.
    std::deque<std::pair<uint64_t, std::shared_ptr<CWebRtcLink>>> m_refused;
    bool m_bServing = false;
};

}  // namespace pppp
