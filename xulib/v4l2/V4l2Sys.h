#pragma once
// The system calls the V4L2 device access makes, behind one small interface so
// that the walk and the binding can be tested against fixture trees. The real
// implementation is a thin layer over open, ioctl and close.

#include <cstdint>
#include <string>

namespace nodrik {

struct V4l2Capability {
    std::string strDriver;   // "uvcvideo" for UVC cameras
    std::string strCard;     // the device's name, UTF-8
    uint32_t dwCapabilities = 0;
    uint32_t dwDeviceCaps = 0;
};

class IV4l2Sys {
public:
    virtual ~IV4l2Sys() = default;
    // Each returns 0 or an error number.
    virtual int Open(const std::string& path, int& fd) = 0;
    virtual void Close(int fd) = 0;
    virtual int QueryCap(int fd, V4l2Capability& capability) = 0;
    // UVCIOC_CTRL_QUERY.
    virtual int XuQuery(int fd, uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) = 0;
};

IV4l2Sys& RealV4l2Sys();

}  // namespace nodrik
