#pragma once
// The wire format of viewer sessions. Every message is one packet:
//
//   offset  width  field
//   0       3      bodyLength       bytes after the header: 16 + payload length (24-bit LE)
//   3       1      kind             1 plain, 2 sealed/len32, 3 sealed/len32 (alt), 4 sealed/len16
//   4       2      command
//   6       2      payloadLength16  the length for kinds 1 and 4
//   6       1      viewerCount      video frames only
//   7       1      deltaFrame       video frames only: 0 key frame (or ungated), 1 other
//   8       1      scrambleByte     sealed kinds with a payload: byte XORed into the payload
//   9       3      reserved (zero)
//   12      4      payloadLength32  the length for kinds 2 and 3
//   16      4      timestampMs      video frames only
//   20      n      payload
//
// Bytes 4 to 19 form the control block, one 16-byte cipher block. All fields
// are little-endian. Offsets named kBody* count from the end of the header.

#include <cstddef>
#include <cstdint>

namespace wire {

// Channels of a session.
inline constexpr uint8_t kChannelControl = 0;
inline constexpr uint8_t kChannelVideo = 1;

// Packet kinds.
inline constexpr uint8_t KindPlain = 1;
inline constexpr uint8_t KindSealed32 = 2;
inline constexpr uint8_t KindSealed32Alt = 3;
inline constexpr uint8_t KindSealed16 = 4;

// Commands from the service to a viewer.
inline constexpr uint16_t CmdModeReport = 0;     // kind 4, channel 0
inline constexpr uint16_t CmdChallenge = 1;      // kind 1, channel 0
inline constexpr uint16_t CmdAuthAccepted = 3;   // kind 1, channel 0
inline constexpr uint16_t CmdAuthRefused = 4;    // kind 1, channel 0
inline constexpr uint16_t CmdVideoFrame = 3;     // kind 2, channel 1
// AuthRefused's payload: none after a wrong answer. On the internet route, a
// device without a password sends it in place of the challenge with this one
// byte: it admits nobody there until its owner sets a password.
inline constexpr uint8_t kRefusedNoPassword = 1;
// ... and after an answer bound to the channel (LoginProof.h) that was made
// over other certificates than the device's: someone sits in the middle.
inline constexpr uint8_t kRefusedOtherChannel = 2;

// Commands from a viewer to the service, all on channel 0.
inline constexpr uint16_t CmdAuthResponse = 2;   // kind 1
inline constexpr uint16_t CmdVideoStart = 1;     // sealed
inline constexpr uint16_t CmdVideoStop = 2;      // sealed
inline constexpr uint16_t CmdMarkSet = 3;        // sealed
inline constexpr uint16_t CmdMarkClear = 4;      // sealed

// Sizes.
inline constexpr size_t kHeaderSize = 4;
inline constexpr size_t kControlBlockSize = 16;
inline constexpr size_t kPacketOverhead = kHeaderSize + kControlBlockSize;  // 20
inline constexpr uint32_t kMaxBodyLength = 0xFFFFFF;
inline constexpr size_t kChallengeSize = 16;
inline constexpr size_t kModeReportSize = 4;
inline constexpr size_t kMaxAuthResponse = 16;
// A login bound to the channel: AuthResponse carries the viewer's proof (16)
// and the binding as the viewer sees it (32); AuthAccepted the wrapped
// session key (16) and the device's proof (16).
inline constexpr size_t kBoundAuthResponse = 48;
inline constexpr size_t kBoundAuthAccepted = 32;
inline constexpr size_t kVideoStartModeSize = 8;       // the mode is read only from payloads this long
inline constexpr size_t kReceiveBufferSize = 1024;     // the service's buffer for one viewer body
inline constexpr size_t kPacketBufferSize = 262144;    // the service's buffer for one video packet
inline constexpr size_t kMaxFramePayload = kPacketBufferSize - kPacketOverhead;  // 262,124

// Packet offsets.
inline constexpr size_t kOffCommand = 4;
inline constexpr size_t kOffPayloadLength16 = 6;
inline constexpr size_t kOffViewerCount = 6;
inline constexpr size_t kOffDeltaFrame = 7;
inline constexpr size_t kOffScrambleByte = 8;
inline constexpr size_t kOffPayloadLength32 = 12;
inline constexpr size_t kOffTimestamp = 16;
inline constexpr size_t kOffPayload = 20;

// The same offsets counted from the start of the body (packet offset - 4).
inline constexpr size_t kBodyCommand = kOffCommand - kHeaderSize;
inline constexpr size_t kBodyPayloadLength16 = kOffPayloadLength16 - kHeaderSize;
inline constexpr size_t kBodyViewerCount = kOffViewerCount - kHeaderSize;
inline constexpr size_t kBodyDeltaFrame = kOffDeltaFrame - kHeaderSize;
inline constexpr size_t kBodyScrambleByte = kOffScrambleByte - kHeaderSize;
inline constexpr size_t kBodyPayloadLength32 = kOffPayloadLength32 - kHeaderSize;
inline constexpr size_t kBodyTimestamp = kOffTimestamp - kHeaderSize;
inline constexpr size_t kBodyPayload = kOffPayload - kHeaderSize;

inline bool IsSealedKind(uint8_t kind) { return kind >= KindSealed32 && kind <= KindSealed16; }
// True for the kinds whose length lives in payloadLength32.
inline bool HasLength32(uint8_t kind) { return kind == KindSealed32 || kind == KindSealed32Alt; }

// Little-endian field access.
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The header: the 32-bit value 16 + n, then the kind stored over its top byte.
void WriteHeader(uint8_t* packet, uint32_t payloadLength, uint8_t kind);
struct PacketHeader {
    uint32_t bodyLength;  // low 24 bits of the first four bytes
    uint8_t kind;         // byte 3
};
PacketHeader ReadHeader(const uint8_t* header);

// The fields a packet is built from; the payload length goes into the
// authoritative field of the kind and the other one stays zero (or carries
// viewerCount and deltaFrame).
struct PacketFields {
    uint8_t kind = KindPlain;
    uint16_t command = 0;
    uint8_t viewerCount = 0;  // kinds 2 and 3 only
    uint8_t deltaFrame = 0;   // kinds 2 and 3 only
    uint32_t timestampMs = 0;
};

// Writes the 20-byte header and control block for a payload of `payloadLength`
// bytes into `packet` (which must hold 20 bytes); the payload itself is the
// caller's to place at offset 20. Returns false, writing nothing, when the
// length does not fit the kind's length field or the 24-bit body length.
bool WritePacketHead(uint8_t* packet, const PacketFields& fields, uint32_t payloadLength);

// Builds a whole packet (head and payload) into `out`. Returns its size,
// 20 + payloadLength, or 0 when it does not fit `capacity` or the length fields.
size_t BuildPacket(uint8_t* out, size_t capacity, const PacketFields& fields, const uint8_t* payload,
                   uint32_t payloadLength);

// The control block of a body (packet without header), read as it stands,
// that is after unsealing for sealed kinds.
struct ControlBlock {
    uint16_t command;
    uint16_t payloadLength16;
    uint8_t viewerCount;
    uint8_t deltaFrame;
    uint8_t scrambleByte;
    uint32_t payloadLength32;
    uint32_t timestampMs;
};
ControlBlock ReadControlBlock(const uint8_t* body);

// The payload length a body announces for its kind: payloadLength32 for kinds
// 2 and 3, payloadLength16 otherwise.
uint32_t AnnouncedPayloadLength(uint8_t kind, const uint8_t* body);

// A key frame starts with a four-byte start code and a High-profile sequence
// parameter set: 00 00 00 01 67 64.
bool IsKeyFrame(const uint8_t* data, size_t length);

}  // namespace wire
