#pragma once
// What the capture needs to know of an H.264 Annex-B access unit: whether it
// is a key frame as the fan-out's gate sees one, its NAL units, and how to put
// its sequence parameter set first.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wire/SessionPacket.h"

namespace video {

inline constexpr uint8_t kNalSei = 6;
inline constexpr uint8_t kNalSps = 7;
inline constexpr uint8_t kNalPps = 8;
inline constexpr uint8_t kNalIdr = 5;
inline constexpr uint8_t kNalAud = 9;

// A key frame as the fan-out's gate sees one: 00 00 00 01 67 64.
using wire::IsKeyFrame;

struct NalUnit {
    size_t offset;  // of the first byte after the start code (the NAL header)
    size_t length;  // up to the next start code or the end
    uint8_t type;   // nal_unit_type
};

// The NAL units of `data`, 3- and 4-byte start codes alike; bytes before the
// first start code belong to none. Appends to `units` (cleared first).
void SplitNalUnits(const uint8_t* data, size_t length, std::vector<NalUnit>& units);

// Rewrites an access unit that holds an SPS so that the SPS comes first with a
// 4-byte start code: access-unit delimiters are dropped, every other unit
// keeps its order after the SPS, each with a 4-byte start code. `out` is
// reused (no allocation once it has grown). False when the unit has no SPS;
// `out` is then untouched.
bool PutSpsFirst(const uint8_t* data, size_t length, std::vector<NalUnit>& scratch, std::vector<uint8_t>& out);

}  // namespace video
