#pragma once
// A program run as a child process for the lifetime of a scope: started with
// its arguments, environment, folder and output as a test needs them, waited
// for with a limit, and killed and reaped when the scope ends.

#include <sys/types.h>

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
    enum class Output { Log, Inherit, ClosedPipe };
    // ClosedPipe: a pipe whose reading end is closed at once, so that the
    // child's writes find no reader.
    Output output = Output::Log;
};

class CChildProcess {
public:
    CChildProcess(const std::string& program, std::vector<std::string> args, const ChildOptions& options = {});
    ~CChildProcess();  // kills and reaps a child that is still there
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // The exit status (128 + the signal for a signal), or -1 when it was not
    // started or did not end within `timeoutMs`.
    int Wait(uint32_t timeoutMs = 30000);
    void Signal(int signal);

private:
    pid_t m_pid = -1;
    bool m_bReaped = false;
    int m_nStatus = -1;
};

}  // namespace testsupport
