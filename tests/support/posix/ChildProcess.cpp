#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "tests/support/Wait.h"

extern char** environ;

namespace testsupport {

namespace {

std::vector<std::string> Environment(const ChildOptions& options) {
    std::vector<std::string> env;
    if (options.inheritEnvironment) {
        for (char** e = environ; *e; ++e) {
            bool replaced = false;
            for (const auto& extra : options.environment) {
                const size_t name = extra.find('=');
                if (name != std::string::npos && std::strncmp(*e, extra.c_str(), name + 1) == 0) replaced = true;
            }
            if (!replaced) env.emplace_back(*e);
        }
    }
    env.insert(env.end(), options.environment.begin(), options.environment.end());
    return env;
}

}  // namespace

CChildProcess::CChildProcess(const std::string& program, std::vector<std::string> args, const ChildOptions& options) {
    args.insert(args.begin(), program);
    std::vector<std::string> env = Environment(options);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const bool piped =
        options.output == ChildOptions::Output::ClosedPipe || options.output == ChildOptions::Output::Pipe;
    int pipeEnds[2] = {-1, -1};
    if (piped && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workDir.c_str());
    if (!options.log.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    if (piped)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    else if (options.output == ChildOptions::Output::Log && !options.log.empty())
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t pid = -1;
    m_bStarted = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
    if (m_bStarted) m_nProcess = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[1]);
        if (options.output == ChildOptions::Output::Pipe && m_bStarted)
            m_nOutput = pipeEnds[0];
        else
            ::close(pipeEnds[0]);
    }
}

CChildProcess::~CChildProcess() {
    if (m_nOutput >= 0) ::close(static_cast<int>(m_nOutput));
    if (!m_bStarted || m_bReaped) return;
    ::kill(static_cast<pid_t>(m_nProcess), SIGKILL);
    ::waitpid(static_cast<pid_t>(m_nProcess), nullptr, 0);
}

int CChildProcess::Wait(uint32_t timeoutMs) {
    if (!m_bStarted) return -1;
    if (!m_bReaped) {
        const pid_t pid = static_cast<pid_t>(m_nProcess);
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) return -1;
        m_bReaped = true;
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_nStatus;
}

void CChildProcess::Signal(int signal) {
    if (m_bStarted && !m_bReaped) ::kill(static_cast<pid_t>(m_nProcess), signal);
}

void CChildProcess::Kill() { Signal(SIGKILL); }

void CChildProcess::Freeze() { Signal(SIGSTOP); }

std::string CChildProcess::ReadLine(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t eol = m_output.find('\n');
        if (eol != std::string::npos) {
            std::string line = m_output.substr(0, eol);
            m_output.erase(0, eol + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_nOutput < 0) return "";
        pollfd p{static_cast<int>(m_nOutput), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[256];
        const ssize_t n = ::read(static_cast<int>(m_nOutput), chunk, sizeof chunk);
        if (n <= 0) return "";
        m_output.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace testsupport
