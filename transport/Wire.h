#pragma once
// What travels between peers, byte by byte (docs/transport.md has the prose):
//
// A session is a TCP stream of frames. Frame header, 6 bytes:
//   0     type (FrameType)
//   1     channel, 0..7 for data; 0 for every other type
//   2..5  payload length, u32 little-endian, at most kMaxFramePayload
// The viewer's first frame is Hello; the device answers Welcome or Refuse.
//
// Data payload received is acknowledged (Ack) where the link needs it.
//
// Discovery is UDP datagrams: a viewer's Query for a DID, broadcast; each
// device serving that DID sends back an Answer with its session port.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/PPPP_API.h"

namespace pppp {

constexpr size_t kFrameHeaderSize = 6;
constexpr uint32_t kMaxFramePayload = PPPP_MAX_WRITE_SIZE;
constexpr int kChannelCount = PPPP_CHANNEL_COUNT;
// The session protocol this side speaks. Version 2 adds the Ack frame;
// a version-1 peer never sees one, so it still works where Acks are not needed.
constexpr uint8_t kProtocolVersion = 2;
constexpr uint8_t kAckVersion = 2;       // the first version that knows Ack
// Version 3 changes nothing in the framing: it says that the login above runs
// bound to the certificates of the link's encryption (LinkInfo::binding).
// Spoken only on links that need Acks (the internet route), so the local
// network's handshake stays as it was.
constexpr uint8_t kBoundVersion = 3;
constexpr uint8_t kDiscoveryVersion = 1;
constexpr uint32_t kAckPayloadSize = 8;  // u64 LE: Data payload bytes received so far
constexpr int kMaxDidLength = PPPP_DID_MAX_LENGTH;

enum FrameType : uint8_t {
    FrameHello = 0x01,
    FrameWelcome = 0x02,
    FrameRefuse = 0x03,
    FrameData = 0x10,
    FrameKeepalive = 0x11,
    FrameGoodbye = 0x12,
    FrameAck = 0x13,
};

// Why a device refuses a session.
enum RefuseReason : uint8_t {
    RefuseUnknownDid = 1,  // this port serves another DID
    RefuseBusy = 2,        // too many viewers wait to be taken
    RefuseVersion = 3,     // no common protocol version
};

struct FrameHeader {
    uint8_t type = 0;
    uint8_t channel = 0;
    uint32_t length = 0;
};

void WriteFrameHeader(uint8_t* out, uint8_t type, uint8_t channel, uint32_t length);
FrameHeader ReadFrameHeader(const uint8_t* in);

// Whether a header may occur inside an open session: a known type, a channel
// below 8 on data, nothing on keepalive and goodbye, exactly the count on an
// ack, no payload beyond the limit.
bool IsValidSessionFrame(const FrameHeader& h);

// The lowest version a device accepts in a Hello: a link that cannot tell
// what reached the peer needs Acks at both ends, and its login bound to the
// channel. Each side says in its greeting the version it speaks on the link.
constexpr uint8_t LowestPeerVersion(bool linkNeedsAcks) { return linkNeedsAcks ? kBoundVersion : 1; }
constexpr uint8_t VersionOnLink(bool linkNeedsAcks) { return linkNeedsAcks ? kBoundVersion : kProtocolVersion; }

// 1 to 20 bytes of 'A'-'Z', '0'-'9', '-', '_'.
bool IsValidDid(const char* did);

// The handshake. Hello and Welcome carry the sender's dead-peer time, so that
// the other side sends keepalives often enough.
constexpr uint32_t kMaxHandshakePayload = 64;
constexpr uint8_t kHandshakeMagic[4] = {'Z', 'L', 'T', 'P'};

struct Hello {
    uint8_t version = kProtocolVersion;
    uint32_t deadPeerMs = 0;
    std::string did;
};
struct Welcome {
    uint8_t version = kProtocolVersion;
    uint32_t deadPeerMs = 0;
};

// Each Make* writes a whole frame (header and payload) to `out`, which holds
// kFrameHeaderSize + kMaxHandshakePayload bytes, and returns its size.
size_t MakeHello(uint8_t* out, const Hello& hello);
size_t MakeWelcome(uint8_t* out, const Welcome& welcome);
size_t MakeRefuse(uint8_t* out, RefuseReason reason);
// Each Parse* takes a payload; false when it is not one.
bool ParseHello(const uint8_t* payload, size_t size, Hello* hello);
bool ParseWelcome(const uint8_t* payload, size_t size, Welcome* welcome);
bool ParseRefuse(const uint8_t* payload, size_t size, RefuseReason* reason);

// Discovery datagrams.
constexpr size_t kMaxDatagram = 64;
constexpr uint8_t kDiscoveryMagic[4] = {'Z', 'L', 'T', 'D'};
enum DatagramType : uint8_t { DatagramQuery = 1, DatagramAnswer = 2 };

struct Datagram {
    uint8_t type = 0;
    uint32_t nonce = 0;       // chosen by the querier, echoed in the answer
    uint16_t port = 0;        // answer: TCP port of the device's sessions
    uint8_t flags = 0;        // answer: bit 0, reachable from other hosts
    std::string did;
};

size_t MakeDatagram(uint8_t* out, const Datagram& d);  // out holds kMaxDatagram bytes
bool ParseDatagram(const uint8_t* in, size_t size, Datagram* d);

}  // namespace pppp
