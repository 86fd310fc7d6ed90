#include "tests/transport/TransportFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

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
    static std::atomic<int> counter{0};
    return "T" + std::to_string(::getpid() % 100000) + "-" + std::to_string(counter++) + "-" + tag;
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
    ::setenv(PPPP_INIT_ENV_VARIABLE, TestInitString().c_str(), 1);
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

// ---- child processes -------------------------------------------------------

CChild::CChild(const std::vector<std::string>& args) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = '\0';
    std::string tool(self);
    tool = tool.substr(0, tool.rfind('/')) + "/pppp_tool";
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.push_back(tool.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&m_pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    m_out = pipeFds[0];
}

CChild::~CChild() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
}

std::string CChild::ReadLine(unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t eol = m_buffer.find('\n');
        if (eol != std::string::npos) {
            std::string line = m_buffer.substr(0, eol);
            m_buffer.erase(0, eol + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_out < 0) return "";
        pollfd p{m_out, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[256];
        const ssize_t n = ::read(m_out, chunk, sizeof chunk);
        if (n <= 0) return "";
        m_buffer.append(chunk, static_cast<size_t>(n));
    }
}

void CChild::Signal(int signal) {
    if (m_pid > 0) ::kill(m_pid, signal);
}

// ---- raw sockets -----------------------------------------------------------

int RawConnect(uint16_t port, const char* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int RawHandshake(int fd, const std::string& did) {
    // Hello: header (type 1, channel 0, length), magic "ZLTP", version 1, flags 0,
    // dead-peer ms 60000, DID length, DID.
    std::vector<uint8_t> hello = {0x01, 0, 0, 0, 0, 0, 'Z', 'L', 'T', 'P', 1, 0, 0x60, 0xEA, 0, 0,
                                  static_cast<uint8_t>(did.size())};
    hello.insert(hello.end(), did.begin(), did.end());
    hello[2] = static_cast<uint8_t>(hello.size() - 6);
    if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) return 0;
    uint8_t header[6];
    if (::recv(fd, header, 6, MSG_WAITALL) != 6) return 0;
    std::vector<uint8_t> payload(header[2]);
    if (!payload.empty() && ::recv(fd, payload.data(), payload.size(), MSG_WAITALL) != static_cast<ssize_t>(payload.size()))
        return 0;
    return header[0];
}

bool WaitClosedByPeer(int fd, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char sink[4096];
        const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    }
    return false;
}

}  // namespace transporttest
