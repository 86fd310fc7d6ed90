#pragma once
// Splitting an H.264 Annex-B byte stream into access units, the frames as an
// encoder hands them over one at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace demo {

struct FrameSpan {
    size_t offset;  // of the frame's first start code
    size_t length;
    bool key;       // begins 00 00 00 01 67 64, the frames the fan-out's gate opens for
};

// A new access unit begins at an access unit delimiter, SEI, sequence or
// picture parameter set, or at a slice whose first macroblock is 0, once the
// current unit holds a slice. Bytes before the first start code are dropped.
std::vector<FrameSpan> SplitAccessUnits(const uint8_t* data, size_t size);

}  // namespace demo
