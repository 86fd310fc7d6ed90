// ZELT2Viewer: watches a device from the command line. Finds it by its DID
// (or goes to an address), logs in, asks for video and writes the H.264 byte
// stream to a file or to standard output, for ffplay, mpv or GStreamer.

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/Console.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "transport/client/PpppSetup.h"
#include "viewer/ViewerClient.h"

namespace {

using namespace viewer;

const char kUsage[] =
    "Usage: ZELT2Viewer --did DID [options]\n"
    "Watches a ZELT2 device: finds it by its DID, logs in, asks for video and\n"
    "writes the H.264 byte stream (Annex B) to a file or to standard output.\n"
    "\n"
    "  --did DID            the device identifier (required)\n"
    "  --address HOST:PORT  go to this address instead of looking the DID up\n"
    "  --password TEXT      the device password (default: $ZELT2_PASSWORD, else empty)\n"
    "  --output FILE        write the video here; '-' for standard output\n"
    "                       (without it the video is received and counted only)\n"
    "  --mode N             ask the camera for mode N (0 to 3) with VideoStart\n"
    "  --duration SECONDS   stop after this long (from VideoStart)\n"
    "  --frames N           stop after N frames\n"
    "  --video-stop         send VideoStop before leaving\n"
    "  --mark-set           send MarkSet after the login\n"
    "  --mark-clear         send MarkClear after the login (after MarkSet)\n"
    "  --timeout SECONDS    how long to look for the device and wait for the login (default 10)\n"
    "  --this-host-only     look for the device on this computer only (no discovery on the network)\n"
    "  --quiet              no progress line\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done, 1 transport failure, 2 bad command line (an invalid DID too),\n"
    "3 device not found, 4 wrong password, 5 session lost, 6 output failed,\n"
    "7 the connection may be intercepted (the login did not hold over it).\n"
    "The output file is created (or emptied) only once the device has accepted the login.\n"
    "Play a recording with: ffplay FILE, mpv FILE, or\n"
    "  gst-launch-1.0 filesrc location=FILE ! h264parse ! avdec_h264 ! autovideosink\n";

std::atomic<bool> g_bInterrupted{false};  // lock-free, so a signal handler may set it
void OnSignal(int) { g_bInterrupted.store(true); }

// Ctrl+C ends the recording as if its time were up.
struct Interrupter {
    CViewerClient* client;
    std::atomic<bool> finished{false};
    static void Watch(void* self) {
        auto* me = static_cast<Interrupter*>(self);
        while (!me->finished.load()) {
            if (g_bInterrupted.load()) {
                me->client->Cancel();
                return;
            }
            usleep(50 * 1000);
        }
    }
};

constexpr uint32_t kMaxDurationMs = 4294967000u;

// A DID as the transport takes it (lower case is turned to upper case).
bool IsValidDid(const std::string& did) {
    if (did.empty() || did.size() > PPPP_DID_MAX_LENGTH) return false;
    for (char c : did) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_';
        if (!ok) return false;
    }
    return true;
}

bool ParseNumber(const char* text, double max, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0 && value <= max;
}

struct Command {
    ViewerOptions options;
    std::string output;
    bool quiet = false;
    bool thisHostOnly = false;
};

int Usage(const char* problem) {
    std::fprintf(stderr, "ZELT2Viewer: %s\n\n%s", problem, kUsage);
    return kViewerUsage;
}

