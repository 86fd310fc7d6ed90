#pragma once
// Standard error as the trace writes to it: each call is one write where the
// system allows it, so that lines of different threads never interleave.

namespace platform {

void WriteStandardError(const char* text);

// Where a trace line goes when no sink is set: standard error, and on
// Windows also the debugger (OutputDebugString), where developers look there.
void WriteTraceLine(const char* line);

}  // namespace platform
