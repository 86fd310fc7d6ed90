#include "wire/Aes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/SecureZero.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZELT_AES_INSTRUCTIONS 1
#endif

namespace wire {

std::atomic<bool> CAesKey128::g_bTablesOnly{false};

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

// One round's column: four table lookups and the round key. The four columns
// are written out as separate variables so that the compiler keeps them in
// scalar registers (its vectoriser would otherwise emulate the lookups slowly).
inline uint32_t EncColumn(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return kTables.enc[0][Byte(a, 0)] ^ kTables.enc[1][Byte(b, 1)] ^ kTables.enc[2][Byte(c, 2)] ^
           kTables.enc[3][Byte(d, 3)] ^ k;
}
inline uint32_t EncLast(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (static_cast<uint32_t>(kSBox[Byte(a, 0)]) | (static_cast<uint32_t>(kSBox[Byte(b, 1)]) << 8) |
            (static_cast<uint32_t>(kSBox[Byte(c, 2)]) << 16) | (static_cast<uint32_t>(kSBox[Byte(d, 3)]) << 24)) ^
           k;
}

void Encrypt(const uint32_t* rk, int rounds, const uint8_t* in, uint8_t* out) {
    uint32_t s0 = LoadWord(in) ^ rk[0], s1 = LoadWord(in + 4) ^ rk[1];
    uint32_t s2 = LoadWord(in + 8) ^ rk[2], s3 = LoadWord(in + 12) ^ rk[3];
    for (int round = 1; round < rounds; ++round) {
        rk += 4;
        const uint32_t t0 = EncColumn(s0, s1, s2, s3, rk[0]);
        const uint32_t t1 = EncColumn(s1, s2, s3, s0, rk[1]);
        const uint32_t t2 = EncColumn(s2, s3, s0, s1, rk[2]);
        const uint32_t t3 = EncColumn(s3, s0, s1, s2, rk[3]);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    StoreWord(out, EncLast(s0, s1, s2, s3, rk[0]));
    StoreWord(out + 4, EncLast(s1, s2, s3, s0, rk[1]));
    StoreWord(out + 8, EncLast(s2, s3, s0, s1, rk[2]));
    StoreWord(out + 12, EncLast(s3, s0, s1, s2, rk[3]));
}

inline uint32_t InvMixWord(uint32_t w) {
    // The decryption tables include the inverse S-box; feeding them S-box
    // outputs leaves InvMixColumns alone.
    return kTables.dec[0][kSBox[Byte(w, 0)]] ^ kTables.dec[1][kSBox[Byte(w, 1)]] ^
           kTables.dec[2][kSBox[Byte(w, 2)]] ^ kTables.dec[3][kSBox[Byte(w, 3)]];
}

inline uint32_t DecColumn(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return kTables.dec[0][Byte(a, 0)] ^ kTables.dec[1][Byte(b, 1)] ^ kTables.dec[2][Byte(c, 2)] ^
           kTables.dec[3][Byte(d, 3)] ^ k;
}
inline uint32_t DecLast(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (static_cast<uint32_t>(kInvSBox[Byte(a, 0)]) | (static_cast<uint32_t>(kInvSBox[Byte(b, 1)]) << 8) |
            (static_cast<uint32_t>(kInvSBox[Byte(c, 2)]) << 16) |
            (static_cast<uint32_t>(kInvSBox[Byte(d, 3)]) << 24)) ^
           k;
}

// The equivalent inverse cipher: round keys in reverse order, the inner ones
// passed through InvMixColumns.
void Decrypt(const Work& w, const uint8_t* in, uint8_t* out) {
    const int nr = w.rounds;
    const uint32_t* last = w.rk + 4 * nr;
    uint32_t s0 = LoadWord(in) ^ last[0], s1 = LoadWord(in + 4) ^ last[1];
    uint32_t s2 = LoadWord(in + 8) ^ last[2], s3 = LoadWord(in + 12) ^ last[3];
    for (int round = nr - 1; round > 0; --round) {
        const uint32_t* rk = w.rk + 4 * round;
        const uint32_t t0 = DecColumn(s0, s3, s2, s1, InvMixWord(rk[0]));
        const uint32_t t1 = DecColumn(s1, s0, s3, s2, InvMixWord(rk[1]));
        const uint32_t t2 = DecColumn(s2, s1, s0, s3, InvMixWord(rk[2]));
        const uint32_t t3 = DecColumn(s3, s2, s1, s0, InvMixWord(rk[3]));
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    StoreWord(out, DecLast(s0, s3, s2, s1, w.rk[0]));
    StoreWord(out + 4, DecLast(s1, s0, s3, s2, w.rk[1]));
    StoreWord(out + 8, DecLast(s2, s1, s0, s3, w.rk[2]));
    StoreWord(out + 12, DecLast(s3, s2, s1, s0, w.rk[3]));
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
        Encrypt(w.rk, w.rounds, dataArea, out);
    } else {
        Decrypt(w, dataArea, out);
    }
    // The key schedule does not outlive the call.
    platform::SecureZero(&w, sizeof w);
    platform::SecureZero(keyArea, sizeof keyArea);
    return kAesBlockSize;
}

#ifdef ZELT_AES_INSTRUCTIONS
// The processor's AES instructions for an expanded AES-128 key: the same
// results as Encrypt, in constant time and without table lookups. The round
// keys are the words of the schedule in memory order, which is the byte order
// the instructions take (row 0 in each word's low byte on this little-endian
// machine).
__attribute__((target("aes,sse2"))) void EncryptWithInstructions(const uint32_t* rk, const uint8_t* in,
                                                                  uint8_t* out) {
    const auto* keys = reinterpret_cast<const __m128i*>(rk);
    __m128i state = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), _mm_loadu_si128(keys));
    for (int round = 1; round < 10; ++round) state = _mm_aesenc_si128(state, _mm_loadu_si128(keys + round));
    state = _mm_aesenclast_si128(state, _mm_loadu_si128(keys + 10));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), state);
}

bool HasAesInstructions() {
    static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
    return has;
}
#endif

}  // namespace

bool CAesKey128::UsesInstructions() {
#ifdef ZELT_AES_INSTRUCTIONS
    return HasAesInstructions() && !g_bTablesOnly.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void CAesKey128::ForceTables(bool tablesOnly) { g_bTablesOnly.store(tablesOnly); }

void CAesKey128::Expand(const uint8_t* key) {
    m_bInstructions = UsesInstructions();
    Work w;
    ExpandKey(w, key, 4);
    std::memcpy(m_rk, w.rk, sizeof m_rk);
    platform::SecureZero(&w, sizeof w);
}

void CAesKey128::Clear() { platform::SecureZero(m_rk, sizeof m_rk); }

void CAesKey128::EncryptBlock(const uint8_t* in, uint8_t* out) const {
#ifdef ZELT_AES_INSTRUCTIONS
    if (m_bInstructions) {
        EncryptWithInstructions(m_rk, in, out);
        return;
    }
#endif
    Encrypt(m_rk, 10, in, out);
}

int AesEncryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out) {
    return RunBlock(true, bits, data, dataLen, key, keyLen, out);
}

int AesDecryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out) {
    return RunBlock(false, bits, data, dataLen, key, keyLen, out);
}

}  // namespace wire
