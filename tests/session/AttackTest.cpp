// Hostile peers against a device on this host over the real transport. Every
// address of 127/8 is this host, so an attacker here speaks from hundreds of
// addresses by binding its sockets to them. The viewers are the real viewer
// client; the attackers speak the transport and the login by hand.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Random.h"
#include "platform/Text.h"
#include "tests/support/FileDevice.h"
#include "tests/support/RawSockets.h"
#include "tests/support/Wait.h"
#include "transport/PPPP_API.h"
#include "viewer/ViewerClient.h"
#include "wire/SessionPacket.h"

namespace sessiontest {
namespace {

const std::string kSample = std::string(ZELT_TEST_DATA_DIR) + "/sample-320x240-high.h264";
constexpr unsigned short kDiscoveryPort = 41478;
const char16_t kPassword[] = u"attack-test";

// The i-th attacking address: 127.66.x.y, never 127.0.0.1 (the viewers').
std::string AttackAddress(int i) {
    return "127.66." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

// Drawn once per process, so that tests in parallel processes use other DIDs.
std::string ProcessTag() {
    static const uint32_t tag = [] {
        uint32_t r = 0;
        platform::SecureRandomBytes(&r, sizeof r);
        return r % 100000;
    }();
    return std::to_string(tag);
}

class CRawPeer {
public:
    ~CRawPeer() { Close(); }
    void Close() {
        if (m_fd >= 0) testsupport::RawClose(m_fd);
        m_fd = -1;
    }
    // A TCP connection from `from` to the device; nothing sent yet.
    bool Connect(const std::string& from, uint16_t port) {
        Close();
        m_fd = testsupport::RawConnect(port, from.c_str());
        if (m_fd < 0) return false;
        testsupport::RawReceiveTimeout(m_fd, 3000);
        return true;
    }
    bool SendFrame(uint8_t type, const uint8_t* payload, uint32_t length) {
        std::vector<uint8_t> frame(6 + length);
        frame[0] = type;
        frame[1] = 0;
        for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<uint8_t>(length >> (8 * i));
        if (length) std::memcpy(frame.data() + 6, payload, length);
        return testsupport::RawSend(m_fd, frame.data(), frame.size());
    }
    bool SendHello(const std::string& did) {
        std::vector<uint8_t> hello = {'Z', 'L', 'T', 'P', 2, 0, 0xD0, 0x07, 0, 0, static_cast<uint8_t>(did.size())};
        hello.insert(hello.end(), did.begin(), did.end());
        return SendFrame(0x01, hello.data(), static_cast<uint32_t>(hello.size()));
    }
    // The next frame that is not a keepalive: its type, and its payload in `payload`.
    int ReadFrame(std::vector<uint8_t>& payload) {
        for (;;) {
            uint8_t header[6];
            if (!ReadAll(header, sizeof header)) return -1;
            uint32_t length = 0;
            for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(header[2 + i]) << (8 * i);
            if (length > 65536) return -1;
            payload.resize(length);
            if (length && !ReadAll(payload.data(), length)) return -1;
            if (header[0] != 0x11) return header[0];
        }
    }
    // Hello, Welcome, Challenge, one wrong answer and its verdict.
    bool GuessOnce(const std::string& did, bool* refused) {
        std::vector<uint8_t> payload;
        if (!SendHello(did) || ReadFrame(payload) != 0x02) return false;
        if (ReadFrame(payload) != 0x10) return false;  // the challenge
        uint8_t packet[wire::kPacketOverhead + wire::kMaxAuthResponse];
        uint8_t guess[wire::kMaxAuthResponse] = {1, 2, 3};
        wire::PacketFields fields;
        fields.kind = wire::KindPlain;
        fields.command = wire::CmdAuthResponse;
        wire::BuildPacket(packet, sizeof packet, fields, guess, sizeof guess);
        std::vector<uint8_t> frame(packet, packet + sizeof packet);
        if (!SendData(frame)) return false;
        const int type = ReadFrame(payload);
        *refused = type == 0x10 && payload.size() >= 6 && payload[4] == wire::CmdAuthRefused;
        return true;
    }
    bool SendData(const std::vector<uint8_t>& bytes) {
        return SendFrame(0x10, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

private:
    bool ReadAll(uint8_t* out, size_t size) {
        size_t got = 0;
        while (got < size) {
            const long n = testsupport::RawReceive(m_fd, out + got, size - got, false);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int m_fd = -1;
};

class AttackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(testsupport::InitLoopbackTransport(kDiscoveryPort), 0); }
    static void TearDownTestSuite() { PPPP_DeInitialize(); }

    AttackTest() : device(kSample), did("ATK" + ProcessTag() + "-" + std::to_string(++s_nDevice)) {
        EXPECT_TRUE(device.Loaded()) << device.LoadError();
    }
    ~AttackTest() override {
        StopAttack();
        device.Stop();
    }

    void StartDevice() {
        ASSERT_TRUE(device.Start(did, kPassword, 0x21));
        port = testsupport::CFileDevice::FindPort(did);
        ASSERT_NE(port, 0) << "the device cannot be found";
        ASSERT_TRUE(testsupport::WaitUntil([&] { return server->Online() == 0; }, 5000));
    }

    // `threads` attackers, each guessing once per session and coming back at
    // once from the next of `addresses` addresses.
    void StartAttack(int threads, int addresses) {
        for (int t = 0; t < threads; ++t)
            m_attackers.emplace_back([this, addresses] {
                CRawPeer peer;
                while (!m_bStop.load()) {
                    const int i = m_nNext.fetch_add(1) % addresses;
                    bool refused = false;
                    if (peer.Connect(AttackAddress(i), port) && peer.GuessOnce(did, &refused) && refused)
                        m_nRefused.fetch_add(1);
                    peer.Close();
                }
            });
    }
    void StopAttack() {
        m_bStop.store(true);
        for (std::thread& t : m_attackers) t.join();
        m_attackers.clear();
    }

    viewer::ViewerOptions Options(uint64_t frames) {
        viewer::ViewerOptions o;
        o.did = did;
        o.address = "127.0.0.1:" + std::to_string(port);
        o.password = kPassword;
        o.frameLimit = frames;
        o.connectTimeoutMs = 10000;
        o.loginTimeoutMs = 12000;
        return o;
    }

    class CQuietEvents final : public viewer::IViewerEvents {
    public:
        bool OnFrame(const viewer::ViewerFrame&) override { return true; }
        void OnModeReport(uint32_t) override {}
        void OnStatus(const std::string&) override {}
    };

    testsupport::CFileDevice device;
    std::unique_ptr<session::CSessionServer>& server = device.server;
    const std::string did;
    uint16_t port = 0;
    std::vector<std::thread> m_attackers;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nNext{0};
    std::atomic<int> m_nRefused{0};
    static inline int s_nDevice = 0;
};

TEST_F(AttackTest, ViewersGetInWhileGuessersComeBackFromTwoHundredAddresses) {
    StartDevice();
    StartAttack(8, 200);
    // The attack is in full swing once every attacker has been refused a few times.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_nRefused.load() >= 24; }, 30000));
    int in = 0;
    std::string last;
    const auto began = std::chrono::steady_clock::now();
    // Four at a time, as a household's viewers might come.
    std::mutex lock;
    for (int batch = 0; batch < 5; ++batch) {
        std::vector<std::thread> viewers;
        for (int k = 0; k < 4; ++k)
            viewers.emplace_back([&] {
                CQuietEvents events;
                viewer::CViewerClient client(pppp::RealPppp(), Options(1));
                const bool done = client.Run(events) == viewer::kViewerDone;
                std::lock_guard<std::mutex> hold(lock);
                if (done) ++in;
                else last = client.Message();
            });
        for (std::thread& t : viewers) t.join();
    }
    const int guesses = m_nRefused.load();
    StopAttack();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    std::printf("viewers in: %d/20 against 8 guessers from 200 addresses (%d refusals, %lld ms)\n", in, guesses,
                static_cast<long long>(took.count()));
    EXPECT_GE(in, 19) << last;
}

TEST_F(AttackTest, AViewerWhoseHelloHasArrivedIsWelcomedAmidSilentConnectionsFromManyAddresses) {
    StartDevice();
    int welcomed = 0;
    int next = 0;
    for (int round = 0; round < 12; ++round) {
        // The viewer says Hello; forty silent ones, each from an address of
        // its own, overflow the device's handshake table before it reads on.
        std::vector<std::unique_ptr<CRawPeer>> silent;
        auto quiet = [&](int n) {
            for (int k = 0; k < n; ++k) {
                silent.push_back(std::make_unique<CRawPeer>());
                silent.back()->Connect(AttackAddress(next++ % 250), port);
            }
        };
        CRawPeer viewer;
        ASSERT_TRUE(viewer.Connect("127.0.0.1", port));
        ASSERT_TRUE(viewer.SendHello(did));
        quiet(40);
        std::vector<uint8_t> payload;
        if (viewer.ReadFrame(payload) == 0x02) {
            ++welcomed;
            // Taken by the session server (its challenge comes) and let go
            // before the next round: the sessions the transport holds for the
            // server to take never pile up into a "busy".
            EXPECT_EQ(viewer.ReadFrame(payload), 0x10);
        }
        viewer.Close();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return server->Online() == 0; }, 10000));
    }
    std::printf("viewer welcomed %d of 12 times beside 40 silent connections\n", welcomed);
    EXPECT_EQ(welcomed, 12);
}

TEST_F(AttackTest, EightViewersWaitingAfterAWrongPasswordKeepTheirPlacesFromANinth) {
    StartDevice();
    {
        CQuietEvents events;
        viewer::ViewerOptions wrong = Options(1);
        wrong.password = u"not-it";
        viewer::CViewerClient refused(pppp::RealPppp(), wrong);
        ASSERT_EQ(refused.Run(events), viewer::kViewerWrongPassword);
    }
    std::vector<viewer::ViewerStatus> results(8, viewer::kViewerFailed);
    std::vector<std::thread> viewers;
    for (int i = 0; i < 8; ++i)
        viewers.emplace_back([&, i] {
            CQuietEvents events;
            viewer::CViewerClient client(pppp::RealPppp(), Options(20));
            results[i] = client.Run(events);
        });
    // The ninth comes while the eight are still waiting for their logins.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server->Online() == 8; }, 10000));
    CQuietEvents events;
    viewer::CViewerClient ninth(pppp::RealPppp(), Options(20));
    const viewer::ViewerStatus late = ninth.Run(events);
    for (std::thread& t : viewers) t.join();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(results[i], viewer::kViewerDone) << "viewer " << i;
    EXPECT_NE(late, viewer::kViewerDone);
}

}  // namespace
}  // namespace sessiontest
