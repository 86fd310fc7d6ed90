#include "service/video/H264.h"

namespace video {

void SplitNalUnits(const uint8_t* data, size_t length, std::vector<NalUnit>& units) {
    units.clear();
    if (data == nullptr) return;
    size_t start = 0;  // header offset of the unit being read; 0 before the first
    bool inUnit = false;
    size_t i = 0;
    while (i + 3 <= length) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (inUnit) {
                size_t end = i;
                if (end > start && data[end - 1] == 0) --end;  // the 4-byte start code's leading zero
                units.back().length = end - start;
            }
            start = i + 3;
            inUnit = start < length;
            if (inUnit) units.push_back(NalUnit{start, length - start, static_cast<uint8_t>(data[start] & 0x1f)});
            i += 3;
        } else {
            ++i;
        }
    }
}

bool PutSpsFirst(const uint8_t* data, size_t length, std::vector<NalUnit>& scratch, std::vector<uint8_t>& out) {
    SplitNalUnits(data, length, scratch);
    size_t sps = scratch.size();
    for (size_t k = 0; k < scratch.size(); ++k) {
        if (scratch[k].type == kNalSps) {
            sps = k;
            break;
        }
    }
    if (sps == scratch.size()) return false;
    out.clear();
    auto append = [&](const NalUnit& unit) {
        static constexpr uint8_t kStart[4] = {0, 0, 0, 1};
        out.insert(out.end(), kStart, kStart + 4);
        out.insert(out.end(), data + unit.offset, data + unit.offset + unit.length);
    };
    append(scratch[sps]);
    for (size_t k = 0; k < scratch.size(); ++k) {
        if (k != sps && scratch[k].type != kNalAud) append(scratch[k]);
    }
    return true;
}

}  // namespace video
