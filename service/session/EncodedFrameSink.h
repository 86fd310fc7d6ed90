#pragma once
// How encoded frames reach the video fan-out: the capture graph relays every
// frame the encoder produces, the still-frame poll passes stored pictures.

#include <cstdint>

namespace session {

class EncodedFrameSink {
public:
    // `gate` is non-zero when key-frame gating applies to the frame (live
    // video) and 0 when it does not (stored still frames). The callee copies
    // what it needs before returning; the caller keeps the bytes.
    virtual void OnEncodedFrame(uint16_t gate, const uint8_t* data, uint32_t length) = 0;

protected:
    ~EncodedFrameSink() = default;
};

}  // namespace session
