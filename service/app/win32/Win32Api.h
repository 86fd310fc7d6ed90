#pragma once
// The system's headers as this host uses them. Their MessageBox is a macro
// that would rename IDialogHost::MessageBox wherever both are seen; the host
// calls MessageBoxW by its own name.

#include <windows.h>
// These need windows.h first.
#include <commctrl.h>
#include <shellapi.h>

#undef MessageBox
