#pragma once
// Captures debug-trace lines for the lifetime of a scope.

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class CTraceCapture {
public:
    CTraceCapture();
    ~CTraceCapture();
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Contains(const std::string& fragment) const;

private:
    static void Sink(const char* line, void* context);
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
    bool m_bWasEnabled;
};

}  // namespace testsupport
