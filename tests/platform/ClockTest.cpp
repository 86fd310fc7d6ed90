#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/support/ManualClock.h"

namespace {

TEST(Clock, SubstituteClockIsUsedAndRestoredInNestedScopes) {
    testsupport::CManualClock outer(5000);
    testsupport::CManualClock inner(0xFFFFFFF0u);
    {
        platform::CScopedClock useOuter(outer);
        EXPECT_EQ(platform::GetTickCount(), 5000u);
        {
            platform::CScopedClock useInner(inner);
            inner.Advance(0x20);  // wraps like the real 32-bit tick count
            EXPECT_EQ(platform::GetTickCount(), 0x10u);
            platform::Sleep(250);
            EXPECT_EQ(inner.SleptMs(), 250u);
        }
        EXPECT_EQ(platform::GetTickCount(), 5000u);
    }
    EXPECT_EQ(platform::SetClock(nullptr), nullptr) << "the system clock is back";
}

TEST(Clock, SystemClockMovesWithRealTime) {
    const uint32_t before = platform::GetTickCount();
    platform::Sleep(20);
    const uint32_t elapsed = platform::GetTickCount() - before;  // modular, wrap-safe
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 60000u);
}

}  // namespace
