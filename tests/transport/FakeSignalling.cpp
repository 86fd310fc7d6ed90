#include "tests/transport/FakeSignalling.h"

#include <gtest/gtest.h>

#include <utility>

namespace transporttest {

bool CFakeSignalling::SendTo(const std::string& peer, const std::string& payload) {
    Sent sent{peer, {}};
    // The route never sends what it could not read itself.
    EXPECT_TRUE(pppp::ParseSignalMessage(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                         &sent.message))
        << payload;
    std::lock_guard<std::mutex> hold(m_lock);
    m_sent.push_back(std::move(sent));
    return true;
}

void CFakeSignalling::SetPresent(bool present) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nOwnPresence = present ? 1 : 0;
}

std::vector<CFakeSignalling::Sent> CFakeSignalling::TakeSent() {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::exchange(m_sent, {});
}

int CFakeSignalling::OwnPresence() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nOwnPresence;
}

}  // namespace transporttest
