#include "service/app/console/Usage.h"

#include "service/app/console/UsagePlatform.h"
#include "service/camera/XuBinding.h"

namespace app {

std::string UsageText() {
    const UsagePlatform& platform = ThisUsagePlatform();
    std::string text;
    text += std::string("Usage: ") + platform.program + " [--headless [options]]\n";
    text +=
        "Serves the live video of a USB camera to ZELT2 viewers who know the device's DID\n"
        "and password. Without options it opens its window.\n"
        "\n";
    text += platform.headless;
    text += "  --did DID          the device identifier, as if typed into the window\n";
    text += platform.password;
    text +=
        "  --camera CAMERA    the camera: a position in the camera list (0, 1, ...) or the\n"
        "                     beginning of its name (default: the stored camera, else the first)\n";
    text += platform.config;
    text +=
        "  --status           tell whether a service runs on these settings and serves live\n"
        "                     video, its camera, viewers, frames sent and encoder; exit\n"
        "                     status 0 when it serves, 5 when it does not\n"
        "  --wait-for-camera  a camera not plugged in at the start is waited for (viewers get\n"
        "                     the still picture meanwhile) instead of ending with status 3\n"
        "  --this-host-only   viewers on this computer only: no discovery on the network\n"
        "  --help, --version\n"
        "\n";
    text += platform.settingsPlace;
    text += "\n";
    text += platform.secondService;
    text += "\n";
    text += std::string("Exit status: 0 stopped; 1 ") + camera::kXuLibraryFileName +
            " cannot be loaded, or no window can be shown;\n"
            "2 bad command line or bad DID; 3 no camera, or the transport will not listen under\n"
            "the DID; 4 another ZELT2Service runs on the same settings; 5 the camera does not\n"
            "answer, or it was lost while the service ran (only when the registry's WaitForCamera\n"
            "is 0: headless, a lost camera is waited for and the viewers get the still picture).\n";
    return text;
}

}  // namespace app
