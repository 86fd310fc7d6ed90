// ZELT2FileDevice: a device without a camera. Serves an H.264 file, played
// at a steady frame rate, to viewers who find it by its DID and know its
// password: the session server of ZELT2Service with the file in place of the
// capture graph.

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Text.h"
#include "service/demo/DemoHost.h"
#include "service/demo/FileFrameSource.h"
#include "transport/client/PpppSetup.h"
#include "service/session/SessionServer.h"

namespace {

const char kUsage[] =
    "Usage: ZELT2FileDevice --did DID --video FILE [options]\n"
    "Serves an H.264 Annex-B file to ZELT2 viewers as a camera would, looping it.\n"
    "\n"
    "  --did DID          the device identifier viewers look for (at most 20 characters)\n"
    "  --password TEXT    the device password (default: $ZELT2_PASSWORD, else empty)\n"
    "  --video FILE       the H.264 byte stream to play\n"
    "  --fps N            frames a second (default 25)\n"
    "  --seconds N        stop after N seconds (default: until Ctrl+C)\n"
    "  --this-host-only   viewers on this computer only: no discovery on the network\n"
    "  --quiet            report failures only\n"
    "\n"
    "Exit status: 0 stopped, 1 transport failure, 2 bad command line or file,\n"
    "3 the transport will not listen under the DID.\n"
    "A closed standard output (a reader that went away) does not stop the device.\n";

std::atomic<bool> g_bStop{false};
void OnSignal(int) { g_bStop.store(true); }

std::mutex g_printLock;
bool g_bQuiet = false;
bool g_bOutputGone = false;  // under g_printLock
// Progress goes to standard output. When whoever read it has gone (a closed
// pipe: EPIPE, SIGPIPE being ignored), the device goes on serving, silently.
void Print(const std::string& line) {
    if (g_bQuiet) return;
    std::lock_guard<std::mutex> hold(g_printLock);
    if (g_bOutputGone) return;
    if (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
        g_bOutputGone = true;
        std::clearerr(stdout);
    }
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "ZELT2FileDevice: %s\n\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    platform::IgnoreBrokenPipe();
    std::string did, video;
    std::u16string password;
    bool havePassword = false, thisHostOnly = false;
    unsigned long fps = 25, seconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        char* end = nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--did" && hasValue) {
            did = argv[++i];
        } else if (arg == "--password" && hasValue) {
            password = platform::Utf8ToUtf16(argv[++i]);
            havePassword = true;
        } else if (arg == "--video" && hasValue) {
            video = argv[++i];
        } else if (arg == "--fps" && hasValue) {
            fps = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || fps < 1 || fps > 1000) return Usage("--fps needs a number from 1 to 1000.");
        } else if (arg == "--seconds" && hasValue) {
            seconds = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || seconds < 1) return Usage("--seconds needs a positive whole number.");
        } else if (arg == "--this-host-only") {
            thisHostOnly = true;
        } else if (arg == "--quiet" || arg == "-q") {
            g_bQuiet = true;
        } else {
            return Usage("unknown option or missing value: \"" + arg + "\".");
        }
    }
    if (did.empty() || video.empty()) return Usage("--did and --video are required.");
    if (did.size() > 20) return Usage("the DID has more than 20 characters.");
    if (!havePassword) {
        if (const char* env = std::getenv("ZELT2_PASSWORD")) password = platform::Utf8ToUtf16(env);
    }

    demo::CDemoHost host(nullptr, Print);
    session::CSessionServer server(pppp::RealPppp(), host);
    demo::CFileFrameSource source(server);
    host.SetSource(&source);
    std::string error;
    if (!source.Load(video, error)) {
        std::fprintf(stderr, "ZELT2FileDevice: %s\n", error.c_str());
        return 2;
    }
    if (!pppp::InitPppp(thisHostOnly, error)) {
        std::fprintf(stderr, "ZELT2FileDevice: %s\n", error.c_str());
        return 1;
    }

    std::string upper = did;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    Print("Device " + upper + " serving " + video + " (" +
          std::to_string(source.FrameCount()) + " frames, " + std::to_string(source.KeyFrameCount()) +
          " key frames) at " + std::to_string(fps) + " fps; waiting for viewers");

    // What the window does when the service starts: seed, listen, capture.
    server.ClearSlots();
    server.SeedScramble(static_cast<uint8_t>(platform::GetTickCount()));
    if (server.StartListening(platform::Utf8ToUtf16(did), password) != 0) {
        std::fprintf(stderr, "ZELT2FileDevice: cannot start the listener (no threads to spare).\n");
        pppp::DeInitPppp();
        return 1;
    }
    server.SetCaptureStart(platform::GetTickCount());
    source.Start(static_cast<uint32_t>(fps));

    const uint32_t start = platform::GetTickCount();
    int online = 0;
    while (!g_bStop.load() && server.IsRunning() && !host.CaptureStopWanted()) {
        if (seconds != 0 && platform::GetTickCount() - start >= seconds * 1000) break;
        if (server.Online() != online) {
            online = server.Online();
            Print("Viewers online: " + std::to_string(online));
        }
        platform::Sleep(100);
    }
    const bool refused = host.Status() == session::kStatusWrongDid;

    // What the window does when the service stops.
    server.StopListening();
    source.Stop();
    server.WaitForReaders();
    server.StopVideoTimer();
    pppp::DeInitPppp();
    if (refused) {
        std::fprintf(stderr, "ZELT2FileDevice: the transport will not listen under DID %s (Wrong DID).\n",
                     platform::Utf16ToUtf8(server.DID()).c_str());
        return 3;
    }
    Print("Stopped after " + std::to_string(source.FramesPlayed()) + " frames");
    return 0;
}
