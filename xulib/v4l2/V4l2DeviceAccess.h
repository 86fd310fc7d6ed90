#pragma once
// The system's cameras: V4L2 video capture nodes (/dev/video<N>, in the order
// of N), named by the card name the driver reports, the name a GStreamer
// device monitor shows. A node whose capabilities lack video capture, such as
// a camera's metadata node, is no device; a node that cannot be opened or
// queried, or that has no name, still takes its position.
//
// A UVC camera's extension units come from the USB descriptors of the
// VideoControl interface its node belongs to, read under sysfs:
//   <sys>/class/video4linux/videoN/device  -> .../<usb-device>/<bus-port>:<config>.<interface>
//   .../<usb-device>/descriptors           raw descriptors of the device
// Both roots are parameters so that tests walk fixture trees.

#include <string>

#include "xulib/DeviceAccess.h"
#include "xulib/v4l2/V4l2Sys.h"

namespace nodrik {

inline constexpr uint32_t kV4l2CapVideoCapture = 0x00000001;
inline constexpr uint32_t kV4l2CapVideoCaptureMplane = 0x00001000;
inline constexpr uint32_t kV4l2CapDeviceCaps = 0x80000000;

class CV4l2DeviceAccess final : public IXuDeviceAccess {
public:
    CV4l2DeviceAccess(IV4l2Sys& sys, std::string devRoot, std::string sysRoot);

    bool FindDevice(int position, std::u16string& name, std::shared_ptr<IXuNode>& node) override;

private:
    IV4l2Sys& m_sys;
    std::string m_strDevRoot;
    std::string m_strSysRoot;
};

// The walk's capture nodes in position order, for those that show the
// cameras' pictures: each node's path and its name (empty when it has none or
// cannot be queried, as FindDevice then finds nothing at that position).
struct V4l2CaptureNode {
    std::string strPath;
    std::u16string strName;
};
std::vector<V4l2CaptureNode> ListCaptureNodes(IV4l2Sys& sys, const std::string& devRoot);

// Reads the extension units of the camera behind video node `nodeName`
// ("video0") from the sysfs tree at `sysRoot`. False when they cannot be read.
bool ReadSysfsExtensionUnits(const std::string& sysRoot, const std::string& nodeName, std::vector<XuUnit>& units);

}  // namespace nodrik
