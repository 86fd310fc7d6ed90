// bench_route: one viewer session against `pppp_tool device DID` (which echoes
// channel 0), measured: how long until it is open, which route it took, round
// trips of small messages, and the throughput of a stream echoed back. Run on
// either route: over the LAN by discovery or --address, over the internet route
// when a rendezvous file is configured (ZELT2_RENDEZVOUS). The figures are
// printed, one "key value" a line, for bench/internet/run to gather.
//
//   bench_route DID [--address host:port] [--connect-only] [--rounds N]
//                   [--mib N] [--timeout-ms N]
//
// Exit status: 0 measured, 1 the transport cannot start, 2 bad command line,
// 3 no session, 4 the session broke off during the measurement.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transport/PPPP_API.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Number(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max) return false;
    *out = v;
    return true;
}

const char* RouteName(const PPPP_SessionRecord& record) {
    if (record.bytes[PPPP_REC_PATH] == PPPP_PATH_TCP) return "lan-tcp";
    switch (record.bytes[PPPP_REC_PATH + 1]) {
        case 0: return "internet-direct";
        case 1: return "internet-relay-udp";
        case 2: return "internet-relay-tcp";
        case 3: return "internet-relay-tls";
        default: return "internet-unknown";
    }
}

// Reads exactly `size` bytes of channel 0; false when the session ends or
// nothing comes for `timeoutMs`.
bool ReadAll(int session, char* buffer, int size, unsigned timeoutMs) {
    int have = 0;
    const Clock::time_point start = Clock::now();
    while (have < size) {
        int got = size - have;
        const int r = PPPP_Read(session, 0, buffer + have, &got, 200);
        have += got;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return false;
        if (MsSince(start) > timeoutMs) return false;
    }
    return true;
}

// Writes all of `size`, waiting while the session's queue is full.
bool WriteAll(int session, const char* data, int size) {
    for (;;) {
        const int r = PPPP_Write(session, 0, data, size);
        if (r >= 0) return true;
        if (r != PPPP_ERR_BUFFER_FULL) return false;
        PPPP_Wait_Buffer(session, 0, 50);
    }
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[i];
}

int Measure(int session, unsigned long rounds, unsigned long mib, unsigned timeoutMs) {
    // Round trips of 64 bytes, one at a time (the first few warm the path).
    std::vector<double> rtts;
    char small[64];
    std::memset(small, 'r', sizeof small);
    for (unsigned long i = 0; i < rounds + 5; ++i) {
        const Clock::time_point start = Clock::now();
        if (!WriteAll(session, small, sizeof small) || !ReadAll(session, small, sizeof small, timeoutMs)) return 4;
        if (i >= 5) rtts.push_back(MsSince(start));
    }
    std::printf("rtt_p50_ms %.3f\nrtt_p90_ms %.3f\n", Percentile(rtts, 0.5), Percentile(rtts, 0.9));

    // A stream echoed back, with at most `kWindow` bytes on their way at once
    // so that the echoing side's own queue never fills.
    constexpr int kChunk = 16 * 1024;
    constexpr uint64_t kWindow = 256 * 1024;
    const uint64_t total = static_cast<uint64_t>(mib) * 1024 * 1024;
    std::atomic<uint64_t> received{0};
    std::atomic<bool> broken{false};
    const Clock::time_point start = Clock::now();
    std::thread reader([&] {
        std::vector<char> in(64 * 1024);
        while (received.load() < total) {
            int got = static_cast<int>(in.size());
            const int r = PPPP_Read(session, 0, in.data(), &got, 200);
            received.fetch_add(static_cast<uint64_t>(got));
            if ((r != PPPP_OK && r != PPPP_ERR_TIMEOUT) || MsSince(start) > timeoutMs * 10.0) {
                broken.store(true);
                return;
            }
        }
    });
    std::vector<char> out(kChunk, 's');
    uint64_t sent = 0;
    while (sent < total && !broken.load()) {
        if (sent - received.load() + kChunk > kWindow) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        if (!WriteAll(session, out.data(), kChunk)) {
            broken.store(true);
            break;
        }
        sent += kChunk;
    }
    reader.join();
    if (broken.load()) return 4;
    const double seconds = MsSince(start) / 1000.0;
    std::printf("echo_mib %lu\nthroughput_mib_s %.2f\n", mib, static_cast<double>(total) / (1024.0 * 1024.0) / seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: bench_route DID [--address host:port] [--connect-only] [--rounds N] [--mib N]"
                     " [--timeout-ms N]\n");
        return 2;
    }
    const char* did = argv[1];
    const char* address = nullptr;
    bool connectOnly = false;
    unsigned long rounds = 200, mib = 16, timeout = 20000;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--address") && i + 1 < argc) {
            address = argv[++i];
        } else if (!std::strcmp(argv[i], "--connect-only")) {
            connectOnly = true;
        } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc && Number(argv[i + 1], 100000, &rounds)) {
            ++i;
        } else if (!std::strcmp(argv[i], "--mib") && i + 1 < argc && Number(argv[i + 1], 4096, &mib)) {
            ++i;
        } else if (!std::strcmp(argv[i], "--timeout-ms") && i + 1 < argc &&
                   Number(argv[i + 1], 600000, &timeout)) {
            ++i;
        } else {
            std::fprintf(stderr, "bench_route: unknown or incomplete option %s\n", argv[i]);
            return 2;
        }
    }

    const Clock::time_point start = Clock::now();
    const int init = PPPP_Initialize(PPPP_DEFAULT_INIT_STRING);
    if (init != PPPP_OK) {
        std::fprintf(stderr, "bench_route: the transport cannot start (%d)\n", init);
        return 1;
    }
    const Clock::time_point connecting = Clock::now();
    const unsigned ms = static_cast<unsigned>(timeout);
    const int session = address ? PPPP_ConnectTo(did, address, ms) : PPPP_Connect(did, ms);
    if (session < 0) {
        std::fprintf(stderr, "bench_route: no session to %s (%d)\n", did, session);
        PPPP_DeInitialize();
        return 3;
    }
    PPPP_SessionRecord record{};
    PPPP_Check(session, &record);
    std::printf("connect_ms %.1f\nstart_to_open_ms %.1f\nroute %s\n", MsSince(connecting), MsSince(start),
                RouteName(record));
    std::fflush(stdout);
    int result = 0;
    if (!connectOnly) result = Measure(session, rounds, mib, ms);
    if (result != 0) std::fprintf(stderr, "bench_route: the session broke off during the measurement\n");
    PPPP_Close(session);
    PPPP_DeInitialize();
    return result;
}
