#include "xulib/sim/SimDeviceAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "xulib/XuGuids.h"

namespace nodrik {

struct CSimDeviceAccess::CCameraState {
    simcam::SimCamera spec;
    uint32_t dwStartTick = 0;
    uint8_t byMode = 0;
    std::vector<uint8_t> abyUnit1;  // current value of control 1 of unit 1
    std::vector<uint8_t> abyUnit2;  // current value of control 1 of unit 2: the last answer
};

namespace {

constexpr uint8_t kCmdMode = 20;
constexpr uint8_t kCmdStatus = 26;
constexpr uint8_t kCmdBeforeMode = 48;
constexpr uint8_t kCmd49 = 49;

class CSimNode final : public IXuNode {
public:
    explicit CSimNode(std::shared_ptr<CSimDeviceAccess::CCameraState> camera) : m_pCamera(std::move(camera)) {}

    bool HasXuAccess() const override { return true; }

    bool ReadExtensionUnits(const std::vector<XuGuid>&, std::vector<XuUnit>& units) override {
        units.clear();
        const int set = m_pCamera->spec.nGuidSet;
        if (set == 1 || set == 2) {
            units.push_back(XuUnit{kXuGuidSets[set - 1][0], kSimUnit1Id});
            units.push_back(XuUnit{kXuGuidSets[set - 1][1], kSimUnit2Id});
        }
        return true;
    }

    int XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override {
        CSimDeviceAccess::CCameraState& cam = *m_pCamera;
        if (cam.spec.failure == simcam::SimFailure::Unplugged) return ENODEV;
        if (cam.spec.nGuidSet == 0 || (unit != kSimUnit1Id && unit != kSimUnit2Id) || selector != 1) return ENOENT;
        const uint16_t length = cam.spec.wControlLength;
        if (query == kUvcGetLen) {
            if (size != 2) return ENOBUFS;
            data[0] = static_cast<uint8_t>(length & 0xFF);
            data[1] = static_cast<uint8_t>(length >> 8);
            return 0;
        }
        if (query != kUvcSetCur && query != kUvcGetCur) return EINVAL;
        if (size != length) return ENOBUFS;
        if (cam.spec.failure == simcam::SimFailure::Refusing) return EPIPE;
        std::vector<uint8_t>& current = unit == kSimUnit1Id ? cam.abyUnit1 : cam.abyUnit2;
        if (query == kUvcGetCur) {
            std::memcpy(data, current.data(), size);
            return 0;
        }
        if (unit == kSimUnit1Id) {
            std::memcpy(current.data(), data, size);
            return 0;
        }
        return Command(cam, data, size);
    }

private:
    static int Command(CSimDeviceAccess::CCameraState& cam, const uint8_t* data, uint16_t size) {
        const uint8_t code = data[0];
        const uint8_t value = size > 1 ? data[1] : 0;
        std::vector<uint8_t>& answer = cam.abyUnit2;
        switch (code) {
        case kCmdMode:
            cam.byMode = value;
            break;
        case kCmdBeforeMode:
        case kCmd49:
            break;
        case kCmdStatus: {
            std::fill(answer.begin(), answer.end(), 0);
            const bool picture = cam.spec.HasPicture(platform::GetTickCount() - cam.dwStartTick);
            const uint8_t echo = cam.spec.failure == simcam::SimFailure::WrongEcho ? uint8_t((value + 1) & 0x0F) : value;
            const uint8_t status = static_cast<uint8_t>((cam.byMode & 0x0F) << 4 | (picture ? 1 : 0));
            const uint8_t reply[3] = {kCmdStatus, echo, status};
            std::memcpy(answer.data(), reply, std::min<size_t>(sizeof reply, answer.size()));
            return 0;
        }
        default:
            return EPIPE;
        }
        std::memcpy(answer.data(), data, size);
        return 0;
    }

    std::shared_ptr<CSimDeviceAccess::CCameraState> m_pCamera;
};

}  // namespace

CSimDeviceAccess::CSimDeviceAccess(const std::vector<simcam::SimCamera>& cameras) {
    const uint32_t now = platform::GetTickCount();
    for (const simcam::SimCamera& spec : cameras) {
        auto state = std::make_shared<CCameraState>();
        state->spec = spec;
        state->dwStartTick = now;
        state->abyUnit1.assign(spec.wControlLength, 0);
        state->abyUnit2.assign(spec.wControlLength, 0);
        m_apCameras.push_back(std::move(state));
    }
}

CSimDeviceAccess::~CSimDeviceAccess() = default;

bool CSimDeviceAccess::FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) {
    // The position counts the cameras plugged in now, as a real listing does.
    const uint32_t now = platform::GetTickCount();
    for (const auto& camera : m_apCameras) {
        if (!camera->spec.IsPluggedIn(now - camera->dwStartTick) || position-- != 0) continue;
        name = platform::Utf8ToUtf16(camera->spec.strName);
        node = std::make_shared<CSimNode>(camera);
        return true;
    }
    return false;
}

}  // namespace nodrik
