#pragma once
// A device access whose cameras a test describes: names, extension units,
// control lengths, and what the "driver" answers. Requests are recorded. The
// fake driver insists on the control's exact length, as the UVC driver does.

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "xulib/DeviceAccess.h"

namespace xutest {

struct Query {
    uint8_t byUnit, bySelector, byQuery;
    uint16_t wSize;
};

struct FakeCamera {
    std::u16string strName;               // empty: the device has no readable name
    bool bXuAccess = true;
    std::vector<nodrik::XuUnit> units;
    std::map<int, uint16_t> lengths;      // (unit << 8 | selector) -> length; missing: ENOENT
    int nGetLenError = 0;                 // answer to GET_LEN when not 0
    int nTransferError = 0;               // answer to SET_CUR / GET_CUR when not 0
    uint8_t byFill = 0xA5;                // what GET_CUR writes
};

struct FakeLog {
    std::vector<Query> queries;
    std::vector<std::vector<uint8_t>> sent;  // data of every SET_CUR
    int nNodesAlive = 0;
    int nNodesMade = 0;
};

class CFakeNode final : public nodrik::IXuNode {
public:
    CFakeNode(const FakeCamera& camera, FakeLog& log) : m_camera(camera), m_log(log) {
        ++m_log.nNodesAlive;
        ++m_log.nNodesMade;
    }
    ~CFakeNode() override { --m_log.nNodesAlive; }
    bool HasXuAccess() const override { return m_camera.bXuAccess; }
    bool ReadExtensionUnits(const std::vector<XuGuid>&, std::vector<nodrik::XuUnit>& units) override {
        units = m_camera.units;
        return true;
    }
    int XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override {
        m_log.queries.push_back({unit, selector, query, size});
        const auto it = m_camera.lengths.find(unit << 8 | selector);
        if (it == m_camera.lengths.end()) return ENOENT;
        if (query == nodrik::kUvcGetLen) {
            if (m_camera.nGetLenError) return m_camera.nGetLenError;
            if (size != 2) return ENOBUFS;
            data[0] = uint8_t(it->second & 0xFF);
            data[1] = uint8_t(it->second >> 8);
            return 0;
        }
        if (size != it->second) return ENOBUFS;
        if (m_camera.nTransferError) return m_camera.nTransferError;
        if (query == nodrik::kUvcSetCur) m_log.sent.emplace_back(data, data + size);
        if (query == nodrik::kUvcGetCur) std::memset(data, m_camera.byFill, size);
        return 0;
    }

private:
    FakeCamera m_camera;
    FakeLog& m_log;
};

class CFakeAccess final : public nodrik::IXuDeviceAccess {
public:
    CFakeAccess(std::vector<FakeCamera> cameras, FakeLog& log) : m_cameras(std::move(cameras)), m_log(log) {}
    bool FindDevice(int position, std::u16string& name, std::shared_ptr<nodrik::IXuNode>& node) override {
        if (position < 0 || static_cast<size_t>(position) >= m_cameras.size()) return false;
        const FakeCamera& camera = m_cameras[static_cast<size_t>(position)];
        if (camera.strName.empty()) return false;
        name = camera.strName;
        node = std::make_shared<CFakeNode>(camera, m_log);
        return true;
    }

private:
    std::vector<FakeCamera> m_cameras;
    FakeLog& m_log;
};

}  // namespace xutest
