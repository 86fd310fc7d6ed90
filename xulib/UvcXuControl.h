#pragma once
// The property interface of a bound camera: carries the library's property
// requests (a GUID, a control id and a request type, as a kernel-streaming
// topology request would) to the camera's extension unit as UVC requests.
//
// The unit is the extension unit whose descriptor carries the request's GUID;
// the control is the request's control id. The UVC driver insists that a
// transfer moves exactly the control's length, so a transfer moves
// min(data length, control length) bytes, the control's length coming from
// GET_LEN, asked once per control and kept while the camera is bound. A
// transfer never moves more than the 64 bytes of a caller's request buffer.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "xulib/DeviceAccess.h"

namespace nodrik {

// Request types of a property request, as kernel streaming writes them.
inline constexpr uint32_t kKsPropertyTypeGet = 0x00000001;
inline constexpr uint32_t kKsPropertyTypeSet = 0x00000002;
inline constexpr uint32_t kKsPropertyTypeTopology = 0x10000000;
inline constexpr uint32_t kFlagsSetCur = kKsPropertyTypeSet | kKsPropertyTypeTopology;  // 0x10000002
inline constexpr uint32_t kFlagsGetCur = kKsPropertyTypeGet | kKsPropertyTypeTopology;  // 0x10000001

// The property request sent with every request (32 bytes).
struct KspNode {
    struct {
        XuGuid Set;
        uint32_t Id;
        uint32_t Flags;
    } Property;
    uint32_t NodeId;
    uint32_t Reserved;
};
static_assert(sizeof(KspNode) == 32);

enum class KsResult {
    Ok,        // the transfer was done
    MoreData,  // the length query's answer: bytesReturned is the control's length
    Failed,
};

class CUvcXuControl {
public:
    CUvcXuControl(std::shared_ptr<IXuNode> node, std::vector<XuUnit> units);

    // Whether the camera has an extension unit under `guid`.
    bool Carries(const XuGuid& guid) const;

    // SET_CUR when the flags say set; GET_CUR when they say get and `data` is
    // a buffer; the length query when they say get and `data` is null (then
    // MoreData with the control's length in `bytesReturned`).
    KsResult KsProperty(const KspNode& request, uint8_t* data, uint32_t dataLength, uint32_t& bytesReturned);

    const std::vector<XuUnit>& Units() const { return m_aUnits; }

private:
    bool FindUnit(const XuGuid& guid, uint8_t& unitId) const;
    // GET_LEN of a control; errno or 0.
    int AskLength(uint8_t unit, uint8_t selector, uint16_t& length);

    std::shared_ptr<IXuNode> m_pNode;
    std::vector<XuUnit> m_aUnits;
    std::map<uint16_t, uint16_t> m_mapLengths;  // (unit << 8 | selector) -> length
};

}  // namespace nodrik
