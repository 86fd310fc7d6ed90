// Whatever a program or the environment passes as the initialisation string:
// the reader accepts exactly the well-formed strings (written out plainly
// below), what it accepts survives a round trip through the writer, and the
// configuration made from it stays within its limits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/InitString.h"

namespace {

// 90 letters 'A'..'P', two per byte: 0x5A, version 1, ..., check byte.
bool WellFormed(const std::string& text) {
    if (text.size() != 90) return false;
    uint8_t bytes[45];
    for (size_t i = 0; i < 45; ++i) {
        const char hi = text[2 * i], lo = text[2 * i + 1];
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return false;
        bytes[i] = static_cast<uint8_t>((hi - 'A') * 16 + (lo - 'A'));
    }
    unsigned sum = 0;
    for (int i = 0; i < 44; ++i) sum += bytes[i];
    return bytes[0] == 0x5A && bytes[1] == 1 && bytes[44] == (0xA5 ^ (sum & 0xFF));
}

bool Same(const PPPP_InitOptions& a, const PPPP_InitOptions& b) {
    return a.discoveryPort == b.discoveryPort && a.sessionPort == b.sessionPort && a.keepaliveMs == b.keepaliveMs &&
           a.deadPeerMs == b.deadPeerMs && a.handshakeMs == b.handshakeMs && a.sendBufferKiB == b.sendBufferKiB &&
           a.receiveBufferKiB == b.receiveBufferKiB && a.channelBufferKiB == b.channelBufferKiB &&
           a.sendQueueKiB == b.sendQueueKiB && a.probeMs == b.probeMs && a.flags == b.flags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The string ends at the first zero byte, as a C string does.
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    PPPP_InitOptions options{};
    const bool parsed = pppp::ParseInitString(text.c_str(), &options);
    if (parsed != WellFormed(text)) std::abort();
    if (!parsed) return 0;
    PPPP_InitOptions back{};
    if (!pppp::ParseInitString(pppp::MakeInitString(options).c_str(), &back) || !Same(options, back)) std::abort();
    const pppp::CConfig c = pppp::CConfig::FromOptions(options);
    if (c.dwKeepaliveMs < 10 || c.dwDeadPeerMs < pppp::kMinDeadPeerMs || c.dwHandshakeMs < 50 ||
        c.dwSendBufferBytes < 4096 || c.dwChannelBufferBytes < 4096 || c.dwSendQueueBytes < 4096 ||
        (c.dwReceiveBufferBytes != 0 && c.dwReceiveBufferBytes < 4096) || c.wDiscoveryPort == 0)
        std::abort();
    return 0;
}
