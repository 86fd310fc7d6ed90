#pragma once
// The messages of EventMessages.mc, the table the event log reads the texts
// of the program's entries from.

namespace platform::win32 {

// An entry's text: its one string, whole.
inline constexpr unsigned long kEventTextMessage = 1;

}  // namespace platform::win32
