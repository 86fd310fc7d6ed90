#include "service/video/win32/MfH264Encoder.h"

#include <initguid.h>
#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>

#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/video/win32/MfApi.h"

namespace video {
namespace {

// ICodecAPI's interface id, which the system's import libraries lack.
constexpr GUID kCodecApiId = {0x901db4c7, 0x31ce, 0x41a2, {0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda}};

std::string Narrow(const wchar_t* text) {
    return text ? platform::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text))) : std::string();
}

void SetCodecValue(ICodecAPI* api, const GUID& what, const char* name, ULONG value, bool boolean = false) {
    VARIANT v;
    ::VariantInit(&v);
    if (boolean) {
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else {
        v.vt = VT_UI4;
        v.ulVal = value;
    }
    const HRESULT hr = api->SetValue(&what, &v);
    if (FAILED(hr)) ZTRACE("the encoder keeps its own %s (0x%08lx)\n", name, static_cast<unsigned long>(hr));
}

ComPtr<IMFMediaType> VideoType(const GUID& subtype, const H264EncoderSetup& setup) {
    ComPtr<IMFMediaType> type;
    if (FAILED(Mf().CreateMediaType(type.Put()))) return {};
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    ::MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, static_cast<UINT32>(setup.nWidth),
                         static_cast<UINT32>(setup.nHeight));
    ::MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, static_cast<UINT32>(setup.nFrameRate), 1);
    ::MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    return type;
}

}  // namespace

CMfH264Encoder::~CMfH264Encoder() {
    if (m_pTransform) {
        m_pTransform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
        m_pTransform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    }
}

bool CMfH264Encoder::Open(const H264EncoderSetup& setup, std::string& problem) {
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** found = nullptr;
    UINT32 count = 0;
    const HRESULT hr = Mf().TEnumEx(MFT_CATEGORY_VIDEO_ENCODER,
                                   MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER,
                                   &input, &output, &found, &count);
    if (FAILED(hr)) count = 0;
    ZTRACE("%u synchronous H.264 encoder(s) offered (0x%08lx)\n", count, static_cast<unsigned long>(hr));
    std::string names;
    for (UINT32 i = 0; i < count; ++i) {
        wchar_t* text = nullptr;
        UINT32 length = 0;
        std::string name = "encoder " + std::to_string(i);
        if (SUCCEEDED(found[i]->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &text, &length))) {
            name = Narrow(text);
            ::CoTaskMemFree(text);
        }
        names += (names.empty() ? "" : ", ") + name;
        if (!m_pTransform && (setup.strEncoder.empty() || setup.strEncoder == name)) {
            ComPtr<IMFTransform> transform;
            if (SUCCEEDED(found[i]->ActivateObject(IID_PPV_ARGS(transform.Put()))) && SetUp(transform.Get(), setup)) {
                m_pTransform = std::move(transform);
                KeepSequenceHeader();
                m_strDescription = name + " (Media Foundation)";
            } else {
                ZTRACE("the H.264 encoder %s cannot be set up for %dx%d\n", name.c_str(), setup.nWidth, setup.nHeight);
                m_pCodecApi.Reset();
            }
        }
        found[i]->Release();
    }
    ::CoTaskMemFree(found);
    if (m_pTransform) return true;
    if (count == 0)
        problem = "This system offers no H.264 video encoder (Media Foundation lists none), so there is no live "
                  "video: viewers get the stored still picture whenever the camera reports it has none. On Windows "
                  "the encoder comes with the media features (on N editions: install the Media Feature Pack).";
    else if (!setup.strEncoder.empty() && names.find(setup.strEncoder) == std::string::npos)
        problem = "The H.264 encoder \"" + setup.strEncoder + "\" is not on this system (there are: " + names + ").";
    else
        problem = "No H.264 encoder on this system can be set up for live video of " + std::to_string(setup.nWidth) +
                  "x" + std::to_string(setup.nHeight) + " (tried: " + names + ").";
    return false;
}

