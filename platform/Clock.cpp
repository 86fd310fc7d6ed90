#include "Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class CSystemClock final : public IClock {
public:
    uint32_t GetTickCount() override {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

CSystemClock g_systemClock;
std::atomic<IClock*> g_pClock{&g_systemClock};

}  // namespace

IClock& SystemClock() { return g_systemClock; }

uint32_t GetTickCount() { return g_pClock.load(std::memory_order_acquire)->GetTickCount(); }

void Sleep(uint32_t ms) { g_pClock.load(std::memory_order_acquire)->Sleep(ms); }

IClock* SetClock(IClock* clock) {
    IClock* previous = g_pClock.exchange(clock ? clock : &g_systemClock, std::memory_order_acq_rel);
    return previous == &g_systemClock ? nullptr : previous;
}

}  // namespace platform
