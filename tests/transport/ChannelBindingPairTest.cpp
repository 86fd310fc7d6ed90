// The channel binding over real webrtcbins, in a network namespace of the
// test's own (root; skipped otherwise). That two ends agree is shown across
// processes by the route's own test (InternetRouteTest); here a party that
// answers each of them with its own certificates (a broker that
// swapped the fingerprints in the signalling) leaves them with two. And what
// webrtcbin itself does with a certificate that does not match the
// fingerprint the signalling gave.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/GlibSanitizerOptions.h"
#include "transport/internet/WebRtcLink.h"
#include "transport/internet/WebRtcPeer.h"

namespace {

using namespace pppp;

const char* g_skip = nullptr;
void RunMiddle(int fd);
extern const char* const kMiddleFd;

class CNetwork : public ::testing::Environment {
public:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        g_skip = "GStreamer's webrtcbin is not checked under ThreadSanitizer";
        return;
#endif
        if (const char* fd = std::getenv(kMiddleFd)) {
            // The party in the middle, started by the test below in its network.
            if (CWebRtcPeer::Prepare()) RunMiddle(std::atoi(fd));
            std::_Exit(0);
        }
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
            g_skip = "needs root to make a network namespace of its own";
            return;
        }
        // libnice ignores loopback: a public-looking address on an interface of its own.
        if (std::system("ip link set lo up && ip link add d0 type veth peer name d1 && "
                        "ip addr add 198.51.100.9/24 dev d0 && ip link set d0 up && ip link set d1 up") != 0 ||
            !CWebRtcPeer::Prepare())
            g_skip = "no interface of the test's own, or no webrtcbin";
    }
};
[[maybe_unused]] const auto* const g_network = ::testing::AddGlobalTestEnvironment(new CNetwork);

// What the peers say to each other, handed over on the test's thread.
class CSignals {
public:
    void Post(std::function<void()> f) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_queue.push_back(std::move(f));
        m_cv.notify_all();
    }
    // Runs what was posted until `done` or the limit.
    bool RunUntil(const std::function<bool()>& done, int limitMs = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (!done()) {
            std::unique_lock<std::mutex> hold(m_lock);
            // The channel opens on the peers' threads without a message: looked at every 20 ms.
            const auto slice = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
            if (!m_cv.wait_until(hold, slice, [&] { return !m_queue.empty(); })) {
                if (std::chrono::steady_clock::now() >= end) return done();
                continue;
            }
            auto f = std::move(m_queue.front());
            m_queue.pop_front();
            hold.unlock();
            f();
        }
        return true;
    }
    void Wake() { Post([] {}); }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
};

struct Side {
    std::shared_ptr<CWebRtcLink> link = std::make_shared<CWebRtcLink>();
    // Where this side's description and candidates go.
    std::function<void(const std::string& sdp)> toOther;
    std::function<void(uint32_t mline, const std::string& candidate)> candidateToOther;
    std::function<std::string(const std::string&)> rewrite = [](const std::string& s) { return s; };
};

// Makes a side's peer; what it says is handed on on the test's thread.
void Start(CSignals& signals, Side& s, bool offering) {
    PeerEvents events;
    events.localDescription = [&signals, &s](const std::string& sdp) {
        signals.Post([&s, sdp] { s.toOther(s.rewrite(sdp)); });
    };
    events.localCandidate = [&signals, &s](uint32_t mline, const std::string& c) {
        signals.Post([&s, mline, c] { s.candidateToOther(mline, c); });
    };
    events.failed = [&signals] { signals.Wake(); };
    s.link->SetPeer(CWebRtcPeer::Create(offering, PeerIceServers{}, events, s.link));
    ASSERT_NE(s.link->Peer(), nullptr);
    if (offering) s.link->Peer()->StartOffer();
}

// One call between an offering side (the device) and an answering one.
void Connect(CSignals& signals, Side& offerer, Side& answerer) {
    offerer.toOther = [&answerer](const std::string& sdp) { answerer.link->Peer()->AcceptOffer(sdp); };
    answerer.toOther = [&offerer](const std::string& sdp) { offerer.link->Peer()->AcceptAnswer(sdp); };
    offerer.candidateToOther = [&answerer](uint32_t m, const std::string& c) { answerer.link->Peer()->AddRemoteCandidate(m, c); };
    answerer.candidateToOther = [&offerer](uint32_t m, const std::string& c) { offerer.link->Peer()->AddRemoteCandidate(m, c); };
    Start(signals, answerer, false);
    Start(signals, offerer, true);
}

// The party in the middle runs in a process of its own (webrtcbin gives one
// process one certificate), told what the two ends say over a socket: lines
// of "TAG mline text", the text's line ends escaped.
extern const char* const kMiddleFd;
const char* const kMiddleFd = "ZELT2_BINDING_MIDDLE_FD";

void SendLine(int fd, const std::string& tag, uint32_t mline, std::string text) {
    for (char& c : text) c = c == '\r' ? '\x1e' : c == '\n' ? '\x1f' : c;
    const std::string line = tag + " " + std::to_string(mline) + " " + text + "\n";
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    for (size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// What side `s` says goes into the socket as lines tagged `tag`-SDP and `tag`-CAND.
void SayOver(int fd, Side& s, const std::string& tag) {
    s.toOther = [fd, tag](const std::string& sdp) { SendLine(fd, tag + "-SDP", 0, sdp); };
    s.candidateToOther = [fd, tag](uint32_t m, const std::string& c) { SendLine(fd, tag + "-CAND", m, c); };
}

// Reads lines and posts each to `signals` as (tag, mline, text).
std::thread ReadLines(int fd, CSignals& signals,
                      std::function<void(const std::string&, uint32_t, const std::string&)> handle) {
    return std::thread([fd, &signals, handle] {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                for (char& c : line) c = c == '\x1e' ? '\r' : c == '\x1f' ? '\n' : c;
                const size_t a = line.find(' '), b = line.find(' ', a + 1);
                if (a == std::string::npos || b == std::string::npos) continue;
                const std::string tag = line.substr(0, a), text = line.substr(b + 1);
                const uint32_t mline = static_cast<uint32_t>(std::strtoul(line.c_str() + a + 1, nullptr, 10));
                signals.Post([handle, tag, mline, text] { handle(tag, mline, text); });
            }
        }
        signals.Post([handle] { handle("END", 0, ""); });
    });
}

