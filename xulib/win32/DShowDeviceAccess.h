#pragma once
// The system's cameras: the devices of the video-input category in the order
// the system device enumerator lists them, each named by its friendly name
// and opened as its capture filter. A device without a friendly name, or
// whose filter cannot be made, still takes its position.
//
// Nothing is asked of COM before the first call, so the library may be
// loaded from any thread and in any state of its loader.

#include "xulib/DeviceAccess.h"

namespace nodrik {

class CDShowDeviceAccess final : public IXuDeviceAccess {
public:
    bool FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) override;
};

}  // namespace nodrik
