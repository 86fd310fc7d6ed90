#pragma once
// The service's binding of the camera extension-unit library: loaded once from
// the program directory at start-up, its fourteen exports bound by name, and
// released at exit. The binding is process-wide and unlocked; it is made
// before any thread uses it and released after they are gone.

#include <string>

#include "xulib/Nodrik.h"

namespace camera {

// "libNodrik.so", or "Nodrik.dll" on Windows.
extern const char* const kXuLibraryFileName;

// Results of LoadXuLibrary.
inline constexpr int kXuLoaded = 0;
inline constexpr int kXuNoDirectory = -1;  // the directory is empty; nothing is loaded
inline constexpr int kXuCannotLoad = -2;   // the library is missing or cannot be loaded

// One entry point per export; empty when the library lacks it.
struct XuEntryPoints {
    PFN_OnUVC_SetCur pOnUVC_SetCur = nullptr;
    PFN_OnUVC_GetCur pOnUVC_GetCur = nullptr;
    PFN_GetUnitIdRange pGetUnitIdRange = nullptr;
    PFN_GetCtrlIdRange pGetCtrlIdRange = nullptr;
    PFN_GetReqLenRange pGetReqLenRange = nullptr;
    PFN_OnUVC_SetGUID pOnUVC_SetGUID = nullptr;
    PFN_GetReqLen pGetReqLen = nullptr;
    PFN_GetCurReqLen pGetCurReqLen = nullptr;
    PFN_OnSetUnitId pOnSetUnitId = nullptr;
    PFN_OnSetCtrlId pOnSetCtrlId = nullptr;
    PFN_OnSetReqLen pOnSetReqLen = nullptr;
    PFN_GetDeviceNameEnum pGetDeviceNameEnum = nullptr;
    PFN_OnInitializeXU pOnInitializeXU = nullptr;
    PFN_OnUnInitializeXU pOnUnInitializeXU = nullptr;
};

// Loads kXuLibraryFileName from `directory` (which ends with '/') and binds
// the exports. 0 bound (even when some exports are missing), -1 empty
// directory, -2 the library cannot be loaded.
int LoadXuLibrary(const std::string& directory);

// Uninitialises the library (then waits 50 ms for the camera to settle) and
// unloads it. Does nothing when nothing is loaded.
void UnloadXuLibrary();

// Why the last LoadXuLibrary failed, as the system's loader put it.
std::string XuLibraryLoadError();

// The bound entry points.
const XuEntryPoints& XuEntries();

// Replaces the entry points without loading anything, so that tests can put
// fakes in the library's place; returns the ones replaced.
XuEntryPoints InstallXuEntryPoints(const XuEntryPoints& entries);

}  // namespace camera
