#include "platform/ProgramDir.h"

#include <windows.h>

#include <vector>

#include "platform/Text.h"

namespace platform {

std::string GetProgramDirectory() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "";
        if (n < path.size()) {
            std::u16string exe(reinterpret_cast<const char16_t*>(path.data()), n);
            const size_t slash = exe.find_last_of(u"\\/");
            return slash == std::u16string::npos ? "" : Utf16ToUtf8(exe.substr(0, slash + 1));
        }
        // Long paths (\\?\ prefixed) can exceed MAX_PATH.
        if (path.size() >= 32768) return "";
        path.resize(path.size() * 2);
    }
}

}  // namespace platform
