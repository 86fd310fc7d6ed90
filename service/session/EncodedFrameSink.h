#pragma once
// How encoded frames reach the video fan-out. A frame says once, where it is
// made, what it is: a live key frame, a live delta frame, or a stored still
// picture; nobody downstream looks into its bytes again to find out.

#include <cstdint>

#include "wire/SessionPacket.h"

namespace session {

enum class FrameKind : uint8_t {
    LiveKey,    // live video a decoder can start from (SPS, PPS, IDR)
    LiveDelta,  // live video that needs what came before it
    Still,      // a stored picture; it stands alone and is not gated
};

struct EncodedFrame {
    const uint8_t* pData = nullptr;
    uint32_t nLength = 0;
    FrameKind kind = FrameKind::LiveDelta;

    // A live frame whose kind is read from its bytes (Annex B access unit).
    static EncodedFrame Live(const uint8_t* data, uint32_t length) {
        return {data, length, wire::IsKeyFrame(data, length) ? FrameKind::LiveKey : FrameKind::LiveDelta};
    }
    static EncodedFrame Still(const uint8_t* data, uint32_t length) { return {data, length, FrameKind::Still}; }

    bool IsLive() const { return kind != FrameKind::Still; }
    bool IsDelta() const { return kind == FrameKind::LiveDelta; }
    bool IsKey() const { return kind == FrameKind::LiveKey; }
};

class EncodedFrameSink {
public:
    // The callee copies what it needs before returning; the caller keeps the
    // bytes. Live frames are gated (a viewer starts at a key frame); stills
    // are not.
    virtual void OnEncodedFrame(const EncodedFrame& frame) = 0;

protected:
    ~EncodedFrameSink() = default;
};

}  // namespace session
