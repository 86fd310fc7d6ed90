#include "platform/SystemLog.h"

#include <windows.h>

#include "platform/Text.h"
#include "platform/win32/EventMessages.h"

namespace platform {

void WriteSystemLog(LogLevel level, const char* program, const std::string& text) {
    const std::u16string source = Utf8ToUtf16(program);
    HANDLE log = ::RegisterEventSourceW(nullptr, reinterpret_cast<const wchar_t*>(source.c_str()));
    if (!log) return;
    const std::u16string message = Utf8ToUtf16(text);
    const wchar_t* strings[] = {reinterpret_cast<const wchar_t*>(message.c_str())};
    const WORD type = level == LogLevel::Error     ? EVENTLOG_ERROR_TYPE
                      : level == LogLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    // The message names the one string as the whole text, so the event log
    // shows the entry's words where the program's message file is registered.
    ::ReportEventW(log, type, 0, win32::kEventTextMessage, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
}

}  // namespace platform
