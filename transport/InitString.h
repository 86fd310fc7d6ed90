#pragma once
// The 90-letter initialisation string: 45 bytes of configuration, two capital
// letters 'A'..'P' per byte, high half first. Layout (numbers little-endian):
//
//   0      0x5A, marks a configuration string
//   1      format version, 1
//   2..21  the ten 16-bit fields of PPPP_InitOptions, in their order
//   22     flags (PPPP_INIT_*)
//   23..43 reserved, 0 (ignored when read, for later versions)
//   44     check byte: 0xA5 XOR the sum of bytes 0..43, modulo 256

#include <cstdint>
#include <string>

#include "transport/PPPP_API.h"

namespace pppp {

constexpr int kInitBytes = 45;
constexpr uint8_t kInitMagic = 0x5A;
constexpr uint8_t kInitVersion = 1;

// Encodes `options` (all fields as given, 0 kept as 0) into 90 letters.
std::string MakeInitString(const PPPP_InitOptions& options);
// Decodes; false when the text is not a valid configuration string.
bool ParseInitString(const char* text, PPPP_InitOptions* options);

// The shortest keepalive interval a peer can ask for by announcing a short
// dead-peer time; a peer that announces less than kMinDeadPeerMs may see its
// sessions end for silence.
constexpr uint32_t kMinPeerPingMs = 100;
constexpr uint32_t kMinDeadPeerMs = 3 * kMinPeerPingMs;

// The configuration in force, defaults filled in and values kept in range.
struct CConfig {
    uint16_t wDiscoveryPort = 32100;
    uint16_t wSessionPort = 0;
    uint32_t dwKeepaliveMs = 2000;
    uint32_t dwDeadPeerMs = 9000;
    uint32_t dwHandshakeMs = 3000;
    uint32_t dwSendBufferBytes = 64 * 1024;
    uint32_t dwReceiveBufferBytes = 0;  // 0: the system's (it grows with the connection)
    uint32_t dwChannelBufferBytes = 256 * 1024;
    uint32_t dwSendQueueBytes = 1024 * 1024;
    uint32_t dwProbeMs = 300;
    bool bLoopbackOnly = false;
    bool bProbe = true;

    static CConfig FromOptions(const PPPP_InitOptions& options);
};

}  // namespace pppp
