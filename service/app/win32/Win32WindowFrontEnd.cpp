// The Win32 window as the service's window: the window logic over the dialog
// host of the program's own resource script.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/Text.h"
#include "service/app/AboutDlg.h"
#include "service/app/LangTableTexts.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceDlg.h"
#include "service/app/WindowFrontEnd.h"
#include "service/app/win32/Win32DialogHost.h"
#include "transport/PPPP_API.h"

namespace app {
namespace {

// Started from the Start menu or Explorer, the program's console is its own
// and shows as an empty black window beside ours: it goes. Started from a
// command prompt, the console is shared and stays.
void LeaveOwnConsole() {
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) == 1) ::FreeConsole();
}

}  // namespace

int RunServiceWindow(const ControllerConfig& config, const std::string& strModuleDir, int, char**) {
    CServiceDlg dialog(config, strModuleDir);
    win32::CWin32DialogHost host(dialog);
    if (!host.Created()) {
        std::fprintf(stderr,
                     "ZELT2Service: the window cannot be made on this desktop.\n"
                     "To serve without a window: ZELT2Service --headless\n");
        return kExitNoWindow;
    }
    dialog.AttachHost(host);
    host.SetAboutSource([&dialog] {
        const CLangTableTexts pack(dialog.LangTable());
        return CAboutDlg(&pack, dialog.Version(), [] { return PPPP_GetAPIVersion(); }).OnInitDialog();
    });
    LeaveOwnConsole();
    host.Run();
    return kExitDone;
}

void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int, char**) {
    std::fprintf(stderr, "%s: %s\n", platform::Utf16ToUtf8(caption).c_str(), platform::Utf16ToUtf8(text).c_str());
    ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()),
                  reinterpret_cast<const wchar_t*>(caption.c_str()), MB_OK | MB_ICONINFORMATION);
}

}  // namespace app
