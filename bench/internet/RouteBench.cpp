// bench_route: one viewer session against `bench_route serve DID` (a device
// that echoes channel 0 at once and takes streams on channel 1), measured: how
// long until it is open, which route it took, round trips of 64 bytes, and the
// throughput of a stream one way. Run on either route: over the LAN by discovery or --address,
// over the internet route when a rendezvous file is configured
// (ZELT2_RENDEZVOUS). The figures are printed, one "key value" a line, for
// bench/internet/run to gather. (pppp_tool's device echoes too, but reads in
// 64 KiB with a 200 ms time-out, which a round trip of 64 bytes would measure.)
//
//   bench_route DID [--address host:port] [--connect-only] [--rounds N]
//                   [--mib N] [--timeout-ms N]
//   bench_route DID --sessions N [--timeout-ms N]
//   bench_route serve DID
//
// --sessions opens and closes N sessions one after another in this one
// process (each open, then closed at once) and prints how many opened, the
// time each took (p50, p90, max) and the routes.
//
// Exit status: 0 measured, 1 the transport cannot start, 2 bad command line,
// 3 no session, 4 the session broke off during the measurement.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
bool ReadAll(int session, char* buffer, int size, unsigned timeoutMs, unsigned char channel = 0) {
    int have = 0;
    const Clock::time_point start = Clock::now();
    while (have < size) {
        int got = size - have;
        const int r = PPPP_Read(session, channel, buffer + have, &got, 200);
        have += got;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return false;
        if (MsSince(start) > timeoutMs) return false;
    }
    return true;
}

// Writes all of `size`, waiting while the session's queue is full.
bool WriteAll(int session, const char* data, int size, unsigned char channel = 0) {
    for (;;) {
        const int r = PPPP_Write(session, channel, data, size);
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

    // Throughput one way: the size on channel 1, that many bytes, and the
    // device's answer once it has taken them all.
    constexpr int kChunk = 16 * 1024;
    const uint64_t total = static_cast<uint64_t>(mib) * 1024 * 1024;
    const Clock::time_point start = Clock::now();
    char header[8];
    for (int i = 0; i < 8; ++i) header[i] = static_cast<char>(total >> (8 * i));
    if (!WriteAll(session, header, sizeof header, 1)) return 4;
    std::vector<char> out(kChunk, 's');
    for (uint64_t sent = 0; sent < total; sent += kChunk)
        if (!WriteAll(session, out.data(), kChunk, 1)) return 4;
    if (!ReadAll(session, header, sizeof header, timeoutMs * 10, 1)) return 4;
    const double seconds = MsSince(start) / 1000.0;
    std::printf("stream_mib %lu\nthroughput_mib_s %.2f\n", mib, static_cast<double>(total) / (1024.0 * 1024.0) / seconds);
    return 0;
}

int OpenAndClose(const char* did, unsigned long sessions, unsigned timeoutMs) {
    std::vector<double> times;
    unsigned long failed = 0;
    int lastError = 0;
    std::map<std::string, unsigned long> routes;
    for (unsigned long i = 0; i < sessions; ++i) {
        const Clock::time_point start = Clock::now();
        const int session = PPPP_Connect(did, timeoutMs);
        if (session < 0) {
            ++failed;
            lastError = session;
            continue;
        }
        times.push_back(MsSince(start));
        PPPP_SessionRecord record{};
        PPPP_Check(session, &record);
        ++routes[RouteName(record)];
        PPPP_Close(session);
    }
    std::printf("sessions_opened %zu\nsessions_failed %lu\n", times.size(), failed);
    if (failed) std::printf("last_error %d\n", lastError);
    std::printf("session_p50_ms %.1f\nsession_p90_ms %.1f\nsession_max_ms %.1f\n", Percentile(times, 0.5),
                Percentile(times, 0.9), Percentile(times, 1.0));
    std::printf("routes");
    for (const auto& [route, n] : routes) std::printf(" %s=%lu", route.c_str(), n);
    std::printf("\n");
    return failed ? 3 : 0;
}

// Takes a stream on channel 1 (its size first, 8 bytes LE) and answers with
// those 8 bytes once all has arrived.
void Sink(int session) {
    std::vector<char> buffer(256 * 1024);
    char header[8];
    while (ReadAll(session, header, sizeof header, 24u * 3600 * 1000, 1)) {
        uint64_t total = 0;
        for (int i = 0; i < 8; ++i) total |= static_cast<uint64_t>(static_cast<unsigned char>(header[i])) << (8 * i);
        for (uint64_t have = 0; have < total;) {
            int size = static_cast<int>(std::min<uint64_t>(buffer.size(), total - have));
            const int r = PPPP_Read(session, 1, buffer.data(), &size, 200);
            have += static_cast<uint64_t>(size);
            if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) return;
        }
        if (!WriteAll(session, header, sizeof header, 1)) return;
    }
}

// Echoes channel 0 of one session: whatever has arrived, as soon as it has;
// takes streams on channel 1.
void Echo(int session) {
    std::thread sink(Sink, session);
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        unsigned int readable = 0;
        if (PPPP_Check_Buffer(session, 0, nullptr, &readable) < 0) break;
        int size = static_cast<int>(std::min<size_t>(std::max(readable, 1u), buffer.size()));
        const int r = PPPP_Read(session, 0, buffer.data(), &size, 200);
        if (size > 0 && !WriteAll(session, buffer.data(), size)) break;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
    }
    PPPP_Close(session);
    sink.join();
}

int Serve(const char* did) {
    for (;;) {
        const int h = PPPP_Listen(did, 600, 0, 1);
        if (h == PPPP_ERR_BAD_DID || h == PPPP_ERR_CANNOT_LISTEN || h == PPPP_ERR_NOT_INITIALISED) {
            std::fprintf(stderr, "bench_route: cannot serve %s (%d)\n", did, h);
            return 3;
        }
        if (h >= 0) std::thread(Echo, h).detach();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "serve")) {
        if (PPPP_Initialize(PPPP_DEFAULT_INIT_STRING) != PPPP_OK) return 1;
        return Serve(argv[2]);
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: bench_route DID [--address host:port] [--connect-only] [--rounds N] [--mib N]"
                     " [--timeout-ms N]\n       bench_route DID --sessions N [--timeout-ms N]\n"
                     "       bench_route serve DID\n");
        return 2;
    }
    const char* did = argv[1];
    const char* address = nullptr;
    bool connectOnly = false;
    unsigned long rounds = 200, mib = 16, timeout = 20000, sessions = 0;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--address") && i + 1 < argc) {
            address = argv[++i];
        } else if (!std::strcmp(argv[i], "--connect-only")) {
            connectOnly = true;
        } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc && Number(argv[i + 1], 100000, &rounds)) {
            ++i;
        } else if (!std::strcmp(argv[i], "--mib") && i + 1 < argc && Number(argv[i + 1], 4096, &mib)) {
            ++i;
        } else if (!std::strcmp(argv[i], "--sessions") && i + 1 < argc && Number(argv[i + 1], 1000000, &sessions)) {
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
    if (sessions > 0) {
        const int result = OpenAndClose(did, sessions, ms);
        PPPP_DeInitialize();
        return result;
    }
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
