#include "platform/SecureZero.h"

#include <windows.h>

namespace platform {

void SecureZero(void* p, size_t size) { ::SecureZeroMemory(p, size); }

}  // namespace platform
