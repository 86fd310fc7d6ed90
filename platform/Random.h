#pragma once
// Cryptographically secure random bytes from the operating system.

#include <cstddef>

namespace platform {

// Fills `buffer` with `size` random bytes. Returns false (and leaves the buffer
// unspecified) only when the operating system cannot provide them.
bool SecureRandomBytes(void* buffer, size_t size);

}  // namespace platform
