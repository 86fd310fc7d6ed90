#pragma once
// Standard error as the trace writes to it: each call is one write where the
// system allows it, so that lines of different threads never interleave.

namespace platform {

void WriteStandardError(const char* text);

}  // namespace platform
