// The login bound to its channel: the hash and MAC against published vectors,
// the two proofs against numbers the browser page is checked against too,
// and the viewer's half of the exchange against the service's primitives.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "viewer/ViewerProtocol.h"
#include "wire/Aes.h"
#include "wire/LoginProof.h"

namespace {

using namespace wire;

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}

TEST(LoginProofTest, HashAndMacMatchPublishedVectors) {
    uint8_t out[kSha256Size];
    const std::string abc = "abc";
    Sha256(reinterpret_cast<const uint8_t*>(abc.data()), abc.size(), out);
    EXPECT_EQ(Hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // padding spills a block
    Sha256(reinterpret_cast<const uint8_t*>(two.data()), two.size(), out);
    EXPECT_EQ(Hex(out, 32), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");

    const std::string key = "Jefe", data = "what do ya want for nothing?";
    HmacSha256(reinterpret_cast<const uint8_t*>(key.data()), key.size(), reinterpret_cast<const uint8_t*>(data.data()),
               data.size(), out);
    EXPECT_EQ(Hex(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    const std::string longKey(131, '\xaa'), text = "Test Using Larger Than Block-Size Key - Hash Key First";
    HmacSha256(reinterpret_cast<const uint8_t*>(longKey.data()), longKey.size(),
               reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
    EXPECT_EQ(Hex(out, 32), "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(LoginProofTest, ProofsCoverPasswordChallengeAndChannel) {
    uint8_t password[kPasswordBufferSize];
    MakePasswordBuffer(u"pw", password);
    uint8_t challenge[16], binding[32], wrapped[16], proof[kProofSize], other[kProofSize];
    for (int i = 0; i < 16; ++i) challenge[i] = static_cast<uint8_t>(i), wrapped[i] = static_cast<uint8_t>(0x40 + i);
    for (int i = 0; i < 32; ++i) binding[i] = static_cast<uint8_t>(0x20 + i);
    ViewerProof(password, challenge, binding, proof);
    EXPECT_EQ(Hex(proof, 16), "3a7349bb97b1501a04088e615e5b301a");
    DeviceProof(password, challenge, binding, wrapped, proof);
    EXPECT_EQ(Hex(proof, 16), "012396c12d416aa1465849f492dce854");

    ViewerProof(password, challenge, binding, proof);
    binding[31] ^= 1;
    ViewerProof(password, challenge, binding, other);
    EXPECT_FALSE(SameBytes(proof, other, kProofSize)) << "another channel, another proof";
}

TEST(LoginProofTest, ABoundViewerAnswersOverItsChannelAndTakesOnlyAnAcceptanceMadeOverIt) {
    uint8_t password[kPasswordBufferSize];
    MakePasswordBuffer(u"pw", password);
    uint8_t challenge[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1}, binding[32] = {1, 2, 3}, seen[32] = {1, 2, 4};
    const uint8_t key[16] = {0xC0, 0xFF, 0xEE};

    session::CViewerProtocol viewer(u"pw");
    viewer.BindToChannel(binding);
    uint8_t packet[128];
    const size_t n = viewer.BuildAuthResponse(challenge, sizeof challenge, packet, sizeof packet);
    ASSERT_EQ(n, kPacketOverhead + kBoundAuthResponse);
    uint8_t expected[kProofSize];
    ViewerProof(password, challenge, binding, expected);
    EXPECT_EQ(Hex(packet + kPacketOverhead, 16), Hex(expected, 16));
    EXPECT_EQ(Hex(packet + kPacketOverhead + 16, 32), Hex(binding, 32)) << "the channel the answer was made over";

    uint8_t accepted[kBoundAuthAccepted];
    AesEncryptBlock(128, key, 16, password, kPasswordBufferSize, accepted);
    DeviceProof(password, challenge, seen, accepted, expected);  // made over another channel
    std::memcpy(accepted + 16, expected, 16);
    EXPECT_FALSE(viewer.AcceptSessionKey(accepted, sizeof accepted));
    EXPECT_FALSE(viewer.AcceptSessionKey(accepted, 16)) << "an unbound acceptance is no proof";
    DeviceProof(password, challenge, binding, accepted, expected);
    std::memcpy(accepted + 16, expected, 16);
    ASSERT_TRUE(viewer.AcceptSessionKey(accepted, sizeof accepted));
    EXPECT_EQ(Hex(viewer.SessionKey(), 16), Hex(key, 16));
}

}  // namespace
