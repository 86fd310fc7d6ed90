#include "transport/InitString.h"

#include <algorithm>
#include <cstring>

namespace pppp {
namespace {

constexpr int kFieldCount = 10;

void Fields(const PPPP_InitOptions& o, uint16_t (&f)[kFieldCount]) {
    const uint16_t v[kFieldCount] = {o.discoveryPort,    o.sessionPort,      o.keepaliveMs,  o.deadPeerMs,
                                     o.handshakeMs,      o.sendBufferKiB,    o.receiveBufferKiB,
                                     o.channelBufferKiB, o.sendQueueKiB,     o.probeMs};
    std::copy(v, v + kFieldCount, f);
}

uint8_t CheckByte(const uint8_t* bytes) {
    unsigned sum = 0;
    for (int i = 0; i < kInitBytes - 1; ++i) sum += bytes[i];
    return static_cast<uint8_t>(0xA5 ^ (sum & 0xFF));
}

}  // namespace

std::string MakeInitString(const PPPP_InitOptions& options) {
    uint8_t bytes[kInitBytes] = {};
    bytes[0] = kInitMagic;
    bytes[1] = kInitVersion;
    uint16_t f[kFieldCount];
    Fields(options, f);
    for (int i = 0; i < kFieldCount; ++i) {
        bytes[2 + 2 * i] = static_cast<uint8_t>(f[i] & 0xFF);
        bytes[3 + 2 * i] = static_cast<uint8_t>(f[i] >> 8);
    }
    bytes[22] = static_cast<uint8_t>(options.flags & 0xFF);
    bytes[kInitBytes - 1] = CheckByte(bytes);
    std::string text(2 * kInitBytes, 'A');
    for (int i = 0; i < kInitBytes; ++i) {
        text[2 * i] = static_cast<char>('A' + (bytes[i] >> 4));
        text[2 * i + 1] = static_cast<char>('A' + (bytes[i] & 0x0F));
    }
    return text;
}

bool ParseInitString(const char* text, PPPP_InitOptions* options) {
    if (!text || !options) return false;
    if (std::strlen(text) != PPPP_INIT_STRING_LENGTH) return false;
    uint8_t bytes[kInitBytes];
    for (int i = 0; i < kInitBytes; ++i) {
        const char hi = text[2 * i], lo = text[2 * i + 1];
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return false;
        bytes[i] = static_cast<uint8_t>(((hi - 'A') << 4) | (lo - 'A'));
    }
    if (bytes[0] != kInitMagic || bytes[1] != kInitVersion) return false;
    if (bytes[kInitBytes - 1] != CheckByte(bytes)) return false;
    uint16_t f[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) f[i] = static_cast<uint16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
    PPPP_InitOptions o{};
    o.discoveryPort = f[0];
    o.sessionPort = f[1];
    o.keepaliveMs = f[2];
    o.deadPeerMs = f[3];
    o.handshakeMs = f[4];
    o.sendBufferKiB = f[5];
    o.receiveBufferKiB = f[6];
    o.channelBufferKiB = f[7];
    o.sendQueueKiB = f[8];
    o.probeMs = f[9];
    o.flags = bytes[22];
    *options = o;
    return true;
}

CConfig CConfig::FromOptions(const PPPP_InitOptions& o) {
    CConfig c;
    auto pick = [](uint32_t value, uint32_t fallback, uint32_t low) {
        return value == 0 ? fallback : std::max(value, low);
    };
    if (o.discoveryPort) c.wDiscoveryPort = o.discoveryPort;
    c.wSessionPort = o.sessionPort;
    c.dwKeepaliveMs = pick(o.keepaliveMs, c.dwKeepaliveMs, 10);
    // A peer keeps its keepalives no closer than kMinPeerPingMs, so a shorter
    // dead time would end quiet sessions that are well.
    c.dwDeadPeerMs = pick(o.deadPeerMs, c.dwDeadPeerMs, kMinDeadPeerMs);
    c.dwHandshakeMs = pick(o.handshakeMs, c.dwHandshakeMs, 50);
    // Kernel buffers below 4 KiB make no sense.
    c.dwSendBufferBytes = pick(o.sendBufferKiB, 64, 4) * 1024;
    // The receive side is left to the system unless asked: the send side's cap
    // is what makes a slow viewer's backlog show.
    c.dwReceiveBufferBytes = o.receiveBufferKiB ? std::max<uint32_t>(o.receiveBufferKiB, 4) * 1024 : 0;
    c.dwChannelBufferBytes = pick(o.channelBufferKiB, 256, 4) * 1024;
    c.dwSendQueueBytes = pick(o.sendQueueKiB, 1024, 4) * 1024;
    c.dwProbeMs = pick(o.probeMs, c.dwProbeMs, 1);
    c.bLoopbackOnly = (o.flags & PPPP_INIT_LOOPBACK_ONLY) != 0;
    c.bProbe = (o.flags & PPPP_INIT_NO_PROBE) == 0;
    return c;
}

}  // namespace pppp
