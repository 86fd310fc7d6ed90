// ZELT2Service: the service program. Without options it opens its window;
// --headless runs the service controller without a display, starts the
// service at once and ends when asked to stop (Usage.h), saving the settings.

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
#include "service/app/console/Usage.h"
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

struct Options {
    bool bHeadless = false;
    bool bStatus = false;
    bool bThisHostOnly = false;
    app::HeadlessOptions headless;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "ZELT2Service: %s\n\n%s", problem.c_str(), app::UsageText().c_str());
    return app::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(app::UsageText().c_str(), stdout);
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
