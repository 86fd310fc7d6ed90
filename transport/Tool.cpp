// pppp_tool: the transport from the command line.
//
//   pppp_tool init-string [options]      print the 90-letter string for the options
//   pppp_tool decode <string>            print what a string configures
//   pppp_tool device <DID> [--port N] [--local]
//                                        serve DID; echo channel 0 of every session
//   pppp_tool viewer <DID> [--address host:port] [--timeout-ms N]
//                                        open a session; echo channel 0 until it ends
// A session opened prints "OPEN <handle> ... route <how>" (tcp, internet direct,
// internet relay-udp|tcp|tls). With a rendezvous file (ZELT2_RENDEZVOUS)
// device and viewer also meet over the internet route.
//
// Options of init-string: --discovery-port --session-port --keepalive-ms
// --dead-ms --handshake-ms --send-buffer-kib --receive-buffer-kib
// --channel-buffer-kib --send-queue-kib --probe-ms (numbers), --loopback-only,
// --no-probe. device and viewer take the configuration from ZELT2_PPPP_INIT
// when it is set, else the defaults.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transport/PPPP_API.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds: GLib (loaded for the internet route) allocates one block
// while it is loaded and never frees it; full stacks tell that block (made
// under the loader) apart from anything of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

namespace {

int Usage(FILE* to = stderr, int result = 2) {
    std::fprintf(to,
                 "usage: pppp_tool init-string [--discovery-port N] [--session-port N] [--keepalive-ms N]\n"
                 "                             [--dead-ms N] [--handshake-ms N] [--send-buffer-kib N]\n"
                 "                             [--receive-buffer-kib N] [--channel-buffer-kib N]\n"
                 "                             [--send-queue-kib N] [--probe-ms N] [--loopback-only] [--no-probe]\n"
                 "       pppp_tool decode <string>\n"
                 "       pppp_tool device <DID> [--port N] [--local]\n"
                 "       pppp_tool viewer <DID> [--address host:port] [--timeout-ms N]\n"
                 "exit status: 0 done, 1 the transport cannot start, 2 bad command line or string,\n"
                 "3 the DID cannot be served (device) or no device answers for it (viewer)\n");
    return result;
}

bool Number(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max) return false;
    *out = v;
    return true;
}

int InitString(int argc, char** argv) {
    PPPP_InitOptions o{};
    struct Field {
        const char* name;
        unsigned short* value;
    } fields[] = {{"--discovery-port", &o.discoveryPort},     {"--session-port", &o.sessionPort},
                  {"--keepalive-ms", &o.keepaliveMs},         {"--dead-ms", &o.deadPeerMs},
                  {"--handshake-ms", &o.handshakeMs},         {"--send-buffer-kib", &o.sendBufferKiB},
                  {"--receive-buffer-kib", &o.receiveBufferKiB}, {"--channel-buffer-kib", &o.channelBufferKiB},
                  {"--send-queue-kib", &o.sendQueueKiB},      {"--probe-ms", &o.probeMs}};
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--loopback-only")) {
            o.flags |= PPPP_INIT_LOOPBACK_ONLY;
            continue;
        }
        if (!std::strcmp(argv[i], "--no-probe")) {
            o.flags |= PPPP_INIT_NO_PROBE;
            continue;
        }
        bool known = false;
        for (auto& f : fields) {
            if (std::strcmp(argv[i], f.name) != 0) continue;
            unsigned long v;
            if (i + 1 >= argc || !Number(argv[i + 1], 65535, &v)) {
                std::fprintf(stderr, "%s needs a number from 0 to 65535\n", f.name);
                return 2;
            }
            *f.value = static_cast<unsigned short>(v);
            ++i;
            known = true;
        }
        if (!known) return Usage();
    }
    char text[PPPP_INIT_STRING_LENGTH + 1];
    PPPP_MakeInitString(&o, text, sizeof text);
    std::printf("%s\n", text);
    return 0;
}

int Decode(const char* text) {
    PPPP_InitOptions o{};
    if (PPPP_ParseInitString(text, &o) != PPPP_OK) {
        std::fprintf(stderr, "not a transport configuration string\n");
        return 2;
    }
    std::printf("discovery port      %u\nsession port        %u\nkeepalive ms        %u\ndead-peer ms        %u\n"
                "handshake ms        %u\nsend buffer KiB     %u\nreceive buffer KiB  %u\nchannel buffer KiB  %u\n"
                "send queue KiB      %u\nprobe ms            %u\nflags               0x%02x\n(0: default)\n",
                o.discoveryPort, o.sessionPort, o.keepaliveMs, o.deadPeerMs, o.handshakeMs, o.sendBufferKiB,
                o.receiveBufferKiB, o.channelBufferKiB, o.sendQueueKiB, o.probeMs, o.flags);
    return 0;
}

