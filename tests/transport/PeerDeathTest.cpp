// Peers that vanish: a killed process (the kernel closes its connections), a
// frozen process and a connection that just goes quiet (nothing closes; only
// the keepalive notices). The test configuration declares a peer gone after
// 1.5 s of silence.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/transport/TransportFixture.h"

namespace {

using namespace transporttest;

using PeerDeath = TransportTest;

// A killed peer's connections are closed by its system: at once on Linux, once
// the process is torn down elsewhere (under Wine on a busy machine that can
// take seconds). A long dead time lets that close, not silence, end the session.
class PeerKilled : public TransportTest {
protected:
    PeerKilled() { m_options.deadPeerMs = 30000; }
};

int ReadUntilOver(int session) {
    for (;;) {
        char buf[512];
        int size = sizeof buf;
        const int r = PPPP_Read(session, 0, buf, &size, 1000);
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return r;
    }
}

TEST_F(PeerKilled, AKilledViewerProcessEndsTheDevicesSession) {
    const std::string did = UniqueDid("KILL");
    auto listen = ListenAsync(did);
    CChild viewer({"viewer", did});
    ASSERT_EQ(viewer.ReadLine(10000).rfind("OPEN", 0), 0u);
    const int d = listen.get();
    ASSERT_GT(d, 0);
    ASSERT_EQ(PPPP_Write(d, 0, "ping", 4), 4);
    char echo[4];
    ASSERT_EQ(ReadAll(d, 0, echo, 4), PPPP_OK);
    viewer.Kill();
    EXPECT_EQ(ReadUntilOver(d), PPPP_ERR_CLOSED_BY_PEER);
    unsigned int pending = 0;
    EXPECT_EQ(PPPP_Check_Buffer(d, 1, &pending, nullptr), PPPP_ERR_CLOSED_BY_PEER);
}

TEST_F(PeerDeath, AFrozenViewerIsDetectedByTheKeepalive) {
    const std::string did = UniqueDid("STOP");
    auto listen = ListenAsync(did);
    CChild viewer({"viewer", did});
    ASSERT_EQ(viewer.ReadLine(10000).rfind("OPEN", 0), 0u);
    const int d = listen.get();
    ASSERT_GT(d, 0);
    viewer.Freeze();
    EXPECT_EQ(ReadUntilOver(d), PPPP_ERR_CLOSED_TIMEOUT);
    EXPECT_EQ(PPPP_Check_Buffer(d, 1, nullptr, nullptr), PPPP_ERR_CLOSED_TIMEOUT);
    // While the device keeps writing into the dead session, nothing grows without bound.
    EXPECT_EQ(PPPP_Write(d, 1, "late", 4), PPPP_ERR_CLOSED_TIMEOUT);
}

TEST_F(PeerDeath, AViewerNoticesAFrozenDevice) {
    const std::string did = UniqueDid("DEVSTOP");
    CChild device({"device", did});
    const int v = PPPP_Connect(did.c_str(), 10000);
    ASSERT_GT(v, 0);
    ASSERT_EQ(device.ReadLine(10000).rfind("OPEN", 0), 0u);
    device.Freeze();
    EXPECT_EQ(ReadUntilOver(v), PPPP_ERR_CLOSED_TIMEOUT);
}

TEST_F(PeerKilled, AViewerNoticesAKilledDevice) {
    const std::string did = UniqueDid("DEVKILL");
    CChild device({"device", did});
    const int v = PPPP_Connect(did.c_str(), 10000);
    ASSERT_GT(v, 0);
    ASSERT_EQ(device.ReadLine(10000).rfind("OPEN", 0), 0u);
    device.Kill();
    EXPECT_EQ(ReadUntilOver(v), PPPP_ERR_CLOSED_BY_PEER);
}

// A connection that introduced itself and then says nothing, ever, while its
// socket stays open: as after a pulled cable.
TEST_F(PeerDeath, AHalfOpenSessionIsGoneAfterTheDeadTime) {
    const std::string did = UniqueDid("HALF");
    const Pair p = OpenPair(did);
    auto listen = ListenAsync(did);
    const int fd = RawConnect(DevicePort(p.viewer));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(RawHandshake(fd, did), 0x02);  // Welcome
    const int d = listen.get();
    ASSERT_GT(d, 0);
    EXPECT_EQ(ReadUntilOver(d), PPPP_ERR_CLOSED_TIMEOUT);
    EXPECT_TRUE(WaitClosedByPeer(fd, 5000));
    RawClose(fd);
    // The good session lived through it.
    ASSERT_EQ(PPPP_Write(p.viewer, 0, "ok", 2), 2);
    char buf[2];
    EXPECT_EQ(ReadAll(p.device, 0, buf, 2), PPPP_OK);
}

}  // namespace
