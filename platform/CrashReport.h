#pragma once
// The crash report: when the process faults (a bad memory access, an illegal
// instruction, an arithmetic fault, an abort), a handler writes a report file
// into the current working directory, with the signal, the faulting address,
// the thread, a backtrace and the process's memory map, and then lets the
// signal end the process as it would have without the handler.
//
// The handler uses only async-signal-safe calls; on the thread that installs
// it, it runs on a stack of its own, so a stack overflow there is reported too.

namespace platform {

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT; the
// report goes to `fileName` (relative names land in the working directory
// at the time of the crash), which must stay valid for the process's life.
// False when a handler cannot be installed.
bool InstallCrashReport(const char* fileName);

}  // namespace platform