// How the session travels, for scripts: "tcp", "internet direct", "internet relay-udp|tcp|tls".
const char* RouteName(const PPPP_SessionRecord& record) {
    if (record.bytes[PPPP_REC_PATH] != PPPP_PATH_INTERNET) return "tcp";
    switch (record.bytes[PPPP_SESSION_ROUTE_OFFSET]) {
    case PPPP_ROUTE_DIRECT: return "internet direct";
    case PPPP_ROUTE_RELAY_UDP: return "internet relay-udp";
    case PPPP_ROUTE_RELAY_TCP: return "internet relay-tcp";
    default: return "internet relay-tls";
    }
}

// Sends back whatever arrives on channel 0 until the session ends.
int Echo(int session) {
    std::vector<char> buffer(65536);
    for (;;) {
        int size = static_cast<int>(buffer.size());
        const int r = PPPP_Read(session, 0, buffer.data(), &size, 200);
        if (size > 0 && PPPP_Write(session, 0, buffer.data(), size) < 0) break;
        if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) {
            std::printf("END %d %d\n", session, r);
            std::fflush(stdout);
            break;
        }
    }
    PPPP_Close(session);
    return 0;
}

// " binding <64 hex digits>" for a session whose channel has one, else "".
std::string BindingText(int h) {
    unsigned char binding[PPPP_CHANNEL_BINDING_SIZE];
    if (PPPP_Channel_Binding(h, binding, sizeof binding) != PPPP_CHANNEL_BINDING_SIZE) return {};
    std::string text = " binding ";
    for (unsigned char b : binding) text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
    return text;
}

int Device(const char* did, int argc, char** argv) {
    unsigned long port = 0;
    bool local = false;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--port") && i + 1 < argc && Number(argv[i + 1], 65535, &port)) {
            ++i;
        } else if (!std::strcmp(argv[i], "--local")) {
            local = true;
        } else {
            return Usage();
        }
    }
    for (;;) {
        const int h = PPPP_Listen(did, 600, static_cast<unsigned>(port), local ? 0 : 1);
        if (h == PPPP_ERR_BAD_DID || h == PPPP_ERR_CANNOT_LISTEN) {
            std::fprintf(stderr, "cannot serve %s (%d)\n", did, h);
            return 3;
        }
        if (h < 0) continue;
        PPPP_SessionRecord record{};
        PPPP_Check(h, &record);
        const unsigned char* a = record.bytes + PPPP_REC_REMOTE_ADDR;
        std::printf("OPEN %d from %u.%u.%u.%u route %s%s\n", h, a[0], a[1], a[2], a[3], RouteName(record),
                    BindingText(h).c_str());
        std::fflush(stdout);
        std::thread(Echo, h).detach();
    }
}

int Viewer(const char* did, int argc, char** argv) {
    const char* address = nullptr;
    unsigned long timeout = 5000;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--address") && i + 1 < argc) {
            address = argv[++i];
        } else if (!std::strcmp(argv[i], "--timeout-ms") && i + 1 < argc && Number(argv[i + 1], 3600000, &timeout)) {
            ++i;
        } else {
            return Usage();
        }
    }
    const unsigned ms = static_cast<unsigned>(timeout);
    const auto started = std::chrono::steady_clock::now();
    const int h = address ? PPPP_ConnectTo(did, address, ms) : PPPP_Connect(did, ms);
    if (h < 0) {
        const double waited =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const char* what = h == PPPP_ERR_DEVICE_NOT_FOUND ? "not found"
                           : h == PPPP_ERR_TIMEOUT        ? (address ? "no answer at the address in time"
                                                                     : "found, but no connection opened in time")
                           : h == PPPP_ERR_REFUSED        ? "refused (busy answering other viewers, or another version)"
                                                          : "cannot be opened";
        std::fprintf(stderr, "no session to %s (%d): %s, after %.1f s\n", did, h, what, waited);
        return 3;
    }
    PPPP_SessionRecord record{};
    PPPP_Check(h, &record);
    std::printf("OPEN %d route %s%s\n", h, RouteName(record), BindingText(h).c_str());
    std::fflush(stdout);
    return Echo(h);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return Usage(stdout, 0);
    const std::string command = argv[1];
    if (command == "init-string") return InitString(argc - 2, argv + 2);
    if (command == "decode") return argc == 3 ? Decode(argv[2]) : Usage();
    if (command != "device" && command != "viewer") return Usage();
    if (argc < 3) return Usage();
    const int init = PPPP_Initialize(PPPP_DEFAULT_INIT_STRING);
    if (init != PPPP_OK) {
        std::fprintf(stderr, "the transport cannot start (%d); are %s and the rendezvous file (ZELT2_RENDEZVOUS) valid?\n",
                     init, PPPP_INIT_ENV_VARIABLE);
        return 1;
    }
    const int result = command == "device" ? Device(argv[2], argc - 3, argv + 3) : Viewer(argv[2], argc - 3, argv + 3);
    PPPP_DeInitialize();
    return result;
}
