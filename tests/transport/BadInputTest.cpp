// Nonsense on the device's port and from a fake device: each connection is
// dropped or its session ended, nothing crashes or grows, and a good session
// running meanwhile notices nothing.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Environment.h"
#include "tests/transport/TransportFixture.h"

namespace {

using namespace transporttest;
using namespace std::chrono_literals;

class BadInput : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        did = UniqueDid("BAD");
        good = OpenPair(did);
        port = DevicePort(good.viewer);
        ASSERT_NE(port, 0);
    }
    // The good session still carries bytes both ways.
    void ExpectGoodSessionWell() {
        const std::string text = "still here";
        ASSERT_EQ(PPPP_Write(good.viewer, 2, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
        std::string got(text.size(), '\0');
        ASSERT_EQ(ReadAll(good.device, 2, got.data(), static_cast<int>(got.size())), PPPP_OK);
        EXPECT_EQ(got, text);
        ASSERT_EQ(PPPP_Write(good.device, 2, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
        ASSERT_EQ(ReadAll(good.viewer, 2, got.data(), static_cast<int>(got.size())), PPPP_OK);
    }
    // A raw connection that has been welcomed, and the device's session for it.
    int RawSession(int* device) {
        auto listen = ListenAsync(did);
        const int fd = RawConnect(port);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(RawHandshake(fd, did), 0x02);
        *device = listen.get();
        EXPECT_GT(*device, 0);
        return fd;
    }
    int ReadEnd(int session) {
        char buf[64];
        int size = sizeof buf;
        int r;
        do {
            size = sizeof buf;
            r = PPPP_Read(session, 1, buf, &size, 1000);
        } while (r == PPPP_OK || r == PPPP_ERR_TIMEOUT);
        return r;
    }

    std::string did;
    Pair good;
    uint16_t port = 0;
};

TEST_F(BadInput, GarbageOnTheListeningPortIsDropped) {
    const std::vector<std::vector<uint8_t>> garbage = {
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n'},
        {0x01, 0, 0xFF, 0xFF, 0xFF, 0x7F},              // a Hello announcing 2 GB
        {0x01, 0, 12, 0, 0, 0, 'N', 'O', 'P', 'E', 1, 0, 0, 0, 0, 0, 1, 'A'},  // wrong magic
        {0x10, 1, 4, 0, 0, 0, 1, 2, 3, 4},              // data before any Hello
    };
    for (const auto& g : garbage) {
        const int fd = RawConnect(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(RawSend(fd, g.data(), g.size()));
        EXPECT_TRUE(WaitClosedByPeer(fd, 5000));
        RawClose(fd);
    }
    // None of them became a session.
    EXPECT_EQ(PPPP_Listen(did.c_str(), 1, 0, 1), PPPP_ERR_TIMEOUT);
    ExpectGoodSessionWell();
}

TEST_F(BadInput, AFrameAnnouncingGigabytesEndsItsSessionOnly) {
    int device = -1;
    const int fd = RawSession(&device);
    const uint8_t huge[] = {0x10, 1, 0x00, 0x00, 0x00, 0xC0, 'x'};  // 3 GB on channel 1
    ASSERT_TRUE(RawSend(fd, huge, sizeof huge));
    EXPECT_EQ(ReadEnd(device), PPPP_ERR_CLOSED_BY_PEER);
    EXPECT_TRUE(WaitClosedByPeer(fd, 5000));
    RawClose(fd);
    ExpectGoodSessionWell();
}

TEST_F(BadInput, AnUnknownChannelOrFrameTypeEndsItsSessionOnly) {
    for (const std::vector<uint8_t>& bad : {std::vector<uint8_t>{0x10, 9, 1, 0, 0, 0, 'x'},
                                            std::vector<uint8_t>{0x44, 0, 0, 0, 0, 0}}) {
        int device = -1;
        const int fd = RawSession(&device);
        // Good bytes first: they arrive; then the bad frame ends the session.
        const uint8_t fine[] = {0x10, 1, 2, 0, 0, 0, 'o', 'k'};
        ASSERT_TRUE(RawSend(fd, fine, sizeof fine));
        ASSERT_TRUE(RawSend(fd, bad.data(), bad.size()));
        char ok[2];
        EXPECT_EQ(ReadAll(device, 1, ok, 2), PPPP_OK);
        EXPECT_EQ(ReadEnd(device), PPPP_ERR_CLOSED_BY_PEER);
        RawClose(fd);
        PPPP_Close(device);
    }
    ExpectGoodSessionWell();
}

TEST_F(BadInput, HalfAHelloIsDroppedAfterTheHandshakeTime) {
    const int fd = RawConnect(port);
    ASSERT_GE(fd, 0);
    const uint8_t half[] = {0x01, 0, 20, 0, 0, 0, 'Z', 'L'};
    ASSERT_TRUE(RawSend(fd, half, sizeof half));
    EXPECT_TRUE(WaitClosedByPeer(fd, kHandshakeMs + 5000));
    RawClose(fd);
    ExpectGoodSessionWell();
}

// Hundreds of connections that never speak: each is dropped (after the
// handshake time, or sooner when newer ones push it out), while a viewer
// arriving during the flood still gets its session.
TEST_F(BadInput, AFloodOfSilentConnectionsIsShedWhileGoodViewersGetIn) {
    std::vector<int> flood;
    for (int i = 0; i < 300; ++i) {
        const int fd = RawConnect(port);
        if (fd >= 0) flood.push_back(fd);
    }
    EXPECT_GT(flood.size(), 100u);
    auto listen = ListenAsync(did);
    const int v = PPPP_Connect(did.c_str(), 10000);
    EXPECT_GT(v, 0);
    EXPECT_GT(listen.get(), 0);
    for (int fd : flood) {
        EXPECT_TRUE(WaitClosedByPeer(fd, kHandshakeMs + 10000));
        RawClose(fd);
    }
    ExpectGoodSessionWell();
}

// A viewer has connected and is about to say Hello when one other address
// opens 200 connections that never speak: the flood pushes out its own
// connections, never the viewer's. (A long handshake time here, so that
// only the flood can push anything out.)
TEST(HandshakeFlood, OneAddressFloodingPushesOutItsOwnConnectionsOnly) {
    PPPP_InitOptions o = TestOptions();
    o.handshakeMs = 60000;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    ASSERT_EQ(PPPP_MakeInitString(&o, init, sizeof init), PPPP_INIT_STRING_LENGTH);
    testsupport::SetEnvironment(PPPP_INIT_ENV_VARIABLE, init);
    ASSERT_EQ(PPPP_Initialize(init), PPPP_OK);
    const std::string did = UniqueDid("FLOOD");
    auto first = ListenAsync(did);
    const int v = PPPP_Connect(did.c_str(), 10000);
    ASSERT_GT(v, 0);
    ASSERT_GT(first.get(), 0);
    PPPP_SessionRecord r{};
    ASSERT_EQ(PPPP_Check(v, &r), PPPP_OK);
    const uint16_t port = static_cast<uint16_t>(r.bytes[PPPP_REC_REMOTE_PORT] | (r.bytes[PPPP_REC_REMOTE_PORT + 1] << 8));

    auto listen = ListenAsync(did);
    const int viewer = RawConnect(port, "127.0.0.1");
    ASSERT_GE(viewer, 0);
    std::vector<int> flood;
    for (int i = 0; i < 200; ++i) {
        const int fd = RawConnect(port, "127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        flood.push_back(fd);
    }
    // 201 connections for 32 places: 169 go. Once the first 168 of the flood
    // have gone, every connection has been taken in and weighed.
    for (int i = 0; i < 168; ++i) EXPECT_TRUE(WaitClosedByPeer(flood[i], 20000)) << i;
    EXPECT_EQ(RawHandshake(viewer, did), 0x02);  // Welcome
    EXPECT_GT(listen.get(), 0);
    RawClose(viewer);
    for (int fd : flood) RawClose(fd);
    EXPECT_EQ(PPPP_DeInitialize(), PPPP_OK);
}

// The viewer side meets a fake device: silence, garbage, a refusal in a foreign
// format, and a session that turns into nonsense.
TEST_F(BadInput, AViewerSurvivesAFakeDevice) {
    uint16_t serverPort = 0;
    const int server = RawListen(&serverPort);
    ASSERT_GE(server, 0);
    const std::string address = "127.0.0.1:" + std::to_string(serverPort);

    auto serveOnce = [&](std::vector<uint8_t> answer, bool thenData) {
        return std::thread([server, answer, thenData] {
            const int c = RawAccept(server);
            if (c < 0) return;
            uint8_t hello[64];
            RawReceive(c, hello, sizeof hello, false);
            if (!answer.empty()) RawSend(c, answer.data(), answer.size());
            if (thenData) {
                const uint8_t huge[] = {0x10, 1, 0xFF, 0xFF, 0xFF, 0xFF};
                RawSend(c, huge, sizeof huge);
            }
            std::this_thread::sleep_for(1500ms);
            RawClose(c);
        });
    };
    {
        auto t = serveOnce({}, false);  // says nothing
        EXPECT_EQ(PPPP_ConnectTo("FAKE", address.c_str(), 500), PPPP_ERR_TIMEOUT);
        t.join();
    }
    {
        auto t = serveOnce({'H', 'T', 'T', 'P', '/', '1', '.', '0', ' ', '4', '0', '0'}, false);
        EXPECT_EQ(PPPP_ConnectTo("FAKE", address.c_str(), 3000), PPPP_ERR_REFUSED);
        t.join();
    }
    {
        auto t = serveOnce({0x02, 0, 0xFF, 0xFF, 0, 0}, false);  // a Welcome announcing 64 KB
        EXPECT_EQ(PPPP_ConnectTo("FAKE", address.c_str(), 3000), PPPP_ERR_REFUSED);
        t.join();
    }
    {
        const std::vector<uint8_t> welcome = {0x02, 0, 10, 0, 0, 0, 'Z', 'L', 'T', 'P', 1, 0, 0x10, 0x27, 0, 0};
        auto t = serveOnce(welcome, true);
        const int v = PPPP_ConnectTo("FAKE", address.c_str(), 3000);
        ASSERT_GT(v, 0);
        EXPECT_EQ(ReadEnd(v), PPPP_ERR_CLOSED_BY_PEER);
        t.join();
    }
    RawClose(server);
    ExpectGoodSessionWell();
}

}  // namespace
