#include "transport/Discovery.h"

#include <algorithm>

#include "platform/Random.h"
#include "platform/Trace.h"
#include "transport/Socket.h"
#include "transport/Wire.h"

namespace pppp {
namespace {

// Queries are repeated, quickly at first (a device may be opening this very
// moment), then more calmly.
constexpr uint32_t kFirstQueryIntervalMs = 50;
constexpr uint32_t kLastQueryIntervalMs = 400;
constexpr int kMaxTargets = 16;

}  // namespace

bool FindDevice(const CConfig& config, const std::string& did, uint32_t timeoutMs, sockaddr_in* found) {
    // This host only: the answers come to loopback, where nothing from outside reaches.
    CFd fd = OpenUdpSocket(0, config.bLoopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (!fd.Valid()) return false;
    Datagram query;
    query.type = DatagramQuery;
    query.did = did;
    if (!platform::SecureRandomBytes(&query.nonce, sizeof query.nonce)) query.nonce = static_cast<uint32_t>(NowMs());
    uint8_t packet[kMaxDatagram];
    const size_t packetSize = MakeDatagram(packet, query);
    sockaddr_in targets[kMaxTargets];
    int targetCount = 0;
    BroadcastTargets(config.bLoopbackOnly, config.wDiscoveryPort, targets, &targetCount, kMaxTargets);

    const uint64_t deadline = NowMs() + timeoutMs;
    uint64_t nextQuery = 0;
    uint32_t interval = kFirstQueryIntervalMs;
    for (;;) {
        uint64_t now = NowMs();
        if (now >= nextQuery) {
            // Datagrams get lost; ask again until the time is up.
            for (int i = 0; i < targetCount; ++i)
                SendDatagram(fd.Get(), packet, packetSize, targets[i]);
            nextQuery = now + interval;
            interval = std::min(interval * 2, kLastQueryIntervalMs);
        }
        if (now >= deadline) return false;
        pollfd p{fd.Get(), POLLIN, 0};
        PollSockets(&p, 1, static_cast<int>(std::min(nextQuery, deadline) - now));
        for (;;) {
            uint8_t in[kMaxDatagram + 1];
            sockaddr_in from{};
            const long n = ReceiveDatagram(fd.Get(), in, sizeof in, &from);
            if (n < 0) break;
            Datagram answer;
            if (!ParseDatagram(in, static_cast<size_t>(n), &answer)) continue;
            if (answer.type != DatagramAnswer || answer.nonce != query.nonce || answer.did != did || !answer.port)
                continue;
            from.sin_port = htons(answer.port);
            // A device of this host answers every broadcast that reaches it, the
            // local network's too; it is reached best, and the same way each time, by loopback.
            if (IsOwnAddress(from)) from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            *found = from;
            ZTRACE("%s answered from port %u\n", did.c_str(), answer.port);
            return true;
        }
    }
}

}  // namespace pppp
