#include "platform/posix/Detached.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform::posix {
namespace {

// argv as the exec calls take it; the strings stay owned by `args`.
std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

// The middle process ends at once, so no zombie stays behind; with
// reportStatus the watcher writes the program's exit status to a pipe.
DetachedStart StartDetached(std::vector<std::string> args, bool reportStatus, uint32_t waitMs) {
    DetachedStart result;
    if (args.empty()) {
        result.nErrno = ENOENT;
        return result;
    }
    std::vector<char*> argv = Argv(args);
    int execPipe[2];   // the exec's errno, or EOF when the exec succeeded
    int statusPipe[2]; // one byte: the program's exit status
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        result.nErrno = errno;
        return result;
    }
    if (pipe2(statusPipe, O_CLOEXEC) != 0) {
        result.nErrno = errno;
        close(execPipe[0]);
        close(execPipe[1]);
        return result;
    }
    const pid_t middle = fork();
    if (middle == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        close(execPipe[0]);
        close(statusPipe[0]);
        const pid_t watcher = fork();
        if (watcher != 0) _exit(watcher < 0 ? 1 : 0);
        const pid_t program = fork();
        if (program == 0) {
            close(statusPipe[1]);
            setsid();
            execvp(argv[0], argv.data());
            const int err = errno;
            ssize_t ignored = write(execPipe[1], &err, sizeof err);
            (void)ignored;
            _exit(127);
        }
        close(execPipe[1]);
        if (program < 0) _exit(1);
        if (reportStatus) {
            int status = 0;
            while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
            }
            if (WIFEXITED(status)) {
                const unsigned char code = static_cast<unsigned char>(WEXITSTATUS(status));
                ssize_t ignored = write(statusPipe[1], &code, 1);
                (void)ignored;
            }
        }
        _exit(0);
    }
    close(execPipe[1]);
    close(statusPipe[1]);
    if (middle < 0) {
        result.nErrno = errno;
        close(execPipe[0]);
        close(statusPipe[0]);
        return result;
    }
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t got;
    do {
        got = read(execPipe[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    close(execPipe[0]);
    if (got == static_cast<ssize_t>(sizeof err)) {
        result.nErrno = err;
    } else if (reportStatus) {
        pollfd pfd{statusPipe[0], POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            const int ready = poll(&pfd, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0) {
                unsigned char code = 0;
                if (read(statusPipe[0], &code, 1) == 1) result.nExitStatus = code;
            }
            break;
        }
    }
    close(statusPipe[0]);
    return result;
}

}  // namespace platform::posix
