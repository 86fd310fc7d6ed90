#pragma once
// The messages peers exchange through the broker to set up a data channel:
// JSON objects of at most kMaxSignalBytes, each with "type" and "sid" (the
// attempt's id, 16 lower-case hex digits chosen by the viewer). Who sent a
// message is the last level of its topic, never something in the payload.
//
//   call       viewer -> device  version
//   offer      device -> viewer  sdp, ice (RTCIceServer objects)
//   answer     viewer -> device  sdp
//   candidate  both              candidate ("candidate:..."), mline
//   refuse     device -> viewer  reason ("busy" or "version")
//   bye        both              (the attempt is abandoned)
//
// Parsing takes any bytes: what is not such an object, or lacks a member its
// type needs, is refused; unknown members are ignored.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pppp {

constexpr size_t kMaxSignalBytes = 65536;
// Candidates a side takes from its peer per attempt; a real peer has a handful.
constexpr uint32_t kMaxRemoteCandidates = 32;

struct IceServerEntry {
    std::vector<std::string> urls;
    std::string username;
    std::string credential;
};

struct SignalMessage {
    enum Type : uint8_t { Call, Offer, Answer, Candidate, Refuse, Bye };
    Type type = Call;
    std::string sid;
    uint32_t version = 0;                // call
    std::string sdp;                     // offer, answer
    std::vector<IceServerEntry> ice;     // offer
    std::string candidate;               // candidate
    uint32_t mline = 0;                  // candidate
    std::string reason;                  // refuse
};

bool ParseSignalMessage(const uint8_t* data, size_t size, SignalMessage* out);
std::string MakeSignalMessage(const SignalMessage& message);

bool IsValidSid(const std::string& sid);
// A new attempt id from the system's random source.
std::string NewSid();

}  // namespace pppp
