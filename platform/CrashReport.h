#pragma once
// The crash report: when the process faults (a bad memory access, an illegal
// instruction, an arithmetic fault, an abort), a handler writes a report file
// into the current working directory and then lets the fault end the process
// as it would have without the handler. On POSIX systems the report is text
// (the signal, the faulting address, the thread, a backtrace and the
// process's memory map), written with async-signal-safe calls only and, on
// the thread that installs the handler, on a stack of its own, so a stack
// overflow there is reported too.

namespace platform {

// Installs the handler for the faults above (SIGSEGV, SIGBUS, SIGILL, SIGFPE
// and SIGABRT on POSIX systems); the report goes to `fileName` (relative
// names land in the working directory at the time of the crash), which must
// stay valid for the process's life. False when a handler cannot be installed.
bool InstallCrashReport(const char* fileName);

}  // namespace platform
