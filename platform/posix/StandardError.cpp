#include "platform/StandardError.h"

#include <unistd.h>

#include <cstring>

namespace platform {

void WriteStandardError(const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void WriteTraceLine(const char* line) { WriteStandardError(line); }

}  // namespace platform
