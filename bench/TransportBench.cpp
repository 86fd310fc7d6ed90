// What a session costs beside a raw TCP connection, both over loopback in the
// same run: throughput of a stream of writes (2.5 KB, a typical video frame,
// and 64 KB, a key frame), and the round trip of one such write echoed back.
//
// Throughput: the writer writes as fast as it may, and like a blocking send
// on the raw socket, a session's writer first waits (PPPP_Wait_Buffer) until
// nothing of its earlier writes waits in the session's own queue; a reader
// thread takes whole messages; the time covers delivery of all.
// Latency: one message there and back; the median round trip is reported as
// a counter (median_rtt_us) and, at the end, as the added one-way latency.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "transport/PPPP_API.h"

namespace {

// ---- the two routes behind one interface -----------------------------------

struct Route {
    virtual ~Route() = default;
    // Whole message or false.
    virtual bool Send(int side, const char* data, int size) = 0;
    virtual bool Receive(int side, char* data, int size) = 0;
};

struct RawRoute final : Route {
    int fd[2] = {-1, -1};
    // sendBuffer > 0: the same kernel send buffer as a session's, to tell what
    // the cap itself costs from what the session costs.
    bool Open(int sendBuffer = 0) {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a) || ::listen(server, 1) ||
            ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len))
            return false;
        fd[1] = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd[1], reinterpret_cast<sockaddr*>(&a), sizeof a)) return false;
        fd[0] = ::accept(server, nullptr, nullptr);
        ::close(server);
        int one = 1;
        for (int f : fd) {
            ::setsockopt(f, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (sendBuffer > 0) ::setsockopt(f, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        }
        return fd[0] >= 0;
    }
    bool Send(int side, const char* data, int size) override {
        return ::send(fd[side], data, static_cast<size_t>(size), MSG_NOSIGNAL) == size;
    }
    bool Receive(int side, char* data, int size) override {
        return ::recv(fd[side], data, static_cast<size_t>(size), MSG_WAITALL) == size;
    }
};

struct SessionRoute final : Route {
    int h[2] = {-1, -1};  // device, viewer
    bool Open() {
        const std::string did = "BENCH" + std::to_string(::getpid());
        std::thread device([&] { h[0] = PPPP_Listen(did.c_str(), 10, 0, 0); });
        h[1] = PPPP_Connect(did.c_str(), 10000);
        device.join();
        return h[0] > 0 && h[1] > 0;
    }
    bool Send(int side, const char* data, int size) override {
        return PPPP_Wait_Buffer(h[side], 0, 10000) == PPPP_OK && PPPP_Write(h[side], 1, data, size) == size;
    }
    bool Receive(int side, char* data, int size) override {
        int n = size;
        return PPPP_Read(h[side], 1, data, &n, 10000) == PPPP_OK;
    }
};

RawRoute g_raw, g_rawCapped;
SessionRoute g_session;
Route* RouteOf(int which) {
    return which == 1 ? static_cast<Route*>(&g_session) : which == 2 ? &g_rawCapped : &g_raw;
}

std::map<std::string, double> g_medianRttUs;

// A thread on side 0 that takes messages of `size` bytes (and echoes them when
// asked) until one begins with 0xFF.
std::thread Peer(Route* route, int size, bool echo) {
    return std::thread([=] {
        std::vector<char> buf(static_cast<size_t>(size));
        for (;;) {
            if (!route->Receive(0, buf.data(), size) || buf[0] == static_cast<char>(0xFF)) return;
            if (echo && !route->Send(0, buf.data(), size)) return;
        }
    });
}

void StopPeer(Route* route, int size, std::thread& peer) {
    std::vector<char> stop(static_cast<size_t>(size), static_cast<char>(0xFF));
    route->Send(1, stop.data(), size);
    peer.join();
}

