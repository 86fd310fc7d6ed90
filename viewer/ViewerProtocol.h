#pragma once
// The viewer's side of the session protocol, independent of how the bytes
// travel: building what a viewer sends and opening what the service sends.
// The service, the viewer client and the tests share it, so the wire format
// has one definition.
//
// A viewer's login: receive Challenge, send BuildAuthResponse(challenge),
// receive AuthAccepted and pass its payload to AcceptSessionKey; from then on
// commands are sealed with the session key and sealed replies open with it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "wire/LoginProof.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"

namespace session {

using namespace wire;

enum class ServerMessageType { Challenge, AuthAccepted, AuthRefused, ModeReport, VideoFrame, Unknown };

// A message from the service, opened in place: `payload` points into the body.
struct ServerMessage {
    ServerMessageType type = ServerMessageType::Unknown;
    uint8_t kind = 0;
    uint16_t command = 0;
    const uint8_t* payload = nullptr;
    uint32_t payloadLength = 0;
    uint8_t viewerCount = 0;   // VideoFrame
    uint8_t deltaFrame = 0;    // VideoFrame
    uint32_t timestampMs = 0;  // VideoFrame
    uint32_t mode = 0;         // ModeReport
};

// Results of CViewerProtocol::Open.
inline constexpr int kOpenOk = 0;
inline constexpr int kOpenNoKey = -1;      // a sealed message before the session key is known
inline constexpr int kOpenMalformed = -2;  // lengths disagree, or the seal does not open
inline constexpr int kOpenUnknownKind = -3;

class CViewerProtocol {
public:
    explicit CViewerProtocol(std::u16string_view password);

    // AuthResponse for a challenge payload: the challenge (zero-padded to 16
    // bytes) encrypted under the password key; bound, the proof and the
    // binding (68 bytes in all). Returns the packet size, or 0 when
    // `capacity` is too small (36, bound 68).
    size_t BuildAuthResponse(const uint8_t* challenge, size_t challengeLength, uint8_t* out, size_t capacity) const;

    // Binds the login to the session's channel (LoginProof.h): from then on
    // BuildAuthResponse sends a proof over the challenge and `binding`
    // (kBindingSize bytes), and AcceptSessionKey wants the device's proof.
    void BindToChannel(const uint8_t* binding);
    bool IsBound() const { return m_bBound; }

    // Takes the session key from an AuthAccepted payload (16 bytes encrypted
    // under the password key; bound: followed by the device's 16-byte proof).
    // Returns false for a payload of another size or, bound, whose proof
    // does not hold: the device did not answer over this channel.
    bool AcceptSessionKey(const uint8_t* payload, size_t length);
    bool HasSessionKey() const { return m_bHasKey; }
    const uint8_t* SessionKey() const { return m_abySessionKey; }

    // Sealed commands. VideoStart carries the requested mode in an 8-byte
    // payload when one is given, and no payload otherwise. Each returns the
    // packet size, or 0 without a session key or when `capacity` is too small.
    size_t BuildVideoStart(std::optional<uint32_t> mode, uint8_t* out, size_t capacity);
    size_t BuildVideoStop(uint8_t* out, size_t capacity) { return BuildCommand(CmdVideoStop, nullptr, 0, out, capacity); }
    size_t BuildMarkSet(uint8_t* out, size_t capacity) { return BuildCommand(CmdMarkSet, nullptr, 0, out, capacity); }
    size_t BuildMarkClear(uint8_t* out, size_t capacity) { return BuildCommand(CmdMarkClear, nullptr, 0, out, capacity); }
    size_t BuildCommand(uint16_t command, const uint8_t* payload, uint32_t length, uint8_t* out, size_t capacity);

    // Opens a body of `bodyLength` bytes received on `channel` with `kind` from
    // its header. Sealed bodies are unsealed in place with the session key.
    // Returns kOpenOk and fills `message`, or a negative kOpen* result.
    int Open(uint8_t channel, uint8_t kind, uint8_t* body, uint32_t bodyLength, ServerMessage& message) const;

private:
    uint8_t m_abyPassword[kPasswordBufferSize];
    uint8_t m_abySessionKey[kKeySize] = {};
    bool m_bHasKey = false;
    bool m_bBound = false;
    uint8_t m_abyBinding[kBindingSize] = {};
    mutable uint8_t m_abyChallenge[kChallengeSize] = {};  // the last one answered, for the acceptance
    CPacketSealer m_sealer;
};

}  // namespace session
