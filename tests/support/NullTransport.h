#pragma once
// A transport that takes every write for free and never delivers a byte, and
// a host that ignores every request: for measuring and exercising the server
// without the cost or the bookkeeping of a fake.

#include <mutex>

#include "transport/client/PpppTable.h"
#include "service/session/SessionHost.h"

namespace testsupport {

namespace nulltransport {
inline int Init(const char*) { return PPPP_OK; }
inline int Zero() { return PPPP_OK; }
inline int Listen(const char*, unsigned int, unsigned int, char) { return PPPP_ERR_INTERRUPTED; }
inline int Check(int, PPPP_SessionRecord*) { return PPPP_OK; }
inline int Read(int, unsigned char, char*, int* size, unsigned int) {
    *size = 0;
    return PPPP_ERR_CLOSED_BY_PEER;
}
inline int Write(int, unsigned char, const char*, int size) { return size; }
inline int CheckBuffer(int, unsigned char, unsigned int* w, unsigned int* r) {
    if (w) *w = 0;
    if (r) *r = 0;
    return PPPP_OK;
}
inline int Close(int) { return PPPP_OK; }
inline int Connect(const char*, unsigned int) { return PPPP_ERR_DEVICE_NOT_FOUND; }
inline int ConnectTo(const char*, const char*, unsigned int) { return PPPP_ERR_DEVICE_NOT_FOUND; }
inline int ChannelBinding(int, unsigned char*, int) { return 0; }
}  // namespace nulltransport

// `read` replaces the reads (the fuzzer feeds its input through it).
inline pppp::PpppTable NullTransport(decltype(pppp::PpppTable::Read) read = &nulltransport::Read) {
    using namespace nulltransport;
    return pppp::PpppTable{Init, Zero, Listen, Zero, Check, read, Write, CheckBuffer, Close, Connect, ConnectTo, ChannelBinding};
}

class CNullHost final : public session::ISessionHost {
public:
    void SetStatus(int) override {}
    void StopCapture() override {}
    void ChangeCameraMode(int, const std::function<bool()>& apply) override {
        std::lock_guard<std::mutex> sequence(m_camera);
        apply();
    }
    uint32_t SetVideoTimer() override { return 101; }
    void KillVideoTimer(uint32_t) override {}
    void RequestKeyFrame() override {}

private:
    std::mutex m_camera;
};

}  // namespace testsupport
