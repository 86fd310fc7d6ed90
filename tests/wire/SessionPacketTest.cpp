#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wire/SessionPacket.h"
#include "tests/support/Hex.h"

namespace {

using namespace wire;
using testsupport::ToHex;

TEST(SessionPacket, HeaderIsSixteenPlusNWithKindOverByteThree) {
    uint8_t header[4];
    WriteHeader(header, 0, KindPlain);
    EXPECT_EQ(ToHex(header, 4), "10000001");
    WriteHeader(header, 0x123456, KindSealed32);
    EXPECT_EQ(ToHex(header, 4), "66341202");
    // A body length at the 24-bit limit reads back whole; the kind never leaks into it.
    WriteHeader(header, kMaxBodyLength - 16, 0xFF);
    const PacketHeader h = ReadHeader(header);
    EXPECT_EQ(h.bodyLength, kMaxBodyLength);
    EXPECT_EQ(h.kind, 0xFF);
}

TEST(SessionPacket, EmptyPayloadIsTwentyBytesWithBodyLengthSixteen) {
    uint8_t packet[32];
    PacketFields f;
    f.kind = KindPlain;
    f.command = CmdAuthRefused;
    ASSERT_EQ(BuildPacket(packet, sizeof packet, f, nullptr, 0), 20u);
    EXPECT_EQ(ToHex(packet, 20), "10000001" "0400" "0000" "00000000" "00000000" "00000000");
}

TEST(SessionPacket, LengthGoesIntoTheFieldOfTheKind) {
    const uint8_t payload[4] = {1, 0, 0, 0};
    uint8_t packet[24];
    PacketFields f;
    f.kind = KindSealed16;
    f.command = CmdModeReport;
    ASSERT_EQ(BuildPacket(packet, sizeof packet, f, payload, 4), 24u);
    EXPECT_EQ(LoadU16(packet + kOffPayloadLength16), 4);
    EXPECT_EQ(LoadU32(packet + kOffPayloadLength32), 0u);

    f.kind = KindSealed32;
    f.command = CmdVideoFrame;
    f.viewerCount = 8;
    f.deltaFrame = 1;
    f.timestampMs = 0xA1B2C3D4;
    ASSERT_EQ(BuildPacket(packet, sizeof packet, f, payload, 4), 24u);
    EXPECT_EQ(ToHex(packet, 24), "14000002" "0300" "08" "01" "00000000" "04000000" "d4c3b2a1" "01000000");
    const ControlBlock cb = ReadControlBlock(packet + kHeaderSize);
    EXPECT_EQ(cb.viewerCount, 8);
    EXPECT_EQ(cb.deltaFrame, 1);
    EXPECT_EQ(cb.payloadLength32, 4u);
    EXPECT_EQ(cb.timestampMs, 0xA1B2C3D4u);
    EXPECT_EQ(AnnouncedPayloadLength(KindSealed32, packet + 4), 4u);
    EXPECT_EQ(AnnouncedPayloadLength(KindSealed16, packet + 4), 0x0108u) << "bytes 6-7 are no length in a frame";
}

TEST(SessionPacket, BuilderRefusesWhatTheFieldsCannotCarry) {
    std::vector<uint8_t> big(kMaxFramePayload + 100);
    std::vector<uint8_t> out(big.size() + 20);
    PacketFields f;
    f.kind = KindSealed16;
    EXPECT_EQ(BuildPacket(out.data(), out.size(), f, big.data(), 0x10000), 0u) << "16-bit length";
    f.kind = KindSealed32;
    EXPECT_EQ(BuildPacket(out.data(), out.size(), f, big.data(), static_cast<uint32_t>(kMaxFramePayload)),
              kMaxFramePayload + 20);
    EXPECT_EQ(BuildPacket(out.data(), 100, f, big.data(), 81), 0u) << "capacity";
    uint8_t head[20];
    EXPECT_FALSE(WritePacketHead(head, f, kMaxBodyLength - 15)) << "24-bit body length";
    EXPECT_TRUE(WritePacketHead(head, f, kMaxBodyLength - 16));
}

TEST(SessionPacket, OnlyAHighProfileParameterSetAfterAFourByteStartCodeIsAKeyFrame) {
    const uint8_t key[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F};
    const uint8_t shortStart[] = {0, 0, 1, 0x67, 0x64, 0x00};
    const uint8_t mainProfile[] = {0, 0, 0, 1, 0x67, 0x4D};
    const uint8_t slice[] = {0, 0, 0, 1, 0x65, 0x88};
    EXPECT_TRUE(IsKeyFrame(key, sizeof key));
    EXPECT_TRUE(IsKeyFrame(key, 6));
    EXPECT_FALSE(IsKeyFrame(key, 5)) << "shorter than six bytes";
    EXPECT_FALSE(IsKeyFrame(shortStart, sizeof shortStart));
    EXPECT_FALSE(IsKeyFrame(mainProfile, sizeof mainProfile));
    EXPECT_FALSE(IsKeyFrame(slice, sizeof slice));
}

}  // namespace
