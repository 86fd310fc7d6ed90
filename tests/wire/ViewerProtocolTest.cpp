#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wire/Aes.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"
#include "viewer/ViewerProtocol.h"

namespace {

using namespace session;

// The service's half of the exchange, written from the primitives as the
// service uses them.
struct ServiceSide {
    uint8_t password[kPasswordBufferSize];
    uint8_t challenge[16] = {0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33, 0x44,
                             0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33, 0x44};
    uint8_t sessionKey[16] = {0xC0, 0xFF, 0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    CPacketSealer sealer;

    explicit ServiceSide(std::u16string_view pw) { MakePasswordBuffer(pw, password); }

    std::vector<uint8_t> Plain(uint16_t command, const uint8_t* payload, uint32_t n) {
        std::vector<uint8_t> p(20 + n);
        PacketFields f;
        f.kind = KindPlain;
        f.command = command;
        BuildPacket(p.data(), p.size(), f, payload, n);
        return p;
    }
    std::vector<uint8_t> Sealed(const PacketFields& f, const uint8_t* payload, uint32_t n) {
        std::vector<uint8_t> p(20 + n);
        BuildPacket(p.data(), p.size(), f, payload, n);
        sealer.SealPacket(sessionKey, p.data(), p.size());
        return p;
    }
};

int OpenPacket(const CViewerProtocol& viewer, uint8_t channel, std::vector<uint8_t>& packet, ServerMessage& m) {
    const PacketHeader h = ReadHeader(packet.data());
    EXPECT_EQ(h.bodyLength + 4, packet.size());
    return viewer.Open(channel, h.kind, packet.data() + 4, h.bodyLength, m);
}

TEST(ViewerProtocol, LoginCommandsAndFramesRoundTripWithTheService) {
    ServiceSide service(u"pässword");
    CViewerProtocol viewer(u"pässword");
    ServerMessage m;

    // Challenge in clear.
    auto challenge = service.Plain(CmdChallenge, service.challenge, 16);
    ASSERT_EQ(OpenPacket(viewer, kChannelControl, challenge, m), kOpenOk);
    ASSERT_EQ(m.type, ServerMessageType::Challenge);
    ASSERT_EQ(m.payloadLength, 16u);

    // The response is what the service expects: the challenge under the password key.
    uint8_t response[64];
    ASSERT_EQ(viewer.BuildAuthResponse(m.payload, m.payloadLength, response, sizeof response), 36u);
    uint8_t expected[16];
    AesEncryptBlock(128, service.challenge, 16, service.password, 24, expected);
    EXPECT_EQ(ReadHeader(response).kind, KindPlain);
    EXPECT_EQ(LoadU16(response + kOffCommand), CmdAuthResponse);
    EXPECT_EQ(LoadU16(response + kOffPayloadLength16), 16);
    EXPECT_EQ(std::memcmp(response + kOffPayload, expected, 16), 0);

    // Sealed commands are refused before the key is known.
    uint8_t command[64];
    EXPECT_EQ(viewer.BuildVideoStop(command, sizeof command), 0u);

    // AuthAccepted carries the session key under the password key.
    uint8_t wrapped[16];
    AesEncryptBlock(128, service.sessionKey, 16, service.password, 24, wrapped);
    auto accepted = service.Plain(CmdAuthAccepted, wrapped, 16);
    ASSERT_EQ(OpenPacket(viewer, kChannelControl, accepted, m), kOpenOk);
    ASSERT_EQ(m.type, ServerMessageType::AuthAccepted);
    ASSERT_TRUE(viewer.AcceptSessionKey(m.payload, m.payloadLength));
    EXPECT_EQ(std::memcmp(viewer.SessionKey(), service.sessionKey, 16), 0);

    // VideoStart with a mode unseals on the service side to command 1, length 8, mode first.
    const size_t n = viewer.BuildVideoStart(2u, command, sizeof command);
    ASSERT_EQ(n, 28u);
    PacketHeader h = ReadHeader(command);
    ASSERT_EQ(UnsealPacket(service.sessionKey, h.kind, command + 4, h.bodyLength), kUnsealOk);
    ControlBlock cb = ReadControlBlock(command + 4);
    EXPECT_EQ(cb.command, CmdVideoStart);
    EXPECT_EQ(cb.payloadLength16, 8);
    EXPECT_EQ(LoadU32(command + kOffPayload), 2u);

    // The other commands are sealed, empty and carry their codes.
    const struct {
        size_t (CViewerProtocol::*build)(uint8_t*, size_t);
        uint16_t code;
    } others[] = {{&CViewerProtocol::BuildVideoStop, CmdVideoStop},
                  {&CViewerProtocol::BuildMarkSet, CmdMarkSet},
                  {&CViewerProtocol::BuildMarkClear, CmdMarkClear}};
    for (const auto& o : others) {
        ASSERT_EQ((viewer.*o.build)(command, sizeof command), 20u);
        h = ReadHeader(command);
        EXPECT_EQ(h.kind, KindSealed16);
        ASSERT_EQ(UnsealPacket(service.sessionKey, h.kind, command + 4, h.bodyLength), kUnsealOk);
        EXPECT_EQ(ReadControlBlock(command + 4).command, o.code);
    }
    ASSERT_EQ(viewer.BuildVideoStart(std::nullopt, command, sizeof command), 20u);

    // ModeReport on channel 0, sealed.
    const uint8_t mode[4] = {3, 0, 0, 0};
    PacketFields report;
    report.kind = KindSealed16;
    report.command = CmdModeReport;
    auto modeReport = service.Sealed(report, mode, 4);
    ASSERT_EQ(OpenPacket(viewer, kChannelControl, modeReport, m), kOpenOk);
    EXPECT_EQ(m.type, ServerMessageType::ModeReport);
    EXPECT_EQ(m.mode, 3u);

    // A video frame on channel 1 with its frame fields.
    std::vector<uint8_t> frame = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC};
    PacketFields video;
    video.kind = KindSealed32;
    video.command = CmdVideoFrame;
    video.viewerCount = 2;
    video.timestampMs = 40;
    auto videoPacket = service.Sealed(video, frame.data(), static_cast<uint32_t>(frame.size()));
    ASSERT_EQ(OpenPacket(viewer, kChannelVideo, videoPacket, m), kOpenOk);
    EXPECT_EQ(m.type, ServerMessageType::VideoFrame);
    EXPECT_EQ(m.viewerCount, 2);
    EXPECT_EQ(m.deltaFrame, 0);
    EXPECT_EQ(m.timestampMs, 40u);
    EXPECT_EQ(std::vector<uint8_t>(m.payload, m.payload + m.payloadLength), frame);
}

TEST(ViewerProtocol, WrongPasswordGivesAResponseTheServiceRefuses) {
    ServiceSide service(u"right");
    CViewerProtocol viewer(u"wrong");
    uint8_t response[36], expected[16];
    viewer.BuildAuthResponse(service.challenge, 16, response, sizeof response);
    AesEncryptBlock(128, service.challenge, 16, service.password, 24, expected);
    EXPECT_NE(std::memcmp(response + kOffPayload, expected, 16), 0);
    EXPECT_EQ(viewer.BuildAuthResponse(service.challenge, 16, response, 35), 0u) << "capacity";
}

TEST(ViewerProtocol, OpenRefusesMalformedAndUnknownBodies) {
    ServiceSide service(u"pw");
    CViewerProtocol viewer(u"pw");
    ServerMessage m;

    // A sealed message before the key is known.
    PacketFields report;
    report.kind = KindSealed16;
    auto sealed = service.Sealed(report, reinterpret_cast<const uint8_t*>("\1\0\0\0"), 4);
    EXPECT_EQ(OpenPacket(viewer, kChannelControl, sealed, m), kOpenNoKey);

    // A plain body whose length field disagrees with the body, and one too short to hold a control block.
    auto plain = service.Plain(CmdChallenge, service.challenge, 16);
    StoreU16(plain.data() + kOffPayloadLength16, 15);
    EXPECT_EQ(OpenPacket(viewer, kChannelControl, plain, m), kOpenMalformed);
    uint8_t tiny[8] = {};
    EXPECT_EQ(viewer.Open(kChannelControl, KindPlain, tiny, 8, m), kOpenMalformed);

    // Kinds nobody sends.
    for (uint8_t kind : {0, 5, 0x80}) EXPECT_EQ(viewer.Open(kChannelControl, kind, tiny, 8, m), kOpenUnknownKind);

    // A well-formed plain message with a command the viewer does not know is opened as Unknown.
    auto odd = service.Plain(9, nullptr, 0);
    ASSERT_EQ(OpenPacket(viewer, kChannelControl, odd, m), kOpenOk);
    EXPECT_EQ(m.type, ServerMessageType::Unknown);

    // The wrong session key does not open a frame.
    uint8_t wrapped[16];
    uint8_t otherKey[16] = {9};
    AesEncryptBlock(128, otherKey, 16, service.password, 24, wrapped);
    ASSERT_TRUE(viewer.AcceptSessionKey(wrapped, 16));
    EXPECT_FALSE(viewer.AcceptSessionKey(wrapped, 15));
    PacketFields video;
    video.kind = KindSealed32;
    video.command = CmdVideoFrame;
    std::vector<uint8_t> frame(100, 7);
    auto videoPacket = service.Sealed(video, frame.data(), 100);
    EXPECT_EQ(OpenPacket(viewer, kChannelVideo, videoPacket, m), kOpenMalformed);
}

}  // namespace
