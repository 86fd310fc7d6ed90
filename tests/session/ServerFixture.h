#pragma once
// A session server on the fake transport, with the means to put viewers into
// its slots without the listener (for commands and the fan-out) or through it.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Thread.h"
#include "wire/Aes.h"
#include "service/session/SessionServer.h"
#include "tests/support/FakeTransport.h"
#include "tests/support/FakeViewer.h"
#include "tests/support/RecordingHost.h"
#include "tests/support/SessionServerProbe.h"

namespace sessiontest {

using namespace session;
using testsupport::CFakeTransport;
using testsupport::CFakeViewer;
using testsupport::WaitUntil;

inline constexpr char16_t kPassword[] = u"s3cret";

class ServerTest : public ::testing::Test {
protected:
    ServerTest() {
        CFakeTransport::Instance().Reset();
        platform::FailThreadStarts(0);
        server = std::make_unique<CSessionServer>(CFakeTransport::Table(), host);
        probe = std::make_unique<CSessionServerProbe>(*server);
    }
    ~ServerTest() override {
        probe.reset();
        server.reset();
        platform::FailThreadStarts(0);
    }

    CFakeTransport& fake = CFakeTransport::Instance();
    testsupport::CRecordingHost host;
    std::unique_ptr<CSessionServer> server;
    std::unique_ptr<CSessionServerProbe> probe;

    // Puts `viewer` into slot i as the listener would, with a known challenge,
    // and optionally logs it in and turns its video on, each through the
    // handlers the reader calls.
    void Admit(int i, CFakeViewer& viewer, bool login = true, bool video = true, uint32_t address = 0) {
        uint8_t challenge[kChallengeSize], key[kKeySize];
        for (size_t k = 0; k < 16; ++k) {
            challenge[k] = static_cast<uint8_t>(0x10 * i + k);
            key[k] = static_cast<uint8_t>(0xA0 + 3 * i + k);
        }
        probe->Occupy(i, viewer.DeviceEnd(), kPassword, challenge, key, 1000, address);
        if (!login) return;
        uint8_t packet[64];
        const size_t n = viewer.Protocol().BuildAuthResponse(challenge, 16, packet, sizeof packet);
        Deliver(i, packet, n);
        ServerMessage m;
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));
        ASSERT_EQ(m.type, ServerMessageType::AuthAccepted);
        ASSERT_TRUE(viewer.Protocol().AcceptSessionKey(m.payload, m.payloadLength));
        if (!video) return;
        DeliverVideoStart(i, viewer);
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));  // the ModeReport
        ASSERT_EQ(m.type, ServerMessageType::ModeReport);
    }

    void DeliverVideoStart(int i, CFakeViewer& viewer, std::optional<uint32_t> mode = std::nullopt) {
        uint8_t packet[64];
        Deliver(i, packet, viewer.Protocol().BuildVideoStart(mode, packet, sizeof packet));
    }

    // Hands one complete packet to the slot's handlers the way its reader does.
    void Deliver(int i, const uint8_t* packet, size_t size) {
        ASSERT_GE(size, kHeaderSize);
        const PacketHeader h = ReadHeader(packet);
        ASSERT_LE(h.bodyLength, kReceiveBufferSize);
        uint8_t body[kReceiveBufferSize] = {};
        std::memcpy(body, packet + kHeaderSize, size - kHeaderSize);
        if (h.kind == KindPlain) {
            probe->DoAuth(i, body);
        } else if (UnsealPacket(probe->Slot(i).abySessionKey, h.kind, body, h.bodyLength) == kUnsealOk) {
            probe->DoCommand(i, body);
        }
    }
};

// Frames as an encoder delivers them.
inline std::vector<uint8_t> KeyFrame(size_t size = 64, uint8_t fill = 0x11) {
    std::vector<uint8_t> f(size, fill);
    const uint8_t start[] = {0, 0, 0, 1, 0x67, 0x64};
    std::memcpy(f.data(), start, sizeof start);
    return f;
}
inline std::vector<uint8_t> DeltaFrame(size_t size = 48, uint8_t fill = 0x22) {
    std::vector<uint8_t> f(size, fill);
    const uint8_t start[] = {0, 0, 0, 1, 0x41, 0x9A};
    std::memcpy(f.data(), start, sizeof start);
    return f;
}

}  // namespace sessiontest
