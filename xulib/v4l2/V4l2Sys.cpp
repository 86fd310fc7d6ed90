#include "xulib/v4l2/V4l2Sys.h"

#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nodrik {
namespace {

std::string FixedString(const uint8_t* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), size));
}

class CRealV4l2Sys final : public IV4l2Sys {
public:
    int Open(const std::string& path, int& fd) override {
        fd = WithoutInterruptions([&] { return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); });
        return fd < 0 ? errno : 0;
    }

    void Close(int fd) override { ::close(fd); }

    int QueryCap(int fd, V4l2Capability& capability) override {
        v4l2_capability cap;
        std::memset(&cap, 0, sizeof cap);
        if (WithoutInterruptions([&] { return ::ioctl(fd, VIDIOC_QUERYCAP, &cap); }) < 0) return errno;
        capability.strDriver = FixedString(cap.driver, sizeof cap.driver);
        capability.strCard = FixedString(cap.card, sizeof cap.card);
        capability.dwCapabilities = cap.capabilities;
        capability.dwDeviceCaps = cap.device_caps;
        return 0;
    }

    int XuQuery(int fd, uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override {
        uvc_xu_control_query request;
        std::memset(&request, 0, sizeof request);
        request.unit = unit;
        request.selector = selector;
        request.query = query;
        request.size = size;
        request.data = data;
        return WithoutInterruptions([&] { return ::ioctl(fd, UVCIOC_CTRL_QUERY, &request); }) < 0 ? errno : 0;
    }
};

}  // namespace

IV4l2Sys& RealV4l2Sys() {
    static CRealV4l2Sys sys;
    return sys;
}

}  // namespace nodrik
