#pragma once
// A camera's capture filter as a device node: the extension units are the
// filter's device-specific topology nodes, each known by the property set
// (the unit's GUID) it answers to, and a UVC request becomes one
// kernel-streaming property request on that node:
//
//   GET_LEN  -> get, no data: the driver answers "more data" with the length
//   GET_CUR  -> get with the data buffer
//   SET_CUR  -> set with the data buffer
//
// always with the topology flag, the unit's GUID as the set, the control
// selector as the property id and the node as the node id. The unit id the
// library sees is the node id.

#include <cstdint>
#include <vector>

#include "xulib/DeviceAccess.h"
#include "xulib/win32/ComScope.h"
#include "xulib/win32/KsInterfaces.h"

namespace nodrik {

class CKsXuNode final : public IXuNode {
public:
    // Holds a reference on each interface; either may be null (a filter that
    // is not a kernel-streaming one has neither).
    CKsXuNode(kscom::IKsControl* control, kscom::IKsTopologyInfo* topology);
    ~CKsXuNode() override;
    CKsXuNode(const CKsXuNode&) = delete;
    CKsXuNode& operator=(const CKsXuNode&) = delete;

    bool HasXuAccess() const override { return m_pControl != nullptr && m_pTopology != nullptr; }
    bool ReadExtensionUnits(const std::vector<XuGuid>& wanted, std::vector<XuUnit>& units) override;
    int XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override;

private:
    // Whether topology node `node` answers to the property set `guid`.
    bool NodeCarries(uint32_t node, const XuGuid& guid);

    CApartmentHold m_apartment;  // first: given back after the interfaces
    kscom::IKsControl* m_pControl;
    kscom::IKsTopologyInfo* m_pTopology;
    std::vector<XuUnit> m_aUnits;  // what the last ReadExtensionUnits found
};

// The error number (as the device-access port speaks them) for a failed
// property request's result.
int ErrnoFromKsResult(HRESULT hr);

}  // namespace nodrik
