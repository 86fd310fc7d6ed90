#include "xulib/win32/ComScope.h"

#include <mutex>

#include "platform/Trace.h"

namespace nodrik {
namespace {

// The apartment's own reference, taken once and never given back: filters the
// library holds may be released at any time until the process ends.
void KeepApartmentAlive() {
    static std::once_flag once;
    std::call_once(once, [] {
        CO_MTA_USAGE_COOKIE cookie = nullptr;
        const HRESULT hr = ::CoIncrementMTAUsage(&cookie);
        if (FAILED(hr)) ZTRACE("CoIncrementMTAUsage failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    });
}

}  // namespace

CComScope::CComScope() {
    KeepApartmentAlive();
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

}  // namespace nodrik
