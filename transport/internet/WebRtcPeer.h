#pragma once
// One attempt's WebRTC peer connection: a GStreamer webrtcbin in a pipeline of
// its own, ICE through libnice (UDP only, no ICE-TCP, connectivity checks as
// keepalives so a vanished peer shows), and one data channel "pppp", made by
// the offering side (the device), ordered and reliable.
//
// GStreamer calls back on its own threads; the peer's state lives in a
// reference-counted core that every handler holds, so a late callback never
// meets a freed peer. Close hands the pipeline to a teardown thread: stopping
// webrtcbin can take a while and must not run on its own threads.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/Link.h"
#include "transport/internet/Config.h"

namespace pppp {

// Where the data channel's events go (the link).
class IChannelSink {
public:
    virtual ~IChannelSink() = default;
    virtual void OnChannelOpen() = 0;
    virtual void OnChannelMessage(const uint8_t* data, size_t size) = 0;
    // A text message (not part of any stream), the channel closed or failed.
    virtual void OnChannelEnded() = 0;
    virtual void OnBufferedAmountLow() = 0;
};

// STUN/TURN servers as webrtcbin takes them.
struct PeerIceServers {
    std::string stun;                  // "stun://host:port" or empty
    std::vector<std::string> turn;     // "turn(s)://user:pass@host:port?transport=..."
    std::vector<IceServer> turnServers;  // the same without credentials, to name the relay's transport
    void AddStun(const IceServer& s);
    void AddTurn(const IceServer& s, const std::string& user, const std::string& password);
};

// Whether a candidate line may be signalled or accepted: not ICE-TCP, and
// not a host candidate of a private, loopback or link-local address.
bool IsCandidateForTheInternet(const std::string& candidate);

struct PeerCore;

class CWebRtcPeer {
public:
    struct Events {
        std::function<void(const std::string& sdp)> localDescription;  // the offer or the answer
        std::function<void(uint32_t mline, const std::string& candidate)> localCandidate;
        std::function<void()> failed;  // ICE failed or the pipeline broke
    };

    // Loads GStreamer and webrtcbin ahead of the first attempt (slow the first time);
    // false when they cannot be had.
    static bool Prepare();
    // Null when GStreamer or webrtcbin cannot be had.
    static std::unique_ptr<CWebRtcPeer> Create(bool offerer, const PeerIceServers& servers, Events events,
                                               std::shared_ptr<IChannelSink> sink);
    ~CWebRtcPeer();
    CWebRtcPeer(const CWebRtcPeer&) = delete;
    CWebRtcPeer& operator=(const CWebRtcPeer&) = delete;

    // Offerer: makes the channel and the offer (events.localDescription).
    bool StartOffer();
    // Answerer: takes the offer, answers (events.localDescription).
    bool AcceptOffer(const std::string& sdp);
    // Offerer: takes the answer.
    bool AcceptAnswer(const std::string& sdp);
    void AddRemoteCandidate(uint32_t mline, const std::string& candidate);

    // Data channel: false when it is gone.
    bool Send(const uint8_t* data, size_t size);
    uint64_t BufferedAmount() const;
    // The selected ICE pair as route and addresses (path is always the internet's).
    void Describe(LinkInfo* info) const;

    // Stops the peer without waiting; callbacks stop soon after.
    void Close();

private:
    explicit CWebRtcPeer(std::shared_ptr<PeerCore> core) : m_core(std::move(core)) {}
    std::shared_ptr<PeerCore> m_core;
};

// Waits until the peers closed so far are torn down (at de-initialisation).
void DrainPeerTeardowns();

}  // namespace pppp
