// Whatever a viewer might send, fed to the reader of one session: header and
// body framing, the login check, unsealing and the commands. The first input
// byte sets the session's state (bit 0 logged in, bit 1 video on); the rest is
// the byte stream on the control channel, delivered in reads of the sizes the
// reader asks for until it runs out.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/FuzzSession.h"

namespace {

const uint8_t* g_pData = nullptr;
size_t g_nSize = 0;
size_t g_nPos = 0;

int Read(int, unsigned char, char* buffer, int* size, unsigned int) {
    const size_t left = g_nSize - g_nPos;
    if (left == 0 || *size <= 0) {
        *size = 0;
        return PPPP_ERR_CLOSED_BY_PEER;
    }
    const size_t n = left < static_cast<size_t>(*size) ? left : static_cast<size_t>(*size);
    std::memcpy(buffer, g_pData + g_nPos, n);
    g_nPos += n;
    const bool all = static_cast<int>(n) == *size;
    *size = static_cast<int>(n);
    return all ? PPPP_OK : PPPP_ERR_TIMEOUT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static fuzzsession::CFuzzDevice device(&Read);
    g_pData = data + 1;
    g_nSize = size - 1;
    g_nPos = 0;
    device.RunReader(data[0]);
    return 0;
}
