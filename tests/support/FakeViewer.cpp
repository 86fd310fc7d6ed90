#include "tests/support/FakeViewer.h"

#include <chrono>

namespace testsupport {

using namespace session;

CFakeViewer::CFakeViewer(std::u16string_view password)
    : m_nHandle(CFakeTransport::Instance().ConnectViewer()), m_protocol(password) {}

int CFakeViewer::DeviceEnd() const { return CFakeTransport::Instance().Peer(m_nHandle); }

bool CFakeViewer::DeviceClosed() const { return CFakeTransport::Instance().IsClosed(DeviceEnd()); }

namespace {
// Reads exactly `wanted` bytes before `deadline`; false otherwise.
bool ReadAll(int handle, uint8_t channel, uint8_t* out, size_t wanted,
             std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < wanted) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        int size = static_cast<int>(wanted - got);
        const int r = CFakeTransport::Instance().Read(handle, channel, reinterpret_cast<char*>(out + got), &size, 20);
        if (size > 0) got += static_cast<size_t>(size);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return got == wanted;
    }
    return true;
}
}  // namespace

bool CFakeViewer::Receive(uint8_t channel, ServerMessage& message, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t header[kHeaderSize];
    if (!ReadAll(m_nHandle, channel, header, sizeof header, deadline)) return false;
    const PacketHeader h = ReadHeader(header);
    auto& body = m_buffer[channel];
    body.assign(h.bodyLength, 0);
    if (h.bodyLength > 0 && !ReadAll(m_nHandle, channel, body.data(), body.size(), deadline)) return false;
    return m_protocol.Open(channel, h.kind, body.data(), h.bodyLength, message) == kOpenOk;
}

bool CFakeViewer::Quiet(uint8_t channel, uint32_t waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        unsigned int pending = 0;
        CFakeTransport::Instance().CheckBuffer(m_nHandle, channel, nullptr, &pending);
        if (pending > 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void CFakeViewer::Drain(uint8_t channel) {
    session::ServerMessage m;
    while (!Quiet(channel, 20)) Receive(channel, m, 200);
}

bool CFakeViewer::Login() {
    ServerMessage m;
    if (!Receive(kChannelControl, m) || m.type != ServerMessageType::Challenge) return false;
    uint8_t packet[64];
    const size_t n = m_protocol.BuildAuthResponse(m.payload, m.payloadLength, packet, sizeof packet);
    Send(packet, n);
    if (!Receive(kChannelControl, m) || m.type != ServerMessageType::AuthAccepted) return false;
    return m_protocol.AcceptSessionKey(m.payload, m.payloadLength);
}

void CFakeViewer::Send(const std::vector<uint8_t>& packet) {
    CFakeTransport::Instance().Write(m_nHandle, kChannelControl, reinterpret_cast<const char*>(packet.data()),
                                     static_cast<int>(packet.size()));
}

void CFakeViewer::SendVideoStart(std::optional<uint32_t> mode) {
    uint8_t packet[64];
    Send(packet, m_protocol.BuildVideoStart(mode, packet, sizeof packet));
}
void CFakeViewer::SendVideoStop() {
    uint8_t packet[64];
    Send(packet, m_protocol.BuildVideoStop(packet, sizeof packet));
}
void CFakeViewer::SendMarkSet() {
    uint8_t packet[64];
    Send(packet, m_protocol.BuildMarkSet(packet, sizeof packet));
}
void CFakeViewer::SendMarkClear() {
    uint8_t packet[64];
    Send(packet, m_protocol.BuildMarkClear(packet, sizeof packet));
}

}  // namespace testsupport
