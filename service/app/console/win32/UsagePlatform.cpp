#include "service/app/console/UsagePlatform.h"

namespace app {

// A Windows console program is stopped from its console (there are no
// signals to send it), reads no configuration again while it runs, and keeps
// its settings in the user's own registry branch.
const UsagePlatform& ThisUsagePlatform() {
    static const UsagePlatform usage{
        "ZELT2Service.exe",
        "  --headless         no window: status and messages in the console and in the Windows\n"
        "                     event log (Application, source ZELT2Service), the service started\n"
        "                     at once; Ctrl+C, Ctrl+Break, closing the console, logging off or\n"
        "                     shutting down stops it and saves the settings\n",
        "  --password TEXT    the device password, as if typed into the window (default: the\n"
        "                     environment variable ZELT2_PASSWORD when set, which keeps it out\n"
        "                     of the process list)\n",
        "  --config FILE      did, password, camera (and encoder) from FILE, one \"key = value\"\n"
        "                     a line; no other user may read or change the file (it holds the\n"
        "                     password): icacls FILE /inheritance:r /grant:r \"%USERNAME%:F\";\n"
        "                     the command line goes over it; it is read at the start: to read\n"
        "                     it again, stop the service and start it again\n",
        "Settings (DID, password, quality, language, camera) are kept in the registry under\n"
        "HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service; options given are saved there when\n"
        "the service ends.\n",
        "One service at a time runs on the same settings: they are the Windows user's, so a\n"
        "second service runs as another user.\n",
    };
    return usage;
}

}  // namespace app
