#pragma once
// The program directory: where the running executable lives, and with it the
// shared libraries and the res/ folder of the build.

#include <string>

namespace platform {

// The directory of the running executable (UTF-8) with a trailing separator
// ('/' on Linux, '\\' on Windows), or "" when it cannot be found.
std::string GetProgramDirectory();

}  // namespace platform
