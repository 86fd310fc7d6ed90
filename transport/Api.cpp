// The exported C interface: one transport per process, reference-counted by
// PPPP_Initialize and PPPP_DeInitialize.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Trace.h"
#include "transport/PPPP_API.h"
#include "transport/InitString.h"
#include "transport/Route.h"
#include "transport/Transport.h"

namespace {

constexpr unsigned int kApiVersion = 0x01000000;  // 1.0.0.0

std::mutex g_lock;
std::shared_ptr<pppp::CTransport> g_pTransport;
int g_nInitCount = 0;
std::string g_strInit;

std::shared_ptr<pppp::CTransport> Current() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_pTransport;
}

}  // namespace

extern "C" {

int PPPP_MakeInitString(const PPPP_InitOptions* options, char* out, int outSize) {
    if (!out || outSize < PPPP_INIT_STRING_LENGTH + 1) return PPPP_ERR_BAD_ARGUMENT;
    const PPPP_InitOptions defaults{};
    const std::string text = pppp::MakeInitString(options ? *options : defaults);
    std::memcpy(out, text.c_str(), text.size() + 1);
    return PPPP_INIT_STRING_LENGTH;
}

int PPPP_ParseInitString(const char* initString, PPPP_InitOptions* options) {
    return pppp::ParseInitString(initString, options) ? PPPP_OK : PPPP_ERR_BAD_ARGUMENT;
}

int PPPP_Initialize(const char* initString) {
    const char* text = initString;
    const char* fromEnvironment = std::getenv(PPPP_INIT_ENV_VARIABLE);
    if (fromEnvironment && *fromEnvironment) text = fromEnvironment;
    PPPP_InitOptions options{};
    if (!pppp::ParseInitString(text, &options)) {
        ZTRACE("not a transport configuration%s: \"%.100s\"\n",
               text == fromEnvironment ? " (from " PPPP_INIT_ENV_VARIABLE ")" : "", text ? text : "(null)");
        return PPPP_ERR_BAD_ARGUMENT;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_nInitCount > 0) {
        if (g_strInit != text) return PPPP_ERR_ALREADY_INITIALISED;
        ++g_nInitCount;
        return PPPP_OK;
    }
    // The internet route's rendezvous file: none leaves it off; an unusable one is an error
    // named on standard error (never with a value: the file holds secrets).
    // A build without the route calls any rendezvous file unusable.
    pppp::RouteMaker route;
    std::string path, problem;
    const pppp::RouteSetup setup = pppp::SetUpInternetRoute(&route, &path, &problem);
    if (setup == pppp::RouteSetup::Unusable) {
        std::fprintf(stderr, "libpppp: %s\n", problem.c_str());
        return PPPP_ERR_BAD_ARGUMENT;
    }
    // A process for this host only sends nothing to other hosts: no internet route.
    const bool internet = setup == pppp::RouteSetup::Configured && !(options.flags & PPPP_INIT_LOOPBACK_ONLY);
    if (setup == pppp::RouteSetup::Configured && !internet)
        std::fprintf(stderr, "libpppp: this host only: the internet route (%s) is off\n", path.c_str());
    auto transport =
        std::make_shared<pppp::CTransport>(pppp::CConfig::FromOptions(options), internet ? route : nullptr);
    if (!transport->Start()) {
        transport->Shutdown();
        return PPPP_ERR_NOT_INITIALISED;
    }
    g_pTransport = std::move(transport);
    g_strInit = text;
    g_nInitCount = 1;
    return PPPP_OK;
}

int PPPP_DeInitialize(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_nInitCount == 0) return PPPP_ERR_NOT_INITIALISED;
    if (--g_nInitCount > 0) return PPPP_OK;
    // Calls still running elsewhere hold their own reference; they fail once it is shut down.
    auto transport = std::move(g_pTransport);
    transport->Shutdown();
    return PPPP_OK;
}

int PPPP_Share_Bandwidth(char enable) {
    auto t = Current();
    if (!t) return PPPP_ERR_NOT_INITIALISED;
    t->SetShareBandwidth(enable != 0);
    return PPPP_OK;
}

unsigned int PPPP_GetAPIVersion(void) { return kApiVersion; }

int PPPP_Listen(const char* did, unsigned int waitSeconds, unsigned int port, char enableRemote) {
    auto t = Current();
    return t ? t->Listen(did, waitSeconds, port, enableRemote != 0) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Listen_Break(void) {
    auto t = Current();
    if (!t) return PPPP_ERR_NOT_INITIALISED;
    t->ListenBreak();
    return PPPP_OK;
}

int PPPP_Check(int session, PPPP_SessionRecord* record) {
    auto t = Current();
    if (!t) return PPPP_ERR_NOT_INITIALISED;
    return t->Check(session, record ? record->bytes : nullptr);
}

int PPPP_Channel_Binding(int session, unsigned char* out, int outSize) {
    auto t = Current();
    return t ? t->ChannelBinding(session, out, outSize) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Read(int session, unsigned char channel, char* buffer, int* size, unsigned int timeoutMs) {
    auto t = Current();
    if (!t) {
        if (size) *size = 0;
        return PPPP_ERR_NOT_INITIALISED;
    }
    return t->Read(session, channel, buffer, size, timeoutMs);
}

int PPPP_Write(int session, unsigned char channel, const char* buffer, int size) {
    auto t = Current();
    return t ? t->Write(session, channel, buffer, size) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Check_Buffer(int session, unsigned char channel, unsigned int* writePending, unsigned int* readPending) {
    auto t = Current();
    return t ? t->CheckBuffer(session, channel, writePending, readPending) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Wait_Buffer(int session, unsigned int maxQueued, unsigned int timeoutMs) {
    auto t = Current();
    return t ? t->WaitBuffer(session, maxQueued, timeoutMs) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Close(int session) {
    auto t = Current();
    return t ? t->Close(session) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_Connect(const char* did, unsigned int timeoutMs) {
    auto t = Current();
    return t ? t->Connect(did, timeoutMs) : PPPP_ERR_NOT_INITIALISED;
}

int PPPP_ConnectTo(const char* did, const char* address, unsigned int timeoutMs) {
    auto t = Current();
    return t ? t->ConnectTo(did, address, timeoutMs) : PPPP_ERR_NOT_INITIALISED;
}

}  // extern "C"
