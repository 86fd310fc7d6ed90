#include "service/camera/XuBinding.h"

#include "platform/Clock.h"
#include "platform/Trace.h"
#include "service/camera/XuModule.h"

namespace camera {
namespace {

void* g_hXuLibrary = nullptr;
XuEntryPoints g_xuEntries;
std::string g_strLoadError;

template <typename T>
void Bind(T& entry, const char* name) {
    entry = reinterpret_cast<T>(FindXuExport(g_hXuLibrary, name));
    if (!entry) ZTRACE("%s missing\n", name);
}

}  // namespace

int LoadXuLibrary(const std::string& directory) {
    if (directory.empty()) return kXuNoDirectory;
    const std::string path = directory + kXuLibraryFileName;
    void* handle = OpenXuModule(path, g_strLoadError);
    if (!handle) {
        ZTRACE("loading %s failed: %s\n", path.c_str(), g_strLoadError.c_str());
        return kXuCannotLoad;
    }
    // Loading again replaces the earlier binding.
    if (g_hXuLibrary) CloseXuModule(g_hXuLibrary);
    g_hXuLibrary = handle;
    g_strLoadError.clear();
    XuEntryPoints& e = g_xuEntries;
    Bind(e.pOnUVC_SetCur, "OnUVC_SetCur");
    Bind(e.pOnUVC_GetCur, "OnUVC_GetCur");
    Bind(e.pGetUnitIdRange, "GetUnitIdRange");
    Bind(e.pGetCtrlIdRange, "GetCtrlIdRange");
    Bind(e.pGetReqLenRange, "GetReqLenRange");
    Bind(e.pOnUVC_SetGUID, "OnUVC_SetGUID");
    Bind(e.pGetReqLen, "GetReqLen");
    Bind(e.pGetCurReqLen, "GetCurReqLen");
    Bind(e.pOnSetUnitId, "OnSetUnitId");
    Bind(e.pOnSetCtrlId, "OnSetCtrlId");
    Bind(e.pOnSetReqLen, "OnSetReqLen");
    Bind(e.pGetDeviceNameEnum, "GetDeviceNameEnum");
    Bind(e.pOnInitializeXU, "OnInitializeXU");
    Bind(e.pOnUnInitializeXU, "OnUnInitializeXU");
    return kXuLoaded;
}

void UnloadXuLibrary() {
    if (g_xuEntries.pOnUnInitializeXU) {
        g_xuEntries.pOnUnInitializeXU();
        platform::Sleep(50);
    }
    if (g_hXuLibrary) {
        CloseXuModule(g_hXuLibrary);
        g_hXuLibrary = nullptr;
        // Nothing may call into the unloaded library.
        g_xuEntries = XuEntryPoints{};
    }
}

std::string XuLibraryLoadError() { return g_strLoadError; }

const XuEntryPoints& XuEntries() { return g_xuEntries; }

XuEntryPoints InstallXuEntryPoints(const XuEntryPoints& entries) {
    const XuEntryPoints previous = g_xuEntries;
    g_xuEntries = entries;
    return previous;
}

}  // namespace camera
