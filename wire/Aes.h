#pragma once
// AES (FIPS-197) on single 16-byte blocks, without chaining: each block is
// encrypted by itself. Keys of 128, 192 and 256 bits.
//
// Argument conventions of both functions:
//   - `bits` must be 128, 192 or 256, otherwise the result is -1;
//   - `key` and `out` must be non-null, `dataLen` and `keyLen` not negative,
//     and `data` non-null when `dataLen` is positive, otherwise -2;
//   - otherwise the first min(dataLen, 32) bytes of `data` and the first
//     min(keyLen, 32) bytes of `key` are copied into zero-filled 32-byte areas;
//     the first 16 bytes of the first are the block, the first bits/8 bytes of
//     the second are the key. Short data and keys are thus zero-padded, long
//     ones cut. The 16 result bytes go to `out` and the result is 16.
// Nothing is written on failure. Every call works in its own area on the
// stack and expands its key afresh, so calls never need a lock.

#include <atomic>
#include <cstdint>

namespace wire {

inline constexpr int kAesBlockSize = 16;
inline constexpr int kAesBadBits = -1;
inline constexpr int kAesBadArgument = -2;

int AesEncryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out);
int AesDecryptBlock(int bits, const uint8_t* data, int dataLen, const uint8_t* key, int keyLen, uint8_t* out);

// An AES-128 key expanded once, for encrypting many blocks under one key (a
// session's video frames): the same results as AesEncryptBlock(128, block, 16,
// key, 16, out) without expanding the key for every block. Where the
// processor has AES instructions they do the work (chosen at run time: faster,
// and free of the tables' cache timing); elsewhere the tables do. The schedule
// is wiped when cleared, re-expanded or destroyed.
class CAesKey128 {
public:
    CAesKey128() = default;
    ~CAesKey128() { Clear(); }
    CAesKey128(const CAesKey128&) = delete;
    CAesKey128& operator=(const CAesKey128&) = delete;

    void Expand(const uint8_t* key);  // 16 bytes
    void Clear();
    void EncryptBlock(const uint8_t* in, uint8_t* out) const;  // 16 bytes each; may be the same

    // True when keys expanded now use the processor's AES instructions.
    static bool UsesInstructions();
    // Makes keys expanded from now on use the tables (true) or the
    // instructions where there are any (false): for tests and benchmarks that
    // compare the two.
    static void ForceTables(bool tablesOnly);

private:
    static std::atomic<bool> g_bTablesOnly;
    alignas(16) uint32_t m_rk[44] = {};
    bool m_bInstructions = false;  // chosen when expanded
};

}  // namespace wire
