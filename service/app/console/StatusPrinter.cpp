#include "service/app/console/StatusPrinter.h"

#include "platform/SystemLog.h"
#include "platform/Text.h"

namespace app {

CStatusPrinter::~CStatusPrinter() {
    if (m_bClockLineOpen && m_pOut) std::fputs("\n", m_pOut);
}

void CStatusPrinter::Print(const std::string& line) {
    Log(platform::LogLevel::Information, line);
    Write(line);
}

void CStatusPrinter::Log(platform::LogLevel level, const std::string& line) {
    if (m_pOut) platform::WriteSystemLog(level, "ZELT2Service", line);
}

void CStatusPrinter::Write(const std::string& line) {
    if (!m_pOut) return;
    if (m_bClockLineOpen) {
        std::fputs("\r\033[K", m_pOut);
        m_bClockLineOpen = false;
    }
    std::fprintf(m_pOut, "%s\n", line.c_str());
    std::fflush(m_pOut);
}

void CStatusPrinter::PrintStatus(const std::u16string& label, const std::u16string& text) {
    if (text == m_strStatus) return;
    m_strStatus = text;
    Print(platform::Utf16ToUtf8(label.empty() ? u"Status: " + text : label + u" " + text));
}

void CStatusPrinter::PrintMessage(const std::u16string& caption, const std::u16string& text) {
    const std::string line = platform::Utf16ToUtf8(caption + u": " + text);
    Log(platform::LogLevel::Warning, line);
    Write(line);
}

void CStatusPrinter::ShowClock(const std::u16string& clockLabel, const std::u16string& clock,
                               const std::u16string& onlineLabel, int online) {
    const bool changed = online != m_nOnline;
    m_nOnline = online;
    if (!m_pOut) return;
    if (!m_bTerminal) {
        if (changed) Write("Viewers online: " + std::to_string(online));
        return;
    }
    const std::string line = platform::Utf16ToUtf8(clockLabel) + " " + platform::Utf16ToUtf8(clock) + "   " +
                             platform::Utf16ToUtf8(onlineLabel) + " " + std::to_string(online);
    std::fprintf(m_pOut, "\r\033[K%s", line.c_str());
    std::fflush(m_pOut);
    m_bClockLineOpen = true;
}

}  // namespace app
