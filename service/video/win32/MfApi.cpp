#include "service/video/win32/MfApi.h"

#include <mutex>

namespace video {
namespace {

MfApi g_api{};
bool g_bLoaded = false;
std::string g_strMissing;

template <class F>
bool Bind(HMODULE module, const char* name, F& function) {
    function = module ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
    if (!function && g_strMissing.empty()) g_strMissing = name;
    return function != nullptr;
}

HMODULE LoadSystemLibrary(const wchar_t* name, const char* text) {
    HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && g_strMissing.empty()) g_strMissing = text;
    return module;
}

void Load() {
    // Kept for the life of the process: captures come and go.
    HMODULE plat = LoadSystemLibrary(L"mfplat.dll", "mfplat.dll");
    HMODULE readwrite = LoadSystemLibrary(L"mfreadwrite.dll", "mfreadwrite.dll");
    HMODULE mf = LoadSystemLibrary(L"mf.dll", "mf.dll");
    bool all = Bind(plat, "MFStartup", g_api.Startup);
    all = Bind(plat, "MFShutdown", g_api.Shutdown) && all;
    all = Bind(plat, "MFCreateAttributes", g_api.CreateAttributes) && all;
    all = Bind(plat, "MFCreateMediaType", g_api.CreateMediaType) && all;
    all = Bind(plat, "MFCreateSample", g_api.CreateSample) && all;
    all = Bind(plat, "MFCreateMemoryBuffer", g_api.CreateMemoryBuffer) && all;
    all = Bind(plat, "MFTEnumEx", g_api.TEnumEx) && all;
    all = Bind(mf, "MFEnumDeviceSources", g_api.EnumDeviceSources) && all;
    all = Bind(readwrite, "MFCreateSourceReaderFromMediaSource", g_api.CreateSourceReaderFromMediaSource) && all;
    g_bLoaded = all;
}

}  // namespace

bool LoadMfApi(std::string& missing) {
    static std::once_flag once;
    std::call_once(once, Load);
    if (!g_bLoaded) missing = g_strMissing;
    return g_bLoaded;
}

const MfApi& Mf() { return g_api; }

}  // namespace video
