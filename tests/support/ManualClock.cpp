#include "tests/support/ManualClock.h"

#include <chrono>
#include <thread>

namespace testsupport {

void CManualClock::Sleep(uint32_t ms) {
    m_qwSlept.fetch_add(ms);
    m_dwSleepCalls.fetch_add(1);
    if (m_bAdvanceOnSleep.load()) {
        m_dwNow.fetch_add(ms);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms == 0 ? 0 : 1));
    }
}

}  // namespace testsupport
