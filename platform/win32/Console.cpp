#include "platform/Console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

namespace platform {
namespace {

std::atomic<void (*)()> g_pfnStop{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    void (*stop)() = g_pfnStop.load();
    if (!stop) return FALSE;
    stop();
    // After the console closes, or at logoff or shutdown, the system ends the
    // process as soon as this returns: give the program time to stop and save.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(4000);
    return TRUE;
}

}  // namespace

// Windows raises no signal for a broken pipe; the write fails.
void IgnoreBrokenPipe() {}

void SetBinaryStandardOutput() { ::_setmode(::_fileno(stdout), _O_BINARY); }

void HandleStopRequests(void (*onStop)(), void (*)()) {
    g_pfnStop.store(onStop);
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

}  // namespace platform
