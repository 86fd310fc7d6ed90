// ZELT2Service: the service program. Without options it opens its window;
// --headless runs the same window logic without a display, starts the service
// at once and ends on SIGINT or SIGTERM through the window's teardown (the
// settings are saved).

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/DialogUtil.h"
#include "service/app/LiveCapture.h"
#include "service/app/ServiceApp.h"
#include "service/app/ServiceDlg.h"
#include "service/app/console/ConsoleHost.h"
#include "service/app/qt/QtDialogRunner.h"
#include "transport/PPPP_API.h"
#include "transport/client/PpppTable.h"
#include "service/settings/Registry.h"

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
    "  --this-host-only   viewers on this computer only: no discovery on the network\n"
    "  --help, --version\n"
    "\n"
    "Settings (DID, password, quality, language, camera) are kept in the current user's\n"
    "registry file; options given are saved there when the service ends.\n"
    "\n"
    "Exit status: 0 stopped; 1 libNodrik.so cannot be loaded, or no window can be shown;\n"
    "2 bad command line or bad DID; 3 no camera, or the transport will not listen under\n"
    "the DID; 5 the camera does not answer, or it was lost while the service ran.\n";

std::atomic<bool> g_bStop{false};
void OnSignal(int) { g_bStop.store(true); }

struct Options {
    bool bHeadless = false;
    bool bThisHostOnly = false;
    std::optional<std::u16string> did;
    std::optional<std::u16string> password;
    std::optional<std::string> camera;
};

int Usage(const std::string& problem) {
    std::fprintf(stderr, "ZELT2Service: %s\n\n%s", problem.c_str(), kUsage);
    return app::kExitUsage;
}

// Picks the camera in the camera list: the option (a position or the
// beginning of a name), else what the stored setting selected, else the
// first. False when the option names no camera or there is none.
bool ChooseCamera(app::IDialogHost& host, const std::optional<std::string>& option) {
    const int count = host.ComboGetCount(app::kIdcCamera);
    if (option) {
        char* end = nullptr;
        const long position = std::strtol(option->c_str(), &end, 10);
        if (!option->empty() && *end == '\0') {
            if (position < 0 || position >= count) return false;
            host.ComboSetCurSel(app::kIdcCamera, static_cast<int>(position));
            return true;
        }
        return app::SelectStringPrefix(host, app::kIdcCamera, -1, platform::Utf8ToUtf16(*option)) >= 0;
    }
    if (host.ComboGetCurSel(app::kIdcCamera) < 0 && count > 0) host.ComboSetCurSel(app::kIdcCamera, 0);
    return count > 0;
}

int RunHeadless(app::CServiceDlg& dialog, app::CConsoleHost& host, const Options& options) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // Status lines to a reader that went away must not end the service
    // before it has saved its settings.
    std::signal(SIGPIPE, SIG_IGN);
    int status = app::kExitDone;
    bool started = false;
    host.Run(
        dialog,
        [&] {
            if (options.did) host.SetControlText(app::kIdcDid, *options.did);
            if (options.password) host.SetControlText(app::kIdcPassword, *options.password);
            if (!ChooseCamera(host, options.camera)) {
                if (options.camera) {
                    std::string list;
                    for (int i = 0; i < host.ComboGetCount(app::kIdcCamera); ++i)
                        list += "\n  " + std::to_string(i) + ": " + platform::Utf16ToUtf8(host.ComboGetItemText(app::kIdcCamera, i));
                    std::fprintf(stderr, "ZELT2Service: no camera matches \"%s\". Cameras:%s\n", options.camera->c_str(),
                                 list.empty() ? " none" : list.c_str());
                    status = app::kExitNoCamera;
                    host.CloseWindow();
                    return;
                }
                host.ComboSetCurSel(app::kIdcCamera, -1);
            }
            // As if the connect button were pressed.
            host.SetCheck(app::kIdcConnect, true);
            dialog.OnCommand(app::kIdcConnect);
            switch (dialog.LastStartOutcome()) {
            case app::StartOutcome::Started: started = true; return;
            case app::StartOutcome::NoCamera: status = app::kExitNoCamera; break;
            case app::StartOutcome::CameraNotAnswering: status = app::kExitCameraNotAnswering; break;
            case app::StartOutcome::EmptyDid:
            case app::StartOutcome::DidTooLong: status = app::kExitBadDid; break;
            case app::StartOutcome::NotTried: break;
            }
            host.CloseWindow();
        },
        [&] {
            if (g_bStop.load()) {
                host.CloseWindow();
            } else if (started && !dialog.IsListening()) {
                // The listener ended by itself: the transport refused the DID,
                // or the camera was lost and the service stopped.
                status = dialog.Status() == session::kStatusWrongDid ? app::kExitDidRefused : app::kExitServiceStopped;
                std::fprintf(stderr, "ZELT2Service: %s\n",
                             status == app::kExitDidRefused ? "the transport will not listen under this DID; stopping."
                                                            : "the service has stopped (was the camera unplugged?).");
                host.CloseWindow();
            }
        });
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return app::kExitDone;
        } else if (arg == "--version") {
            std::printf("ZELT2Service 2.1.1\n");
            return app::kExitDone;
        } else if (arg == "--headless") {
            options.bHeadless = true;
        } else if (arg == "--this-host-only") {
            options.bThisHostOnly = true;
        } else if (arg == "--did" && hasValue) {
            options.did = platform::Utf8ToUtf16(argv[++i]);
            if (options.did->size() > static_cast<size_t>(app::kDidMaxChars)) {
                std::fprintf(stderr, "ZELT2Service: the DID has more than %d characters.\n", app::kDidMaxChars);
                return app::kExitBadDid;
            }
        } else if (arg == "--password" && hasValue) {
            options.password = platform::Utf8ToUtf16(argv[++i]);
        } else if (arg == "--camera" && hasValue) {
            options.camera = argv[++i];
        } else {
            return Usage("unknown option or missing value: \"" + arg + "\".");
        }
    }
    if (options.bHeadless && !options.password) {
        if (const char* env = std::getenv("ZELT2_PASSWORD")) options.password = platform::Utf8ToUtf16(env);
    }
    if (!options.bHeadless && (options.did || options.password || options.camera))
        return Usage("--did, --password and --camera go with --headless.");

    app::ServiceConfig config;
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
    config.makeCapture = app::LiveCaptureFactory();

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
            config.strModuleDir = app::g_strModuleDir;
            if (options.bHeadless) {
                app::CConsoleHost host(stderr, ::isatty(STDERR_FILENO) == 1, {app::kIdcLanguage});
                app::CServiceDlg dialog(config);
                dialog.AttachHost(host);
                return RunHeadless(dialog, host, options);
            }
            // The window attaches its own host.
            app::CServiceDlg dialog(config);
            return app::RunQtDialog(dialog, argc, argv);
        });
}
