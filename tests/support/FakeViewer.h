#pragma once
// A viewer on the fake transport, written from the viewer side of the
// protocol, that tests drive packet by packet.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "viewer/ViewerProtocol.h"
#include "tests/support/FakeTransport.h"

namespace testsupport {

class CFakeViewer {
public:
    // Opens a session (the device's listener picks it up).
    explicit CFakeViewer(std::u16string_view password);

    int Handle() const { return m_nHandle; }
    int DeviceEnd() const;
    session::CViewerProtocol& Protocol() { return m_protocol; }

    // Receives one packet on `channel` within `timeoutMs` of real time and
    // opens it; `message.payload` stays valid until the next Receive on that
    // channel. False on time-out, a closed session or a packet that does not open.
    bool Receive(uint8_t channel, session::ServerMessage& message, uint32_t timeoutMs = 3000);
    // Reads and drops whatever has arrived on `channel`.
    void Drain(uint8_t channel);
    // True when nothing arrives on `channel` within `waitMs`.
    bool Quiet(uint8_t channel, uint32_t waitMs = 60);

    // Challenge, AuthResponse, AuthAccepted. False if anything else happens.
    bool Login();

    void Send(const std::vector<uint8_t>& packet);
    void Send(const uint8_t* packet, size_t size) { Send(std::vector<uint8_t>(packet, packet + size)); }
    void SendVideoStart(std::optional<uint32_t> mode = std::nullopt);
    void SendVideoStop();
    void SendMarkSet();
    void SendMarkClear();

    // The device has closed its end (or never accepted).
    bool DeviceClosed() const;

private:
    int m_nHandle;
    session::CViewerProtocol m_protocol;
    std::vector<uint8_t> m_buffer[2];
};

}  // namespace testsupport