// The middle: answers the device as if it were the viewer, offers to the
// viewer as if it were the device, until the socket closes.
void RunMiddle(int fd) {
    CSignals signals;
    Side toDevice, toViewer;
    SayOver(fd, toDevice, "M1");
    SayOver(fd, toViewer, "M2");
    bool ended = false;
    std::thread reader = ReadLines(fd, signals, [&](const std::string& tag, uint32_t m, const std::string& text) {
        if (tag == "D-SDP") toDevice.link->Peer()->AcceptOffer(text);
        else if (tag == "D-CAND") toDevice.link->Peer()->AddRemoteCandidate(m, text);
        else if (tag == "V-SDP") toViewer.link->Peer()->AcceptAnswer(text);
        else if (tag == "V-CAND") toViewer.link->Peer()->AddRemoteCandidate(m, text);
        else if (tag == "END") ended = true;
    });
    Start(signals, toDevice, false);
    Start(signals, toViewer, true);
    signals.RunUntil([&] { return ended; }, 60000);
    toDevice.link->Shut();
    toViewer.link->Shut();
    reader.join();
}

std::string Binding(Side& s) {
    LinkInfo info;
    s.link->Describe(&info);
    return info.bound ? std::string(reinterpret_cast<const char*>(info.binding), sizeof info.binding) : "";
}

bool Open(Side& a, Side& b) { return a.link->IsOpen() && b.link->IsOpen(); }
bool Settled(Side& a, Side& b) {
    return Open(a, b) || a.link->HasEnded() || b.link->HasEnded();
}

// A fingerprint line of the SDP with its hex digits changed.
std::string SwapFingerprint(std::string sdp) {
    const size_t at = sdp.find("a=fingerprint:sha-256 ");
    if (at == std::string::npos) return sdp;
    for (size_t i = at + 22; i < sdp.size() && sdp[i] != '\r' && sdp[i] != '\n'; ++i)
        if (sdp[i] != ':') sdp[i] = sdp[i] == '0' ? '1' : '0';
    return sdp;
}

TEST(ChannelBindingPair, APartyInTheMiddleLeavesEachEndWithItsOwnValue) {
    if (g_skip) GTEST_SKIP() << g_skip;
    // The broker answers the device as if it were the viewer, and offers to
    // the viewer as if it were the device: two handshakes, each with the
    // middle's certificate, and the fingerprints in the signalling match it.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(std::string(kMiddleFd) + "=3");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe", filter[] = "--gtest_filter=ChannelBindingPair.WhatWebrtcbin*";
    char* argv[] = {self, filter, nullptr};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(sv[1], 3);
        ::execve(self, argv, envp.data());
        ::_exit(127);
    }
    ::close(sv[1]);
    const int fd = sv[0];

    CSignals signals;
    Side device, viewer;
    SayOver(fd, device, "D");
    SayOver(fd, viewer, "V");
    std::thread reader = ReadLines(fd, signals, [&](const std::string& tag, uint32_t m, const std::string& text) {
        if (tag == "M1-SDP") device.link->Peer()->AcceptAnswer(text);
        else if (tag == "M1-CAND") device.link->Peer()->AddRemoteCandidate(m, text);
        else if (tag == "M2-SDP") viewer.link->Peer()->AcceptOffer(text);
        else if (tag == "M2-CAND") viewer.link->Peer()->AddRemoteCandidate(m, text);
    });
    Start(signals, viewer, false);
    Start(signals, device, true);
    const bool settled = signals.RunUntil([&] {
        return (device.link->IsOpen() || device.link->HasEnded()) && (viewer.link->IsOpen() || viewer.link->HasEnded());
    });
    const bool open = device.link->IsOpen() && viewer.link->IsOpen();
    const std::string atDevice = Binding(device), atViewer = Binding(viewer);
    device.link->Shut();
    viewer.link->Shut();
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(settled && open) << "the middle did not get both channels open";
    EXPECT_EQ(atDevice.size(), 32u);
    EXPECT_EQ(atViewer.size(), 32u);
    EXPECT_NE(atDevice, atViewer) << "a login made at one end holds nowhere at the other";
}

TEST(ChannelBindingPair, WhatWebrtcbinDoesWithACertificateTheSignallingDidNotAnnounce) {
    if (g_skip) GTEST_SKIP() << g_skip;
    // The answer reaches the device with another fingerprint than the
    // viewer's certificate has: webrtcbin may refuse the handshake; if it
    // does not, the binding still comes from the certificates used, so the
    // two ends agree and the login is not disturbed by a lie in the
    // signalling alone.
    CSignals signals;
    Side device, viewer;
    viewer.rewrite = SwapFingerprint;
    Connect(signals, device, viewer);
    const bool settled = signals.RunUntil([&] { return Settled(device, viewer); }, 15000);
    const bool open = Open(device, viewer);
    std::printf("webrtcbin with a fingerprint that does not match the certificate: %s\n",
                open ? "the channel opens (it does not check the fingerprint)"
                     : settled ? "the handshake fails" : "nothing opens within 15 s");
    if (open) {
        EXPECT_EQ(Binding(device), Binding(viewer));
    }
}

}  // namespace
