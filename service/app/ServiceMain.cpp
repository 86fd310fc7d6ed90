// ZELT2Service: the service program. Without options it opens its window;
// --headless runs the service controller without a display, starts the
// service at once and ends on SIGINT or SIGTERM, saving the settings.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Console.h"
#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/ServiceApp.h"
#include "service/app/WindowFrontEnd.h"
#include "service/app/console/HeadlessService.h"
#include "service/app/console/ServiceStatus.h"
#include "service/camera/XuBinding.h"
#include "transport/PPPP_API.h"
#include "transport/client/PpppTable.h"
#include "service/settings/Registry.h"
#include "service/settings/SettingsClaim.h"
#include "service/video/Capture.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: GLib allocates one block while it is loaded and never
// frees it; full stacks tell that block (made under the loader) apart from
// anything the service could leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer builds: GLib and GStreamer are not built for it, so their
// own synchronisation (atomics that publish quarks, structures and buffers)
// is invisible to it, and every race reported through their frames is one of
// theirs, never the service's. Races in the service's own code still halt.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgstreamer-1.0.so\nrace:libgstbase-1.0.so\n";
}
#endif

namespace {

const char kUsage[] =
    "Usage: ZELT2Service [--headless [options]]\n"
    "Serves the live video of a USB camera to ZELT2 viewers who know the device's DID\n"
    "and password. Without options it opens its window.\n"
    "\n"
    "  --headless         no window: status and messages on standard error, the service\n"
    "                     started at once; Ctrl+C or SIGTERM stops it and saves the settings\n"
    "  --did DID          the device identifier, as if typed into the window\n"
    "  --password TEXT    the device password, as if typed into the window (default:\n"
    "                     $ZELT2_PASSWORD when set, which keeps it out of the process list)\n"
    "  --camera CAMERA    the camera: a position in the camera list (0, 1, ...) or the\n"
    "                     beginning of its name (default: the stored camera, else the first)\n"
    "  --config FILE      did, password, camera (and encoder) from FILE, one \"key = value\"\n"
    "                     a line; the file must be its owner's alone (chmod 600); the\n"
    "                     command line goes over it; SIGHUP reads it again\n"
    "  --status           tell whether a service runs on these settings and serves live\n"
    "                     video, its camera, viewers, frames sent and encoder; exit\n"
    "                     status 0 when it serves, 5 when it does not\n"
    "  --wait-for-camera  a camera not plugged in at the start is waited for (viewers get\n"
    "                     the still picture meanwhile) instead of ending with status 3\n"
    "  --this-host-only   viewers on this computer only: no discovery on the network\n"
    "  --help, --version\n"
    "\n"
    "Settings (DID, password, quality, language, camera) are kept in the current user's\n"
    "registry file; options given are saved there when the service ends.\n"
    "\n"
    "One service at a time runs on the same settings; give a second one a registry\n"
    "folder of its own ($ZELT2_REGISTRY_DIR).\n"
    "\n"
    "Exit status: 0 stopped; 1 @LIBRARY@ cannot be loaded, or no window can be shown;\n"
    "2 bad command line or bad DID; 3 no camera, or the transport will not listen under\n"
    "the DID; 4 another ZELT2Service runs on the same settings; 5 the camera does not\n"
    "answer, or it was lost while the service ran (only when the registry's WaitForCamera\n"
    "is 0: headless, a lost camera is waited for and the viewers get the still picture).\n";

struct Options {
    bool bHeadless = false;
    bool bStatus = false;
    bool bThisHostOnly = false;
    app::HeadlessOptions headless;
};

// The usage with the camera library's file name on this system.
std::string UsageText() {
    std::string text = kUsage;
    const std::string marker = "@LIBRARY@";
    text.replace(text.find(marker), marker.size(), camera::kXuLibraryFileName);
    return text;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "ZELT2Service: %s\n\n%s", problem.c_str(), UsageText().c_str());
    return app::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText().c_str(), stdout);
            return app::kExitDone;
        } else if (arg == "--version") {
            std::printf("ZELT2Service 2.1.1\n");
            return app::kExitDone;
        } else if (arg == "--headless") {
            options.bHeadless = true;
        } else if (arg == "--status") {
            options.bStatus = true;
        } else if (arg == "--config" && hasValue) {
            options.headless.configFile = argv[++i];
        } else if (arg == "--wait-for-camera") {
            options.headless.bWaitForCamera = true;
        } else if (arg == "--this-host-only") {
            options.bThisHostOnly = true;
        } else if (arg == "--did" && hasValue) {
            options.headless.did = platform::Utf8ToUtf16(argv[++i]);
            // The limit is on the DID's bytes: a letter outside A to Z takes more than one.
            if (std::strlen(argv[i]) > app::kDidMaxBytes) {
                std::fprintf(stderr,
                             "ZELT2Service: the DID is longer than %zu bytes. A DID is 1 to 20 letters (A to Z), "
                             "digits, '-' or '_'.\n",
                             app::kDidMaxBytes);
                return app::kExitBadDid;
            }
        } else if (arg == "--password" && hasValue) {
            options.headless.password = platform::Utf8ToUtf16(argv[++i]);
        } else if (arg == "--camera" && hasValue) {
            options.headless.camera = argv[++i];
        } else {
            return Usage("unknown option or missing value: \"" + arg + "\".");
        }
    }
    if (options.bHeadless && !options.headless.password) {
        if (const char* env = std::getenv("ZELT2_PASSWORD")) options.headless.password = platform::Utf8ToUtf16(env);
    }
    if (!options.bHeadless && (options.headless.did || options.headless.password || options.headless.camera ||
                               options.headless.configFile || options.bStatus || options.headless.bWaitForCamera))
        return Usage("--did, --password, --camera, --config, --wait-for-camera and --status go with --headless.");
    // Asks the running service; loads nothing and claims nothing.
    if (options.bStatus) return app::PrintServiceStatus(stdout);

    app::ControllerConfig config;
    config.pPppp = &pppp::RealPppp();
    config.pfnShareBandwidth = &PPPP_Share_Bandwidth;
    config.strInitString = PPPP_DEFAULT_INIT_STRING;
    if (options.bThisHostOnly) {
        PPPP_InitOptions init{};
        init.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
        char text[PPPP_INIT_STRING_LENGTH + 1];
        if (PPPP_MakeInitString(&init, text, sizeof text) == PPPP_INIT_STRING_LENGTH) config.strInitString = text;
    }
    config.pRegistry = &settings::DefaultRegistry();
    config.makeCapture = [] { return video::MakePlatformCapture(); };

    app::CServiceApp application;
    return application.Run(
        [&](const std::u16string& text, const std::u16string& caption) {
            if (options.bHeadless) {
                std::fprintf(stderr, "%s: %s\n", platform::Utf16ToUtf8(caption).c_str(),
                             platform::Utf16ToUtf8(text).c_str());
            } else {
                app::ShowStartupMessage(text, caption, argc, argv);
            }
        },
        [&] {
            // Tests of the crash report fault here on purpose.
            if (const char* crash = std::getenv("ZELT2_TEST_CRASH"); crash && std::strcmp(crash, "1") == 0)
                std::raise(SIGSEGV);
            // Held until the front end has saved the settings and returned.
            settings::CSettingsClaim claim;
            if (claim.Claim() == settings::ClaimResult::HeldElsewhere) {
                const std::u16string text = platform::Utf8ToUtf16(
                    "Another ZELT2Service is already running on the settings in " + claim.Where() +
                    " and serves their DID; this one ends. " + settings::CSettingsClaim::HowToRunAnother());
                if (options.bHeadless)
                    std::fprintf(stderr, "ZELT2Service: %s\n", platform::Utf16ToUtf8(text).c_str());
                else
                    app::ShowStartupMessage(text, app::kAppName, argc, argv);
                return app::kExitAlreadyServing;
            }
            if (options.bHeadless)
                return app::RunHeadless(config, app::g_strModuleDir, options.headless, stderr,
                                        platform::PrepareStandardErrorTerminal());
            return app::RunServiceWindow(config, app::g_strModuleDir, argc, argv);
        });
}
