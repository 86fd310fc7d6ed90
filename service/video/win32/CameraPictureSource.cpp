// The camera through a Media Foundation source reader. The reader's own
// video processing turns what the camera gives (YUY2, MJPEG, NV12 ...) into
// NV12 of the capture's size, so any camera Windows can show will do.

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <vector>

#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/video/win32/MfApi.h"
#include "service/video/win32/PictureSource.h"

namespace video {
namespace {

std::string Narrow(const wchar_t* text) {
    return text ? platform::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text))) : std::string();
}

class CCameraPictureSource final : public IPictureSource {
public:
    CCameraPictureSource(ComPtr<IMFMediaSource> camera, ComPtr<IMFSourceReader> reader)
        : m_pCamera(std::move(camera)), m_pReader(std::move(reader)) {}
    ~CCameraPictureSource() override {
        m_pReader.Reset();
        if (m_pCamera) m_pCamera->Shutdown();
    }

    PictureRead Next(ComPtr<IMFSample>& picture) override {
        DWORD stream = 0, flags = 0;
        LONGLONG time = 0;
        const HRESULT hr = m_pReader->ReadSample(static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM), 0, &stream,
                                                 &flags, &time, picture.Put());
        if (FAILED(hr) || (flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM))) {
            ZTRACE("the camera can no longer be read: 0x%08lx, flags 0x%lx\n", static_cast<unsigned long>(hr),
                   static_cast<unsigned long>(flags));
            return PictureRead::Gone;
        }
        return picture ? PictureRead::Picture : PictureRead::Nothing;
    }
    // A source that is shut down ends the reader's wait with an error.
    void Interrupt() override { m_pCamera->Shutdown(); }

private:
    ComPtr<IMFMediaSource> m_pCamera;
    ComPtr<IMFSourceReader> m_pReader;
};

// The system's video capture devices, in its order.
struct Devices {
    IMFActivate** list = nullptr;
    UINT32 count = 0;
    ~Devices() {
        for (UINT32 i = 0; i < count; ++i) list[i]->Release();
        ::CoTaskMemFree(list);
    }
};

PictureSourceMade OpenCamera(IMFActivate* device, const std::string& name, const CaptureFormat& format) {
    PictureSourceMade made;
    made.strName = name;
    ComPtr<IMFMediaSource> camera;
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFSourceReader> reader;
    ComPtr<IMFMediaType> type;
    HRESULT hr = device->ActivateObject(IID_PPV_ARGS(camera.Put()));
    if (SUCCEEDED(hr)) hr = Mf().CreateAttributes(attributes.Put(), 2);
    if (SUCCEEDED(hr)) {
        // Decoding, colour conversion and scaling by the reader.
        attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE);
        attributes->SetUINT32(MF_READWRITE_DISABLE_CONVERTERS, FALSE);
        hr = Mf().CreateSourceReaderFromMediaSource(camera.Get(), attributes.Get(), reader.Put());
    }
    if (SUCCEEDED(hr)) hr = Mf().CreateMediaType(type.Put());
    if (SUCCEEDED(hr)) {
        type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
        ::MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, static_cast<UINT32>(format.nWidth),
                             static_cast<UINT32>(format.nHeight));
        ::MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, static_cast<UINT32>(format.nFrameRate), 1);
        ::MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
        type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
        hr = reader->SetCurrentMediaType(static_cast<DWORD>(MF_SOURCE_READER_FIRST_VIDEO_STREAM), nullptr, type.Get());
    }
    if (FAILED(hr)) {
        ZTRACE("the camera %s cannot be opened: 0x%08lx\n", name.c_str(), static_cast<unsigned long>(hr));
        if (camera) camera->Shutdown();
        made.strProblem = "The camera \"" + name + "\" cannot be opened (another program may be using it).";
        return made;
    }
    made.pSource = std::make_unique<CCameraPictureSource>(std::move(camera), std::move(reader));
    return made;
}

}  // namespace

PictureSourceMade MakePictureSource(const std::string& name, const CaptureFormat& format) {
    PictureSourceMade made;
    std::vector<simcam::SimCamera> simulated;
    std::string error;
    switch (simcam::SimCamerasFromEnvironment(simulated, error)) {
        case simcam::SimSource::Simulated:
            for (const simcam::SimCamera& camera : simulated)
                if (name.empty() || camera.strName == name) return MakeTestPictureSource(camera, format);
            made.strProblem = name.empty() ? "No camera can be found." : "The camera \"" + name + "\" cannot be found.";
            made.bAbsent = true;
            return made;
        case simcam::SimSource::Invalid:
            made.strProblem = "No camera can be found: " + error + ".";
            return made;
        case simcam::SimSource::Real:
            break;
    }
    ComPtr<IMFAttributes> filter;
    Devices devices;
    HRESULT hr = Mf().CreateAttributes(filter.Put(), 1);
    if (SUCCEEDED(hr))
        hr = filter->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    if (SUCCEEDED(hr)) hr = Mf().EnumDeviceSources(filter.Get(), &devices.list, &devices.count);
    if (FAILED(hr)) {
        ZTRACE("MFEnumDeviceSources: 0x%08lx\n", static_cast<unsigned long>(hr));
        devices.count = 0;
    }
    for (UINT32 i = 0; i < devices.count; ++i) {
        wchar_t* text = nullptr;
        UINT32 length = 0;
        if (FAILED(devices.list[i]->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, &text, &length))) continue;
        const std::string found = Narrow(text);
        ::CoTaskMemFree(text);
        if (found.empty() || (!name.empty() && found != name)) continue;
        return OpenCamera(devices.list[i], found, format);
    }
    ZTRACE("no camera matches \"%s\" among %u\n", name.c_str(), devices.count);
    made.strProblem = name.empty() ? "No camera can be found." : "The camera \"" + name + "\" cannot be found.";
    made.bAbsent = true;
    return made;
}

}  // namespace video
