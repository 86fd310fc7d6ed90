#include "platform/Console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

// Windows raises no signal for a broken pipe; the write fails.
void IgnoreBrokenPipe() {}

void SetBinaryStandardOutput() { ::_setmode(::_fileno(stdout), _O_BINARY); }

}  // namespace platform
