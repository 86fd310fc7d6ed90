#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace platform {

bool SecureRandomBytes(void* buffer, size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        // Blocks only until the kernel's pool is first initialised at boot.
        const ssize_t n = ::getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace platform
