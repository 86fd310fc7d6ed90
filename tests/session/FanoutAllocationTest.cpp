// The fan-out allocates nothing per frame once it runs: every allocation
// through operator new is counted (bench/support/AllocationCounter replaces it
// in this program) while frames go to eight viewers, through every path of a
// frame: gated and ungated, key and delta, back-pressure, a viewer that leaves.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/support/AllocationCounter.h"
#include "platform/Clock.h"
#include "service/session/SessionServer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/NullTransport.h"
#include "tests/support/SessionServerProbe.h"

namespace {

using namespace session;

unsigned int g_nPending = 0;
int g_nCheckResult = PPPP_OK;
int CheckBuffer(int, unsigned char, unsigned int* w, unsigned int*) {
    if (w) *w = g_nPending;
    return g_nCheckResult;
}

TEST(FanoutAllocations, NoneInSteadyState) {
    testsupport::CManualClock clock;
    clock.SetAdvanceOnSleep(true);
    platform::CScopedClock scoped(clock);
    PpppTable transport = testsupport::NullTransport();
    transport.Check_Buffer = &CheckBuffer;
    testsupport::CNullHost host;
    auto server = std::make_unique<CSessionServer>(transport, host);
    CSessionServerProbe probe(*server);
    probe.SetRunning(true);
    for (int i = 0; i < kMaxSessions; ++i) {
        const uint8_t challenge[16] = {}, key[16] = {static_cast<uint8_t>(i)};
        probe.Occupy(i, 10 + i, u"pw", challenge, key, 1);
        probe.Slot(i).bAuthed.store(true);
        probe.Slot(i).bVideoOn.store(true);
    }
    std::vector<uint8_t> key(60000, 0x21), delta(2500, 0x42);
    const uint8_t keyStart[] = {0, 0, 0, 1, 0x67, 0x64}, deltaStart[] = {0, 0, 0, 1, 0x41, 0x9A};
    std::memcpy(key.data(), keyStart, 6);
    std::memcpy(delta.data(), deltaStart, 6);
    server->OnEncodedFrame(session::EncodedFrame::Live(key.data(), static_cast<uint32_t>(key.size())));  // the first frame may set up

    const uint64_t before = benchsupport::AllocationCount();
    for (int n = 0; n < 200; ++n) {
        g_nPending = n % 50 == 7 ? 100000 : 0;
        const std::vector<uint8_t>& live = n % 25 == 0 ? key : delta;
        server->OnEncodedFrame(session::EncodedFrame::Live(live.data(), static_cast<uint32_t>(live.size())));
        server->OnEncodedFrame(session::EncodedFrame::Still(delta.data(), static_cast<uint32_t>(delta.size())));
    }
    g_nPending = 0;
    g_nCheckResult = PPPP_ERR_CLOSED_BY_PEER;  // every viewer leaves
    server->OnEncodedFrame(session::EncodedFrame::Live(key.data(), static_cast<uint32_t>(key.size())));
    EXPECT_EQ(benchsupport::AllocationCount() - before, 0u);
    g_nCheckResult = PPPP_OK;
    EXPECT_EQ(server->Online(), 0);
}

}  // namespace
