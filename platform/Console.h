#pragma once
// The standard streams of a command-line program.

namespace platform {

// Writing to a pipe whose reader has gone fails with an error the program
// reports, instead of ending the process (SIGPIPE on POSIX systems).
void IgnoreBrokenPipe();

// Standard output carries bytes as they are written (on Windows it would
// otherwise turn each "\n" into "\r\n"), for programs that write video to it.
void SetBinaryStandardOutput();

// A console program's requests from outside: `onStop` for Ctrl+C and for
// being asked to end (SIGINT and SIGTERM; on Windows also Ctrl+Break, the
// console window closing, logoff and shutdown), `onReload` for being asked to
// read its configuration again (SIGHUP; Windows has no such request). They
// run in a signal handler or on a system thread: they may only set a flag.
void HandleStopRequests(void (*onStop)(), void (*onReload)());

}  // namespace platform
