#pragma once
// A program run as a child process for the lifetime of a scope: started with
// its arguments, environment, folder and output as a test needs them, waited
// for with a limit, and killed and reaped when the scope ends. posix/ starts
// it with posix_spawn, win32/ with CreateProcessW.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct ChildOptions {
    // NAME=value entries added to the inherited environment (replacing the
    // same names there), or, without `inheritEnvironment`, the whole of it.
    std::vector<std::string> environment;
    bool inheritEnvironment = true;
    std::string workDir;  // empty: this process's folder
    // Standard error goes to `log` (created or truncated) when it is given;
    // standard output goes where `output` says.
    std::string log;
    // ClosedPipe: a pipe whose reading end is closed at once, so that the
    // child's writes find no reader. Pipe: a pipe the test reads with ReadLine.
    enum class Output { Log, Inherit, ClosedPipe, Pipe };
    Output output = Output::Log;
};

class CChildProcess {
public:
    CChildProcess(const std::string& program, std::vector<std::string> args, const ChildOptions& options = {});
    ~CChildProcess();  // kills and reaps a child that is still there
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_bStarted; }
    // The exit status (128 + the signal for a signal, 137 after Kill), or -1
    // when it was not started or did not end within `timeoutMs`.
    int Wait(uint32_t timeoutMs = 30000);
    // Ends the child at once, as a crash would: it cleans nothing up, and the
    // system closes what it held open (its connections end).
    void Kill();
    // Stops every thread of the child without ending it: its connections stay
    // open and fall silent, as a hung machine's would.
    void Freeze();
    // The next line of the child's standard output (Output::Pipe), without
    // its line end; "" after `timeoutMs` or once the output has ended.
    std::string ReadLine(uint32_t timeoutMs);
    // Sends a POSIX signal (SIGTERM, SIGHUP, ...); POSIX systems only.
    void Signal(int signal);

private:
    bool m_bStarted = false;
    intptr_t m_nProcess = -1;  // the process id, or the process's handle
    intptr_t m_nOutput = -1;   // the reading end of Output::Pipe, or -1
    bool m_bReaped = false;
    int m_nStatus = -1;
    std::string m_output;  // read from the pipe, not yet handed out as lines
};

}  // namespace testsupport
