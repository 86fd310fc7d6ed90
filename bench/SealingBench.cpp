// What sealing a video frame costs beside copying the same bytes: a frame is
// built into the packet buffer (one copy), its payload XORed (one pass) and its
// 16-byte control block encrypted.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "wire/Aes.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"

namespace {

using namespace wire;

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::vector<uint8_t> MakeFrame(size_t size) {
    std::vector<uint8_t> frame(size);
    for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 131 + 7);
    frame[0] = 0;  // frames begin with a start code
    return frame;
}

void BM_Memcpy(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const auto frame = MakeFrame(size);
    std::vector<uint8_t> out(kPacketBufferSize);
    for (auto _ : state) {
        std::memcpy(out.data() + kOffPayload, frame.data(), size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_SealFrame(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const auto frame = MakeFrame(size);
    std::vector<uint8_t> packet(kPacketBufferSize);
    CPacketSealer sealer;
    sealer.Seed(0x5A);
    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    fields.viewerCount = 1;
    for (auto _ : state) {
        WritePacketHead(packet.data(), fields, static_cast<uint32_t>(size));
        std::memcpy(packet.data() + kOffPayload, frame.data(), size);
        sealer.SealPacket(kKey, packet.data(), size + kPacketOverhead);
        benchmark::DoNotOptimize(packet.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_BuildSealedFrame(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const auto frame = MakeFrame(size);
    std::vector<uint8_t> packet(kPacketBufferSize);
    CPacketSealer sealer;
    sealer.Seed(0x5A);
    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    fields.viewerCount = 1;
    for (auto _ : state) {
        sealer.BuildSealedPacket(kKey, packet.data(), packet.size(), fields, frame.data(), static_cast<uint32_t>(size));
        benchmark::DoNotOptimize(packet.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_AesBlock(benchmark::State& state) {
    uint8_t block[16] = {1}, out[16];
    for (auto _ : state) {
        AesEncryptBlock(128, block, 16, kKey, 16, out);
        benchmark::DoNotOptimize(out);
        block[0] = out[0];
    }
}

void BM_AesBlockExpanded(benchmark::State& state) {
    uint8_t block[16] = {1}, out[16];
    CAesKey128 key;
    key.Expand(kKey);
    for (auto _ : state) {
        key.EncryptBlock(block, out);
        benchmark::DoNotOptimize(out);
        block[0] = out[0];
    }
}

void BM_BuildSealedFrameExpanded(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const auto frame = MakeFrame(size);
    std::vector<uint8_t> packet(kPacketBufferSize);
    CPacketSealer sealer;
    sealer.Seed(0x5A);
    CAesKey128 key;
    key.Expand(kKey);
    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    fields.viewerCount = 1;
    for (auto _ : state) {
        sealer.BuildSealedPacket(key, packet.data(), packet.size(), fields, frame.data(), static_cast<uint32_t>(size));
        benchmark::DoNotOptimize(packet.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_UnsealFrame(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const auto frame = MakeFrame(size);
    std::vector<uint8_t> sealed(size + kPacketOverhead), work(size + kPacketOverhead);
    CPacketSealer sealer;
    PacketFields fields;
    fields.kind = KindSealed32;
    fields.command = CmdVideoFrame;
    BuildPacket(sealed.data(), sealed.size(), fields, frame.data(), static_cast<uint32_t>(size));
    sealer.SealPacket(kKey, sealed.data(), sealed.size());
    for (auto _ : state) {
        std::memcpy(work.data(), sealed.data(), sealed.size());
        benchmark::DoNotOptimize(UnsealPacket(kKey, KindSealed32, work.data() + 4, static_cast<uint32_t>(size + 16)));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

constexpr int64_t kSizes[] = {2560, 65536, static_cast<int64_t>(kMaxFramePayload)};

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(16)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2]);
BENCHMARK(BM_SealFrame)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2]);
BENCHMARK(BM_BuildSealedFrame)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2]);
BENCHMARK(BM_BuildSealedFrameExpanded)->Arg(kSizes[0])->Arg(kSizes[1]);
BENCHMARK(BM_UnsealFrame)->Arg(kSizes[1]);
BENCHMARK(BM_AesBlock);
BENCHMARK(BM_AesBlockExpanded);

int main(int argc, char** argv) {
    using benchsupport::AddRatio;
    // Copy into the packet, then seal in place (two passes over the payload).
    AddRatio("copy+seal 2.5 KB frame / memcpy", "BM_SealFrame/2560", "BM_Memcpy/2560");
    AddRatio("copy+seal 64 KB frame / memcpy", "BM_SealFrame/65536", "BM_Memcpy/65536");
    AddRatio("copy+seal 262,124 B frame / memcpy", "BM_SealFrame/262124", "BM_Memcpy/262124");
    // Build and seal in one pass, as the fan-out does.
    AddRatio("build-sealed 2.5 KB frame / memcpy", "BM_BuildSealedFrame/2560", "BM_Memcpy/2560");
    AddRatio("build-sealed 64 KB frame / memcpy", "BM_BuildSealedFrame/65536", "BM_Memcpy/65536", 2.0);
    AddRatio("build-sealed 262,124 B frame / memcpy", "BM_BuildSealedFrame/262124", "BM_Memcpy/262124");
    // With the session key expanded once, as the fan-out seals frames.
    AddRatio("build-sealed, expanded key, 2.5 KB frame / memcpy", "BM_BuildSealedFrameExpanded/2560", "BM_Memcpy/2560");
    AddRatio("build-sealed, expanded key, 64 KB frame / memcpy", "BM_BuildSealedFrameExpanded/65536",
             "BM_Memcpy/65536", 2.0);
    AddRatio("one AES block / memcpy of 16 B", "BM_AesBlock", "BM_Memcpy/16");
    AddRatio("one AES block, key expanded beforehand / memcpy of 16 B", "BM_AesBlockExpanded", "BM_Memcpy/16");
    return benchsupport::RunWithRatios(argc, argv);
}
