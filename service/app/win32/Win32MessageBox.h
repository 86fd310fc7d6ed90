#pragma once
// A modal message box of the system whose buttons speak the window's
// language. Threads: the window's thread (the box runs its own loop).

#include "service/app/win32/Win32Api.h"

#include <string>

#include "service/app/DialogHost.h"

namespace app::win32 {

// The system's message box (`flags` as MessageBoxW takes them) over `owner`
// (may be null), its buttons relabelled with `words`; returns the id of the
// button chosen (IDOK, IDCANCEL, IDYES, IDNO).
int ShowMessageBox(HWND owner, const std::u16string& text, const std::u16string& caption, UINT flags,
                   const ButtonTexts& words);

}  // namespace app::win32
