#pragma once
// The broker connection as the route's two sides use it: their own inbox, the
// peers' inboxes, and presence by DID. The real one is an MQTT client
// (Signalling.h); the route's rules are tested through a fake.
//
// Threads: the inbound callback runs on the client's own thread; the other
// calls may come from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "transport/internet/SignalMessage.h"

namespace pppp {

class ISignalling {
public:
    // Called on the client's thread with the sender's name and the payload.
    using MessageFn = std::function<void(const std::string& from, const uint8_t* data, size_t size)>;

    virtual ~ISignalling() = default;
    // Starts connecting (and reconnecting) in the background; false when the
    // client cannot be made.
    virtual bool Start(MessageFn onMessage) = 0;
    // Says goodbye (a device first marks itself absent) and stops.
    virtual void Stop() = 0;
    // Waits until connected and subscribed; false at the deadline (NowMs) or when stopped.
    virtual bool WaitReady(uint64_t deadlineMs) = 0;
    // Sends a message to a peer's inbox. False when not connected.
    virtual bool SendTo(const std::string& peer, const std::string& payload) = 0;
    // A device's presence: 1 present, 0 absent, -1 none known (by the deadline).
    virtual int Presence(const std::string& did, uint64_t deadlineMs) = 0;
    // Device: present or not (kept across reconnects).
    virtual void SetPresent(bool present) = 0;
};

// Sends `message` about attempt `sid` to `peer`; false when it did not go.
bool SendSignal(ISignalling& signalling, const std::string& peer, const std::string& sid, SignalMessage message);

// What a peer does with each candidate it gathers: sends it to `peer` about
// attempt `sid`, while the signalling lives.
std::function<void(uint32_t, const std::string&)> CandidateSender(std::weak_ptr<ISignalling> signalling,
                                                                 std::string peer, std::string sid);

}  // namespace pppp
