// Which cameras the library sees, decided once when it loads.

#include "platform/Trace.h"
#include "xulib/DeviceAccess.h"
#include "xulib/sim/SimDeviceAccess.h"

namespace nodrik {

std::unique_ptr<IXuDeviceAccess> CreateDeviceAccessFromEnvironment() {
    std::vector<simcam::SimCamera> cameras;
    std::string error;
    switch (simcam::SimCamerasFromEnvironment(cameras, error)) {
    case simcam::SimSource::Real:
        return CreateSystemDeviceAccess();
    case simcam::SimSource::Simulated:
        ZTRACE("%zu simulated camera(s)\n", cameras.size());
        return std::make_unique<CSimDeviceAccess>(cameras);
    case simcam::SimSource::Invalid:
        break;
    }
    // A malformed description shows no camera at all rather than a guess.
    ZTRACE("%s; no camera is shown\n", error.c_str());
    return std::make_unique<CSimDeviceAccess>(std::vector<simcam::SimCamera>{});
}

}  // namespace nodrik