// Parses the command line into `command`; returns -1 when it is sound, else the exit status.
int Parse(int argc, char** argv, Command& command) {
    ViewerOptions& o = command.options;
    bool havePassword = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        double n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("ZELT2Viewer %s\n", ZELT_VERSION);
            return 0;
        } else if (arg == "--did") {
            if (!value(v)) return Usage("--did needs a value.");
            o.did = v;
            if (!IsValidDid(o.did))
                return Usage("--did needs a device identifier: 1 to 20 letters, digits, '-' or '_'.");
        } else if (arg == "--address") {
            if (!value(v) || !std::strchr(v, ':')) return Usage("--address needs HOST:PORT.");
            o.address = v;
        } else if (arg == "--password") {
            if (!value(v)) return Usage("--password needs a value.");
            o.password = platform::Utf8ToUtf16(v);
            havePassword = true;
        } else if (arg == "--output" || arg == "-o") {
            if (!value(v)) return Usage("--output needs a file name or '-'.");
            command.output = v;
        } else if (arg == "--mode") {
            if (!value(v) || !ParseNumber(v, 3, n) || n != static_cast<uint32_t>(n))
                return Usage("--mode needs a whole number from 0 to 3.");
            o.mode = static_cast<uint32_t>(n);
        } else if (arg == "--duration") {
            // Counted in 32-bit milliseconds: at most 4,294,967 s (49.7 days).
            if (!value(v) || !ParseNumber(v, kMaxDurationMs / 1000.0, n) || n <= 0)
                return Usage("--duration needs a positive number of seconds, at most 4294967.");
            o.durationMs = static_cast<uint32_t>(n * 1000);
            if (o.durationMs == 0) o.durationMs = 1;
        } else if (arg == "--frames") {
            if (!value(v) || !ParseNumber(v, 1e15, n) || n < 1 || n != static_cast<uint64_t>(n))
                return Usage("--frames needs a whole number of frames, at least 1.");
            o.frameLimit = static_cast<uint64_t>(n);
        } else if (arg == "--timeout") {
            if (!value(v) || !ParseNumber(v, 3600, n) || n <= 0) return Usage("--timeout needs a positive number of seconds.");
            o.connectTimeoutMs = o.loginTimeoutMs = static_cast<uint32_t>(n * 1000);
        } else if (arg == "--video-stop") {
            o.videoStop = true;
        } else if (arg == "--mark-set") {
            o.markSet = true;
        } else if (arg == "--mark-clear") {
            o.markClear = true;
        } else if (arg == "--this-host-only") {
            command.thisHostOnly = true;
        } else if (arg == "--quiet" || arg == "-q") {
            command.quiet = true;
        } else {
            return Usage(("unknown option \"" + arg + "\".").c_str());
        }
    }
    if (o.did.empty()) return Usage("--did is required.");
    if (!havePassword) {
        if (const char* env = std::getenv("ZELT2_PASSWORD")) o.password = platform::Utf8ToUtf16(env);
    }
    return -1;
}

std::string Bytes(uint64_t n) {
    char text[32];
    if (n < 10 * 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(n));
    } else if (n < 10ull * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KB", n / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", n / (1024.0 * 1024.0));
    }
    return text;
}

std::string FirstKey(const ViewerStats& s) {
    return s.firstKeyFrameMs < 0 ? std::string("none yet") : std::to_string(s.firstKeyFrameMs) + " ms";
}

class CConsole final : public IViewerEvents {
public:
    // `output`: a file name, "-" for standard output, or empty for none.
    CConsole(std::string output, bool quiet)
        : m_strOutput(std::move(output)), m_bQuiet(quiet), m_bTty(isatty(STDERR_FILENO) != 0) {}

    bool OnLoggedIn() override {
        if (m_strOutput == "-") {
            platform::SetBinaryStandardOutput();
            m_pVideo = stdout;
        } else if (!m_strOutput.empty()) {
            m_pVideo = std::fopen(m_strOutput.c_str(), "wb");
            if (!m_pVideo) {
                m_nOpenError = errno;
                return false;
            }
        }
        return true;
    }
    // Flushes and closes the output; false when that fails.
    bool Finish() {
        if (!m_pVideo) return true;
        bool ok = std::fflush(m_pVideo) == 0;
        if (m_pVideo != stdout) ok = std::fclose(m_pVideo) == 0 && ok;
        m_pVideo = nullptr;
        return ok;
    }
    int OpenError() const { return m_nOpenError; }

