// The viewer's opening of whatever a device (or anyone posing as one) sends.
// The first input byte chooses the channel (bit 0) and whether the session
// key is known yet (bit 1 clear); the second is the header's kind; the rest is
// the body. What opens must describe bytes inside the body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/ViewerOpenFuzz.h"
#include "wire/Aes.h"

using namespace session;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static CViewerProtocol keyed(fuzzviewer::kPassword);
    static const bool ready = (fuzzviewer::LogIn(keyed), true);
    (void)ready;
    static CViewerProtocol fresh(fuzzviewer::kPassword);
    const uint8_t channel = data[0] & 1;
    const CViewerProtocol& viewer = (data[0] & 2) ? fresh : keyed;
    std::vector<uint8_t> body(data + 2, data + size);
    ServerMessage m;
    const int r = viewer.Open(channel, data[1], body.data(), static_cast<uint32_t>(body.size()), m);
    if (r != kOpenOk) return 0;
    if (m.payloadLength > 0) {
        if (!m.payload || m.payload < body.data() || m.payload + m.payloadLength > body.data() + body.size())
            std::abort();
        volatile uint8_t sum = 0;
        for (uint32_t i = 0; i < m.payloadLength; ++i) sum = static_cast<uint8_t>(sum + m.payload[i]);
    }
    return 0;
}
