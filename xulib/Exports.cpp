// The fourteen exports, each a thin call on the one state record.

#include <atomic>
#include <utility>

#include "platform/Trace.h"
#include "xulib/DeviceAccess.h"
#include "xulib/Nodrik.h"
#include "xulib/XuDevice.h"

namespace nodrik {
namespace {

CXuDevice* g_pXuDevice = nullptr;
std::atomic<bool> g_bUnloading{false};

// Makes the record when the library loads and destroys it when it unloads.
struct CLoadTime {
    CLoadTime() { g_pXuDevice = new CXuDevice(CreateDeviceAccessFromEnvironment()); }
    ~CLoadTime() { UnloadXuDevice(); }
} g_loadTime;

}  // namespace

CXuDevice& TheXuDevice() { return *g_pXuDevice; }

void UnloadXuDevice() {
    CXuDevice* record = std::exchange(g_pXuDevice, nullptr);
    if (ProcessIsEnding()) return;
    g_bUnloading.store(true);
    delete record;
    g_bUnloading.store(false);
}

bool IsUnloading() { return g_bUnloading.load(); }

void ResetXuDevice(std::unique_ptr<IXuDeviceAccess> access) {
    delete g_pXuDevice;
    g_pXuDevice = new CXuDevice(std::move(access));
}

}  // namespace nodrik

using nodrik::TheXuDevice;

extern "C" {

NODRIK_API bool OnSetUnitId(int unit) { return TheXuDevice().SetUnitId(unit); }
NODRIK_API bool OnSetCtrlId(int control) { return TheXuDevice().SetCtrlId(control); }
NODRIK_API bool OnSetReqLen(int length) { return TheXuDevice().SetReqLen(length); }
NODRIK_API bool OnUVC_SetCur(uint8_t* data) { return TheXuDevice().SetCur(data); }
NODRIK_API bool OnUVC_GetCur(uint8_t* data) { return TheXuDevice().GetCur(data); }

static void WriteRange(int* maximum, int* minimum, int max, int min) {
    if (maximum) *maximum = max;
    if (minimum) *minimum = min;
}

NODRIK_API void GetUnitIdRange(int* maximum, int* minimum) {
    WriteRange(maximum, minimum, nodrik::kMaxUnitId, nodrik::kMinUnitId);
}
NODRIK_API void GetCtrlIdRange(int* maximum, int* minimum) {
    WriteRange(maximum, minimum, nodrik::kMaxCtrlId, nodrik::kMinCtrlId);
}
NODRIK_API void GetReqLenRange(int* maximum, int* minimum) {
    WriteRange(maximum, minimum, nodrik::kMaxReqLen, nodrik::kMinReqLen);
}
NODRIK_API bool OnUVC_SetGUID(int unit, const XuGuid* guid) { return TheXuDevice().SetGuid(unit, guid); }
NODRIK_API int GetReqLen() { return TheXuDevice().ReqLen(); }
NODRIK_API bool GetCurReqLen(unsigned int* length) { return TheXuDevice().CurReqLen(length); }
NODRIK_API bool GetDeviceNameEnum(int index, char16_t* name) { return TheXuDevice().DeviceNameEnum(index, name); }
NODRIK_API bool OnInitializeXU(int index) { return TheXuDevice().Initialize(index); }
NODRIK_API bool OnUnInitializeXU() { return TheXuDevice().UnInitialize(); }

}  // extern "C"
