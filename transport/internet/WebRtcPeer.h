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

#include "transport/internet/PeerConnection.h"

namespace pppp {

// Whether a candidate line may be signalled or accepted: not ICE-TCP, and not
// a private, loopback or link-local address, whatever the candidate's type.
bool IsCandidateForTheInternet(const std::string& candidate);

struct PeerCore;

class CWebRtcPeer final : public IPeerConnection {
public:
    using Events = PeerEvents;

    // Loads GStreamer and webrtcbin ahead of the first attempt (slow the first time);
    // false when they cannot be had.
    static bool Prepare();
    // Null when GStreamer or webrtcbin cannot be had.
    static std::unique_ptr<CWebRtcPeer> Create(bool offerer, const PeerIceServers& servers, Events events,
                                               std::shared_ptr<IChannelSink> sink);
    ~CWebRtcPeer() override;
    CWebRtcPeer(const CWebRtcPeer&) = delete;
    CWebRtcPeer& operator=(const CWebRtcPeer&) = delete;

    bool StartOffer() override;
    bool AcceptOffer(const std::string& sdp) override;
    bool AcceptAnswer(const std::string& sdp) override;
    void AddRemoteCandidate(uint32_t mline, const std::string& candidate) override;
    bool Send(const uint8_t* data, size_t size) override;
    uint64_t BufferedAmount() const override;
    // The selected ICE pair as route and addresses (path is always the internet's),
    // and the channel's binding.
    void Describe(LinkInfo* info) const override;
    bool AsksUdpRelay() const override;
    // Callbacks stop soon after.
    void Close() override;

private:
    explicit CWebRtcPeer(std::shared_ptr<PeerCore> core) : m_core(std::move(core)) {}
    std::shared_ptr<PeerCore> m_core;
};

// Waits until the peers closed so far are torn down (at de-initialisation).
void DrainPeerTeardowns();

}  // namespace pppp
