#include "xulib/win32/KsXuNode.h"

#include <cerrno>
#include <optional>

#include "platform/Trace.h"
#include "xulib/UvcXuControl.h"
#include "xulib/XuDevice.h"
#include "xulib/XuGuids.h"
#include "xulib/win32/ComScope.h"

namespace nodrik {
namespace {

KspNode MakeRequest(const XuGuid& set, uint32_t id, uint32_t flags, uint32_t node) {
    KspNode request{};
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = flags;
    request.NodeId = node;
    return request;
}

bool IsMoreData(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_MORE_DATA) || hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace

int ErrnoFromKsResult(HRESULT hr) {
    if (SUCCEEDED(hr)) return 0;
    switch (hr) {
    case HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_NOT_FOUND):
    case HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED):
    case E_NOTIMPL:
        return ENOENT;
    case HRESULT_FROM_WIN32(ERROR_MORE_DATA):
    case HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER):
    case HRESULT_FROM_WIN32(ERROR_BAD_LENGTH):
        return ENOBUFS;
    case HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED):
    case HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST):
    case HRESULT_FROM_WIN32(ERROR_DEVICE_REMOVED):
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND):
        return ENODEV;
    default:
        // A stall or any other refusal by the camera.
        return EPIPE;
    }
}

CKsXuNode::CKsXuNode(kscom::IKsControl* control, kscom::IKsTopologyInfo* topology)
    : m_pControl(control), m_pTopology(topology) {
    if (m_pControl) m_pControl->AddRef();
    if (m_pTopology) m_pTopology->AddRef();
}

CKsXuNode::~CKsXuNode() {
    // While the library is being unloaded no thread may join COM; the filter
    // lives in the apartment m_apartment still holds, so releasing it needs
    // nothing more.
    std::optional<CComScope> com;
    if (!IsUnloading()) com.emplace();
    if (m_pTopology) m_pTopology->Release();
    if (m_pControl) m_pControl->Release();
}

bool CKsXuNode::NodeCarries(uint32_t node, const XuGuid& guid) {
    // The driver answers a set-support request only for the sets the node has.
    KspNode request = MakeRequest(guid, kscom::kKsPropertyExtensionUnitInfo,
                                  kscom::kKsPropertyTypeSetSupport | kKsPropertyTypeTopology, node);
    ULONG returned = 0;
    return SUCCEEDED(m_pControl->KsProperty(&request, sizeof request, nullptr, 0, &returned));
}

bool CKsXuNode::ReadExtensionUnits(const std::vector<XuGuid>& wanted, std::vector<XuUnit>& units) {
    units.clear();
    m_aUnits.clear();
    if (!HasXuAccess()) return false;
    CComScope com;
    if (!com.IsUsable()) return false;
    DWORD count = 0;
    if (HRESULT hr = m_pTopology->get_NumNodes(&count); FAILED(hr)) {
        ZTRACE("get_NumNodes failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return false;
    }
    const GUID devSpecific = kscom::kNodeTypeDevSpecific;
    // A unit id is one byte; a filter with more nodes than that has no unit beyond.
    for (DWORD node = 0; node < count && node <= 0xFF; ++node) {
        GUID type{};
        if (FAILED(m_pTopology->get_NodeType(node, &type)) || !IsEqualGUID(type, devSpecific)) continue;
        for (const XuGuid& guid : wanted) {
            if (NodeCarries(node, guid)) {
                ZTRACE("extension unit %s is node %lu\n", FormatGuid(guid).c_str(), static_cast<unsigned long>(node));
                m_aUnits.push_back(XuUnit{guid, static_cast<uint8_t>(node)});
                break;
            }
        }
    }
    units = m_aUnits;
    return true;
}

int CKsXuNode::XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) {
    const XuUnit* found = nullptr;
    for (const XuUnit& u : m_aUnits) {
        if (u.byUnitId == unit) found = &u;
    }
    if (!found || !m_pControl) return ENOENT;
    CComScope com;
    if (!com.IsUsable()) return EPIPE;

    ULONG returned = 0;
    if (query == kUvcGetLen) {
        if (size != 2) return ENOBUFS;
        KspNode request = MakeRequest(found->guid, selector, kFlagsGetCur, unit);
        const HRESULT hr = m_pControl->KsProperty(&request, sizeof request, nullptr, 0, &returned);
        if (!IsMoreData(hr) && !(SUCCEEDED(hr) && returned > 0)) return ErrnoFromKsResult(hr);
        if (returned == 0 || returned > 0xFFFF) return EPIPE;
        data[0] = static_cast<uint8_t>(returned & 0xFF);
        data[1] = static_cast<uint8_t>(returned >> 8);
        return 0;
    }
    if (query != kUvcGetCur && query != kUvcSetCur) return EINVAL;
    KspNode request = MakeRequest(found->guid, selector, query == kUvcSetCur ? kFlagsSetCur : kFlagsGetCur, unit);
    return ErrnoFromKsResult(m_pControl->KsProperty(&request, sizeof request, data, size, &returned));
}

}  // namespace nodrik
