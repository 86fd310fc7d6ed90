#include "service/demo/AnnexB.h"

#include "wire/SessionPacket.h"

namespace demo {
namespace {

// The position of the next "00 00 01" at or after `from`, or `size`.
size_t FindStartCode(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}

bool IsSlice(uint8_t type) { return type == 1 || type == 5; }
bool BeginsUnit(uint8_t type) { return type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18); }

}  // namespace

std::vector<FrameSpan> SplitAccessUnits(const uint8_t* data, size_t size) {
    std::vector<FrameSpan> frames;
    if (!data) return frames;
    size_t frameStart = size;  // none open
    bool unitHasSlice = false;
    for (size_t sc = FindStartCode(data, size, 0); sc < size; sc = FindStartCode(data, size, sc + 3)) {
        const size_t nalStart = (sc > 0 && data[sc - 1] == 0) ? sc - 1 : sc;  // a four-byte start code
        const size_t header = sc + 3;
        if (header >= size) break;
        const uint8_t type = data[header] & 0x1F;
        // first_mb_in_slice is the first Exp-Golomb code of the slice header;
        // it is 0 exactly when the code's first bit is 1.
        const bool firstSlice = IsSlice(type) && header + 1 < size && (data[header + 1] & 0x80) != 0;
        if (frameStart == size) {
            frameStart = nalStart;
        } else if (unitHasSlice && (BeginsUnit(type) || firstSlice)) {
            frames.push_back({frameStart, nalStart - frameStart, false});
            frameStart = nalStart;
            unitHasSlice = false;
        }
        if (IsSlice(type)) unitHasSlice = true;
    }
    if (frameStart < size) frames.push_back({frameStart, size - frameStart, false});
    for (FrameSpan& f : frames) f.key = wire::IsKeyFrame(data + f.offset, f.length);
    return frames;
}

}  // namespace demo
