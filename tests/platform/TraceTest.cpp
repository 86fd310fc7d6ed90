#include <gtest/gtest.h>

#include <string>

#include "platform/Trace.h"
#include "tests/support/TraceCapture.h"

namespace {

void DoListen(int result) { ZTRACE("PPPP_Listen(..)=%d, m_bRunning=%d\n", result, 1); }

TEST(Trace, LinesCarryTheFunctionNameAndEndTheLine) {
    testsupport::CTraceCapture capture;
    DoListen(-3);
    platform::TraceRaw("====ThreadListen exit");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "  DoListen()] PPPP_Listen(..)=-3, m_bRunning=1\n");
    EXPECT_EQ(lines[1], "====ThreadListen exit\n");
}

TEST(Trace, OffMeansNothingIsFormattedOrWritten) {
    testsupport::CTraceCapture capture;
    platform::SetTraceEnabled(false);
    int evaluated = 0;
    ZTRACE("%d\n", ++evaluated);
    EXPECT_EQ(evaluated, 0) << "arguments are not even evaluated";
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Trace, OverlongLineIsCutButStillEndsTheLine) {
    testsupport::CTraceCapture capture;
    const std::string big(5000, 'x');
    ZTRACE("%s\n", big.c_str());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 1024u);
    EXPECT_EQ(lines[0].back(), '\n');
}

}  // namespace
