// Plays one viewer's login, a command and a video frame between a device and
// a viewer in memory, and prints every packet as it travels.
//
//   ZELT2WireDemo [password] [viewer-password]

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Random.h"
#include "platform/Text.h"
#include "wire/Aes.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"
#include "viewer/ViewerProtocol.h"

using namespace wire;
using namespace session;

namespace {

void Show(const char* who, const char* what, const uint8_t* p, size_t n) {
    std::printf("%-7s %-14s %4zu bytes:", who, what, n);
    for (size_t i = 0; i < n && i < 36; ++i) std::printf("%s%02x", (i == 4 || i == 20) ? " | " : " ", p[i]);
    std::printf("%s\n", n > 36 ? " ..." : "");
}

std::vector<uint8_t> Plain(uint16_t command, const uint8_t* payload, uint32_t n) {
    std::vector<uint8_t> p(kPacketOverhead + n);
    PacketFields f;
    f.kind = KindPlain;
    f.command = command;
    BuildPacket(p.data(), p.size(), f, payload, n);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const std::u16string devicePassword = platform::Utf8ToUtf16(argc > 1 ? argv[1] : "secret");
    const std::u16string viewerPassword = platform::Utf8ToUtf16(argc > 2 ? argv[2] : (argc > 1 ? argv[1] : "secret"));

    uint8_t passwordBuffer[kPasswordBufferSize];
    MakePasswordBuffer(devicePassword, passwordBuffer);
    uint8_t challenge[16], sessionKey[16];
    if (!platform::SecureRandomBytes(challenge, 16) || !platform::SecureRandomBytes(sessionKey, 16)) {
        std::fprintf(stderr, "The system has no source of random bytes.\n");
        return 2;
    }
    CPacketSealer deviceSealer;
    deviceSealer.Seed(challenge[0]);
    CViewerProtocol viewer(viewerPassword);
    std::printf("header | control block (16 bytes, encrypted when sealed) | payload\n\n");

    // Device -> viewer: Challenge, in clear.
    auto packet = Plain(CmdChallenge, challenge, 16);
    Show("device", "Challenge", packet.data(), packet.size());
    ServerMessage m;
    viewer.Open(kChannelControl, KindPlain, packet.data() + 4, ReadHeader(packet.data()).bodyLength, m);

    // Viewer -> device: AuthResponse, the challenge under the password key.
    uint8_t out[256];
    size_t n = viewer.BuildAuthResponse(m.payload, m.payloadLength, out, sizeof out);
    Show("viewer", "AuthResponse", out, n);
    uint8_t expected[16];
    AesEncryptBlock(128, challenge, 16, passwordBuffer, kPasswordBufferSize, expected);
    if (std::memcmp(out + kOffPayload, expected, 16) != 0) {
        packet = Plain(CmdAuthRefused, nullptr, 0);
        Show("device", "AuthRefused", packet.data(), packet.size());
        std::printf("\nThe viewer's password does not match the device's: login refused.\n");
        return 1;
    }

    // Device -> viewer: AuthAccepted with the session key under the password key.
    uint8_t wrapped[16];
    AesEncryptBlock(128, sessionKey, 16, passwordBuffer, kPasswordBufferSize, wrapped);
    packet = Plain(CmdAuthAccepted, wrapped, 16);
    Show("device", "AuthAccepted", packet.data(), packet.size());
    viewer.Open(kChannelControl, KindPlain, packet.data() + 4, ReadHeader(packet.data()).bodyLength, m);
    viewer.AcceptSessionKey(m.payload, m.payloadLength);

    // Viewer -> device: VideoStart for mode 1, sealed.
    n = viewer.BuildVideoStart(1u, out, sizeof out);
    Show("viewer", "VideoStart", out, n);
    const PacketHeader h = ReadHeader(out);
    UnsealPacket(sessionKey, h.kind, out + 4, h.bodyLength);
    std::printf("        device unseals: command %u, mode %u\n", ReadControlBlock(out + 4).command,
                LoadU32(out + kOffPayload));

    // Device -> viewer: one key frame on the video channel.
    const uint8_t frame[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x0D, 0xAC, 0xD9, 0x41, 0x41, 0xFB, 0x01, 0x10};
    PacketFields video;
    video.kind = KindSealed32;
    video.command = CmdVideoFrame;
    video.viewerCount = 1;
    video.timestampMs = 40;
    std::vector<uint8_t> framePacket(kPacketOverhead + sizeof frame);
    BuildPacket(framePacket.data(), framePacket.size(), video, frame, sizeof frame);
    deviceSealer.SealPacket(sessionKey, framePacket.data(), framePacket.size());
    Show("device", "VideoFrame", framePacket.data(), framePacket.size());
    if (viewer.Open(kChannelVideo, framePacket[3], framePacket.data() + 4,
                    ReadHeader(framePacket.data()).bodyLength, m) == kOpenOk &&
        m.type == ServerMessageType::VideoFrame) {
        std::printf("        viewer opens: %u frame bytes, viewers %u, %s frame, at %u ms, %s\n", m.payloadLength,
                    m.viewerCount, m.deltaFrame ? "delta" : "key", m.timestampMs,
                    std::memcmp(m.payload, frame, sizeof frame) == 0 ? "identical to what was sent" : "CORRUPTED");
    }
    std::printf("\nLogin, command and frame went through.\n");
    return 0;
}
