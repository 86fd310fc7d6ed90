#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "wire/Aes.h"
#include "tests/support/Hex.h"

namespace {

using wire::AesDecryptBlock;
using wire::AesEncryptBlock;
using testsupport::FromHex;
using testsupport::ToHex;

struct Vector {
    int bits;
    const char* key;
    const char* plain;
    const char* cipher;
};

// The example vectors of FIPS-197 (appendices B and C).
const Vector kVectors[] = {
    {128, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    {128, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {192, "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "00112233445566778899aabbccddeeff",
     "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(Aes, StandardVectorsEncryptAndDecrypt) {
    for (const auto& v : kVectors) {
        const auto key = FromHex(v.key), plain = FromHex(v.plain);
        uint8_t out[16], back[16];
        ASSERT_EQ(AesEncryptBlock(v.bits, plain.data(), 16, key.data(), static_cast<int>(key.size()), out), 16);
        EXPECT_EQ(ToHex(out, 16), v.cipher) << v.bits;
        ASSERT_EQ(AesDecryptBlock(v.bits, out, 16, key.data(), static_cast<int>(key.size()), back), 16);
        EXPECT_EQ(ToHex(back, 16), v.plain) << v.bits;
    }
}

TEST(Aes, RandomBlocksRoundTripForEveryKeySize) {
    std::mt19937 rng(7);
    for (int bits : {128, 192, 256}) {
        for (int i = 0; i < 200; ++i) {
            uint8_t key[32], block[16], enc[16], dec[16];
            for (auto& b : key) b = static_cast<uint8_t>(rng());
            for (auto& b : block) b = static_cast<uint8_t>(rng());
            ASSERT_EQ(AesEncryptBlock(bits, block, 16, key, bits / 8, enc), 16);
            ASSERT_EQ(AesDecryptBlock(bits, enc, 16, key, bits / 8, dec), 16);
            ASSERT_EQ(std::memcmp(block, dec, 16), 0) << bits;
            ASSERT_NE(std::memcmp(block, enc, 16), 0);
        }
    }
}

TEST(Aes, BadArgumentsReturnCodesAndWriteNothing) {
    const uint8_t key[16] = {1}, data[16] = {2};
    uint8_t out[16];
    std::memset(out, 0xAA, sizeof out);
    for (int bits : {0, 64, 127, 129, 512, -128}) {
        EXPECT_EQ(AesEncryptBlock(bits, data, 16, key, 16, out), -1) << bits;
        EXPECT_EQ(AesDecryptBlock(bits, data, 16, nullptr, 16, out), -1) << "bits are checked first";
    }
    EXPECT_EQ(AesEncryptBlock(128, data, 16, nullptr, 16, out), -2);
    EXPECT_EQ(AesEncryptBlock(128, data, 16, key, 16, nullptr), -2);
    EXPECT_EQ(AesEncryptBlock(128, data, -1, key, 16, out), -2);
    EXPECT_EQ(AesDecryptBlock(128, data, 16, key, -16, out), -2);
    EXPECT_EQ(AesEncryptBlock(128, nullptr, 16, key, 16, out), -2) << "missing data is refused, not read";
    for (uint8_t b : out) ASSERT_EQ(b, 0xAA);
}

TEST(Aes, ShortInputsAreZeroPaddedAndLongOnesCut) {
    const auto key = FromHex("000102030405060708090a0b0c0d0e0f");
    uint8_t reference[16], out[16];

    // Five data bytes are the same block as those five followed by zeros.
    const uint8_t five[5] = {9, 8, 7, 6, 5};
    uint8_t padded[16] = {9, 8, 7, 6, 5};
    AesEncryptBlock(128, padded, 16, key.data(), 16, reference);
    EXPECT_EQ(AesEncryptBlock(128, five, 5, key.data(), 16, out), 16);
    EXPECT_EQ(std::memcmp(out, reference, 16), 0);

    // No data at all is the zero block, and a null pointer is fine with it.
    uint8_t zero[16] = {};
    AesEncryptBlock(128, zero, 16, key.data(), 16, reference);
    EXPECT_EQ(AesEncryptBlock(128, nullptr, 0, key.data(), 16, out), 16);
    EXPECT_EQ(std::memcmp(out, reference, 16), 0);

    // Forty data bytes: only the first sixteen count.
    uint8_t forty[40];
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<uint8_t>(i);
    AesEncryptBlock(128, forty, 16, key.data(), 16, reference);
    EXPECT_EQ(AesEncryptBlock(128, forty, 40, key.data(), 16, out), 16);
    EXPECT_EQ(std::memcmp(out, reference, 16), 0);

    // A 24-byte password buffer as a 128-bit key: the last 8 bytes take no part,
    // and a short key equals itself followed by zeros.
    uint8_t buffer[24] = {'s', 'e', 'c', 'r', 'e', 't'};
    uint8_t other[24] = {'s', 'e', 'c', 'r', 'e', 't'};
    std::memset(other + 16, 0x55, 8);
    uint8_t a[16], b[16], c[16];
    AesEncryptBlock(128, forty, 16, buffer, 24, a);
    AesEncryptBlock(128, forty, 16, other, 24, b);
    AesEncryptBlock(128, forty, 16, buffer, 6, c);
    EXPECT_EQ(std::memcmp(a, b, 16), 0);
    EXPECT_EQ(std::memcmp(a, c, 16), 0);
}

}  // namespace
