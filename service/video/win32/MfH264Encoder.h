#pragma once
// The system's H.264 encoder transform (Media Foundation), set up for live
// video: low latency, constant bitrate, High profile, no B pictures, a key
// frame at least every key interval and one at once on request. NV12
// pictures in, Annex-B access units out, one out for each picture in.
//
// The transforms taken are the synchronous ones: Microsoft's own software
// encoder (every Windows 8 and later that has the media features) and any
// vendor's encoder registered to work that way. Threads: one at a time.

#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/video/win32/ComPtr.h"

struct ICodecAPI;

namespace video {

struct H264EncoderSetup {
    int nWidth = 320;
    int nHeight = 240;
    int nFrameRate = 15;
    uint32_t dwBitrateKbps = 300;
    uint32_t dwKeyFrames = 30;  // a key frame at least every this many pictures
    std::string strEncoder;     // the encoder's name to take; empty: the first that works
};

class CMfH264Encoder {
public:
    // An access unit out: its bytes (valid during the call), and whether the
    // encoder marks it as a picture a decoder can start from.
    using Output = std::function<void(const uint8_t* data, size_t length, bool key)>;

    CMfH264Encoder() = default;
    ~CMfH264Encoder();
    CMfH264Encoder(const CMfH264Encoder&) = delete;
    CMfH264Encoder& operator=(const CMfH264Encoder&) = delete;

    // Finds an encoder and sets it up; false with `problem`, a sentence or
    // two for the user, when none can be had. Media Foundation must be
    // started on this thread.
    bool Open(const H264EncoderSetup& setup, std::string& problem);
    // The encoder in use, e.g. "H264 Encoder MFT (Media Foundation)".
    const std::string& Description() const { return m_strDescription; }
    // The SPS and PPS the encoder states for its stream (Annex-B), for a key
    // frame that comes without them; empty when it states none.
    const std::vector<uint8_t>& SequenceHeader() const { return m_sequenceHeader; }

    // Encodes one picture (with its time and duration set); what comes out
    // goes to `output`. `forceKey` makes this picture a key frame.
    HRESULT Encode(IMFSample* picture, bool forceKey, const Output& output);

private:
    bool SetUp(IMFTransform* transform, const H264EncoderSetup& setup);
    HRESULT Drain(const Output& output);
    void KeepSequenceHeader();

    ComPtr<IMFTransform> m_pTransform;
    ComPtr<ICodecAPI> m_pCodecApi;
    bool m_bProvidesSamples = false;
    DWORD m_cbOutput = 0;
    std::string m_strDescription;
    std::vector<uint8_t> m_sequenceHeader;
};

}  // namespace video
