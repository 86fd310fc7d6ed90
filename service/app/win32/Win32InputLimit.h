#pragma once
// How much an edit takes from the keyboard and the clipboard: at most so
// many characters, or so many bytes of UTF-8. What would go beyond is refused
// whole where it is typed or pasted (a paste is never cut unseen), with a
// beep and the rule shown under the edit. A longer text set by the window
// (a stored password) stays, and may be shortened.
//
// Threads: the window's thread only.

#include "service/app/win32/Win32Api.h"

#include <string>

namespace app::win32 {

struct InputLimit {
    enum class Measure { kNone, kCharacters, kUtf8Bytes };
    Measure eMeasure = Measure::kNone;
    int nMax = 0;
};

// Starts watching `edit` (once; later calls change the limit or the rule).
void SetInputLimit(HWND edit, InputLimit limit);
// The text shown when the edit refuses input (empty: a beep alone).
void SetInputRuleText(HWND edit, const std::u16string& rule);
// How many times the edit has refused input, and the rule it showed last.
int InputRefusals(HWND edit);

// The size of `text` in the limit's measure.
int MeasureInput(const std::u16string& text, InputLimit::Measure measure);

}  // namespace app::win32
