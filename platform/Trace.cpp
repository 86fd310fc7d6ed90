#include "platform/Trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/StandardError.h"

namespace platform {
namespace {

enum : int { kUnknown = -1, kOff = 0, kOn = 1 };
std::atomic<int> g_nEnabled{kUnknown};

std::mutex g_sinkLock;
TraceSink g_pSink = nullptr;
void* g_pSinkContext = nullptr;

void Emit(const char* prefix, const char* format, va_list args) {
    char line[1024];
    int used = prefix ? std::snprintf(line, sizeof line, "  %s()] ", prefix) : 0;
    if (used < 0) used = 0;
    if (static_cast<size_t>(used) < sizeof line) {
        std::vsnprintf(line + used, sizeof line - used, format, args);
    }
    // A line cut at the buffer's end still ends the line.
    const size_t len = std::strlen(line);
    if (len == 0 || line[len - 1] != '\n') {
        if (len + 1 < sizeof line) {
            line[len] = '\n';
            line[len + 1] = '\0';
        } else {
            line[sizeof line - 2] = '\n';
        }
    }
    std::lock_guard<std::mutex> hold(g_sinkLock);
    if (g_pSink) {
        g_pSink(line, g_pSinkContext);
    } else {
        WriteTraceLine(line);
    }
}

}  // namespace

bool IsTraceEnabled() {
    int state = g_nEnabled.load(std::memory_order_relaxed);
    if (state == kUnknown) {
        const char* value = std::getenv("ZELT2_TRACE");
        state = (value && *value && std::strcmp(value, "0") != 0) ? kOn : kOff;
        int expected = kUnknown;
        g_nEnabled.compare_exchange_strong(expected, state, std::memory_order_relaxed);
        state = g_nEnabled.load(std::memory_order_relaxed);
    }
    return state == kOn;
}

void SetTraceEnabled(bool enabled) { g_nEnabled.store(enabled ? kOn : kOff, std::memory_order_relaxed); }

void SetTraceSink(TraceSink sink, void* context) {
    std::lock_guard<std::mutex> hold(g_sinkLock);
    g_pSink = sink;
    g_pSinkContext = context;
}

void TraceFunction(const char* function, const char* format, ...) {
    if (!IsTraceEnabled()) return;
    va_list args;
    va_start(args, format);
    Emit(function, format, args);
    va_end(args);
}

void TraceRaw(const char* format, ...) {
    if (!IsTraceEnabled()) return;
    va_list args;
    va_start(args, format);
    Emit(nullptr, format, args);
    va_end(args);
}

}  // namespace platform
