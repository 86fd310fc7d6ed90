#include "service/session/Aes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/SecureZero.h"

namespace session {
namespace {

constexpr uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b) {
        if (b & 1) product ^= a;
        a = XTime(a);
        b >>= 1;
    }
    return product;
}

constexpr uint8_t RotL8(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }

// The S-box: the multiplicative inverse in GF(2^8) followed by the affine map.
constexpr std::array<uint8_t, 256> MakeSBox() {
    std::array<uint8_t, 256> box{};
    for (int x = 0; x < 256; ++x) {
        uint8_t inverse = 0;
        for (int y = 1; y < 256 && x != 0; ++y) {
            if (GfMul(static_cast<uint8_t>(x), static_cast<uint8_t>(y)) == 1) {
                inverse = static_cast<uint8_t>(y);
                break;
            }
        }
        box[x] = static_cast<uint8_t>(inverse ^ RotL8(inverse, 1) ^ RotL8(inverse, 2) ^ RotL8(inverse, 3) ^
                                      RotL8(inverse, 4) ^ 0x63);
    }
    return box;
}

constexpr std::array<uint8_t, 256> MakeInverse(const std::array<uint8_t, 256>& box) {
    std::array<uint8_t, 256> inverse{};
    for (int x = 0; x < 256; ++x) inverse[box[x]] = static_cast<uint8_t>(x);
    return inverse;
}

constexpr std::array<uint8_t, 256> kSBox = MakeSBox();
constexpr std::array<uint8_t, 256> kInvSBox = MakeInverse(kSBox);
static_assert(kSBox[0x00] == 0x63 && kSBox[0x53] == 0xED && kSBox[0xFF] == 0x16);

