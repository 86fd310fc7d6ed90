// The broker client against a real broker (mosquitto) on loopback: a message
// someone stored retained in a device's inbox is never taken for signalling,
// neither when the device first subscribes nor when it subscribes again after
// its connection to the broker broke.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "transport/Socket.h"
#include "transport/internet/Config.h"
#include "transport/internet/Signalling.h"

namespace {

using testsupport::ChildOptions;
using testsupport::CChildProcess;
using testsupport::WaitUntil;

constexpr const char* kBroker = "/usr/sbin/mosquitto";
constexpr const char* kPub = "/usr/bin/mosquitto_pub";

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool Listening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool open = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return open;
}

class Broker {
public:
    Broker(const testsupport::CTempDir& dir, int port) : m_dir(dir), m_port(port) {
        // Persistent, so that a retained message outlives the broker's restart.
        testsupport::WriteBytes(dir.File("mosquitto.conf"),
                                "listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous true\n" +
                                    "persistence true\npersistence_location " + dir.File("") + "\nuser root\n");
    }
    void Start() {
        ChildOptions o;
        o.log = m_dir.File("mosquitto.log");
        m_child = std::make_unique<CChildProcess>(kBroker, std::vector<std::string>{"-c", m_dir.File("mosquitto.conf")},
                                                  o);
        m_bUp = WaitUntil([&] { return Listening(m_port); }, 10000);
    }
    bool Up() const { return m_bUp; }
    void Stop() {
        m_child->Signal(SIGTERM);
        m_child->Wait(10000);
    }
    // QoS 1: done once the broker has it.
    bool Publish(const std::string& topic, const std::string& text, bool retain) {
        std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(m_port), "-q", "1", "-t", topic, "-m", text};
        if (retain) args.push_back("-r");
        ChildOptions o;
        o.log = m_dir.File("pub.log");
        return CChildProcess(kPub, args, o).Wait(10000) == 0;
    }

private:
    const testsupport::CTempDir& m_dir;
    const int m_port;
    std::unique_ptr<CChildProcess> m_child;
    bool m_bUp = false;
};

TEST(Signalling, RetainedInboxMessagesAreIgnoredAlsoAfterAReconnect) {
    if (::access(kBroker, X_OK) != 0 || ::access(kPub, X_OK) != 0) GTEST_SKIP() << "mosquitto is not installed";
    testsupport::CTempDir dir;
    const int port = FreePort();
    ASSERT_GT(port, 0);
    Broker broker(dir, port);
    broker.Start();
    ASSERT_TRUE(broker.Up()) << "the broker did not start";
    const std::string call = R"({"type":"call","sid":"0011223344556677","version":2})";
    ASSERT_TRUE(broker.Publish("pppp/d/CAM-R/old.v", call, true));

    const std::string conf = dir.File("device.conf");
    testsupport::WriteBytes(conf, "broker = mqtt://127.0.0.1:" + std::to_string(port) + "\nuser = CAM-R\npassword = p\n");
    ::chmod(conf.c_str(), 0600);
    pppp::CRendezvousConfig config;
    std::string error;
    ASSERT_EQ(pppp::ReadRendezvousFile(conf, &config, &error), pppp::RendezvousLoad::Loaded) << error;
    pppp::CSignalling device(config);
    std::mutex lock;
    std::vector<std::string> heard;
    ASSERT_TRUE(device.Start([&](const std::string& from, const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> hold(lock);
        heard.push_back(from + ":" + std::string(reinterpret_cast<const char*>(data), size));
    }));
    ASSERT_TRUE(device.WaitReady(pppp::NowMs() + 10000));
    const auto heardNow = [&] {
        std::lock_guard<std::mutex> hold(lock);
        return heard;
    };
    // Messages come in order: once the live one is here, a replayed one would have come before it.
    ASSERT_TRUE(broker.Publish("pppp/d/CAM-R/live.v", "first", false));
    ASSERT_TRUE(WaitUntil([&] { return heardNow().size() >= 1; }, 10000));
    EXPECT_EQ(heardNow(), std::vector<std::string>{"live.v:first"});

    // The broker goes and comes back with the stored message; the device subscribes again.
    broker.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !device.Connected(); }, 10000));
    broker.Start();
    ASSERT_TRUE(broker.Up());
    ASSERT_TRUE(WaitUntil([&] { return device.Connected(); }, 30000)) << "the device did not reconnect";
    ASSERT_TRUE(broker.Publish("pppp/d/CAM-R/live.v", "second", false));
    ASSERT_TRUE(WaitUntil([&] { return heardNow().size() >= 2; }, 10000));
    EXPECT_EQ(heardNow(), (std::vector<std::string>{"live.v:first", "live.v:second"}));
    device.Stop();
}

}  // namespace
