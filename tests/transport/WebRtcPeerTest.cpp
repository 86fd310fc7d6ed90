// Which relays a real webrtcbin peer asks for, as decided when it is made.
// The peers never negotiate, so they gather nothing; the TURN servers named
// are on loopback and never reached.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/GlibSanitizerOptions.h"
#include "transport/internet/TurnBudget.h"
#include "transport/internet/WebRtcPeer.h"

namespace {

using namespace pppp;

// TURN over UDP and over TCP for `account`, no STUN server.
PeerIceServers Turn(const std::string& account) {
    PeerIceServers servers;
    IceServer s;
    s.host = "127.0.0.1";
    s.port = 9;
    s.kind = IceServer::TurnUdp;
    servers.AddTurn(s, "4000000000:" + account, "p");
    s.kind = IceServer::TurnTcp;
    servers.AddTurn(s, "4000000000:" + account, "p");
    return servers;
}

TEST(WebRtcPeer, AsksARelayOverUdpOnlyWhenItGaveLibniceATurnServerOverUdp) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "GStreamer's webrtcbin is not checked under ThreadSanitizer";
#endif
    if (!CWebRtcPeer::Prepare()) GTEST_SKIP() << "GStreamer's webrtcbin is not installed";
    auto device = CWebRtcPeer::Create(true, Turn("D-cam.a"), {}, nullptr);
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->AsksUdpRelay());
    // Refused over UDP lately: it relays over TCP alone, which leaves TURN over UDP to the viewer.
    NoteTurnUdpRefused("D-cam.b");
    auto refused = CWebRtcPeer::Create(true, Turn("D-cam.b"), {}, nullptr);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->AsksUdpRelay());
    // A viewer never asks one over UDP.
    auto viewer = CWebRtcPeer::Create(false, Turn("V-a"), {}, nullptr);
    ASSERT_TRUE(viewer);
    EXPECT_FALSE(viewer->AsksUdpRelay());
    device.reset();
    refused.reset();
    viewer.reset();
    DrainPeerTeardowns();
}

}  // namespace
