#include "tests/support/TraceCapture.h"

#include "platform/Trace.h"

namespace testsupport {

CTraceCapture::CTraceCapture() : m_bWasEnabled(platform::IsTraceEnabled()) {
    platform::SetTraceSink(&CTraceCapture::Sink, this);
    platform::SetTraceEnabled(true);
}

CTraceCapture::~CTraceCapture() {
    platform::SetTraceEnabled(m_bWasEnabled);
    platform::SetTraceSink(nullptr, nullptr);
}

void CTraceCapture::Sink(const char* line, void* context) {
    auto* self = static_cast<CTraceCapture*>(context);
    std::lock_guard<std::mutex> hold(self->m_lock);
    self->m_lines.emplace_back(line);
}

std::vector<std::string> CTraceCapture::Lines() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lines;
}

bool CTraceCapture::Contains(const std::string& fragment) const {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& line : m_lines)
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

}  // namespace testsupport
