#pragma once
// The debug trace: diagnostics for developers, never seen by the user. Off
// unless the environment variable ZELT2_TRACE is set to something other than
// "" or "0"; then every line goes to standard error, whole, with one write.
//
//   ZTRACE("PPPP_Listen(..)=%d, m_bRunning=%d\n", r, running);
// prints "  DoListen()] PPPP_Listen(..)=-3, m_bRunning=1".

#include <cstdarg>

// The printf dialect the trace's formats are checked against: the C library's
// own, unless the build names another (a Windows build names gnu_printf, the
// dialect its C++ runtime formats by, where plain printf would mean Microsoft's).
#ifndef ZELT_PRINTF_FORMAT
#define ZELT_PRINTF_FORMAT printf
#endif

namespace platform {

bool IsTraceEnabled();

// Turns the trace on or off regardless of the environment (tests, tools).
void SetTraceEnabled(bool enabled);

// Where trace lines go; standard error unless replaced. Tests capture lines with it.
using TraceSink = void (*)(const char* line, void* context);
void SetTraceSink(TraceSink sink, void* context);

// A line prefixed with "  <function>()] ".
void TraceFunction(const char* function, const char* format, ...) __attribute__((format(ZELT_PRINTF_FORMAT, 2, 3)));
// A line as it stands, without prefix.
void TraceRaw(const char* format, ...) __attribute__((format(ZELT_PRINTF_FORMAT, 1, 2)));

}  // namespace platform

#define ZTRACE(...)                                                     \
    do {                                                                \
        if (::platform::IsTraceEnabled())                               \
            ::platform::TraceFunction(__func__, __VA_ARGS__);           \
    } while (0)
