#pragma once
// The system calls the V4L2 device access makes, behind one small interface so
// that the walk and the binding can be tested against fixture trees. The real
// implementation is a thin layer over open, ioctl and close.

#include <cerrno>
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

// Makes a system call again while a signal interrupted it (-1 with EINTR):
// an interruption says nothing about the device. Returns the call's result.
template <typename Call>
int WithoutInterruptions(Call call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace nodrik
