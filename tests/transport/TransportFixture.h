#pragma once
// What the transport tests share: a fixture that initialises the library with
// short keepalive times on the tests' own discovery port, for this host only
// (nothing leaves loopback), unique DIDs (tests
// run in parallel processes on one host), pairs of sessions over loopback,
// child processes running pppp_tool, and raw sockets for speaking nonsense.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/RawSockets.h"
#include "transport/PPPP_API.h"

namespace transporttest {

constexpr unsigned short kDiscoveryPort = 41234;
constexpr unsigned int kKeepaliveMs = 200;
constexpr unsigned int kDeadPeerMs = 1500;
constexpr unsigned int kHandshakeMs = 1000;

// The options every test process (and its children) runs with.
PPPP_InitOptions TestOptions();
std::string TestInitString();

// "T<process>-<n>-<tag>": <process> is drawn once per process at random, so
// that tests running in parallel processes on one host do not meet.
std::string UniqueDid(const char* tag);

// A PPPP_Listen on its own thread.
std::future<int> ListenAsync(const std::string& did, unsigned waitSeconds = 10, char remote = 1);

// A device session and the viewer session connected to it.
struct Pair {
    int device = -1;
    int viewer = -1;
};

// Reads exactly `size` bytes (several reads if needed), PPPP_OK or the failure.
int ReadAll(int session, unsigned char channel, void* buffer, int size, unsigned timeoutMs = 5000);

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Listens for `did` and connects to it by discovery.
    Pair OpenPair(const std::string& did);
    // The device's TCP address as the viewer sees it ("127.0.0.1:port").
    static std::string DeviceAddress(int viewerSession);
    static uint16_t DevicePort(int viewerSession);

    // What SetUp initialises with, and children read; a suite may change it in its constructor.
    PPPP_InitOptions m_options = TestOptions();
    bool m_bInitialised = false;
};

// pppp_tool from this program's folder with the given arguments, its standard
// output readable line by line (ReadLine); killed when it goes.
class CChild : public testsupport::CChildProcess {
public:
    explicit CChild(const std::vector<std::string>& args);
};

// Raw TCP on loopback, for speaking nonsense.
using testsupport::RawAccept;
using testsupport::RawClose;
using testsupport::RawConnect;
using testsupport::RawListen;
using testsupport::RawReceive;
using testsupport::RawSend;
using testsupport::WaitClosedByPeer;
// Sends a Hello for `did` on a raw socket and reads the answer frame's type (0 on failure).
int RawHandshake(int fd, const std::string& did);

}  // namespace transporttest
