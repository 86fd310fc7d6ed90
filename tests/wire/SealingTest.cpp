#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "wire/Aes.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"

namespace {

using namespace wire;

const uint8_t kKey[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                          0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

std::vector<uint8_t> MakePacket(uint8_t kind, uint16_t command, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> packet(kPacketOverhead + payload.size());
    PacketFields f;
    f.kind = kind;
    f.command = command;
    EXPECT_EQ(BuildPacket(packet.data(), packet.size(), f, payload.data(), static_cast<uint32_t>(payload.size())),
              packet.size());
    return packet;
}

// -- password key --------------------------------------------------------------

TEST(PasswordKey, BufferHoldsTheTextZeroFilled) {
    uint8_t buffer[kPasswordBufferSize];
    std::memset(buffer, 0xEE, sizeof buffer);
    MakePasswordBuffer(u"abc", buffer);
    const uint8_t expected[24] = {'a', 'b', 'c'};
    EXPECT_EQ(std::memcmp(buffer, expected, 24), 0);

    MakePasswordBuffer(u"", buffer);
    const uint8_t zero[24] = {};
    EXPECT_EQ(std::memcmp(buffer, zero, 24), 0) << "an empty password is the zero key";
}

TEST(PasswordKey, LongPasswordsAreCutAtACharacterAndShareTheirFirst16Bytes) {
    uint8_t a[kPasswordBufferSize], b[kPasswordBufferSize];
    MakePasswordBuffer(u"0123456789ABCDEFxyz-and-more-than-23", a);
    EXPECT_EQ(std::memcmp(a, "0123456789ABCDEFxyz-and", 23), 0);
    EXPECT_EQ(a[23], 0) << "always terminated";

    MakePasswordBuffer(u"0123456789ABCDEF-different-tail", b);
    uint8_t ka[16], kb[16];
    const uint8_t block[16] = {1, 2, 3};
    AesEncryptBlock(128, block, 16, a, 24, ka);
    AesEncryptBlock(128, block, 16, b, 24, kb);
    EXPECT_EQ(std::memcmp(ka, kb, 16), 0) << "bytes after the 16th take no part";

    // Twelve two-byte characters are 24 bytes: the twelfth does not fit and is dropped whole.
    MakePasswordBuffer(u"éééééééééééé", a);
    EXPECT_EQ(a[21], 0xA9);
    EXPECT_EQ(a[22], 0) << "not half a character";
    // Eight three-byte characters: seven fit (21 bytes).
    MakePasswordBuffer(u"中中中中中中中中", a);
    EXPECT_EQ(a[20], 0xAD);
    EXPECT_EQ(a[21], 0);
}

// -- sealing -------------------------------------------------------------------

TEST(Sealing, RoundTripsEverySealedKind) {
    CPacketSealer sealer;
    sealer.Seed(0x5A);
    std::mt19937 rng(11);
    for (uint8_t kind : {KindSealed32, KindSealed32Alt, KindSealed16}) {
        for (size_t size : {size_t{1}, size_t{15}, size_t{16}, size_t{1000}, size_t{65535}}) {
            std::vector<uint8_t> payload(size);
            for (auto& b : payload) b = static_cast<uint8_t>(rng() | 1);  // non-zero first byte
            auto packet = MakePacket(kind, 3, payload);
            const auto header = ReadHeader(packet.data());
            sealer.SealPacket(kKey, packet.data(), packet.size());
            EXPECT_NE(std::memcmp(packet.data() + kOffPayload, payload.data(), size), 0);
            EXPECT_EQ(UnsealPacket(kKey, header.kind, packet.data() + kHeaderSize, header.bodyLength), kUnsealOk);
            EXPECT_EQ(std::memcmp(packet.data() + kOffPayload, payload.data(), size), 0);
            EXPECT_EQ(ReadControlBlock(packet.data() + kHeaderSize).command, 3);
        }
    }
}

TEST(Sealing, OnePassBuildEqualsBuildThenSeal) {
    CPacketSealer twoStep, onePass;
    std::mt19937 rng(5);
    for (int round = 0; round < 50; ++round) {
        const uint8_t seed = static_cast<uint8_t>(rng());
        twoStep.Seed(seed);
        onePass.Seed(seed);
        PacketFields f;
        f.kind = static_cast<uint8_t>(1 + round % 4);
        f.command = static_cast<uint16_t>(rng() & 7);
        f.viewerCount = static_cast<uint8_t>(round % 9);
        f.deltaFrame = static_cast<uint8_t>(round & 1);
        f.timestampMs = static_cast<uint32_t>(rng());
        std::vector<uint8_t> payload(round * 37 % 300);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        if (round % 3 == 0 && !payload.empty()) payload[0] = 0;

        auto expected = MakePacket(0, 0, {});
        expected.resize(20 + payload.size());
        BuildPacket(expected.data(), expected.size(), f, payload.data(), static_cast<uint32_t>(payload.size()));
        twoStep.SealPacket(kKey, expected.data(), expected.size());

        std::vector<uint8_t> actual(expected.size() + 8, 0xEE);
        ASSERT_EQ(onePass.BuildSealedPacket(kKey, actual.data(), actual.size(), f, payload.data(),
                                            static_cast<uint32_t>(payload.size())),
                  expected.size());
        actual.resize(expected.size());
        ASSERT_EQ(actual, expected) << "round " << round;
        ASSERT_EQ(onePass.Scramble(), twoStep.Scramble());
    }
    uint8_t small[30];
    PacketFields f;
    f.kind = KindSealed32;
    const uint8_t payload[11] = {1};
    EXPECT_EQ(onePass.BuildSealedPacket(kKey, small, sizeof small, f, payload, 11), 0u) << "does not fit";
}

TEST(Sealing, ScrambleByteRollsWithTheFirstPayloadByte) {
    CPacketSealer sealer;
    sealer.Seed(0x30);

    auto packet = MakePacket(KindSealed16, 0, {0x05, 0x06});
    sealer.SealPacket(kKey, packet.data(), packet.size());
    EXPECT_EQ(sealer.Scramble(), 0x30 ^ 0x05);
    UnsealPacket(kKey, KindSealed16, packet.data() + 4, 18);
    EXPECT_EQ(packet[kOffScrambleByte], 0x30) << "the packet carries the byte that scrambled it";

    // Frames that begin with a start code (first byte 0) keep reusing the same byte.
    sealer.Seed(0x77);
    for (int i = 0; i < 3; ++i) {
        auto frame = MakePacket(KindSealed32, CmdVideoFrame, {0x00, 0x00, 0x00, 0x01, 0x65});
        sealer.SealPacket(kKey, frame.data(), frame.size());
        EXPECT_EQ(sealer.Scramble(), 0x77);
        EXPECT_EQ(frame[kOffPayload], 0x77);
    }
}

TEST(Sealing, EmptyPayloadStillEncryptsTheControlBlockOnly) {
    CPacketSealer sealer;
    sealer.Seed(0x42);
    auto packet = MakePacket(KindSealed16, CmdVideoStop, {});
    const auto clear = packet;
    sealer.SealPacket(kKey, packet.data(), packet.size());
    EXPECT_EQ(sealer.Scramble(), 0x42);
    EXPECT_EQ(std::memcmp(packet.data(), clear.data(), 4), 0) << "the header stays in clear";
    EXPECT_NE(std::memcmp(packet.data() + 4, clear.data() + 4, 16), 0);
    ASSERT_EQ(UnsealPacket(kKey, KindSealed16, packet.data() + 4, 16), kUnsealOk);
    EXPECT_EQ(packet, clear) << "scrambleByte stays as built";
}

TEST(Sealing, TooShortOrKeylessPacketsAreLeftAlone) {
    CPacketSealer sealer;
    sealer.Seed(9);
    auto packet = MakePacket(KindSealed16, 1, {1, 2, 3});
    const auto clear = packet;
    sealer.SealPacket(nullptr, packet.data(), packet.size());
    sealer.SealPacket(kKey, packet.data(), 19);
    EXPECT_EQ(packet, clear);
    EXPECT_EQ(sealer.Scramble(), 9);
}

TEST(Sealing, OtherKindsAreEncryptedButNotScrambled) {
    CPacketSealer sealer;
    sealer.Seed(0x66);
    auto packet = MakePacket(KindPlain, CmdChallenge, {1, 2, 3, 4});
    sealer.SealPacket(kKey, packet.data(), packet.size());
    EXPECT_EQ(sealer.Scramble(), 0x66);
    EXPECT_EQ(packet[kOffPayload], 1);
    uint8_t block[16];
    AesDecryptBlock(128, packet.data() + 4, 16, kKey, 16, block);
    EXPECT_EQ(LoadU16(block), CmdChallenge);
}

TEST(Sealing, AnnouncedLengthBeyondThePacketIsNotFollowed) {
    CPacketSealer sealer;
    sealer.Seed(0x11);
    auto packet = MakePacket(KindSealed32, 3, {0xA0, 0xA1, 0xA2, 0xA3});
    StoreU32(packet.data() + kOffPayloadLength32, 0x7FFFFFFF);
    // Exactly-sized heap block: reading or writing past it would be caught by the sanitizers.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[packet.size()]);
    std::memcpy(exact.get(), packet.data(), packet.size());
    sealer.SealPacket(kKey, exact.get(), packet.size());
    EXPECT_EQ(exact[kOffPayload + 3], 0xA3 ^ 0x11);
    // The receiver refuses it: the announced length does not match the body.
    EXPECT_EQ(UnsealPacket(kKey, KindSealed32, exact.get() + 4, static_cast<uint32_t>(packet.size() - 4)),
              kUnsealBadBody);
}

TEST(Sealing, ConcurrentSealersNeverProduceAnUndecodablePacket) {
    CPacketSealer sealer;
    sealer.Seed(1);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> payload(300);
            for (int i = 0; i < 2000; ++i) {
                for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(t * 31 + i + k);
                auto packet = MakePacket(KindSealed32, CmdVideoFrame, payload);
                sealer.SealPacket(kKey, packet.data(), packet.size());
                if (UnsealPacket(kKey, KindSealed32, packet.data() + 4, static_cast<uint32_t>(packet.size() - 4)) != 0 ||
                    std::memcmp(packet.data() + kOffPayload, payload.data(), payload.size()) != 0)
                    failures++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

// -- unsealing -----------------------------------------------------------------

TEST(Unsealing, RefusesWhatIsNotASealedBodyAndLeavesItUntouched) {
    auto packet = MakePacket(KindPlain, CmdAuthResponse, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const auto before = packet;
    for (uint8_t kind : {0x00, 0x01, 0x05, 0x7F, 0x80, 0x82, 0xFF}) {
        EXPECT_EQ(UnsealPacket(kKey, kind, packet.data() + 4, 32), kUnsealNotSealed) << int(kind);
        EXPECT_EQ(packet, before);
    }
    EXPECT_EQ(UnsealPacket(nullptr, KindSealed16, packet.data() + 4, 32), kUnsealNoKey);
    EXPECT_EQ(UnsealPacket(kKey, KindSealed16, packet.data() + 4, 15), kUnsealBadBody);
    EXPECT_EQ(UnsealPacket(kKey, KindSealed16, nullptr, 16), kUnsealBadBody);
    EXPECT_EQ(packet, before);
}

TEST(Unsealing, LengthMismatchLeavesControlBlockDecryptedAndPayloadScrambled) {
    CPacketSealer sealer;
    sealer.Seed(0x3C);
    auto packet = MakePacket(KindSealed16, CmdVideoStart, {7, 0, 0, 0, 0, 0, 0, 0});
    sealer.SealPacket(kKey, packet.data(), packet.size());
    const uint8_t scrambled = packet[kOffPayload];
    // The transport delivered one byte more than the packet announces.
    packet.push_back(0);
    EXPECT_EQ(UnsealPacket(kKey, KindSealed16, packet.data() + 4, static_cast<uint32_t>(packet.size() - 4)),
              kUnsealBadBody);
    EXPECT_EQ(ReadControlBlock(packet.data() + 4).command, CmdVideoStart);
    EXPECT_EQ(packet[kOffPayload], scrambled);
}

TEST(Unsealing, WrongKeyIsAlmostNeverAccepted) {
    CPacketSealer sealer;
    sealer.Seed(0x01);
    uint8_t other[16] = {};
    int accepted = 0;
    for (int i = 0; i < 256; ++i) {
        other[0] = static_cast<uint8_t>(i);
        auto packet = MakePacket(KindSealed16, CmdVideoStart, {2, 0, 0, 0, 0, 0, 0, 0});
        sealer.SealPacket(kKey, packet.data(), packet.size());
        if (UnsealPacket(other, KindSealed16, packet.data() + 4, 24) == kUnsealOk) accepted++;
    }
    EXPECT_LE(accepted, 1) << "a wrong key gives a random length, which practically never matches";
}

}  // namespace

// -- a key expanded once ---------------------------------------------------------

TEST(Sealing, ScramblingMatchesAByteByByteXorAtEveryLengthAndAlignment) {
    std::vector<uint8_t> src(700), dst(720);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 13 + 5);
    for (size_t length : {0u, 1u, 31u, 63u, 64u, 65u, 127u, 128u, 129u, 255u, 300u, 641u}) {
        for (size_t offset : {0u, 1u, 7u}) {
            std::fill(dst.begin(), dst.end(), 0xEE);
            XorCopy(dst.data() + offset, src.data() + offset, length, 0xA7);
            for (size_t i = 0; i < dst.size(); ++i) {
                const bool inside = i >= offset && i < offset + length;
                ASSERT_EQ(dst[i], inside ? static_cast<uint8_t>(src[i] ^ 0xA7) : 0xEE) << length << " " << offset;
            }
        }
    }
}

TEST(ExpandedKey, EncryptsAsTheBlockFunctionDoesAndSealsTheSameBytes) {
    std::mt19937 random(7);
    CAesKey128 expanded;
    // The processor's instructions (where it has them) and the tables agree.
    for (const bool tables : {false, true}) {
        CAesKey128::ForceTables(tables);
        for (int round = 0; round < 50; ++round) {
            uint8_t key[16], block[16], a[16], b[16];
            for (auto& k : key) k = static_cast<uint8_t>(random());
            for (auto& x : block) x = static_cast<uint8_t>(random());
            expanded.Expand(key);
            expanded.EncryptBlock(block, a);
            ASSERT_EQ(AesEncryptBlock(128, block, 16, key, 16, b), 16);
            ASSERT_EQ(std::memcmp(a, b, 16), 0) << round << (tables ? " tables" : " instructions");
        }
    }
    CAesKey128::ForceTables(false);

    std::vector<uint8_t> frame(3000);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + 1);
    PacketFields f;
    f.kind = KindSealed32;
    f.command = CmdVideoFrame;
    f.viewerCount = 3;
    f.timestampMs = 1234;
    expanded.Expand(kKey);
    std::vector<uint8_t> one(frame.size() + kPacketOverhead), other(one.size());
    CPacketSealer s1, s2;
    s1.Seed(0x42);
    s2.Seed(0x42);
    ASSERT_EQ(s1.BuildSealedPacket(kKey, one.data(), one.size(), f, frame.data(), 3000), one.size());
    ASSERT_EQ(s2.BuildSealedPacket(expanded, other.data(), other.size(), f, frame.data(), 3000), other.size());
    EXPECT_EQ(one, other);
    EXPECT_EQ(s1.Scramble(), s2.Scramble());
    EXPECT_EQ(s2.BuildSealedPacket(expanded, other.data(), 100, f, frame.data(), 3000), 0u) << "does not fit";

    // One buffer reused session after session holds each one's fresh packet,
    // whether the scramble byte stays (first byte 0) or moves (1).
    for (const uint8_t first : {0, 1}) {
        frame[0] = first;
        CPacketSealer fresh, reused;
        int held = CPacketSealer::kNoPayload;
        for (uint8_t session = 0; session < 3; ++session) {
            expanded.Expand(std::vector<uint8_t>(16, session).data());
            fresh.BuildSealedPacket(expanded, one.data(), one.size(), f, frame.data(), 3000);
            reused.BuildSealedPacket(expanded, other.data(), other.size(), f, frame.data(), 3000, held);
            EXPECT_EQ(other, one) << "first byte " << int(first) << ", session " << int(session);
        }
    }
}
