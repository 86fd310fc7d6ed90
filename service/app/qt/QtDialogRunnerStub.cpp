// A build without the Qt window: the program says so and ends; the headless
// mode is the way to run the service.

#include <cstdio>

#include "platform/Text.h"
#include "service/app/ServiceDlg.h"
#include "service/app/qt/QtDialogRunner.h"

namespace app {

int RunQtDialog(CServiceDlg&, int, char**) {
    std::fprintf(stderr,
                 "ZELT2Service: this build has no window. Run the service without a display with\n"
                 "  ZELT2Service --headless [--did DID] [--password TEXT] [--camera NAME]\n");
    return 8;
}

void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int, char**) {
    std::fprintf(stderr, "%s: %s\n", platform::Utf16ToUtf8(caption).c_str(), platform::Utf16ToUtf8(text).c_str());
}

}  // namespace app
