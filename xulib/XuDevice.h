#pragma once
// CXuDevice: the library's one process-wide state record. Made when the
// library loads and destroyed when it unloads; every export acts on it. It
// has no lock: the library serves one calling thread at a time.

#include <cstdint>
#include <memory>

#include "xulib/DeviceAccess.h"
#include "xulib/Nodrik.h"
#include "xulib/UvcXuControl.h"

namespace nodrik {

inline constexpr int kMinUnitId = 1, kMaxUnitId = 2;
inline constexpr int kMinCtrlId = 1, kMaxCtrlId = 8;
inline constexpr int kMinReqLen = 1, kMaxReqLen = 64;
inline constexpr int kInitialReqLen = 11;
inline constexpr uint32_t kInitialTransferLength = 64;

class CXuDevice {
public:
    explicit CXuDevice(std::unique_ptr<IXuDeviceAccess> access);
    virtual ~CXuDevice();
    CXuDevice(const CXuDevice&) = delete;
    CXuDevice& operator=(const CXuDevice&) = delete;

    bool SetUnitId(int unit);
    bool SetCtrlId(int control);
    bool SetReqLen(int length);
    bool SetCur(uint8_t* data);
    bool GetCur(uint8_t* data);
    bool SetGuid(int unit, const XuGuid* guid);
    int ReqLen() const { return m_nReqLen; }
    bool CurReqLen(unsigned int* length);
    bool DeviceNameEnum(int index, char16_t* name);
    bool Initialize(int index);
    bool UnInitialize();

    // For tests and diagnostics.
    int GuidSet() const { return m_nGuidSet; }
    uint32_t TransferLength() const { return m_dwTransferLength; }
    const KspNode& Property() const { return m_property; }
    const XuGuid& CurrentGuid() const { return m_guidCurrent; }
    bool IsReady() const { return m_bReady != 0; }
    bool HoldsFilter() const { return m_pBoundFilter != nullptr; }
    bool HoldsControl() const { return m_pKsControl != nullptr; }

private:
    // Makes `unit` (1 or 2) the unit of the property request under the current GUID set.
    void SelectUnit(int unit);
    bool Transfer(uint32_t flags, uint8_t* data);
    void ReleaseAll();

    int32_t m_nGuidSet = 0;  // 0 the first GUID set, anything else the second
    int32_t m_nUnitId = 1;
    int32_t m_nCtrlId = 1;
    int32_t m_nReqLen = kInitialReqLen;  // recorded and reported; sizes no transfer
    uint32_t m_dwTransferLength = kInitialTransferLength;
    XuGuid m_aGuidTable[2][2];
    KspNode m_property{};
    XuGuid m_guidCurrent{};
    std::shared_ptr<IXuNode> m_pBoundFilter;
    std::unique_ptr<CUvcXuControl> m_pKsControl;
    uint8_t m_bReady = 0;
    std::unique_ptr<IXuDeviceAccess> m_pAccess;
};

// The record of this library; exists from load to unload.
CXuDevice& TheXuDevice();
// The library is being unloaded: the record goes, and with it the camera it
// holds, unless the whole process is ending (ProcessIsEnding): then what it
// holds is left to the system, since releasing a camera's filter then could
// call into libraries already gone.
void UnloadXuDevice();
// True while UnloadXuDevice runs: what is released then runs where the system
// allows little (on Windows, under the loader's lock).
bool IsUnloading();
// Replaces the record with a fresh one over `access` (tests of the exports).
void ResetXuDevice(std::unique_ptr<IXuDeviceAccess> access);

}  // namespace nodrik
