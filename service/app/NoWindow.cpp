// A build without a window: the program says so and ends; the headless mode
// is the way to run the service.

#include <cstdio>

#include "platform/Text.h"
#include "service/app/ServiceApp.h"
#include "service/app/WindowFrontEnd.h"

namespace app {

int RunServiceWindow(const ControllerConfig&, const std::string&, int, char**) {
    std::fprintf(stderr,
                 "ZELT2Service: the window is not available in this build. Run the service without a window with\n"
                 "  ZELT2Service --headless [--did DID] [--password TEXT] [--camera NAME]\n");
    return kExitNoWindow;
}

void ShowStartupMessage(const std::u16string& text, const std::u16string& caption, int, char**) {
    std::fprintf(stderr, "%s: %s\n", platform::Utf16ToUtf8(caption).c_str(), platform::Utf16ToUtf8(text).c_str());
}

}  // namespace app
