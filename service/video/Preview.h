#pragma once
// The live preview: a small picture of what the encoder is given (so of what
// the viewers see), for a window to show. It is made only while someone
// subscribes; without a subscriber no frame is converted or handed on.
//
// Threads: a preview sink is called on the capture's streaming thread; it
// must return at once (copy, hand over, never wait for another thread).

#include <cstdint>
#include <vector>

namespace video {

// The preview's limits: at most this size, at most this often.
inline constexpr int kPreviewMaxWidth = 160;
inline constexpr int kPreviewMaxHeight = 120;
inline constexpr uint32_t kPreviewPeriodMs = 200;  // 5 pictures a second

// A picture of 8-bit RGB, rows top to bottom, no padding.
struct PreviewFrame {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint8_t> rgb;  // nWidth * nHeight * 3 bytes
};

class IPreviewSink {
public:
    virtual void OnPreviewFrame(const PreviewFrame& frame) = 0;

protected:
    ~IPreviewSink() = default;
};

// One 4:2:0 picture as the encoder gets it (Y, then U and V at half size
// each way), with each plane's row stride in bytes. x264 takes I420 (U and V
// planes of their own, nChromaStep 1); hardware encoders take NV12 (U and V
// interleaved in one plane: planes[2] is planes[1] + 1, the same stride,
// nChromaStep 2).
struct I420View {
    int nWidth = 0;
    int nHeight = 0;
    const uint8_t* planes[3] = {};
    int strides[3] = {};
    int nChromaStep = 1;
};

// Scales `picture` down (nearest sample, aspect kept) to fit within
// kPreviewMaxWidth x kPreviewMaxHeight and converts it to RGB into `out`.
// False (and `out` emptied) for a picture that cannot be one.
bool MakePreviewFrame(const I420View& picture, PreviewFrame& out);

}  // namespace video
