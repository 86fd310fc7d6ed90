#include "platform/Console.h"

#include <csignal>

namespace platform {

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

void SetBinaryStandardOutput() {}

}  // namespace platform
