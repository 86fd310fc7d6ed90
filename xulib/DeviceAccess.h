#pragma once
// The device-access port of the library: where cameras come from and how a
// UVC request reaches one. The real implementations walk the system's V4L2
// capture nodes (v4l2/) or its video-input devices (win32/); the simulated one plays cameras described by an
// environment variable (sim/). Everything above this port (the state record,
// the GUID sets, the request rules) is shared.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xulib/Nodrik.h"

namespace nodrik {

// UVC class-specific request codes.
inline constexpr uint8_t kUvcSetCur = 0x01;
inline constexpr uint8_t kUvcGetCur = 0x81;
inline constexpr uint8_t kUvcGetLen = 0x85;

// One extension unit of a camera's VideoControl interface: the GUID it is
// known by and the unit id requests address it with.
struct XuUnit {
    XuGuid guid;
    uint8_t byUnitId;
};

// An opened video device: the "bound filter".
class IXuNode {
public:
    virtual ~IXuNode() = default;
    // Whether the device has an extension-unit access at all (it belongs to
    // the UVC driver).
    virtual bool HasXuAccess() const = 0;
    // The extension units of the camera; false when they cannot be read. A
    // camera that lists its units gives them all; one that can only be asked
    // whether it carries a unit under a GUID gives those of `wanted` it carries.
    virtual bool ReadExtensionUnits(const std::vector<XuGuid>& wanted, std::vector<XuUnit>& units) = 0;
    // One UVC request on a control of a unit, moving exactly `size` bytes to
    // or from `data`. Returns 0, or the driver's error number (ENOENT no such
    // unit or control, ENOBUFS wrong size, EPIPE the camera stalled, ENODEV
    // the camera is gone, ...).
    virtual int XuQuery(uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) = 0;
};

class IXuDeviceAccess {
public:
    virtual ~IXuDeviceAccess() = default;
    // The device walk: positions count every video capture device in a stable
    // order, named or not. True when the device at `position` has a readable
    // name and could be opened; then `name` and `node` are set.
    virtual bool FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) = 0;
};

// The system's own cameras (v4l2/ or win32/, whichever the platform has).
std::unique_ptr<IXuDeviceAccess> CreateSystemDeviceAccess();

// Whether the whole process is ending, rather than the library being unloaded
// from a process that goes on (v4l2/ or win32/).
bool ProcessIsEnding();

// The access the library uses when it loads: the simulated cameras when the
// environment names some, the system's cameras otherwise.
std::unique_ptr<IXuDeviceAccess> CreateDeviceAccessFromEnvironment();

}  // namespace nodrik
