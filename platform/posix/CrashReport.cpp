#include "platform/CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace platform {
namespace {

const char* g_pszFileName = nullptr;

void Put(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void PutNumber(int fd, uint64_t value, unsigned base) {
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    char text[36];
    int i = 0;
    if (base == 16) {
        text[i++] = '0';
        text[i++] = 'x';
    }
    while (n > 0) text[i++] = digits[--n];
    text[i] = '\0';
    Put(fd, text);
}

const char* SignalName(int signal) {
    switch (signal) {
    case SIGSEGV: return "SIGSEGV (invalid memory access)";
    case SIGBUS: return "SIGBUS (bus error)";
    case SIGILL: return "SIGILL (illegal instruction)";
    case SIGFPE: return "SIGFPE (arithmetic fault)";
    case SIGABRT: return "SIGABRT (abort)";
    default: return "signal";
    }
}

void OnCrash(int signal, siginfo_t* info, void*) {
    const int fd = ::open(g_pszFileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        Put(fd, "Crash report\nsignal: ");
        PutNumber(fd, static_cast<uint64_t>(signal), 10);
        Put(fd, " ");
        Put(fd, SignalName(signal));
        Put(fd, "\naddress: ");
        PutNumber(fd, reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr), 16);
        Put(fd, "\nprocess: ");
        PutNumber(fd, static_cast<uint64_t>(::getpid()), 10);
        Put(fd, "\nthread: ");
        PutNumber(fd, static_cast<uint64_t>(::syscall(SYS_gettid)), 10);
        Put(fd, "\nbacktrace:\n");
        void* frames[64];
        const int count = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, count, fd);
        Put(fd, "memory map:\n");
        const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
        if (maps >= 0) {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(maps, buffer, sizeof buffer)) > 0) {
                if (::write(fd, buffer, static_cast<size_t>(n)) != n) break;
            }
            ::close(maps);
        }
        ::close(fd);
    }
    // End as the signal would have ended the process without the handler.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigemptyset(&dfl.sa_mask);
    ::sigaction(signal, &dfl, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

}  // namespace

bool InstallCrashReport(const char* fileName) {
    g_pszFileName = fileName;
    // The first backtrace loads what it needs; do it now, not in the handler.
    void* warm[2];
    ::backtrace(warm, 2);
    static char* s_altStack = nullptr;
    if (!s_altStack) {
        const size_t size = 64 * 1024;
        s_altStack = static_cast<char*>(std::malloc(size));
        if (s_altStack) {
            stack_t ss{};
            ss.ss_sp = s_altStack;
            ss.ss_size = size;
            ::sigaltstack(&ss, nullptr);
        }
    }
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    ::sigemptyset(&action.sa_mask);
    bool ok = true;
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

}  // namespace platform
