// The Annex-B splitter on any byte stream: the frames it finds lie inside the
// input, in order and without overlap, each begins with a start code, and its
// key flag says what the fan-out's gate says.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "service/demo/AnnexB.h"
#include "wire/SessionPacket.h"

namespace {

bool StartsWithStartCode(const uint8_t* p, size_t n) {
    return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) || (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<demo::FrameSpan> frames = demo::SplitAccessUnits(data, size);
    size_t end = 0;
    for (const demo::FrameSpan& f : frames) {
        if (f.offset < end || f.length == 0 || f.offset > size || f.length > size - f.offset) std::abort();
        if (!StartsWithStartCode(data + f.offset, f.length)) std::abort();
        if (f.key != wire::IsKeyFrame(data + f.offset, static_cast<uint32_t>(f.length))) std::abort();
        end = f.offset + f.length;
    }
    return 0;
}
