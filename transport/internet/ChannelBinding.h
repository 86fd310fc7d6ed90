#pragma once
// The value that ties a login to the encrypted channel it runs on: derived
// from the two certificates the DTLS handshake actually used, the device's
// (the offerer's) first, so both ends reach the same 32 bytes, and a party
// that put its own certificates in the middle leaves each end with another.
//
//   binding = SHA-256("ZLT channel binding" || SHA-256(device DER) || SHA-256(viewer DER))
//
// The certificates enter by their SHA-256 fingerprints, which a browser can
// give for its own certificate as well as for its peer's.

#include <cstdint>
#include <string>

namespace pppp {

constexpr size_t kChannelBindingSize = 32;

// From two PEM certificates (the first of each text is used); false when
// either holds none.
bool ChannelBindingFromPem(const std::string& devicePem, const std::string& viewerPem,
                           uint8_t (&out)[kChannelBindingSize]);

}  // namespace pppp
