#pragma once
// The standard streams of a command-line program.

namespace platform {

// Writing to a pipe whose reader has gone fails with an error the program
// reports, instead of ending the process (SIGPIPE on POSIX systems).
void IgnoreBrokenPipe();

// Standard output carries bytes as they are written (on Windows it would
// otherwise turn each "\n" into "\r\n"), for programs that write video to it.
void SetBinaryStandardOutput();

}  // namespace platform
