#pragma once
// Starting a program that lives on its own: nobody waits for it, and it
// leaves no zombie behind.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::posix {

struct DetachedStart {
    int nErrno = 0;                  // why the program could not be started; 0 when it was
    std::optional<int> nExitStatus;  // empty: still running, killed, or not asked for
};

// Runs `args` (args[0] found on PATH) in a grandchild of this process. With
// `reportStatus` the program is watched by a third process, and its exit
// status is returned when it comes within `waitMs`.
DetachedStart StartDetached(std::vector<std::string> args, bool reportStatus, uint32_t waitMs);

}  // namespace platform::posix
