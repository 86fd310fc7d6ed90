#pragma once
// The internet route of one transport: the broker connection shared by both
// sides, and the side this process's account plays. A device's account
// answers calls (CallAnswerer.h) on the route's own thread: messages from the
// broker only queue work and wake it. A viewer's account places calls
// (ViewerCall.h) on the threads that connect; messages from the broker go to
// the call they belong to. The route's thread loads GStreamer ahead of the
// first attempt either way.

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"
#include "transport/Route.h"
#include "transport/internet/CallAnswerer.h"
#include "transport/internet/Config.h"
#include "transport/internet/PeerConnection.h"
#include "transport/internet/SignalMessage.h"
#include "transport/internet/SignallingPort.h"
#include "transport/internet/ViewerCall.h"

namespace pppp {

class CInternetRoute final : public IRoute {
public:
    // Messages waiting for the device side; a flood is cut, not queued without
    // end, and one viewer's flood takes no more than its share of the room.
    static constexpr size_t kMaxIncoming = 256;
    static constexpr size_t kMaxIncomingPerViewer = 32;

    CInternetRoute(const CConfig& config, const CRendezvousConfig& rendezvous, ISessionHost& host,
                   IDeviceSide& devices);
    ~CInternetRoute() override;
    CInternetRoute(const CInternetRoute&) = delete;
    CInternetRoute& operator=(const CInternetRoute&) = delete;

    bool Start() override;
    void Stop() override;
    void FinishTeardowns() override;
    std::optional<uint32_t> ViewerLanWaitMs() const override;
    int Connect(const std::string& did, uint64_t deadlineMs) override;

private:
    struct Incoming {
        std::string from;
        SignalMessage message;
    };

    void OnSignal(const std::string& from, const uint8_t* data, size_t size);
    void RouteLoop();

    const CConfig m_config;
    const CRendezvousConfig m_rendezvous;
    ISessionHost& m_host;
    IDeviceSide& m_devices;
    const PeerFactory m_makePeer;
    std::shared_ptr<ISignalling> m_pSignalling;
    std::unique_ptr<CCallAnswerer> m_pAnswerer;  // a device's account; the route thread's

    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bStopping = false;
    std::deque<Incoming> m_incoming;                            // for the route thread
    std::map<std::string, size_t> m_incomingBy;                 // m_incoming's entries per viewer
    std::map<std::string, std::shared_ptr<CViewerCall>> m_calls;  // by did + "/" + sid
    std::thread m_thread;
};

}  // namespace pppp
