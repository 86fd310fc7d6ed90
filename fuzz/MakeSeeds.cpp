// Writes the seed inputs of fuzz_session_reader: the state byte, then packets
// as a viewer would send them, sealed under the fuzzed session's key, plus
// the broken framings the reader must survive. With "viewer_open", the seeds
// of fuzz_viewer_open: what a device sends, sealed under that target's key.
//
//   fuzz_make_seeds DIRECTORY [viewer_open]

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/FuzzSession.h"
#include "fuzz/ViewerOpenFuzz.h"
#include "wire/Aes.h"
#include "viewer/ViewerProtocol.h"

using namespace session;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes Packet(CViewerProtocol& v, int which, uint32_t value = 0) {
    uint8_t p[128];
    size_t n = 0;
    switch (which) {
        case 0: n = v.BuildAuthResponse(fuzzsession::kChallenge, 16, p, sizeof p); break;
        case 1: n = v.BuildVideoStart(value, p, sizeof p); break;
        case 2: n = v.BuildVideoStart(std::nullopt, p, sizeof p); break;
        case 3: n = v.BuildVideoStop(p, sizeof p); break;
        case 4: n = v.BuildMarkSet(p, sizeof p); break;
        case 5: n = v.BuildMarkClear(p, sizeof p); break;
        case 6: n = v.BuildCommand(static_cast<uint16_t>(value), nullptr, 0, p, sizeof p); break;
    }
    return Bytes(p, p + n);
}

Bytes Raw(uint32_t bodyLength, uint8_t kind, size_t bytesFollowing) {
    Bytes p(4 + bytesFollowing, 0x41);
    StoreU32(p.data(), bodyLength);
    p[3] = kind;
    return p;
}

void Write(const std::string& dir, int n, uint8_t flags, const std::vector<Bytes>& packets) {
    Bytes all{flags};
    for (const Bytes& p : packets) all.insert(all.end(), p.begin(), p.end());
    const std::string path = dir + "/seed-" + std::to_string(n);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(all.data(), 1, all.size(), f) != all.size()) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    if (f) std::fclose(f);
}

}  // namespace

// A device's message as fuzz_viewer_open takes it: flags, kind, body.
Bytes DeviceMessage(uint8_t flags, uint8_t kind, uint16_t command, const Bytes& payload, bool seal, uint8_t delta = 0) {
    PacketFields fields;
    fields.kind = kind;
    fields.command = command;
    fields.deltaFrame = delta;
    fields.viewerCount = 2;
    fields.timestampMs = 40;
    Bytes packet(kPacketOverhead + payload.size());
    BuildPacket(packet.data(), packet.size(), fields, payload.data(), static_cast<uint32_t>(payload.size()));
    static CPacketSealer sealer;
    if (seal) sealer.SealPacket(fuzzviewer::kSessionKey, packet.data(), packet.size());
    Bytes input{flags, kind};
    input.insert(input.end(), packet.begin() + kHeaderSize, packet.end());
    return input;
}

int WriteViewerOpenSeeds(const std::string& dir) {
    uint8_t password[kPasswordBufferSize], wrapped[16];
    MakePasswordBuffer(fuzzviewer::kPassword, password);
    AesEncryptBlock(128, fuzzviewer::kSessionKey, 16, password, kPasswordBufferSize, wrapped);
    Bytes frame(300, 0x33);
    const uint8_t key[] = {0, 0, 0, 1, 0x67, 0x64};
    std::copy(key, key + 6, frame.begin());
    const Bytes seeds[] = {
        DeviceMessage(0, KindPlain, CmdChallenge, Bytes(16, 0x42), false),
        DeviceMessage(2, KindPlain, CmdAuthAccepted, Bytes(wrapped, wrapped + 16), false),
        DeviceMessage(0, KindPlain, CmdAuthRefused, {}, false),
        DeviceMessage(0, KindSealed16, CmdModeReport, {2, 0, 0, 0}, true),
        DeviceMessage(1, KindSealed32, CmdVideoFrame, frame, true),
        DeviceMessage(1, KindSealed32, CmdVideoFrame, Bytes(40, 0x21), true, 1),
        DeviceMessage(3, KindSealed32, CmdVideoFrame, Bytes(8, 0), true),
        Bytes{1, KindSealed32, 0, 1, 2},
    };
    int n = 0;
    for (const Bytes& seed : seeds) {
        const std::string path = dir + "/seed-" + std::to_string(++n);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(seed.data(), 1, seed.size(), f) != seed.size()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            if (f) std::fclose(f);
            return 1;
        }
        std::fclose(f);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2 && !(argc == 3 && std::string(argv[2]) == "viewer_open")) {
        std::fprintf(stderr, "usage: fuzz_make_seeds DIRECTORY [viewer_open]\n");
        return 2;
    }
    const std::string dir = argv[1];
    if (argc == 3) return WriteViewerOpenSeeds(dir);
    CViewerProtocol viewer(fuzzsession::kPassword);
    uint8_t password[kPasswordBufferSize], wrapped[16];
    MakePasswordBuffer(fuzzsession::kPassword, password);
    AesEncryptBlock(128, fuzzsession::kSessionKey, 16, password, kPasswordBufferSize, wrapped);
    viewer.AcceptSessionKey(wrapped, 16);
    CViewerProtocol stranger(u"wrong");
    stranger.AcceptSessionKey(fuzzsession::kSessionKey, 16);

    Write(dir, 1, 0, {Packet(viewer, 0), Packet(viewer, 1, 2), Packet(viewer, 4), Packet(viewer, 5), Packet(viewer, 3)});
    Write(dir, 2, 1, {Packet(viewer, 2), Packet(viewer, 1, 3), Packet(viewer, 1, 9), Packet(viewer, 6, 9)});
    Write(dir, 3, 0, {Packet(stranger, 0), Packet(viewer, 1, 1), Packet(viewer, 0), Packet(viewer, 0)});
    Write(dir, 4, 3, {Raw(0, KindSealed16, 0)});
    Write(dir, 5, 1, {Packet(viewer, 4), Raw(1025, KindSealed16, 1025)});
    Write(dir, 6, 1, {Raw(16, 0, 16), Raw(16, 5, 16), Raw(16, KindSealed32Alt, 16), Raw(1024, KindSealed32, 1024)});
    Write(dir, 7, 0, {Packet(viewer, 0), Raw(40, KindSealed16, 10)});
    Write(dir, 8, 2, {Packet(stranger, 1, 2), Packet(viewer, 3), Packet(viewer, 2)});
    return 0;
}
