#pragma once
// CStatusPrinter: what the headless service shows instead of a window. The
// status line and the messages go to a stream as lines; the clock with the
// viewer count is rewritten in place once a second when the stream is a
// terminal, and elsewhere the viewer count is printed when it changes. The
// status lines and messages also go to the system's log (SystemLog.h).
//
// Threads: one (the headless front end's).

#include <cstdio>
#include <string>

#include "platform/SystemLog.h"

namespace app {

class CStatusPrinter {
public:
    // `out` receives the lines (null: nothing is written); `terminal` says
    // whether it is a terminal.
    CStatusPrinter(FILE* out, bool terminal) : m_pOut(out), m_bTerminal(terminal) {}
    // Ends the clock's line.
    ~CStatusPrinter();
    CStatusPrinter(const CStatusPrinter&) = delete;
    CStatusPrinter& operator=(const CStatusPrinter&) = delete;

    // The status line, "<label> <text>" ("Status: <text>" without a label),
    // when its text changed.
    void PrintStatus(const std::u16string& label, const std::u16string& text);
    // A message as its message box would show it: "<caption>: <text>".
    void PrintMessage(const std::u16string& caption, const std::u16string& text);
    // Once a second: the clock and the number of viewers online, with their labels.
    void ShowClock(const std::u16string& clockLabel, const std::u16string& clock, const std::u16string& onlineLabel,
                   int online);
    // One line, ending the clock's line first when it is open.
    void Print(const std::string& line);

private:
    void Log(platform::LogLevel level, const std::string& line);
    void Write(const std::string& line);

    FILE* m_pOut;
    bool m_bTerminal;
    bool m_bClockLineOpen = false;
    std::u16string m_strStatus;
    int m_nOnline = -1;
};

}  // namespace app
