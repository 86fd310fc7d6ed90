#pragma once
// The login bound to the channel it runs on. Where the transport vouches for
// the certificates of an encrypted channel (the internet route's DTLS), both
// ends hold a 32-byte binding value derived from the two certificates the
// handshake actually used. The viewer's answer and the service's acceptance
// are then keyed MACs over the challenge and that value, so an answer made
// over one channel proves nothing over another: a party in the middle that
// presented its own certificates to each side cannot relay a login.
//
// The MAC is HMAC-SHA-256 keyed with the 24-byte password buffer
// (MakePasswordBuffer), cut to 16 bytes:
//   answer     = HMAC(P, "ZLT viewer proof" || challenge(16) || binding(32))
//   acceptance = HMAC(P, "ZLT device proof" || challenge(16) || binding(32) || wrapped key(16))

#include <cstddef>
#include <cstdint>

namespace wire {

inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kBindingSize = 32;
inline constexpr size_t kProofSize = 16;
inline constexpr size_t kProofKeySize = 24;  // the password buffer

void Sha256(const uint8_t* data, size_t size, uint8_t (&out)[kSha256Size]);
void HmacSha256(const uint8_t* key, size_t keySize, const uint8_t* data, size_t size, uint8_t (&out)[kSha256Size]);

// The viewer's answer to `challenge` over the channel `binding`.
void ViewerProof(const uint8_t* password, const uint8_t* challenge, const uint8_t* binding,
                 uint8_t (&out)[kProofSize]);
// The service's acceptance, covering the session key as it was sent (wrapped).
void DeviceProof(const uint8_t* password, const uint8_t* challenge, const uint8_t* binding, const uint8_t* wrappedKey,
                 uint8_t (&out)[kProofSize]);
// Compares in time that does not depend on where the bytes differ.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t size);

}  // namespace wire
