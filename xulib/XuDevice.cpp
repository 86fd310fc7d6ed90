#include "xulib/XuDevice.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/Trace.h"
#include "xulib/XuGuids.h"

namespace nodrik {

CXuDevice::CXuDevice(std::unique_ptr<IXuDeviceAccess> access) : m_pAccess(std::move(access)) {
    std::memcpy(m_aGuidTable, kXuGuidSets, sizeof m_aGuidTable);
}

CXuDevice::~CXuDevice() { ReleaseAll(); }

void CXuDevice::ReleaseAll() {
    // The property interface goes before the filter it was taken from.
    m_pKsControl.reset();
    m_pBoundFilter.reset();
}

void CXuDevice::SelectUnit(int unit) {
    m_guidCurrent = m_aGuidTable[m_nGuidSet != 0 ? 1 : 0][unit - 1];
    m_property.Property.Set = m_guidCurrent;
    m_property.NodeId = static_cast<uint32_t>(unit);
}

bool CXuDevice::SetUnitId(int unit) {
    // A unit outside the table changes nothing: there is no GUID to select.
    if (unit < kMinUnitId || unit > kMaxUnitId) return false;
    m_nUnitId = unit;
    SelectUnit(unit);
    return true;
}

bool CXuDevice::SetCtrlId(int control) {
    // Stored in range or not: the next request asks for exactly this control.
    m_nCtrlId = control;
    m_property.Property.Id = static_cast<uint32_t>(control);
    return control >= kMinCtrlId && control <= kMaxCtrlId;
}

bool CXuDevice::SetReqLen(int length) {
    if (length > kMaxReqLen) {
        m_nReqLen = kMaxReqLen;
        return false;
    }
    if (length < kMinReqLen) {
        m_nReqLen = 0;
        return false;
    }
    m_nReqLen = length;
    return true;
}

bool CXuDevice::Transfer(uint32_t flags, uint8_t* data) {
    if (!m_bReady || data == nullptr || !m_pKsControl) return false;
    m_property.Property.Flags = flags;
    uint32_t returned = 0;
    return m_pKsControl->KsProperty(m_property, data, m_dwTransferLength, returned) == KsResult::Ok;
}

bool CXuDevice::SetCur(uint8_t* data) { return Transfer(kFlagsSetCur, data); }

bool CXuDevice::GetCur(uint8_t* data) { return Transfer(kFlagsGetCur, data); }

bool CXuDevice::SetGuid(int unit, const XuGuid* guid) {
    if (unit < kMinUnitId || unit > kMaxUnitId || guid == nullptr) return false;
    // Only the first set can be changed; the request keeps its GUID until a
    // unit is next selected.
    std::memcpy(&m_aGuidTable[0][unit - 1], guid, sizeof(XuGuid));
    return true;
}

bool CXuDevice::CurReqLen(unsigned int* length) {
    uint32_t answer = 0;
    bool ok = false;
    if (m_pKsControl) {
        m_property.Property.Flags = kFlagsGetCur;
        ok = m_pKsControl->KsProperty(m_property, nullptr, 0, answer) == KsResult::MoreData;
    }
    if (!ok) answer = 0;
    // The answer becomes the transfer length, a failure's 0 included.
    m_dwTransferLength = answer;
    if (length) *length = answer;
    return ok;
}

bool CXuDevice::DeviceNameEnum(int index, char16_t* name) {
    if (name == nullptr) return false;
    std::u16string found;
    std::shared_ptr<IXuNode> node;
    if (!m_pAccess || !m_pAccess->FindDevice(index, found, node)) return false;
    m_pBoundFilter = std::move(node);
    // The caller's buffer holds kNodrikNameChars code units with the
    // terminator; a longer name is cut there, never in a surrogate pair.
    size_t count = std::min(found.size(), static_cast<size_t>(kNodrikNameChars - 1));
    if (count < found.size() && count > 0 && found[count - 1] >= 0xD800 && found[count - 1] <= 0xDBFF) --count;
    std::memcpy(name, found.data(), count * sizeof(char16_t));
    name[count] = 0;
    return true;
}

bool CXuDevice::Initialize(int index) {
    m_bReady = 0;
    m_nGuidSet = 0;

    std::u16string name;
    std::shared_ptr<IXuNode> node;
    if (!m_pAccess || !m_pAccess->FindDevice(index, name, node)) {
        ZTRACE("no device at position %d\n", index);
        return false;
    }
    m_pBoundFilter = std::move(node);
    m_pKsControl.reset();
    if (m_pBoundFilter->HasXuAccess()) {
        const std::vector<XuGuid> wanted{m_aGuidTable[0][0], m_aGuidTable[0][1], m_aGuidTable[1][0],
                                         m_aGuidTable[1][1]};
        std::vector<XuUnit> units;
        if (!m_pBoundFilter->ReadExtensionUnits(wanted, units)) ZTRACE("extension units of device %d unreadable\n", index);
        m_pKsControl = std::make_unique<CUvcXuControl>(m_pBoundFilter, std::move(units));
    }
    // The property request follows the current state, as any binding leaves it.
    if (m_nUnitId >= kMinUnitId && m_nUnitId <= kMaxUnitId) SelectUnit(m_nUnitId);
    m_property.Property.Id = static_cast<uint32_t>(m_nCtrlId);
    if (!m_pKsControl) {
        ZTRACE("device %d has no extension-unit access\n", index);
        return false;
    }

    int chosen = -1;
    for (int set = 0; set < 2 && chosen < 0; ++set) {
        if (m_pKsControl->Carries(m_aGuidTable[set][0]) || m_pKsControl->Carries(m_aGuidTable[set][1])) chosen = set;
    }
    if (chosen < 0) {
        ZTRACE("device %d carries neither GUID set\n", index);
        return false;
    }
    m_nGuidSet = chosen;
    SetUnitId(1);
    SetCtrlId(1);
    m_bReady = 1;
    ZTRACE("device %d ready under GUID set %d\n", index, chosen + 1);
    return true;
}

bool CXuDevice::UnInitialize() {
    m_bReady = 0;
    ReleaseAll();
    return true;
}

}  // namespace nodrik
