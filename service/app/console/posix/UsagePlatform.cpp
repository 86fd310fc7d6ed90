#include "service/app/console/UsagePlatform.h"

namespace app {

const UsagePlatform& ThisUsagePlatform() {
    static const UsagePlatform usage{
        "ZELT2Service",
        "  --headless         no window: status and messages on standard error, the service\n"
        "                     started at once; Ctrl+C or SIGTERM stops it and saves the settings\n",
        "  --password TEXT    the device password, as if typed into the window (default:\n"
        "                     $ZELT2_PASSWORD when set, which keeps it out of the process list)\n",
        "  --config FILE      did, password, camera (and encoder) from FILE, one \"key = value\"\n"
        "                     a line; the file must be its owner's alone (chmod 600); the\n"
        "                     command line goes over it; SIGHUP reads it again\n",
        "Settings (DID, password, quality, language, camera) are kept in the current user's\n"
        "registry file; options given are saved there when the service ends.\n",
        "One service at a time runs on the same settings; give a second one a registry\n"
        "folder of its own ($ZELT2_REGISTRY_DIR).\n",
    };
    return usage;
}

}  // namespace app
