#include "xulib/win32/ComScope.h"

#include "platform/Trace.h"
#include "xulib/DeviceAccess.h"
#include "xulib/XuDevice.h"

namespace nodrik {

CComScope::CComScope() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        m_bJoined = true;
        m_bUsable = true;
    } else if (hr == RPC_E_CHANGED_MODE) {
        m_bUsable = true;  // the thread is in a single-threaded apartment of its caller's
    } else {
        ZTRACE("CoInitializeEx failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    }
}

CComScope::~CComScope() {
    if (m_bJoined) ::CoUninitialize();
}

CApartmentHold::CApartmentHold() {
    const HRESULT hr = ::CoIncrementMTAUsage(&m_cookie);
    if (FAILED(hr)) {
        ZTRACE("CoIncrementMTAUsage failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        m_cookie = nullptr;
    }
}

CApartmentHold::~CApartmentHold() {
    if (m_cookie && !IsUnloading()) ::CoDecrementMTAUsage(m_cookie);
}

bool ProcessIsEnding() {
    // The loader's own answer, true once the process has begun to end.
    using ShutdownInProgress = BOOLEAN(NTAPI*)();
    static const auto inProgress = reinterpret_cast<ShutdownInProgress>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return inProgress && inProgress();
}

}  // namespace nodrik
