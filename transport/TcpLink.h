#pragma once
// The direct route: a session's bytes on one TCP connection.

#include <memory>

#include "transport/Link.h"
#include "transport/Socket.h"

namespace pppp {

class CTcpLink final : public ILink {
public:
    // Takes a connected, non-blocking socket. Null when the wake-up event
    // cannot be made.
    static std::shared_ptr<CTcpLink> Create(CFd socket);

    int Wait(bool wantRead, bool wantWrite, int timeoutMs) override;
    long Receive(uint8_t* buffer, size_t size) override;
    long Send(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize) override;
    uint32_t UnsentBytes() override;
    void Wake() override;
    int WaitReadable(int timeoutMs) override;
    void WakeReader() override;
    int WaitWritable(int timeoutMs) override;
    void WakeWriter() override;
    void FinishSending() override;
    void Describe(LinkInfo* info) override;

private:
    CTcpLink(CFd socket, CFd wake, CFd readerWake, CFd writerWake)
        : m_socket(std::move(socket)),
          m_wake(std::move(wake)),
          m_readerWake(std::move(readerWake)),
          m_writerWake(std::move(writerWake)) {}
    int WaitCaller(short events, int wakeFd, int timeoutMs);

    CFd m_socket;
    CFd m_wake;        // eventfd of the pump
    CFd m_readerWake;  // eventfd of the reading thread
    CFd m_writerWake;  // eventfd of the writing thread
};

}  // namespace pppp
