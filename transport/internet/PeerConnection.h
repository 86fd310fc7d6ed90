#pragma once
// One attempt's peer connection as the route's two sides use it: offer or
// answer, candidates, and one data channel whose events go to a sink (the
// link, WebRtcLink.h). The real one is a webrtcbin (WebRtcPeer.h); the sides
// make theirs through a PeerFactory, so their rules run without GStreamer.
//
// Threads: the events and the sink's calls come on the peer's own threads;
// the methods may be called from any thread.

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

// A TURN server with this attempt's credentials.
struct PeerTurnServer {
    IceServer server;
    std::string user, password;
};

// STUN/TURN servers as the peer takes them.
struct PeerIceServers {
    std::string stun;                  // "stun://host:port" or empty
    std::vector<PeerTurnServer> turn;
    std::string tlsCa;                 // the CA a TURN server over TLS is checked against; empty: the system's
    void AddStun(const IceServer& s);
    void AddTurn(const IceServer& s, const std::string& user, const std::string& password);
};

struct PeerEvents {
    std::function<void(const std::string& sdp)> localDescription;  // the offer or the answer
    std::function<void(uint32_t mline, const std::string& candidate)> localCandidate;
    std::function<void()> failed;  // ICE failed or the pipeline broke
};

class IPeerConnection {
public:
    virtual ~IPeerConnection() = default;
    // Offerer: makes the channel and the offer (events.localDescription).
    virtual bool StartOffer() = 0;
    // Answerer: takes the offer, answers (events.localDescription).
    virtual bool AcceptOffer(const std::string& sdp) = 0;
    // Offerer: takes the answer.
    virtual bool AcceptAnswer(const std::string& sdp) = 0;
    virtual void AddRemoteCandidate(uint32_t mline, const std::string& candidate) = 0;

    // Data channel: false when it is gone.
    virtual bool Send(const uint8_t* data, size_t size) = 0;
    virtual uint64_t BufferedAmount() const = 0;
    // The selected route and addresses, and the binding of the channel's DTLS
    // handshake (ChannelBinding.h) once it is known: the channel is reported
    // open only then. Reads only what the peer holds itself.
    virtual void Describe(LinkInfo* info) const = 0;
    // Whether this side asked a TURN server for a relay of its own over UDP
    // (not over TCP or TLS), as decided when it was made.
    virtual bool AsksUdpRelay() const { return false; }

    // Stops the peer without waiting; events stop soon after.
    virtual void Close() = 0;
};

// Makes an attempt's peer, the offering side (the device) or the answering one;
// null when no peer can be had.
using PeerFactory = std::function<std::unique_ptr<IPeerConnection>(
    bool offerer, const PeerIceServers& servers, PeerEvents events, std::shared_ptr<IChannelSink> sink)>;

}  // namespace pppp
