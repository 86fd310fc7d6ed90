#include "platform/SecureZero.h"

#include <string.h>

namespace platform {

void SecureZero(void* p, size_t size) { ::explicit_bzero(p, size); }

}  // namespace platform
