#pragma once
// Media Foundation's functions, loaded from the system when the first capture
// starts instead of imported: on a Windows without the media features (the N
// editions without their Media Feature Pack) the program still starts, and
// the capture says what is missing.

#include <windows.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <string>

namespace video {

struct MfApi {
    HRESULT(WINAPI* Startup)(ULONG version, DWORD flags);
    HRESULT(WINAPI* Shutdown)();
    HRESULT(WINAPI* CreateAttributes)(IMFAttributes** attributes, UINT32 size);
    HRESULT(WINAPI* CreateMediaType)(IMFMediaType** type);
    HRESULT(WINAPI* CreateSample)(IMFSample** sample);
    HRESULT(WINAPI* CreateMemoryBuffer)(DWORD length, IMFMediaBuffer** buffer);
    HRESULT(WINAPI* TEnumEx)(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                             const MFT_REGISTER_TYPE_INFO* output, IMFActivate*** activates, UINT32* count);
    HRESULT(WINAPI* EnumDeviceSources)(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count);
    HRESULT(WINAPI* CreateSourceReaderFromMediaSource)(IMFMediaSource* source, IMFAttributes* attributes,
                                                       IMFSourceReader** reader);
};

// Loads the functions once; false with `missing` (the system library or
// function that is not there) when one cannot be had. Any thread.
bool LoadMfApi(std::string& missing);

// The loaded functions; only after LoadMfApi succeeded.
const MfApi& Mf();

}  // namespace video
