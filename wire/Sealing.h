#pragma once
// Sealing of session packets: the 16-byte control block is encrypted as one
// AES-128 block under the session key; the payload is XORed with one scramble
// byte, which the packet carries in its control block so the receiver never
// needs the sender's state.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/Aes.h"
#include "wire/SessionPacket.h"

namespace wire {

inline constexpr size_t kKeySize = 16;
inline constexpr size_t kPasswordBufferSize = 24;

// The password buffer: the password as 8-bit text, zero-terminated and
// zero-filled in 24 bytes. A longer password is cut at a character boundary
// so that 23 bytes of text remain at most. The AES-128 key is the first 16
// bytes of the buffer; passwords that agree in those give the same key.
void MakePasswordBuffer(std::u16string_view password, uint8_t (&buffer)[kPasswordBufferSize]);

// Owns the rolling scramble byte. It is seeded when the service starts and
// advanced by every sealed packet that has a payload, from several threads at
// once; since every packet carries its own byte, a race can only change which
// byte a packet gets (or drop one advance), never make it undecodable. So the
// advance is a plain load and store, not a locked read-modify-write: the
// fan-out makes one per viewer per frame.
class CPacketSealer {
public:
    void Seed(uint8_t value) { m_byScramble.store(value, std::memory_order_relaxed); }
    uint8_t Scramble() const { return m_byScramble.load(std::memory_order_relaxed); }

    // Seals a complete packet of `totalSize` bytes in place. Nothing happens
    // when the packet is shorter than 20 bytes or `key` is null. For kinds 2, 3
    // and 4 with a non-empty payload, the current scramble byte s is stored in
    // scrambleByte and XORed into the payload, and the scramble byte becomes
    // s XOR the payload's first byte. The control block is then encrypted.
    // A payload length larger than the packet is never followed past the
    // packet's end: only the bytes present are scrambled.
    void SealPacket(const uint8_t* key, uint8_t* packet, size_t totalSize);

    // Builds a packet around `payload` and seals it, copying and scrambling
    // the payload in one pass. The bytes and the scramble byte's advance are
    // exactly those of BuildPacket followed by SealPacket; this is the form for
    // video frames, where the payload pass is the whole cost. Returns the
    // packet size, or 0 when it does not fit (nothing sealed then).
    size_t BuildSealedPacket(const uint8_t* key, uint8_t* out, size_t capacity, const PacketFields& fields,
                             const uint8_t* payload, uint32_t length);
    // The same under a key expanded beforehand, for a session's stream of frames.
    size_t BuildSealedPacket(const CAesKey128& key, uint8_t* out, size_t capacity, const PacketFields& fields,
                             const uint8_t* payload, uint32_t length);
    // One frame sealed for session after session into the same `out`: the
    // same bytes, but the payload is written only when `payloadScramble`, the
    // scramble byte of the payload `out` already holds (kNoPayload for none),
    // differs from this packet's; it is updated. The scramble byte moves only
    // by the payload's first byte, 0 in every Annex B frame, so a frame's
    // payload is scrambled once and each session costs its head alone.
    static constexpr int kNoPayload = -1;
    size_t BuildSealedPacket(const CAesKey128& key, uint8_t* out, size_t capacity, const PacketFields& fields,
                             const uint8_t* payload, uint32_t length, int& payloadScramble);

private:
    void EncryptControlBlock(const uint8_t* key, uint8_t* packet);
    // The current scramble byte; the next becomes it XOR `first` (the payload's first byte).
    uint8_t TakeScramble(uint8_t first) {
        const uint8_t s = m_byScramble.load(std::memory_order_relaxed);
        m_byScramble.store(static_cast<uint8_t>(s ^ first), std::memory_order_relaxed);
        return s;
    }
    // Writes the head and the (scrambled) payload; the control block is left in
    // clear. With `payloadScramble`, the payload only when `out` does not hold it yet.
    size_t BuildScrambled(uint8_t* out, size_t capacity, const PacketFields& fields, const uint8_t* payload,
                          uint32_t length, int* payloadScramble = nullptr);

    std::atomic<uint8_t> m_byScramble{0};
};

// Results of UnsealPacket.
inline constexpr int kUnsealOk = 0;
inline constexpr int kUnsealNoKey = -1;
inline constexpr int kUnsealBadBody = -2;
inline constexpr int kUnsealNotSealed = -3;

// Unseals a body (the packet without its 4-byte header) of `bodyLength` bytes
// in place. Returns 0; -1 when `key` is null; -3 when `kind` is not a sealed
// kind (the body is untouched); -2 when the body is shorter than a control
// block or missing, or when the decrypted length field plus 16 differs from
// `bodyLength` (the control block then stays decrypted, the payload scrambled).
int UnsealPacket(const uint8_t* key, uint8_t kind, uint8_t* body, uint32_t bodyLength);

// XORs `length` bytes with `value`; the payload pass of sealing and unsealing.
void XorBytes(uint8_t* data, size_t length, uint8_t value);
// Copies `length` bytes from `src` to `dst`, XORing each with `value`.
void XorCopy(uint8_t* dst, const uint8_t* src, size_t length, uint8_t value);

}  // namespace wire
