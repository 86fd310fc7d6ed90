#include "wire/Sealing.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"
#include "wire/Aes.h"
#include "wire/SessionPacket.h"

namespace wire {

void MakePasswordBuffer(std::u16string_view password, uint8_t (&buffer)[kPasswordBufferSize]) {
    platform::Utf16ToUtf8Buffer(password, reinterpret_cast<char*>(buffer), kPasswordBufferSize);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
namespace {

// 128 bytes a step in four 32-byte vectors, for processors with AVX2 (chosen
// at run time): the width memcpy itself uses there. Returns the bytes done.
__attribute__((target("avx2"))) size_t XorCopyWide(uint8_t* dst, const uint8_t* src, size_t length, uint8_t value) {
    typedef uint8_t Vector32 __attribute__((vector_size(32)));
    Vector32 wide;
    for (int k = 0; k < 32; ++k) wide[k] = value;
    size_t i = 0;
    for (; i + 128 <= length; i += 128) {
        Vector32 a, b, c, d;
        std::memcpy(&a, src + i, 32);
        std::memcpy(&b, src + i + 32, 32);
        std::memcpy(&c, src + i + 64, 32);
        std::memcpy(&d, src + i + 96, 32);
        a ^= wide;
        b ^= wide;
        c ^= wide;
        d ^= wide;
        std::memcpy(dst + i, &a, 32);
        std::memcpy(dst + i + 32, &b, 32);
        std::memcpy(dst + i + 64, &c, 32);
        std::memcpy(dst + i + 96, &d, 32);
    }
    return i;
}

bool HasWideVectors() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace
#define ZELT_WIDE_XOR 1
#endif

void XorCopy(uint8_t* dst, const uint8_t* src, size_t length, uint8_t value) {
    size_t i = 0;
#ifdef ZELT_WIDE_XOR
    if (length >= 128 && HasWideVectors()) i = XorCopyWide(dst, src, length, value);
#endif
#if defined(__GNUC__)
    // 64 bytes a step in four 16-byte vectors: as fast as memcpy on the
    // baseline vector unit of every target we build for.
    typedef uint8_t Vector16 __attribute__((vector_size(16)));
    Vector16 wide;
    for (int k = 0; k < 16; ++k) wide[k] = value;
    for (; i + 64 <= length; i += 64) {
        // Separate variables keep the four vectors in registers.
        Vector16 a, b, c, d;
        std::memcpy(&a, src + i, 16);
        std::memcpy(&b, src + i + 16, 16);
        std::memcpy(&c, src + i + 32, 16);
        std::memcpy(&d, src + i + 48, 16);
        a ^= wide;
        b ^= wide;
        c ^= wide;
        d ^= wide;
        std::memcpy(dst + i, &a, 16);
        std::memcpy(dst + i + 16, &b, 16);
        std::memcpy(dst + i + 32, &c, 16);
        std::memcpy(dst + i + 48, &d, 16);
    }
#endif
    // 32 bytes a step in four independent words.
    const uint64_t word = 0x0101010101010101ull * value;
    for (; i + 32 <= length; i += 32) {
        uint64_t w[4];
        std::memcpy(w, src + i, 32);
        w[0] ^= word;
        w[1] ^= word;
        w[2] ^= word;
        w[3] ^= word;
        std::memcpy(dst + i, w, 32);
    }
    for (; i < length; ++i) dst[i] = src[i] ^ value;
}

void XorBytes(uint8_t* data, size_t length, uint8_t value) { XorCopy(data, data, length, value); }

void CPacketSealer::EncryptControlBlock(const uint8_t* key, uint8_t* packet) {
    uint8_t block[kControlBlockSize];
    if (AesEncryptBlock(128, packet + kHeaderSize, kControlBlockSize, key, kKeySize, block) > 0) {
        std::memcpy(packet + kHeaderSize, block, kControlBlockSize);
    }
}

size_t CPacketSealer::BuildScrambled(uint8_t* out, size_t capacity, const PacketFields& fields,
                                     const uint8_t* payload, uint32_t length, int* payloadScramble) {
    const size_t total = kPacketOverhead + static_cast<size_t>(length);
    if (capacity < total || !WritePacketHead(out, fields, length)) return 0;
    constexpr int kPlain = 0x100;  // the payload as it is, not scrambled
    int held = kNoPayload;
    if (IsSealedKind(fields.kind) && length > 0) {
        const uint8_t s = TakeScramble(payload[0]);
        out[kOffScrambleByte] = s;
        held = s;
        if (!payloadScramble || *payloadScramble != held) XorCopy(out + kOffPayload, payload, length, s);
    } else if (length > 0) {
        held = kPlain;
        if (!payloadScramble || *payloadScramble != held) std::memcpy(out + kOffPayload, payload, length);
    }
    if (payloadScramble) *payloadScramble = held;
    return total;
}

size_t CPacketSealer::BuildSealedPacket(const uint8_t* key, uint8_t* out, size_t capacity,
                                        const PacketFields& fields, const uint8_t* payload, uint32_t length) {
    if (!key) return BuildPacket(out, capacity, fields, payload, length);
    const size_t total = BuildScrambled(out, capacity, fields, payload, length);
    if (total > 0) EncryptControlBlock(key, out);
    return total;
}

size_t CPacketSealer::BuildSealedPacket(const CAesKey128& key, uint8_t* out, size_t capacity,
                                        const PacketFields& fields, const uint8_t* payload, uint32_t length) {
    const size_t total = BuildScrambled(out, capacity, fields, payload, length);
    if (total > 0) key.EncryptBlock(out + kHeaderSize, out + kHeaderSize);
    return total;
}

size_t CPacketSealer::BuildSealedPacket(const CAesKey128& key, uint8_t* out, size_t capacity,
                                        const PacketFields& fields, const uint8_t* payload, uint32_t length,
                                        int& payloadScramble) {
    const size_t total = BuildScrambled(out, capacity, fields, payload, length, &payloadScramble);
    if (total > 0) key.EncryptBlock(out + kHeaderSize, out + kHeaderSize);
    return total;
}

void CPacketSealer::SealPacket(const uint8_t* key, uint8_t* packet, size_t totalSize) {
    if (totalSize < kPacketOverhead || !key) return;

    const uint8_t kind = packet[3];
    if (IsSealedKind(kind)) {
        const size_t announced = HasLength32(kind) ? LoadU32(packet + kOffPayloadLength32)
                                                   : LoadU16(packet + kOffPayloadLength16);
        const size_t length = std::min(announced, totalSize - kPacketOverhead);
        if (length > 0) {
            uint8_t* payload = packet + kOffPayload;
            const uint8_t s = TakeScramble(payload[0]);
            packet[kOffScrambleByte] = s;
            XorBytes(payload, length, s);
        }
    }

    EncryptControlBlock(key, packet);
}

int UnsealPacket(const uint8_t* key, uint8_t kind, uint8_t* body, uint32_t bodyLength) {
    if (!key) return kUnsealNoKey;
    const auto signedKind = static_cast<int8_t>(kind);
    if (signedKind < KindSealed32 || signedKind > KindSealed16) return kUnsealNotSealed;
    if (!body || bodyLength < kControlBlockSize) return kUnsealBadBody;

    uint8_t block[kControlBlockSize];
    if (AesDecryptBlock(128, body, kControlBlockSize, key, kKeySize, block) <= 0) return kUnsealBadBody;
    std::memcpy(body, block, kControlBlockSize);

    const uint64_t length = AnnouncedPayloadLength(kind, body);
    if (length + kControlBlockSize != bodyLength) return kUnsealBadBody;
    XorBytes(body + kBodyPayload, static_cast<size_t>(length), body[kBodyScrambleByte]);
    return kUnsealOk;
}

}  // namespace wire
