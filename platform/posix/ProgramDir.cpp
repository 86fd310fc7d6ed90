#include "platform/ProgramDir.h"

#include <unistd.h>

#include <vector>

namespace platform {

std::string GetProgramDirectory() {
    std::vector<char> path(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return "";
        if (static_cast<size_t>(n) < path.size()) {
            std::string exe(path.data(), static_cast<size_t>(n));
            const size_t slash = exe.rfind('/');
            return slash == std::string::npos ? "" : exe.substr(0, slash + 1);
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace platform
