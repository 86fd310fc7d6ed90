#include "xulib/UvcXuControl.h"

#include <algorithm>

#include "platform/Trace.h"
#include "xulib/XuGuids.h"

namespace nodrik {

CUvcXuControl::CUvcXuControl(std::shared_ptr<IXuNode> node, std::vector<XuUnit> units)
    : m_pNode(std::move(node)), m_aUnits(std::move(units)) {}

bool CUvcXuControl::Carries(const XuGuid& guid) const {
    uint8_t unit;
    return FindUnit(guid, unit);
}

bool CUvcXuControl::FindUnit(const XuGuid& guid, uint8_t& unitId) const {
    for (const XuUnit& u : m_aUnits) {
        if (SameGuid(u.guid, guid)) {
            unitId = u.byUnitId;
            return true;
        }
    }
    return false;
}

int CUvcXuControl::AskLength(uint8_t unit, uint8_t selector, uint16_t& length) {
    uint8_t answer[2] = {0, 0};
    const int err = m_pNode->XuQuery(unit, selector, kUvcGetLen, sizeof answer, answer);
    if (err != 0) return err;
    length = static_cast<uint16_t>(answer[0] | answer[1] << 8);
    m_mapLengths[static_cast<uint16_t>(unit << 8 | selector)] = length;
    return 0;
}

KsResult CUvcXuControl::KsProperty(const KspNode& request, uint8_t* data, uint32_t dataLength,
                                   uint32_t& bytesReturned) {
    bytesReturned = 0;
    const uint32_t flags = request.Property.Flags;
    if (flags != kFlagsSetCur && flags != kFlagsGetCur) return KsResult::Failed;
    if (flags == kFlagsSetCur && data == nullptr) return KsResult::Failed;
    uint8_t unit;
    if (!FindUnit(request.Property.Set, unit)) {
        ZTRACE("no extension unit %s\n", FormatGuid(request.Property.Set).c_str());
        return KsResult::Failed;
    }
    // A UVC control selector is one byte; a control id beyond it names nothing.
    if (request.Property.Id > 0xFF) return KsResult::Failed;
    const auto selector = static_cast<uint8_t>(request.Property.Id);

    uint16_t length = 0;
    if (data == nullptr) {
        const int err = AskLength(unit, selector, length);
        ZTRACE("GET_LEN unit %u control %u: err %d, length %u\n", unit, selector, err, length);
        if (err != 0) return KsResult::Failed;
        bytesReturned = length;
        return KsResult::MoreData;
    }

    const auto cached = m_mapLengths.find(static_cast<uint16_t>(unit << 8 | selector));
    if (cached != m_mapLengths.end()) {
        length = cached->second;
    } else if (const int err = AskLength(unit, selector, length); err != 0) {
        ZTRACE("GET_LEN unit %u control %u: err %d\n", unit, selector, err);
        return KsResult::Failed;
    }
    const auto size = static_cast<uint16_t>(
        std::min<uint32_t>({dataLength, length, static_cast<uint32_t>(kNodrikBufferSize)}));
    const uint8_t query = flags == kFlagsSetCur ? kUvcSetCur : kUvcGetCur;
    const int err = m_pNode->XuQuery(unit, selector, query, size, data);
    ZTRACE("%s unit %u control %u size %u: err %d\n", query == kUvcSetCur ? "SET_CUR" : "GET_CUR", unit, selector,
           size, err);
    if (err != 0) return KsResult::Failed;
    bytesReturned = size;
    return KsResult::Ok;
}

}  // namespace nodrik
