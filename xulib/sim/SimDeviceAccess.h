#pragma once
// The simulated cameras as a device access: each one is a UVC camera whose
// extension unit (under the GUID set its description names) plays the
// camera's side of the service's command protocol on control 1 of unit 2:
//
//   SET_CUR 20, m      sets the camera mode to m; 48 and 49 are accepted;
//   SET_CUR 26, n      asks for the status; the next GET_CUR answers
//                      26, n, status, with status = mode in the high four
//                      bits, 1 in the low four when the camera has a picture
//                      and 0 when it has none.
//
// Any other command code stalls (EPIPE), as would an unknown request on a real
// camera. Control 1 of unit 1 keeps what it is sent. Requests of the wrong
// size fail with ENOBUFS, unknown units or controls with ENOENT, as the UVC
// driver answers them. The camera's state lives as long as the library.

#include <memory>
#include <vector>

#include "xulib/DeviceAccess.h"
#include "xulib/sim/SimCameras.h"

namespace nodrik {

// The unit ids the simulated cameras give their extension units.
inline constexpr uint8_t kSimUnit1Id = 4;
inline constexpr uint8_t kSimUnit2Id = 6;

class CSimDeviceAccess final : public IXuDeviceAccess {
public:
    explicit CSimDeviceAccess(const std::vector<simcam::SimCamera>& cameras);
    ~CSimDeviceAccess() override;

    bool FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) override;

    struct CCameraState;

private:
    std::vector<std::shared_ptr<CCameraState>> m_apCameras;
};

}  // namespace nodrik
