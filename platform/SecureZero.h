#pragma once
// Clears memory that held secrets, in a way the optimiser may not remove.

#include <cstddef>

namespace platform {

void SecureZero(void* p, size_t size);

}  // namespace platform
