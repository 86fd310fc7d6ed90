// Writes the session protocol's reference packets as JSON, made by the C++
// side, for the browser viewer's tests: password keys, a login, sealed
// packets in both directions. With --check FILE it compares its output with
// FILE instead and fails when they differ, so the committed fixtures cannot
// drift from the C++ code.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "wire/Aes.h"
#include "wire/Sealing.h"
#include "wire/SessionPacket.h"

namespace {

using namespace wire;

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string Hex(const std::string& s) { return Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string Hex(const std::vector<uint8_t>& v) { return Hex(v.data(), v.size()); }

std::vector<uint8_t> Pattern(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(start + i * 7);
    return v;
}

std::string Sealed(CPacketSealer& sealer, const uint8_t* key, const PacketFields& f, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(kPacketOverhead + payload.size());
    const uint8_t seed = sealer.Scramble();
    const size_t n = BuildPacket(out.data(), out.size(), f, payload.data(), static_cast<uint32_t>(payload.size()));
    sealer.SealPacket(key, out.data(), n);
    std::ostringstream o;
    o << "{\"kind\": " << int(f.kind) << ", \"command\": " << f.command << ", \"viewerCount\": " << int(f.viewerCount)
      << ", \"deltaFrame\": " << int(f.deltaFrame) << ", \"timestampMs\": " << f.timestampMs << ", \"seed\": " << int(seed)
      << ", \"payload\": \"" << Hex(payload) << "\", \"packet\": \"" << Hex(out.data(), n) << "\"}";
    return o.str();
}

std::string Make() {
    std::ostringstream o;
    o << "{\n  \"passwords\": [\n";
    const char* passwords[] = {"", "secret", "0123456789abcdefXYZ", "exactly-twenty-three-by",
                               "\xc3\x84\xc3\x96\xc3\x9c\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f\xc3\x84\xc3\x96\xc3\x9c\xc3\xa4\xc3\xb6",
                               "ab\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80\xf0\x9f\x98\x80"};
    bool first = true;
    for (const char* pw : passwords) {
        uint8_t buffer[kPasswordBufferSize];
        MakePasswordBuffer(platform::Utf8ToUtf16(pw), buffer);
        o << (first ? "" : ",\n") << "    {\"utf8\": \"" << Hex(pw) << "\", \"key\": \"" << Hex(buffer, kKeySize) << "\"}";
        first = false;
    }
    o << "\n  ],\n";

    // A login under "camera-pass": the challenge, the viewer's answer, the session key and how it travels.
    uint8_t pwBuffer[kPasswordBufferSize];
    MakePasswordBuffer(u"camera-pass", pwBuffer);
    const std::vector<uint8_t> challenge = Pattern(16, 0x31);
    const std::vector<uint8_t> sessionKey = Pattern(16, 0xA0);
    uint8_t response[16], keyPayload[16];
    AesEncryptBlock(128, challenge.data(), 16, pwBuffer, kPasswordBufferSize, response);
    AesEncryptBlock(128, sessionKey.data(), 16, pwBuffer, kPasswordBufferSize, keyPayload);
    uint8_t responsePacket[kPacketOverhead + 16];
    PacketFields auth;
    auth.kind = KindPlain;
    auth.command = CmdAuthResponse;
    BuildPacket(responsePacket, sizeof responsePacket, auth, response, 16);
    o << "  \"login\": {\"password\": \"camera-pass\", \"challenge\": \"" << Hex(challenge) << "\", \"authResponse\": \""
      << Hex(responsePacket, sizeof responsePacket) << "\", \"sessionKey\": \"" << Hex(sessionKey)
      << "\", \"acceptedPayload\": \"" << Hex(keyPayload, 16) << "\"},\n";

    // Packets sealed under the session key, from one rolling sealer, in this order.
    CPacketSealer sealer;
    sealer.Seed(0x5C);
    std::vector<std::string> sealed;
    PacketFields frame;
    frame.kind = KindSealed32;
    frame.command = CmdVideoFrame;
    frame.viewerCount = 3;
    frame.deltaFrame = 0;
    frame.timestampMs = 123456;
    std::vector<uint8_t> keyFrame = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28};
    const std::vector<uint8_t> rest = Pattern(300, 9);
    keyFrame.insert(keyFrame.end(), rest.begin(), rest.end());
    sealed.push_back(Sealed(sealer, sessionKey.data(), frame, keyFrame));
    frame.deltaFrame = 1;
    frame.timestampMs = 123489;
    sealed.push_back(Sealed(sealer, sessionKey.data(), frame, Pattern(40, 0x77)));
    PacketFields mode;
    mode.kind = KindSealed16;
    mode.command = CmdModeReport;
    sealed.push_back(Sealed(sealer, sessionKey.data(), mode, {2, 0, 0, 0}));
    PacketFields start;
    start.kind = KindSealed16;
    start.command = CmdVideoStart;
    sealed.push_back(Sealed(sealer, sessionKey.data(), start, {3, 0, 0, 0, 0, 0, 0, 0}));
    sealed.push_back(Sealed(sealer, sessionKey.data(), start, {}));
    PacketFields stop;
    stop.kind = KindSealed16;
    stop.command = CmdVideoStop;
    sealed.push_back(Sealed(sealer, sessionKey.data(), stop, {}));
    o << "  \"sealed\": [\n";
    for (size_t i = 0; i < sealed.size(); ++i) o << "    " << sealed[i] << (i + 1 < sealed.size() ? ",\n" : "\n");
    o << "  ]\n}\n";
    return o.str();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string json = Make();
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        std::ifstream in(argv[2], std::ios::binary);
        std::stringstream committed;
        committed << in.rdbuf();
        if (committed.str() != json) {
            std::fprintf(stderr, "%s differs from what the C++ side makes now; regenerate it with %s > %s\n",
                         argv[2], argv[0], argv[2]);
            return 1;
        }
        return 0;
    }
    std::fwrite(json.data(), 1, json.size(), stdout);
    return 0;
}
