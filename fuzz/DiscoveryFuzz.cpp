// Whatever arrives on the discovery port: the parser must accept exactly the
// datagrams the wire rules describe (written out plainly below), and what it
// accepts must come back the same from the answer's writer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/Wire.h"

namespace {

bool IsDidByte(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

// 14 to 64 bytes: "ZLTD", a version of at least 1, type 1 or 2, nonce, port,
// flags, a DID of 1 to 20 allowed bytes; bytes after the DID are ignored.
bool Acceptable(const uint8_t* p, size_t n) {
    if (n < 14 || n > 64 || std::memcmp(p, "ZLTD", 4) != 0 || p[4] == 0) return false;
    if (p[5] != 1 && p[5] != 2) return false;
    const size_t didLength = p[13];
    if (didLength < 1 || didLength > 20 || 14 + didLength > n) return false;
    for (size_t i = 0; i < didLength; ++i)
        if (!IsDidByte(p[14 + i])) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pppp::Datagram d;
    const bool parsed = pppp::ParseDatagram(data, size, &d);
    if (parsed != Acceptable(data, size)) std::abort();
    if (!parsed) return 0;
    uint8_t out[pppp::kMaxDatagram];
    const size_t n = pppp::MakeDatagram(out, d);
    pppp::Datagram back;
    if (n > pppp::kMaxDatagram || !pppp::ParseDatagram(out, n, &back)) std::abort();
    if (back.type != d.type || back.nonce != d.nonce || back.port != d.port || back.flags != d.flags ||
        back.did != d.did)
        std::abort();
    // What was read is what was sent, up to the end of the DID.
    if (std::memcmp(out + 5, data + 5, n - 5) != 0) std::abort();
    return 0;
}
