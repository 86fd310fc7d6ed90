#include "platform/StandardError.h"

#include <windows.h>

#include <cstring>

namespace platform {

void WriteStandardError(const char* text) {
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    size_t left = std::strlen(text);
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        if (!::WriteFile(err, text, chunk, &written, nullptr) || written == 0) return;
        text += written;
        left -= written;
    }
}

void WriteTraceLine(const char* line) {
    ::OutputDebugStringA(line);
    WriteStandardError(line);
}

}  // namespace platform
