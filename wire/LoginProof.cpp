#include "wire/LoginProof.h"

#include <cstring>

#include "platform/SecureZero.h"

namespace wire {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

class CSha256 {
public:
    void Add(const uint8_t* data, size_t size) {
        m_nBytes += size;
        while (size > 0) {
            const size_t take = size < 64 - m_nFill ? size : 64 - m_nFill;
            std::memcpy(m_abyBlock + m_nFill, data, take);
            m_nFill += take;
            data += take;
            size -= take;
            if (m_nFill == 64) {
                Compress();
                m_nFill = 0;
            }
        }
    }
    void Finish(uint8_t (&out)[kSha256Size]) {
        const uint64_t bits = m_nBytes * 8;
        const uint8_t one = 0x80, zero = 0;
        Add(&one, 1);
        while (m_nFill != 56) Add(&zero, 1);
        uint8_t length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Add(length, 8);
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(m_h[i] >> (24 - 8 * j));
    }

private:
    void Compress() {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (uint32_t{m_abyBlock[4 * i]} << 24) | (uint32_t{m_abyBlock[4 * i + 1]} << 16) |
                   (uint32_t{m_abyBlock[4 * i + 2]} << 8) | m_abyBlock[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3], e = m_h[4], f = m_h[5], g = m_h[6], h = m_h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        m_h[0] += a, m_h[1] += b, m_h[2] += c, m_h[3] += d, m_h[4] += e, m_h[5] += f, m_h[6] += g, m_h[7] += h;
    }

    uint32_t m_h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t m_abyBlock[64] = {};
    size_t m_nFill = 0;
    uint64_t m_nBytes = 0;
};

constexpr char kViewerLabel[] = "ZLT viewer proof";
constexpr char kDeviceLabel[] = "ZLT device proof";

void Proof(const uint8_t* password, const char* label, const uint8_t* challenge, const uint8_t* binding,
           const uint8_t* wrappedKey, uint8_t (&out)[kProofSize]) {
    uint8_t message[16 + 16 + kBindingSize + 16];
    size_t n = 0;
    std::memcpy(message, label, 16), n += 16;
    std::memcpy(message + n, challenge, 16), n += 16;
    std::memcpy(message + n, binding, kBindingSize), n += kBindingSize;
    if (wrappedKey) std::memcpy(message + n, wrappedKey, 16), n += 16;
    uint8_t mac[kSha256Size];
    HmacSha256(password, kProofKeySize, message, n, mac);
    std::memcpy(out, mac, kProofSize);
    platform::SecureZero(mac, sizeof mac);
}

}  // namespace

void Sha256(const uint8_t* data, size_t size, uint8_t (&out)[kSha256Size]) {
    CSha256 hash;
    hash.Add(data, size);
    hash.Finish(out);
}

void HmacSha256(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, uint8_t (&out)[kSha256Size]) {
    uint8_t block[64] = {};
    if (keySize > 64) {
        uint8_t digest[kSha256Size];
        Sha256(key, keySize, digest);
        std::memcpy(block, digest, sizeof digest);
    } else if (keySize > 0) {
        std::memcpy(block, key, keySize);
    }
    uint8_t pad[64];
    for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
    CSha256 inner;
    inner.Add(pad, 64);
    inner.Add(data, size);
    uint8_t innerDigest[kSha256Size];
    inner.Finish(innerDigest);
    for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
    CSha256 outer;
    outer.Add(pad, 64);
    outer.Add(innerDigest, sizeof innerDigest);
    outer.Finish(out);
    platform::SecureZero(block, sizeof block);
    platform::SecureZero(pad, sizeof pad);
}

void ViewerProof(const uint8_t* password, const uint8_t* challenge, const uint8_t* binding,
                 uint8_t (&out)[kProofSize]) {
    Proof(password, kViewerLabel, challenge, binding, nullptr, out);
}

void DeviceProof(const uint8_t* password, const uint8_t* challenge, const uint8_t* binding, const uint8_t* wrappedKey,
                 uint8_t (&out)[kProofSize]) {
    Proof(password, kDeviceLabel, challenge, binding, wrappedKey, out);
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t size) {
    uint8_t diff = 0;
    for (size_t i = 0; i < size; ++i) diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace wire
