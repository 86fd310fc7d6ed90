#pragma once
// Small pieces of window logic written once over the dialog-host port.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "service/app/DialogHost.h"

namespace app {

// Selects the first item of the drop-down list `id` that begins with
// `prefix` (letter case ignored), searching from the item after `startAfter`
// to the end and then from the first item round to `startAfter` itself
// (-1 searches the whole list from the first). Returns the index selected,
// or -1 when nothing matches; the selection then stays as it was.
int SelectStringPrefix(IDialogHost& host, int id, int startAfter, std::u16string_view prefix);
// The same search over a list of names; the index found or -1.
int FindStringPrefix(const std::vector<std::u16string>& items, int startAfter, std::u16string_view prefix);

// The clock's text, "%m/%d/%Y %I:%M:%S/%p" with AM or PM whatever the
// locale: 12/07/2012 01:05:09/PM.
std::u16string FormatClockText(const std::tm& local);

// `text` without white space at either end.
std::u16string TrimBlanks(std::u16string_view text);

}  // namespace app
