// What the video fan-out costs per frame over a transport that takes writes
// for free, for 1 and 8 viewers, beside copying the same bytes as often with
// memcpy. Also counts heap allocations inside the measured loop: the fan-out
// must make none per frame.
//
// Allocations are counted by replacing the global operator new of this
// program (bench/support/AllocationCounter): every allocation through new, the
// standard library's included, adds one to a counter; the count over the timed
// loop divided by the frames sent is reported as allocs_per_frame.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/support/AllocationCounter.h"
#include "bench/support/RatioReporter.h"
#include "service/session/SessionServer.h"
#include "tests/support/NullTransport.h"
#include "tests/support/SessionServerProbe.h"

namespace {

using namespace session;

const PpppTable kNullTransport = testsupport::NullTransport();

std::vector<uint8_t> MakeFrame(size_t size) {
    std::vector<uint8_t> frame(size);
    for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 131 + 7);
    const uint8_t start[] = {0, 0, 0, 1, 0x41, 0x9A};  // a delta frame: every viewer is past the gate
    std::memcpy(frame.data(), start, sizeof start);
    return frame;
}

void BM_Fanout(benchmark::State& state) {
    const int viewers = static_cast<int>(state.range(0));
    const auto size = static_cast<size_t>(state.range(1));
    const auto frame = MakeFrame(size);
    testsupport::CNullHost host;
    auto server = std::make_unique<CSessionServer>(kNullTransport, host);
    CSessionServerProbe probe(*server);
    server->SeedScramble(0x5A);
    probe.SetRunning(true);
    for (int i = 0; i < viewers; ++i) {
        uint8_t challenge[16] = {}, key[16];
        for (int k = 0; k < 16; ++k) key[k] = static_cast<uint8_t>(i * 16 + k);
        probe.Occupy(i, 100 + i, u"pw", challenge, key, 1);
        probe.Slot(i).bAuthed.store(true);
        probe.Slot(i).bVideoOn.store(true);
        probe.Slot(i).bKeySent.store(true);
    }
    server->OnEncodedFrame(session::EncodedFrame::Live(frame.data(), static_cast<uint32_t>(size)));  // warm up

    const uint64_t before = benchsupport::AllocationCount();
    for (auto _ : state) {
        server->OnEncodedFrame(session::EncodedFrame::Live(frame.data(), static_cast<uint32_t>(size)));
    }
    const uint64_t allocations = benchsupport::AllocationCount() - before;
    state.counters["allocs_per_frame"] =
        benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size * viewers));
    probe.SetRunning(false);
}

// The baseline: the same bytes copied as many times into one packet buffer.
void BM_Memcpy(benchmark::State& state) {
    const int copies = static_cast<int>(state.range(0));
    const auto size = static_cast<size_t>(state.range(1));
    const auto frame = MakeFrame(size);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPacketBufferSize]);
    for (auto _ : state) {
        for (int i = 0; i < copies; ++i) {
            std::memcpy(buffer.get() + kOffPayload, frame.data(), size);
            benchmark::DoNotOptimize(buffer.get());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size * copies));
}

}  // namespace

BENCHMARK(BM_Fanout)->ArgNames({"viewers", "bytes"})->ArgsProduct({{1, 8}, {2560, 65536}});
BENCHMARK(BM_Memcpy)->ArgNames({"copies", "bytes"})->ArgsProduct({{1, 8}, {2560, 65536}});

int main(int argc, char** argv) {
    using benchsupport::AddRatio;
    AddRatio("fan-out 8 viewers, 2.5 KB frame / 8-way memcpy", "BM_Fanout/viewers:8/bytes:2560",
             "BM_Memcpy/copies:8/bytes:2560", 2.0);
    AddRatio("fan-out 8 viewers, 64 KB frame / 8-way memcpy", "BM_Fanout/viewers:8/bytes:65536",
             "BM_Memcpy/copies:8/bytes:65536", 2.0);
    AddRatio("fan-out 1 viewer, 2.5 KB frame / memcpy", "BM_Fanout/viewers:1/bytes:2560",
             "BM_Memcpy/copies:1/bytes:2560");
    AddRatio("fan-out 1 viewer, 64 KB frame / memcpy", "BM_Fanout/viewers:1/bytes:65536",
             "BM_Memcpy/copies:1/bytes:65536");
    AddRatio("fan-out 8 viewers / 1 viewer, 64 KB frame", "BM_Fanout/viewers:8/bytes:65536",
             "BM_Fanout/viewers:1/bytes:65536");
    return benchsupport::RunWithRatios(argc, argv);
}