constexpr uint32_t RotL32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Round tables: SubBytes (or its inverse) and one column of MixColumns (or its
// inverse) for every byte value. A column is a 32-bit word with row 0 in the
// low byte; table k is table 0 rotated by k rows.
struct RoundTables {
    uint32_t enc[4][256];
    uint32_t dec[4][256];
};

constexpr RoundTables MakeRoundTables() {
    RoundTables t{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = kSBox[x];
        const uint8_t i = kInvSBox[x];
        const uint32_t e = static_cast<uint32_t>(GfMul(s, 2)) | (static_cast<uint32_t>(s) << 8) |
                           (static_cast<uint32_t>(s) << 16) | (static_cast<uint32_t>(GfMul(s, 3)) << 24);
        const uint32_t d = static_cast<uint32_t>(GfMul(i, 14)) | (static_cast<uint32_t>(GfMul(i, 9)) << 8) |
                           (static_cast<uint32_t>(GfMul(i, 13)) << 16) | (static_cast<uint32_t>(GfMul(i, 11)) << 24);
        for (int k = 0; k < 4; ++k) {
            t.enc[k][x] = k ? RotL32(e, 8 * k) : e;
            t.dec[k][x] = k ? RotL32(d, 8 * k) : d;
        }
    }
    return t;
}

constexpr RoundTables kTables = MakeRoundTables();

constexpr int kMaxRounds = 14;
constexpr size_t kArea = 32;

inline uint32_t LoadWord(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline void StoreWord(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint8_t Byte(uint32_t w, int row) { return static_cast<uint8_t>(w >> (8 * row)); }

inline uint32_t SubWord(uint32_t w) {
    return static_cast<uint32_t>(kSBox[Byte(w, 0)]) | (static_cast<uint32_t>(kSBox[Byte(w, 1)]) << 8) |
           (static_cast<uint32_t>(kSBox[Byte(w, 2)]) << 16) | (static_cast<uint32_t>(kSBox[Byte(w, 3)]) << 24);
}

// One call's working area: the expanded key, one word per column.
struct Work {
    uint32_t rk[4 * (kMaxRounds + 1)];
    int rounds;
};

void ExpandKey(Work& w, const uint8_t* key, int keyWords) {
    w.rounds = keyWords + 6;
    const int totalWords = 4 * (w.rounds + 1);
    for (int i = 0; i < keyWords; ++i) w.rk[i] = LoadWord(key + 4 * i);
    uint8_t rcon = 0x01;
    int pos = 0;  // i modulo keyWords, kept without dividing
    for (int i = keyWords; i < totalWords; ++i) {
        uint32_t t = w.rk[i - 1];
        if (pos == 0) {
            // RotWord moves row 1 to row 0: a right rotation in this packing.
            t = SubWord(RotL32(t, 24)) ^ rcon;
            rcon = XTime(rcon);
        } else if (keyWords > 6 && pos == 4) {
            t = SubWord(t);
        }
        w.rk[i] = w.rk[i - keyWords] ^ t;
        if (++pos == keyWords) pos = 0;
    }
}

void Encrypt(const Work& w, const uint8_t* in, uint8_t* out) {
    const uint32_t* rk = w.rk;
    uint32_t s[4], t[4];
    for (int c = 0; c < 4; ++c) s[c] = LoadWord(in + 4 * c) ^ rk[c];
    for (int round = 1; round < w.rounds; ++round) {
        rk += 4;
        for (int c = 0; c < 4; ++c) {
            t[c] = kTables.enc[0][Byte(s[c], 0)] ^ kTables.enc[1][Byte(s[(c + 1) & 3], 1)] ^
                   kTables.enc[2][Byte(s[(c + 2) & 3], 2)] ^ kTables.enc[3][Byte(s[(c + 3) & 3], 3)] ^ rk[c];
        }
        std::memcpy(s, t, sizeof s);
    }
    rk += 4;
    for (int c = 0; c < 4; ++c) {
        const uint32_t v = static_cast<uint32_t>(kSBox[Byte(s[c], 0)]) |
                           (static_cast<uint32_t>(kSBox[Byte(s[(c + 1) & 3], 1)]) << 8) |
                           (static_cast<uint32_t>(kSBox[Byte(s[(c + 2) & 3], 2)]) << 16) |
                           (static_cast<uint32_t>(kSBox[Byte(s[(c + 3) & 3], 3)]) << 24);
        StoreWord(out + 4 * c, v ^ rk[c]);
    }
}

inline uint32_t InvMixWord(uint32_t w) {
    // The decryption tables include the inverse S-box; feeding them S-box
    // outputs leaves InvMixColumns alone.
    return kTables.dec[0][kSBox[Byte(w, 0)]] ^ kTables.dec[1][kSBox[Byte(w, 1)]] ^
           kTables.dec[2][kSBox[Byte(w, 2)]] ^ kTables.dec[3][kSBox[Byte(w, 3)]];
}

// The equivalent inverse cipher: round keys in reverse order, the inner ones
// passed through InvMixColumns.
void Decrypt(const Work& w, const uint8_t* in, uint8_t* out) {
    const int nr = w.rounds;
    uint32_t s[4], t[4];
    for (int c = 0; c < 4; ++c) s[c] = LoadWord(in + 4 * c) ^ w.rk[4 * nr + c];
    for (int round = nr - 1; round > 0; --round) {
        const uint32_t* rk = w.rk + 4 * round;
        for (int c = 0; c < 4; ++c) {
            t[c] = kTables.dec[0][Byte(s[c], 0)] ^ kTables.dec[1][Byte(s[(c + 3) & 3], 1)] ^
                   kTables.dec[2][Byte(s[(c + 2) & 3], 2)] ^ kTables.dec[3][Byte(s[(c + 1) & 3], 3)] ^
                   InvMixWord(rk[c]);
        }
        std::memcpy(s, t, sizeof s);
    }
    for (int c = 0; c < 4; ++c) {
        const uint32_t v = static_cast<uint32_t>(kInvSBox[Byte(s[c], 0)]) |
                           (static_cast<uint32_t>(kInvSBox[Byte(s[(c + 3) & 3], 1)]) << 8) |
                           (static_cast<uint32_t>(kInvSBox[Byte(s[(c + 2) & 3], 2)]) << 16) |
                           (static_cast<uint32_t>(kInvSBox[Byte(s[(c + 1) & 3], 3)]) << 24);
        StoreWord(out + 4 * c, v ^ w.rk[c]);
    }
}

int RunBlock(bool encrypt, int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen,
             uint8_t* out) {
    if (bits != 128 && bits != 192 && bits != 256) return kAesBadBits;
    if (!key || !out || dataLen < 0 || keyLen < 0 || (!data && dataLen > 0)) return kAesBadArgument;

    uint8_t dataArea[kArea] = {};
    uint8_t keyArea[kArea] = {};
    if (dataLen > 0) std::memcpy(dataArea, data, std::min<size_t>(static_cast<size_t>(dataLen), kArea));
    std::memcpy(keyArea, key, std::min<size_t>(static_cast<size_t>(keyLen), kArea));

    Work w;
    ExpandKey(w, keyArea, bits / 32);
    if (encrypt) {
        Encrypt(w, dataArea, out);
    } else {
        Decrypt(w, dataArea, out);
    }
    // The key schedule does not outlive the call.
    platform::SecureZero(&w, sizeof w);
    platform::SecureZero(keyArea, sizeof keyArea);
    return kAesBlockSize;
}

}  // namespace

int AesEncryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out) {
    return RunBlock(true, bits, data, dataLen, key, keyLen, out);
}

int AesDecryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out) {
    return RunBlock(false, bits, data, dataLen, key, keyLen, out);
}

}  // namespace session
