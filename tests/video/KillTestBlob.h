#pragma once
// The value the kill test writes: 8 KiB whose every byte follows from the
// counter in its first four, so a value torn between two writes shows.

#include <cstdint>
#include <cstring>
#include <vector>

namespace killtest {

inline constexpr size_t kBlobSize = 8192;

inline std::vector<uint8_t> Blob(uint32_t n) {
    std::vector<uint8_t> blob(kBlobSize);
    std::memcpy(blob.data(), &n, 4);
    for (size_t i = 4; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(n * 31 + i);
    return blob;
}

// The counter of a well-formed blob, or false.
inline bool Counter(const std::vector<uint8_t>& blob, uint32_t* n) {
    if (blob.size() != kBlobSize) return false;
    std::memcpy(n, blob.data(), 4);
    return blob == Blob(*n);
}

}  // namespace killtest