    bool OnFrame(const ViewerFrame& frame) override {
        if (!m_pVideo) return true;
        return std::fwrite(frame.data, 1, frame.length, m_pVideo) == frame.length;
    }
    void OnModeReport(uint32_t mode) override { Line("ModeReport: camera mode " + std::to_string(mode)); }
    void OnStatus(const std::string& text) override {
        if (!m_bQuiet) Line(text);
    }
    void OnProgress(const ViewerStats& s) override {
        if (m_bQuiet) return;
        char text[256];
        std::snprintf(text, sizeof text,
                      "%6.1f s | frames %llu (key %llu) | %s | %.1f fps | first key frame %s | viewers %u"
                      " | delay %+lld ms",
                      s.elapsedMs / 1000.0, static_cast<unsigned long long>(s.frames),
                      static_cast<unsigned long long>(s.keyFrames), Bytes(s.bytes).c_str(), s.Fps(),
                      FirstKey(s).c_str(), s.viewerCount, static_cast<long long>(s.delayGrowthMs));
        if (m_bTty) {
            std::fprintf(stderr, "\r%s\033[K", text);
            m_bOpenLine = true;
        } else {
            std::fprintf(stderr, "%s\n", text);
        }
    }
    void EndLine() {
        if (m_bOpenLine) std::fputc('\n', stderr);
        m_bOpenLine = false;
    }

private:
    void Line(const std::string& text) {
        EndLine();
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::string m_strOutput;
    std::FILE* m_pVideo = nullptr;
    int m_nOpenError = 0;
    bool m_bQuiet;
    bool m_bTty;
    bool m_bOpenLine = false;
};

}  // namespace

int main(int argc, char** argv) {
    Command command;
    if (const int status = Parse(argc, argv, command); status >= 0) return status;

    const bool toStdout = command.output == "-";
    if (toStdout && isatty(STDOUT_FILENO)) {
        std::fprintf(stderr, "ZELT2Viewer: standard output is a terminal; redirect it or pipe it to a player.\n");
        return kViewerUsage;
    }
    const bool video = !command.output.empty();

    std::string error;
    if (!pppp::InitPppp(command.thisHostOnly, error)) {
        std::fprintf(stderr, "ZELT2Viewer: %s\n", error.c_str());
        return kViewerFailed;
    }

    CViewerClient client(pppp::RealPppp(), command.options);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    platform::IgnoreBrokenPipe();
    Interrupter interrupter{&client};
    platform::CThread watcher;
    watcher.Start(&Interrupter::Watch, &interrupter);
    CConsole console(command.output, command.quiet);
    ViewerStatus status = client.Run(console);
    interrupter.finished.store(true);
    watcher.Join();
    console.EndLine();

    if (!console.Finish() && status == kViewerDone) status = kViewerOutputFailed;
    pppp::DeInitPppp();

    std::FILE* report = toStdout ? stderr : stdout;
    const ViewerStats& s = client.Stats();
    if (s.frames > 0 || status == kViewerDone) {
        std::fprintf(report, "%s %llu frames (%llu key frames), %s (%llu bytes) in %.1f s, %.1f fps%s%s\n",
                     video ? "Recorded" : "Received", static_cast<unsigned long long>(s.frames),
                     static_cast<unsigned long long>(s.keyFrames), Bytes(s.bytes).c_str(),
                     static_cast<unsigned long long>(s.bytes), s.elapsedMs / 1000.0, s.Fps(),
                     video && !toStdout ? " to " : "", video && !toStdout ? command.output.c_str() : "");
        std::fprintf(report, "First key frame %s after VideoStart; viewers on the device: %u; camera mode: %s\n",
                     FirstKey(s).c_str(), s.viewerCount,
                     s.mode < 0 ? "not reported" : std::to_string(s.mode).c_str());
        std::fprintf(report, "Delay against the device's clock since the first frame: %+lld ms at the end, %+lld ms at most\n",
                     static_cast<long long>(s.delayGrowthMs), static_cast<long long>(s.maxDelayGrowthMs));
    }
    if (status == kViewerOutputFailed && console.OpenError() != 0) {
        std::fprintf(stderr, "ZELT2Viewer: cannot create \"%s\": %s\n", command.output.c_str(),
                     std::strerror(console.OpenError()));
    } else if (status == kViewerOutputFailed && client.Message().empty()) {
        std::fprintf(stderr, "ZELT2Viewer: cannot write the video to \"%s\".\n", command.output.c_str());
    } else if (status != kViewerDone) {
        std::fprintf(stderr, "ZELT2Viewer: %s\n", client.Message().c_str());
    }
    return status;
}
