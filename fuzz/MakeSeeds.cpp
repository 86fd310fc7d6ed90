// Writes the seed inputs of fuzz_session_reader: the state byte, then packets
// as a viewer would send them, sealed under the fuzzed session's key, plus
// the broken framings the reader must survive.
//
//   fuzz_make_seeds DIRECTORY

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/FuzzSession.h"
#include "service/session/Aes.h"
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

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
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