void BM_Throughput(benchmark::State& state, int which) {
    Route* route = RouteOf(which);
    const int size = static_cast<int>(state.range(0));
    std::vector<char> msg(static_cast<size_t>(size), 1);
    std::thread peer = Peer(route, size, false);
    for (auto _ : state) {
        if (!route->Send(1, msg.data(), size)) state.SkipWithError("send failed");
    }
    StopPeer(route, size, peer);  // the time includes delivery of the last message
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_RoundTrip(benchmark::State& state, int which) {
    Route* route = RouteOf(which);
    const int size = static_cast<int>(state.range(0));
    std::vector<char> msg(static_cast<size_t>(size), 1), back(static_cast<size_t>(size));
    std::thread peer = Peer(route, size, true);
    std::vector<double> rtt;
    rtt.reserve(100000);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!route->Send(1, msg.data(), size) || !route->Receive(1, back.data(), size)) {
            state.SkipWithError("round trip failed");
            break;
        }
        rtt.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    StopPeer(route, size, peer);
    if (!rtt.empty()) {
        std::sort(rtt.begin(), rtt.end());
        const double median = rtt[rtt.size() / 2];
        state.counters["median_rtt_us"] = median;
        // A stall now and then (a lost wake-up waiting for a keepalive) shows here, not in the median.
        state.counters["p99_rtt_us"] = rtt[rtt.size() * 99 / 100];
        g_medianRttUs[(which ? "session/" : "raw/") + std::to_string(size)] = median;
    }
}

void BM_RawThroughput(benchmark::State& s) { BM_Throughput(s, 0); }
void BM_RawCappedThroughput(benchmark::State& s) { BM_Throughput(s, 2); }
void BM_SessionThroughput(benchmark::State& s) { BM_Throughput(s, 1); }
void BM_RawRoundTrip(benchmark::State& s) { BM_RoundTrip(s, 0); }
void BM_SessionRoundTrip(benchmark::State& s) { BM_RoundTrip(s, 1); }

}  // namespace

BENCHMARK(BM_RawThroughput)->Arg(2560)->Arg(65536)->UseRealTime();
BENCHMARK(BM_RawCappedThroughput)->Arg(2560)->Arg(65536)->UseRealTime();
BENCHMARK(BM_SessionThroughput)->Arg(2560)->Arg(65536)->UseRealTime();
BENCHMARK(BM_RawRoundTrip)->Arg(2560)->Arg(65536)->UseRealTime();
BENCHMARK(BM_SessionRoundTrip)->Arg(2560)->Arg(65536)->UseRealTime();

int main(int argc, char** argv) {
    PPPP_InitOptions o{};
    o.discoveryPort = 41299;
    o.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    char init[PPPP_INIT_STRING_LENGTH + 1];
    PPPP_MakeInitString(&o, init, sizeof init);
    if (PPPP_Initialize(init) != PPPP_OK || !g_session.Open() || !g_raw.Open() || !g_rawCapped.Open(64 * 1024)) {
        std::fprintf(stderr, "bench_transport: cannot open the session or the raw connection\n");
        return 1;
    }
    using benchsupport::AddRatio;
    // Time per write: 1.25x is 0.8x the raw throughput.
    AddRatio("session/raw throughput 2.5 KB writes", "BM_SessionThroughput/2560/real_time",
             "BM_RawThroughput/2560/real_time", 1.25);
    AddRatio("session/raw throughput 64 KB writes", "BM_SessionThroughput/65536/real_time",
             "BM_RawThroughput/65536/real_time", 1.25);
    AddRatio("raw with a session's 64 KB send buffer/raw, 2.5 KB", "BM_RawCappedThroughput/2560/real_time",
             "BM_RawThroughput/2560/real_time");
    AddRatio("raw with a session's 64 KB send buffer/raw, 64 KB", "BM_RawCappedThroughput/65536/real_time",
             "BM_RawThroughput/65536/real_time");
    AddRatio("session/raw round trip 2.5 KB", "BM_SessionRoundTrip/2560/real_time", "BM_RawRoundTrip/2560/real_time");
    AddRatio("session/raw round trip 64 KB", "BM_SessionRoundTrip/65536/real_time",
             "BM_RawRoundTrip/65536/real_time");
    const int result = benchsupport::RunWithRatios(argc, argv);
    for (const char* size : {"2560", "65536"}) {
        const auto s = g_medianRttUs.find(std::string("session/") + size);
        const auto r = g_medianRttUs.find(std::string("raw/") + size);
        if (s == g_medianRttUs.end() || r == g_medianRttUs.end()) continue;
        const double added = (s->second - r->second) / 2;
        std::printf("  median added one-way latency, %5s B writes: %6.1f us   target < 50 us: %s\n", size, added,
                    added < 50 ? "met" : "MISSED");
    }
    PPPP_Close(g_session.h[0]);
    PPPP_Close(g_session.h[1]);
    PPPP_DeInitialize();
    return result;
}
