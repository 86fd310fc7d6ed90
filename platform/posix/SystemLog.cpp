#include "platform/SystemLog.h"

namespace platform {

void WriteSystemLog(LogLevel, const char*, const std::string&) {}

}  // namespace platform
