#include "tests/transport/TransportFixture.h"

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/ProgramDir.h"
#include "platform/Random.h"
#include "tests/support/Environment.h"

namespace transporttest {

PPPP_InitOptions TestOptions() {
    PPPP_InitOptions o{};
    o.discoveryPort = kDiscoveryPort;
    o.keepaliveMs = kKeepaliveMs;
    o.deadPeerMs = kDeadPeerMs;
    o.handshakeMs = kHandshakeMs;
    o.probeMs = 150;
    // Nothing of the tests leaves this host, not even a discovery broadcast.
    o.flags = PPPP_INIT_LOOPBACK_ONLY;
    return o;
}

std::string TestInitString() {
    const PPPP_InitOptions o = TestOptions();
    char text[PPPP_INIT_STRING_LENGTH + 1];
    PPPP_MakeInitString(&o, text, sizeof text);
    return text;
}

std::string UniqueDid(const char* tag) {
    static const uint32_t process = [] {
        uint32_t r = 0;
        platform::SecureRandomBytes(&r, sizeof r);
        return r % 100000;
    }();
    static std::atomic<int> counter{0};
    return "T" + std::to_string(process) + "-" + std::to_string(counter++) + "-" + tag;
}

std::future<int> ListenAsync(const std::string& did, unsigned waitSeconds, char remote) {
    return std::async(std::launch::async,
                      [did, waitSeconds, remote] { return PPPP_Listen(did.c_str(), waitSeconds, 0, remote); });
}

int ReadAll(int session, unsigned char channel, void* buffer, int size, unsigned timeoutMs) {
    int got = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < size) {
        int n = size - got;
        const int r = PPPP_Read(session, channel, static_cast<char*>(buffer) + got, &n, 100);
        got += n;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return r;
        if (got < size && std::chrono::steady_clock::now() > deadline) return PPPP_ERR_TIMEOUT;
    }
    return PPPP_OK;
}

void TransportTest::SetUp() {
    // Children started by the test read the same configuration from the environment.
    char init[PPPP_INIT_STRING_LENGTH + 1];
    ASSERT_EQ(PPPP_MakeInitString(&m_options, init, sizeof init), PPPP_INIT_STRING_LENGTH);
    testsupport::SetEnvironment(PPPP_INIT_ENV_VARIABLE, init);
    ASSERT_EQ(PPPP_Initialize(PPPP_DEFAULT_INIT_STRING), PPPP_OK);
    m_bInitialised = true;
}

void TransportTest::TearDown() {
    if (m_bInitialised) {
        EXPECT_EQ(PPPP_DeInitialize(), PPPP_OK);
    }
}

Pair TransportTest::OpenPair(const std::string& did) {
    Pair p;
    auto listen = ListenAsync(did);
    p.viewer = PPPP_Connect(did.c_str(), 5000);
    p.device = listen.get();
    EXPECT_GT(p.viewer, 0);
    EXPECT_GT(p.device, 0);
    return p;
}

uint16_t TransportTest::DevicePort(int viewerSession) {
    PPPP_SessionRecord r{};
    if (PPPP_Check(viewerSession, &r) != PPPP_OK) return 0;
    return static_cast<uint16_t>(r.bytes[PPPP_REC_REMOTE_PORT] | (r.bytes[PPPP_REC_REMOTE_PORT + 1] << 8));
}

std::string TransportTest::DeviceAddress(int viewerSession) {
    return "127.0.0.1:" + std::to_string(DevicePort(viewerSession));
}

namespace {

testsupport::ChildOptions ToolOptions() {
    testsupport::ChildOptions options;
    options.output = testsupport::ChildOptions::Output::Pipe;
    return options;
}

}  // namespace

CChild::CChild(const std::vector<std::string>& args)
    : CChildProcess(platform::GetProgramDirectory() + "pppp_tool", args, ToolOptions()) {}

int RawHandshake(int fd, const std::string& did) {
    // Hello: header (type 1, channel 0, length), magic "ZLTP", version 1, flags 0,
    // dead-peer ms 60000, DID length, DID.
    std::vector<uint8_t> hello = {0x01, 0, 0, 0, 0, 0, 'Z', 'L', 'T', 'P', 1, 0, 0x60, 0xEA, 0, 0,
                                  static_cast<uint8_t>(did.size())};
    hello.insert(hello.end(), did.begin(), did.end());
    hello[2] = static_cast<uint8_t>(hello.size() - 6);
    if (!RawSend(fd, hello.data(), hello.size())) return 0;
    uint8_t header[6];
    if (RawReceive(fd, header, 6, true) != 6) return 0;
    std::vector<uint8_t> payload(header[2]);
    if (!payload.empty() && RawReceive(fd, payload.data(), payload.size(), true) != static_cast<long>(payload.size()))
        return 0;
    return header[0];
}

}  // namespace transporttest
