#pragma once
// The device side of the internet route: a device whose DID is the rendezvous
// user answers each call with a peer connection of its own (an attempt) and
// hands the opened channel to the device side's handshake, as on TCP.
//
// The rules:
// - Calls are answered only while the device is served (listened for and
//   reachable from other hosts); it shows as present on the broker exactly
//   then, and going absent ends every attempt.
// - A call from a viewer the device does not grant is refused ("denied");
//   only a granted viewer's offer carries TURN credentials (Grants.h).
// - A call of a protocol version without acknowledgements is refused ("version").
// - At most kMaxAttempts are under way. A viewer that calls again with
//   kMaxAttemptsPerViewer of its own under way pushes out its own oldest (bye),
//   not other viewers'; a call that finds the table full is refused ("busy").
// - An attempt whose channel is not open within kAttemptMs is abandoned (bye).
//   An opened one must deliver a Hello, and only that, within the handshake time.
// - The viewer's bye ends its attempt; an answer that cannot be used ends it (bye).
//
// Threads: one thread (the route's) makes every call; nothing here locks.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "transport/DeviceSide.h"
#include "transport/InitString.h"
#include "transport/internet/Config.h"
#include "transport/internet/Grants.h"
#include "transport/internet/PeerConnection.h"
#include "transport/internet/SignallingPort.h"
#include "transport/internet/WebRtcLink.h"

namespace pppp {

class CCallAnswerer {
public:
    static constexpr size_t kMaxAttempts = 8;
    static constexpr size_t kMaxAttemptsPerViewer = 2;
    static constexpr uint32_t kAttemptMs = 15000;

    CCallAnswerer(const CConfig& config, const CRendezvousConfig& rendezvous, std::shared_ptr<ISignalling> signalling,
                  PeerFactory makePeer, IDeviceSide& devices);
    ~CCallAnswerer();
    CCallAnswerer(const CCallAnswerer&) = delete;
    CCallAnswerer& operator=(const CCallAnswerer&) = delete;

    // Shows the device present while it is served and peers can be had, absent otherwise.
    void FollowDevice(bool peersUsable);
    // A message from viewer `from`, at `nowMs` (NowMs).
    void Handle(const std::string& from, const SignalMessage& message, uint64_t nowMs);
    // Moves every attempt on; true while any is under way.
    bool Advance(uint64_t nowMs);
    // Ends every attempt, saying bye, and lets refused links go.
    void EndAll();

private:
    struct Attempt {
        std::string viewer, sid;
        std::shared_ptr<CWebRtcLink> link;
        uint64_t startedMs = 0;
        uint64_t openedMs = 0;  // 0 until the channel opened
        uint32_t candidates = 0;
        uint8_t hello[kFrameHeaderSize + kMaxHandshakePayload] = {};
        size_t got = 0;
    };
    using Attempts = std::map<std::string, Attempt>;  // by viewer + "/" + sid

    void TakeCall(const std::string& viewer, const SignalMessage& call, uint64_t nowMs);
    // Ends the viewer's oldest attempt when it has its share under way.
    void MakeRoomFor(const std::string& viewer);
    void StartAttempt(const std::string& viewer, const std::string& sid, bool granted, uint64_t nowMs);
    // False when the attempt is over (handed to the device or failed).
    bool AdvanceAttempt(Attempt& attempt, uint64_t nowMs);
    enum class HelloRead { Whole, Waiting, Failed };
    // Reads what has come of the Hello; Failed ends the attempt.
    HelloRead ReadHello(Attempt& attempt, uint64_t nowMs);
    void End(Attempt& attempt, bool sayBye);
    void Refuse(const std::string& viewer, const std::string& sid, const char* reason);

    const CConfig m_config;
    const CRendezvousConfig m_rendezvous;
    const std::shared_ptr<ISignalling> m_pSignalling;
    const PeerFactory m_makePeer;
    IDeviceSide& m_devices;
    CGrants m_grants;

    Attempts m_attempts;
    // Refused links stay a moment, so that the refusal reaches the viewer.
    std::deque<std::pair<uint64_t, std::shared_ptr<CWebRtcLink>>> m_refused;
    bool m_bServing = false;
};

}  // namespace pppp
