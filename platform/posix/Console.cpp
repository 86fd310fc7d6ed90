#include "platform/Console.h"

#include <csignal>

namespace platform {
namespace {

void (*g_pfnStop)() = nullptr;
void (*g_pfnReload)() = nullptr;
void OnStopSignal(int) {
    if (g_pfnStop) g_pfnStop();
}
void OnReloadSignal(int) {
    if (g_pfnReload) g_pfnReload();
}

}  // namespace

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

void SetBinaryStandardOutput() {}

void HandleStopRequests(void (*onStop)(), void (*onReload)()) {
    g_pfnStop = onStop;
    g_pfnReload = onReload;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGHUP, OnReloadSignal);
}

}  // namespace platform
