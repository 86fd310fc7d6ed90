#pragma once
// A broker client without a broker: what the route sends is kept, read back
// as messages, for a test to look at, and so is the device's presence.

#include <mutex>
#include <string>
#include <vector>

#include "transport/internet/SignallingPort.h"

namespace transporttest {

class CFakeSignalling final : public pppp::ISignalling {
public:
    struct Sent {
        std::string to;
        pppp::SignalMessage message;
    };

    bool Start(MessageFn) override { return true; }
    void Stop() override {}
    bool WaitReady(uint64_t) override { return true; }
    bool SendTo(const std::string& peer, const std::string& payload) override;
    int Presence(const std::string&, uint64_t) override { return -1; }
    void SetPresent(bool present) override;

    // What went out (and is then forgotten).
    std::vector<Sent> TakeSent();
    // The device's presence as last set: -1 never set, else 0 or 1.
    int OwnPresence();

private:
    std::mutex m_lock;
    std::vector<Sent> m_sent;
    int m_nOwnPresence = -1;
};

}  // namespace transporttest
