#include "transport/Wire.h"

#include <cstring>

namespace pppp {
namespace {

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool IsDidByte(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

bool IsValidDidBytes(const uint8_t* p, size_t n) {
    if (n < 1 || n > static_cast<size_t>(kMaxDidLength)) return false;
    for (size_t i = 0; i < n; ++i)
        if (!IsDidByte(static_cast<char>(p[i]))) return false;
    return true;
}

// Hello and Welcome payload: magic(4) version(1) flags(1) deadPeerMs(4) [didLength(1) did(n)]
constexpr size_t kGreetingFixed = 10;

size_t PutGreeting(uint8_t* out, uint8_t type, uint8_t version, uint32_t deadPeerMs, const std::string* did) {
    uint8_t* p = out + kFrameHeaderSize;
    std::memcpy(p, kHandshakeMagic, 4);
    p[4] = version;
    p[5] = 0;
    Put32(p + 6, deadPeerMs);
    size_t n = kGreetingFixed;
    if (did) {
        p[n++] = static_cast<uint8_t>(did->size());
        std::memcpy(p + n, did->data(), did->size());
        n += did->size();
    }
    WriteFrameHeader(out, type, 0, static_cast<uint32_t>(n));
    return kFrameHeaderSize + n;
}

bool GetGreeting(const uint8_t* p, size_t size, uint8_t* version, uint32_t* deadPeerMs) {
    if (size < kGreetingFixed || size > kMaxHandshakePayload) return false;
    if (std::memcmp(p, kHandshakeMagic, 4) != 0) return false;
    *version = p[4];
    *deadPeerMs = Get32(p + 6);
    return *version >= 1;
}

}  // namespace

void WriteFrameHeader(uint8_t* out, uint8_t type, uint8_t channel, uint32_t length) {
    out[0] = type;
    out[1] = channel;
    Put32(out + 2, length);
}

FrameHeader ReadFrameHeader(const uint8_t* in) {
    FrameHeader h;
    h.type = in[0];
    h.channel = in[1];
    h.length = Get32(in + 2);
    return h;
}

bool IsValidSessionFrame(const FrameHeader& h) {
    switch (h.type) {
        case FrameData:
            return h.channel < kChannelCount && h.length <= kMaxFramePayload;
        case FrameKeepalive:
        case FrameGoodbye:
            return h.length == 0;
        case FrameAck:
            return h.length == kAckPayloadSize;
        default:
            return false;
    }
}

bool IsValidDid(const char* did) {
    if (!did) return false;
    const size_t n = strnlen(did, kMaxDidLength + 1);
    return IsValidDidBytes(reinterpret_cast<const uint8_t*>(did), n);
}

size_t MakeHello(uint8_t* out, const Hello& hello) {
    return PutGreeting(out, FrameHello, hello.version, hello.deadPeerMs, &hello.did);
}

size_t MakeWelcome(uint8_t* out, const Welcome& welcome) {
    return PutGreeting(out, FrameWelcome, welcome.version, welcome.deadPeerMs, nullptr);
}

size_t MakeRefuse(uint8_t* out, RefuseReason reason) {
    uint8_t* p = out + kFrameHeaderSize;
    std::memcpy(p, kHandshakeMagic, 4);
    p[4] = kProtocolVersion;
    p[5] = reason;
    WriteFrameHeader(out, FrameRefuse, 0, 6);
    return kFrameHeaderSize + 6;
}

bool ParseHello(const uint8_t* p, size_t size, Hello* hello) {
    Hello h;
    if (!GetGreeting(p, size, &h.version, &h.deadPeerMs)) return false;
    if (size < kGreetingFixed + 1) return false;
    const size_t n = p[kGreetingFixed];
    // Bytes after the DID are allowed: later versions may say more.
    if (kGreetingFixed + 1 + n > size) return false;
    if (!IsValidDidBytes(p + kGreetingFixed + 1, n)) return false;
    h.did.assign(reinterpret_cast<const char*>(p + kGreetingFixed + 1), n);
    *hello = h;
    return true;
}

bool ParseWelcome(const uint8_t* p, size_t size, Welcome* welcome) {
    Welcome w;
    if (!GetGreeting(p, size, &w.version, &w.deadPeerMs)) return false;
    *welcome = w;
    return true;
}

bool ParseRefuse(const uint8_t* p, size_t size, RefuseReason* reason) {
    if (size < 6 || size > kMaxHandshakePayload || std::memcmp(p, kHandshakeMagic, 4) != 0) return false;
    *reason = static_cast<RefuseReason>(p[5]);
    return true;
}

// Datagram: magic(4) version(1) type(1) nonce(4) port(2) flags(1) didLength(1) did(n)
size_t MakeDatagram(uint8_t* out, const Datagram& d) {
    std::memcpy(out, kDiscoveryMagic, 4);
    out[4] = kDiscoveryVersion;
    out[5] = d.type;
    Put32(out + 6, d.nonce);
    out[10] = static_cast<uint8_t>(d.port);
    out[11] = static_cast<uint8_t>(d.port >> 8);
    out[12] = d.flags;
    const size_t n = d.did.size() > static_cast<size_t>(kMaxDidLength) ? kMaxDidLength : d.did.size();
    out[13] = static_cast<uint8_t>(n);
    std::memcpy(out + 14, d.did.data(), n);
    return 14 + n;
}

bool ParseDatagram(const uint8_t* in, size_t size, Datagram* d) {
    if (size < 14 || size > kMaxDatagram) return false;
    if (std::memcmp(in, kDiscoveryMagic, 4) != 0 || in[4] < 1) return false;
    Datagram r;
    r.type = in[5];
    if (r.type != DatagramQuery && r.type != DatagramAnswer) return false;
    r.nonce = Get32(in + 6);
    r.port = static_cast<uint16_t>(in[10] | (in[11] << 8));
    r.flags = in[12];
    const size_t n = in[13];
    if (14 + n > size || !IsValidDidBytes(in + 14, n)) return false;
    r.did.assign(reinterpret_cast<const char*>(in + 14), n);
    *d = r;
    return true;
}

}  // namespace pppp
