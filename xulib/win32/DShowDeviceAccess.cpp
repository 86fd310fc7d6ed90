#include "xulib/win32/DShowDeviceAccess.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>
#include <uuids.h>

#include "platform/Text.h"
#include "platform/Trace.h"
#include "xulib/win32/ComScope.h"
#include "xulib/win32/KsXuNode.h"

namespace nodrik {
namespace {

// Releases a COM interface at the end of a scope.
template <typename T>
class CComRef {
public:
    CComRef() = default;
    ~CComRef() {
        if (m_p) m_p->Release();
    }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;
    T** Out() { return &m_p; }
    void** OutVoid() { return reinterpret_cast<void**>(&m_p); }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }

private:
    T* m_p = nullptr;
};

// A string property of a device's property bag; empty when it has none.
std::u16string ReadBagString(IPropertyBag* bag, const wchar_t* property) {
    VARIANT value;
    ::VariantInit(&value);
    std::u16string text;
    if (SUCCEEDED(bag->Read(property, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
        text.assign(reinterpret_cast<const char16_t*>(value.bstrVal), ::SysStringLen(value.bstrVal));
    }
    ::VariantClear(&value);
    return text;
}

}  // namespace

std::unique_ptr<IXuDeviceAccess> CreateSystemDeviceAccess() { return std::make_unique<CDShowDeviceAccess>(); }

bool CDShowDeviceAccess::FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) {
    if (position < 0) return false;
    CComScope com;
    if (!com.IsUsable()) return false;

    CComRef<ICreateDevEnum> devices;
    HRESULT hr = ::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                    devices.OutVoid());
    if (FAILED(hr)) {
        ZTRACE("no system device enumerator: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    CComRef<IEnumMoniker> monikers;
    hr = devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.Out(), 0);
    if (hr != S_OK || !monikers.Get()) {
        ZTRACE("no video input device\n");
        return false;
    }
    if (FAILED(monikers->Skip(static_cast<ULONG>(position)))) return false;
    CComRef<IMoniker> moniker;
    if (monikers->Next(1, moniker.Out(), nullptr) != S_OK || !moniker.Get()) return false;

    CComRef<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.OutVoid()))) return false;
    std::u16string friendly = ReadBagString(bag.Get(), L"FriendlyName");
    if (friendly.empty()) {
        ZTRACE("video input device %d has no name\n", position);
        return false;
    }
    ZTRACE("video input device %d: %s at %s\n", position, platform::Utf16ToUtf8(friendly).c_str(),
           platform::Utf16ToUtf8(ReadBagString(bag.Get(), L"DevicePath")).c_str());

    CComRef<IBaseFilter> filter;
    hr = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.OutVoid());
    if (FAILED(hr)) {
        ZTRACE("capture filter of device %d not made: 0x%08lX\n", position, static_cast<unsigned long>(hr));
        return false;
    }
    // A filter that is no kernel-streaming one (a virtual camera) is a device
    // without extension-unit access.
    CComRef<kscom::IKsControl> control;
    CComRef<kscom::IKsTopologyInfo> topology;
    filter->QueryInterface(kscom::kIidKsControl, control.OutVoid());
    filter->QueryInterface(kscom::kIidKsTopologyInfo, topology.OutVoid());
    name = std::move(friendly);
    node = std::make_shared<CKsXuNode>(control.Get(), topology.Get());
    return true;
}

}  // namespace nodrik
