#include "service/video/Preview.h"

#include <algorithm>
#include <cstddef>

namespace video {
namespace {

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

}  // namespace

bool MakePreviewFrame(const I420View& picture, PreviewFrame& out) {
    out.rgb.clear();
    out.nWidth = out.nHeight = 0;
    const int w = picture.nWidth, h = picture.nHeight;
    if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return false;
    const int step = picture.nChromaStep;
    if (step != 1 && step != 2) return false;
    for (int p = 0; p < 3; ++p) {
        // An interleaved plane's row ends one byte after its last V sample.
        const int planeWidth = p == 0 ? w : ((w + 1) / 2 - 1) * step + 1;
        if (picture.planes[p] == nullptr || picture.strides[p] < planeWidth) return false;
    }
    // The largest size within the limits that keeps the picture's shape.
    int outW = std::min(w, kPreviewMaxWidth);
    int outH = static_cast<int>(static_cast<int64_t>(h) * outW / w);
    if (outH > kPreviewMaxHeight) {
        outH = std::min(h, kPreviewMaxHeight);
        outW = static_cast<int>(static_cast<int64_t>(w) * outH / h);
    }
    outW = std::max(outW, 1);
    outH = std::max(outH, 1);
    out.nWidth = outW;
    out.nHeight = outH;
    out.rgb.resize(static_cast<size_t>(outW) * outH * 3);
    uint8_t* dst = out.rgb.data();
    for (int y = 0; y < outH; ++y) {
        const int sy = static_cast<int>(static_cast<int64_t>(y) * h / outH);
        const uint8_t* rowY = picture.planes[0] + static_cast<std::ptrdiff_t>(sy) * picture.strides[0];
        const uint8_t* rowU = picture.planes[1] + static_cast<std::ptrdiff_t>(sy / 2) * picture.strides[1];
        const uint8_t* rowV = picture.planes[2] + static_cast<std::ptrdiff_t>(sy / 2) * picture.strides[2];
        for (int x = 0; x < outW; ++x) {
            const int sx = static_cast<int>(static_cast<int64_t>(x) * w / outW);
            // BT.601, limited range, in fixed point.
            const int c = 298 * (rowY[sx] - 16);
            const int d = rowU[(sx / 2) * step] - 128;
            const int e = rowV[(sx / 2) * step] - 128;
            *dst++ = Clamp((c + 409 * e + 128) >> 8);
            *dst++ = Clamp((c - 100 * d - 208 * e + 128) >> 8);
            *dst++ = Clamp((c + 516 * d + 128) >> 8);
        }
    }
    return true;
}

}  // namespace video
