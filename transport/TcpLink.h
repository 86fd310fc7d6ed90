#pragma once
// The direct route: a session's bytes on one TCP connection.

#include <atomic>
#include <cstdint>
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
    uint32_t UnsentBytes(uint32_t estimateUpTo) override;
    void Wake() override;
    int WaitReadable(int timeoutMs) override;
    void WakeReader() override;
    int WaitWritable(int timeoutMs) override;
    void WakeWriter() override;
    void FinishSending() override;
    void Describe(LinkInfo* info) override;

private:
    explicit CTcpLink(CFd socket) : m_socket(std::move(socket)) {}
    int WaitCaller(short events, CWakeSignal& wake, int timeoutMs);

    CFd m_socket;
    std::atomic<uint64_t> m_qwTaken{0};  // bytes the socket has taken, for UnsentBytes
    // The system's last answer to UnsentBytes and the bytes taken then (under the send lock).
    uint32_t m_dwUnsentAsked = 0;
    uint64_t m_qwTakenAsked = 0;
    CWakeSignal m_wake;        // of the pump
    CWakeSignal m_readerWake;  // of the reading thread
    CWakeSignal m_writerWake;  // of the writing thread
};

}  // namespace pppp
