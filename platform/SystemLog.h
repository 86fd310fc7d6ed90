#pragma once
// Where a system's administrator looks for a service's messages beside its
// own output: the Windows event log (Application, under the program's name).
// On Linux the journal already takes a service's standard error, so nothing
// more is written there.

#include <string>

namespace platform {

enum class LogLevel { Information, Warning, Error };

// One message of `program` (UTF-8); failures are ignored.
void WriteSystemLog(LogLevel level, const char* program, const std::string& text);

}  // namespace platform