bool CMfH264Encoder::SetUp(IMFTransform* transform, const H264EncoderSetup& setup) {
    // The codec's settings come first: some encoders take the rate control
    // only before their types are set.
    if (SUCCEEDED(transform->QueryInterface(kCodecApiId, reinterpret_cast<void**>(m_pCodecApi.Put())))) {
        SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVLowLatencyMode, "low-latency mode", 1, true);
        SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVEncCommonRateControlMode, "rate control",
                      eAVEncCommonRateControlMode_CBR);
        SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVEncCommonMeanBitRate, "bitrate", setup.dwBitrateKbps * 1000);
        SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVEncMPVGOPSize, "key-frame interval", setup.dwKeyFrames);
        SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVEncMPVDefaultBPictureCount, "B-picture count", 0);
    } else {
        ZTRACE("the encoder has no codec settings: its own latency and key frames\n");
    }
    ComPtr<IMFMediaType> out = VideoType(MFVideoFormat_H264, setup);
    ComPtr<IMFMediaType> in = VideoType(MFVideoFormat_NV12, setup);
    if (!out || !in) return false;
    out->SetUINT32(MF_MT_AVG_BITRATE, setup.dwBitrateKbps * 1000);
    out->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_High);
    HRESULT hr = transform->SetOutputType(0, out.Get(), 0);
    if (SUCCEEDED(hr)) hr = transform->SetInputType(0, in.Get(), 0);
    MFT_OUTPUT_STREAM_INFO info{};
    if (SUCCEEDED(hr)) hr = transform->GetOutputStreamInfo(0, &info);
    if (SUCCEEDED(hr)) hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    if (SUCCEEDED(hr)) hr = transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    if (FAILED(hr)) {
        ZTRACE("the encoder refuses the types: 0x%08lx\n", static_cast<unsigned long>(hr));
        return false;
    }
    m_bProvidesSamples = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
    m_cbOutput = std::max<DWORD>(info.cbSize, static_cast<DWORD>(setup.nWidth * setup.nHeight * 3 / 2));
    return true;
}

void CMfH264Encoder::KeepSequenceHeader() {
    ComPtr<IMFMediaType> type;
    UINT32 size = 0;
    if (FAILED(m_pTransform->GetOutputCurrentType(0, type.Put())) ||
        FAILED(type->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) || size == 0 || size > 4096)
        return;
    m_sequenceHeader.resize(size);
    if (FAILED(type->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, m_sequenceHeader.data(), size, nullptr)))
        m_sequenceHeader.clear();
}

HRESULT CMfH264Encoder::Encode(IMFSample* picture, bool forceKey, const Output& output) {
    if (forceKey && m_pCodecApi) SetCodecValue(m_pCodecApi.Get(), CODECAPI_AVEncVideoForceKeyFrame, "forced key frame", 1);
    HRESULT hr = m_pTransform->ProcessInput(0, picture, 0);
    if (hr == MF_E_NOTACCEPTING) {
        if (FAILED(hr = Drain(output))) return hr;
        hr = m_pTransform->ProcessInput(0, picture, 0);
    }
    if (FAILED(hr)) return hr;
    return Drain(output);
}

HRESULT CMfH264Encoder::Drain(const Output& output) {
    for (;;) {
        ComPtr<IMFSample> sample;
        if (!m_bProvidesSamples) {
            ComPtr<IMFMediaBuffer> buffer;
            HRESULT hr = Mf().CreateSample(sample.Put());
            if (SUCCEEDED(hr)) hr = Mf().CreateMemoryBuffer(m_cbOutput, buffer.Put());
            if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
            if (FAILED(hr)) return hr;
        }
        MFT_OUTPUT_DATA_BUFFER out{};
        out.pSample = sample.Get();
        DWORD status = 0;
        HRESULT hr = m_pTransform->ProcessOutput(0, 1, &out, &status);
        if (out.pEvents) out.pEvents->Release();
        if (m_bProvidesSamples && out.pSample) *sample.Put() = out.pSample;
        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return S_OK;
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            // The encoder settled its output type: take the one it offers.
            ComPtr<IMFMediaType> type;
            if (FAILED(hr = m_pTransform->GetOutputAvailableType(0, 0, type.Put()))) return hr;
            if (FAILED(hr = m_pTransform->SetOutputType(0, type.Get(), 0))) return hr;
            KeepSequenceHeader();
            continue;
        }
        if (FAILED(hr)) return hr;
        if (!sample) continue;
        const bool key = ::MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, FALSE) != FALSE;
        ComPtr<IMFMediaBuffer> whole;
        if (FAILED(hr = sample->ConvertToContiguousBuffer(whole.Put()))) return hr;
        BYTE* bytes = nullptr;
        DWORD length = 0;
        if (FAILED(hr = whole->Lock(&bytes, nullptr, &length))) return hr;
        output(bytes, length, key);
        whole->Unlock();
    }
}

}  // namespace video
