#include <gtest/gtest.h>

#include <cstring>

#include "transport/Wire.h"

namespace {

using namespace pppp;

TEST(Wire, FrameHeaderIsTypeChannelAndLittleEndianLength) {
    uint8_t h[kFrameHeaderSize];
    WriteFrameHeader(h, FrameData, 7, 0x01020304);
    const uint8_t expected[] = {0x10, 7, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(0, std::memcmp(h, expected, sizeof expected));
    const FrameHeader back = ReadFrameHeader(h);
    EXPECT_EQ(back.type, FrameData);
    EXPECT_EQ(back.channel, 7);
    EXPECT_EQ(back.length, 0x01020304u);
}

TEST(Wire, OnlyKnownFramesOfSaneSizeBelongToASession) {
    EXPECT_TRUE(IsValidSessionFrame({FrameData, 0, 0}));
    EXPECT_TRUE(IsValidSessionFrame({FrameData, 7, kMaxFramePayload}));
    EXPECT_FALSE(IsValidSessionFrame({FrameData, 8, 10}));                 // no such channel
    EXPECT_FALSE(IsValidSessionFrame({FrameData, 1, kMaxFramePayload + 1}));  // too big
    EXPECT_FALSE(IsValidSessionFrame({FrameData, 1, 0xFFFFFFFFu}));
    EXPECT_TRUE(IsValidSessionFrame({FrameKeepalive, 0, 0}));
    EXPECT_FALSE(IsValidSessionFrame({FrameKeepalive, 0, 1}));
    EXPECT_TRUE(IsValidSessionFrame({FrameGoodbye, 0, 0}));
    EXPECT_TRUE(IsValidSessionFrame({FrameAck, 3, 8}));  // the channel is ignored, as on the others
    EXPECT_FALSE(IsValidSessionFrame({FrameAck, 0, 7}));
    EXPECT_FALSE(IsValidSessionFrame({FrameAck, 0, 16}));
    EXPECT_FALSE(IsValidSessionFrame({FrameHello, 0, 20}));  // greetings only at the start
    EXPECT_FALSE(IsValidSessionFrame({0x7F, 0, 0}));
}

TEST(Wire, DidSyntax) {
    EXPECT_TRUE(IsValidDid("A"));
    EXPECT_TRUE(IsValidDid("ZELT-000123-ABCDE_9"));
    EXPECT_TRUE(IsValidDid("ABCDEFGHIJKLMNOPQRST"));      // 20
    EXPECT_FALSE(IsValidDid("ABCDEFGHIJKLMNOPQRSTU"));    // 21
    EXPECT_FALSE(IsValidDid(""));
    EXPECT_FALSE(IsValidDid(nullptr));
    EXPECT_FALSE(IsValidDid("abc"));
    EXPECT_FALSE(IsValidDid("AB C"));
    EXPECT_FALSE(IsValidDid("\xC3\x84"));
}

TEST(Wire, HandshakeFramesRoundTrip) {
    uint8_t f[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    hello.did = "DEV-1";
    hello.deadPeerMs = 1234;
    size_t n = MakeHello(f, hello);
    FrameHeader h = ReadFrameHeader(f);
    ASSERT_EQ(h.type, FrameHello);
    ASSERT_EQ(h.length + kFrameHeaderSize, n);
    Hello back;
    ASSERT_TRUE(ParseHello(f + kFrameHeaderSize, h.length, &back));
    EXPECT_EQ(back.did, "DEV-1");
    EXPECT_EQ(back.deadPeerMs, 1234u);
    EXPECT_EQ(back.version, kProtocolVersion);
    // A longer Hello of a later version still reads.
    EXPECT_TRUE(ParseHello(f + kFrameHeaderSize, h.length + 4, &back));
    // Bad DIDs, short payloads and foreign magic do not.
    EXPECT_FALSE(ParseHello(f + kFrameHeaderSize, h.length - 1, &back));
    f[kFrameHeaderSize + 11] = 'd';
    EXPECT_FALSE(ParseHello(f + kFrameHeaderSize, h.length, &back));
    f[kFrameHeaderSize] = 'X';
    EXPECT_FALSE(ParseHello(f + kFrameHeaderSize, h.length, &back));

    Welcome welcome;
    welcome.deadPeerMs = 777;
    n = MakeWelcome(f, welcome);
    h = ReadFrameHeader(f);
    Welcome wBack;
    ASSERT_EQ(h.type, FrameWelcome);
    ASSERT_TRUE(ParseWelcome(f + kFrameHeaderSize, n - kFrameHeaderSize, &wBack));
    EXPECT_EQ(wBack.deadPeerMs, 777u);

    n = MakeRefuse(f, RefuseBusy);
    RefuseReason reason{};
    ASSERT_EQ(ReadFrameHeader(f).type, FrameRefuse);
    ASSERT_TRUE(ParseRefuse(f + kFrameHeaderSize, n - kFrameHeaderSize, &reason));
    EXPECT_EQ(reason, RefuseBusy);
}

// The example in docs/transport.md, byte for byte.
TEST(Wire, TheDocumentedHandshakeBytes) {
    uint8_t f[kFrameHeaderSize + kMaxHandshakePayload];
    Hello hello;
    hello.did = "CAM-1";
    hello.deadPeerMs = 9000;
    const uint8_t expectedHello[] = {0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x5a, 0x4c, 0x54, 0x50, 0x02,
                                     0x00, 0x28, 0x23, 0x00, 0x00, 0x05, 0x43, 0x41, 0x4d, 0x2d, 0x31};
    ASSERT_EQ(MakeHello(f, hello), sizeof expectedHello);
    EXPECT_EQ(0, std::memcmp(f, expectedHello, sizeof expectedHello));
    Welcome welcome;
    welcome.deadPeerMs = 9000;
    const uint8_t expectedWelcome[] = {0x02, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x5a, 0x4c,
                                       0x54, 0x50, 0x02, 0x00, 0x28, 0x23, 0x00, 0x00};
    ASSERT_EQ(MakeWelcome(f, welcome), sizeof expectedWelcome);
    EXPECT_EQ(0, std::memcmp(f, expectedWelcome, sizeof expectedWelcome));
}

TEST(Wire, DatagramsRoundTripAndRejectStrangers) {
    Datagram d;
    d.type = DatagramAnswer;
    d.nonce = 0xA1B2C3D4;
    d.port = 40001;
    d.flags = 1;
    d.did = "CAM_7";
    uint8_t buf[kMaxDatagram];
    const size_t n = MakeDatagram(buf, d);
    Datagram back;
    ASSERT_TRUE(ParseDatagram(buf, n, &back));
    EXPECT_EQ(back.type, DatagramAnswer);
    EXPECT_EQ(back.nonce, 0xA1B2C3D4u);
    EXPECT_EQ(back.port, 40001);
    EXPECT_EQ(back.flags, 1);
    EXPECT_EQ(back.did, "CAM_7");
    EXPECT_FALSE(ParseDatagram(buf, n - 1, &back));  // DID cut short
    EXPECT_FALSE(ParseDatagram(buf, 13, &back));
    uint8_t big[kMaxDatagram + 1] = {};
    std::memcpy(big, buf, n);
    EXPECT_FALSE(ParseDatagram(big, sizeof big, &back));
    buf[5] = 9;  // unknown type
    EXPECT_FALSE(ParseDatagram(buf, n, &back));
}

}  // namespace
