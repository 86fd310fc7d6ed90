#include "transport/internet/TurnUdpProbe.h"

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "platform/Trace.h"
#include "transport/Socket.h"

namespace pppp {
namespace {

constexpr uint32_t kMagicCookie = 0x2112A442;
constexpr uint16_t kBindingRequest = 0x0001;
constexpr uint16_t kBindingSuccess = 0x0101;
constexpr uint16_t kBindingError = 0x0111;
// Sent at once and twice more; given up half a second after the first.
constexpr uint64_t kResendAfterMs[] = {100, 250};
constexpr uint64_t kGiveUpMs = 500;
// How long an answer is trusted: a server that answered is asked again after
// a minute, a silent one after ten seconds.
constexpr uint64_t kKeepAnsweredMs = 60000;
constexpr uint64_t kKeepSilentMs = 10000;

struct Known {
    bool answers = false;
    uint64_t atMs = 0;
    bool probing = false;
};

// Never destroyed: a background probe may still end while the process exits.
std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<std::string, Known>& KnownServers() {  // by "host:port"
    static auto* known = new std::map<std::string, Known>;
    return *known;
}

bool Fresh(const Known& k, uint64_t now) {
    return k.atMs != 0 && now - k.atMs < (k.answers ? kKeepAnsweredMs : kKeepSilentMs);
}

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t* p, uint32_t v) {
    Put16(p, static_cast<uint16_t>(v >> 16));
    Put16(p + 2, static_cast<uint16_t>(v));
}

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool Probe(const std::string& where) {
    sockaddr_in to{};
    if (!ResolveAddress(where.c_str(), &to)) return false;
    CFd fd = OpenUdpSocket(0);
    if (!fd.Valid()) return true;  // cannot tell: keep the server
    uint8_t request[20] = {};
    Put16(request, kBindingRequest);
    Put32(request + 4, kMagicCookie);
    std::random_device random;
    for (int i = 8; i < 20; i += 4) Put32(request + i, random());
    const uint64_t started = NowMs();
    size_t sent = 0;
    for (;;) {
        const uint64_t spent = NowMs() - started;
        if (spent >= kGiveUpMs) return false;
        if (sent == 0 || (sent <= std::size(kResendAfterMs) && spent >= kResendAfterMs[sent - 1])) {
            SendDatagram(fd.Get(), request, sizeof request, to);
            ++sent;
        }
        uint64_t until = kGiveUpMs;
        if (sent <= std::size(kResendAfterMs)) until = kResendAfterMs[sent - 1];
        pollfd p{fd.Get(), POLLIN, 0};
        if (PollSockets(&p, 1, static_cast<int>(until > spent ? until - spent : 1)) <= 0) continue;
        uint8_t answer[548];
        sockaddr_in from{};
        const long n = ReceiveDatagram(fd.Get(), answer, sizeof answer, &from);
        // Only an answer from the server to this request counts.
        if (n < 20 || from.sin_addr.s_addr != to.sin_addr.s_addr || from.sin_port != to.sin_port) continue;
        const uint16_t type = Get16(answer);
        if ((type == kBindingSuccess || type == kBindingError) && !std::memcmp(answer + 4, request + 4, 16))
            return true;
    }
}

void Store(const std::string& where, bool answers) {
    if (!answers) ZTRACE("internet route: the TURN server %s does not answer over UDP\n", where.c_str());
    std::lock_guard<std::mutex> hold(Lock());
    Known& k = KnownServers()[where];
    k.answers = answers;
    k.atMs = NowMs();
    k.probing = false;
}

}  // namespace

bool TurnUdpAnswers(const std::string& host, uint16_t port) {
    const std::string where = host + ":" + std::to_string(port);
    {
        std::lock_guard<std::mutex> hold(Lock());
        auto it = KnownServers().find(where);
        if (it != KnownServers().end() && Fresh(it->second, NowMs())) return it->second.answers;
    }
    const bool answers = Probe(where);
    Store(where, answers);
    return answers;
}

TurnUdp TurnUdpKnown(const std::string& host, uint16_t port) {
    const std::string where = host + ":" + std::to_string(port);
    std::lock_guard<std::mutex> hold(Lock());
    Known& k = KnownServers()[where];
    const uint64_t now = NowMs();
    const bool fresh = Fresh(k, now);
    // Asked again once half its time is gone, so that a server in use stays known.
    if (!k.probing && (!fresh || now - k.atMs > (k.answers ? kKeepAnsweredMs : kKeepSilentMs) / 2)) {
        k.probing = true;
        std::thread([where] { Store(where, Probe(where)); }).detach();
    }
    if (!fresh) return TurnUdp::kUnknown;
    return k.answers ? TurnUdp::kAnswers : TurnUdp::kSilent;
}

}  // namespace pppp
