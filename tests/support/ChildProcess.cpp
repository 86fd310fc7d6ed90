#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

    int pipeEnds[2] = {-1, -1};
    if (options.output == ChildOptions::Output::ClosedPipe && ::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workDir.c_str());
    if (!options.log.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    if (options.output == ChildOptions::Output::ClosedPipe)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    else if (options.output == ChildOptions::Output::Log && !options.log.empty())
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[0] >= 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    }
}

CChildProcess::~CChildProcess() {
    if (m_pid <= 0 || m_bReaped) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

int CChildProcess::Wait(uint32_t timeoutMs) {
    if (m_pid <= 0) return -1;
    if (!m_bReaped) {
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutMs)) return -1;
        m_bReaped = true;
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_nStatus;
}

void CChildProcess::Signal(int signal) {
    if (m_pid > 0 && !m_bReaped) ::kill(m_pid, signal);
}

}  // namespace testsupport
