// The video fan-out: gating, back-pressure, sessions that vanish, the counts
// and timestamps each packet carries.

#include "platform/Clock.h"
#include "tests/session/ServerFixture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TraceCapture.h"

namespace sessiontest {
namespace {

using testsupport::CManualClock;
using testsupport::CTraceCapture;

class FanoutTest : public ServerTest {
protected:
    FanoutTest() : scoped(clock) {}
    ~FanoutTest() override { server.reset(); }

    void Frame(uint16_t gate, const std::vector<uint8_t>& frame) {
        server->OnEncodedFrame(gate != 0 ? session::EncodedFrame::Live(frame.data(), static_cast<uint32_t>(frame.size())) : session::EncodedFrame::Still(frame.data(), static_cast<uint32_t>(frame.size())));
    }
    // The next video frame of `viewer`, opened; false when none arrives.
    bool NextFrame(CFakeViewer& viewer, ServerMessage& m, std::vector<uint8_t>* bytes = nullptr) {
        if (!viewer.Receive(kChannelVideo, m, 500) || m.type != ServerMessageType::VideoFrame) return false;
        if (bytes) bytes->assign(m.payload, m.payload + m.payloadLength);
        return true;
    }
    size_t Frames(const CFakeViewer& viewer) { return fake.WriteCount(viewer.DeviceEnd(), kChannelVideo); }

    CManualClock clock{5000};
    platform::CScopedClock scoped;
};

TEST_F(FanoutTest, GatedViewerWaitsForAHighProfileKeyFrameThenGetsEverything) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer);
    probe->SetRunning(true);

    std::vector<uint8_t> threeByteStart = KeyFrame();
    threeByteStart.erase(threeByteStart.begin());  // 00 00 01 67 64
    std::vector<uint8_t> mainProfile = KeyFrame();
    mainProfile[5] = 0x4D;                          // 00 00 00 01 67 4D
    const std::vector<uint8_t> tooShort = {0, 0, 0, 1, 0x67};
    for (const auto& f : {DeltaFrame(), threeByteStart, mainProfile, tooShort}) Frame(1, f);
    EXPECT_EQ(Frames(viewer), 0u);
    EXPECT_FALSE(probe->Slot(0).bKeySent.load());

    const auto key = KeyFrame(300, 0x33), delta = DeltaFrame(200, 0x44);
    Frame(1, key);
    Frame(1, delta);
    Frame(1, mainProfile);
    ServerMessage m;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(NextFrame(viewer, m, &bytes));
    EXPECT_EQ(bytes, key);
    EXPECT_EQ(m.deltaFrame, 0);
    ASSERT_TRUE(NextFrame(viewer, m, &bytes));
    EXPECT_EQ(bytes, delta);
    EXPECT_EQ(m.deltaFrame, 1);
    ASSERT_TRUE(NextFrame(viewer, m, &bytes));
    EXPECT_EQ(m.deltaFrame, 1);
    EXPECT_TRUE(probe->Slot(0).bKeySent.load());
}

TEST_F(FanoutTest, UngatedFramesGoToEveryWatcherAsKeyFramesWithoutOpeningTheGate) {
    CFakeViewer a(kPassword), b(kPassword), idle(kPassword);
    Admit(0, a);
    Admit(1, b);
    Admit(2, idle, true, false);
    probe->SetRunning(true);
    const auto still = DeltaFrame(1941, 0x55);
    Frame(0, still);
    for (CFakeViewer* v : {&a, &b}) {
        ServerMessage m;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(NextFrame(*v, m, &bytes));
        EXPECT_EQ(bytes, still);
        EXPECT_EQ(m.deltaFrame, 0);
    }
    EXPECT_EQ(Frames(idle), 0u);
    EXPECT_FALSE(probe->Slot(0).bKeySent.load());
    EXPECT_FALSE(probe->Slot(1).bKeySent.load());

    // The same frame, sealed for each viewer under its own key.
    const auto pa = fake.Written(a.DeviceEnd(), kChannelVideo).back();
    const auto pb = fake.Written(b.DeviceEnd(), kChannelVideo).back();
    ASSERT_EQ(pa.size(), still.size() + kPacketOverhead);
    EXPECT_EQ(std::vector<uint8_t>(pa.begin(), pa.begin() + 4), std::vector<uint8_t>(pb.begin(), pb.begin() + 4));
    EXPECT_NE(std::vector<uint8_t>(pa.begin() + 4, pa.begin() + 20),
              std::vector<uint8_t>(pb.begin() + 4, pb.begin() + 20));
    EXPECT_EQ(pa[3], KindSealed32);
}

TEST_F(FanoutTest, ViewerCountCountsOccupiedSlotsAndIsTheSameInEveryPacketOfAFrame) {
    CFakeViewer a(kPassword), b(kPassword), pending(kPassword);
    Admit(0, a);
    Admit(3, b);
    Admit(5, pending, /*login=*/false);
    probe->SetRunning(true);
    Frame(0, KeyFrame());
    EXPECT_EQ(server->Online(), 3);
    for (CFakeViewer* v : {&a, &b}) {
        ServerMessage m;
        ASSERT_TRUE(NextFrame(*v, m));
        EXPECT_EQ(m.viewerCount, 3);
    }
}

TEST_F(FanoutTest, NothingIsWrittenWithoutWatchersOrWhileStoppedButTheCountIsKept) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a, true, false);
    Frame(0, KeyFrame());
    EXPECT_EQ(Frames(a), 0u);
    EXPECT_EQ(server->Online(), 1);

    Admit(1, b);
    probe->SetRunning(false);
    Frame(0, KeyFrame());
    EXPECT_EQ(Frames(b), 0u);
    EXPECT_EQ(server->Online(), 2);
}

TEST_F(FanoutTest, AStalledViewerIsSkippedWithoutSlowingTheOthersAndAfterDrainingWaitsForOneRequestedKeyFrame) {
    std::vector<std::unique_ptr<CFakeViewer>> viewers;
    for (int i = 0; i < kMaxSessions; ++i) {
        viewers.push_back(std::make_unique<CFakeViewer>(kPassword));
        Admit(i, *viewers.back());
    }
    CFakeViewer& stalled = *viewers[3];
    probe->SetRunning(true);
    Frame(1, KeyFrame());

    // At the limit nothing happens.
    fake.SetCheckBuffer(stalled.DeviceEnd(), 0, kBackPressureBytes);
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(stalled), 2u);

    // Over it, the viewer gets nothing, nobody waits, and nothing is asked of
    // the encoder for as long as the backlog stays.
    const int requests = host.KeyFrameRequests();
    fake.SetCheckBuffer(stalled.DeviceEnd(), 0, kBackPressureBytes + 1);
    for (int k = 0; k < 40; ++k) Frame(1, k % 10 == 0 ? KeyFrame() : DeltaFrame());
    EXPECT_EQ(Frames(stalled), 2u);
    EXPECT_EQ(clock.SleptMs(), 0u);
    EXPECT_EQ(clock.SleepCalls(), 0u);
    EXPECT_FALSE(probe->Slot(3).bKeySent.load());
    EXPECT_EQ(host.KeyFrameRequests(), requests);
    for (int i = 0; i < kMaxSessions; ++i)
        if (i != 3) {
            EXPECT_EQ(Frames(*viewers[i]), 42u) << "healthy viewer " << i << " lost frames";
        }

    // Drained: one request, then deltas wait for the key frame.
    fake.SetCheckBuffer(stalled.DeviceEnd(), 0, 0);
    Frame(1, DeltaFrame());
    Frame(1, DeltaFrame());
    EXPECT_EQ(host.KeyFrameRequests(), requests + 1);
    EXPECT_EQ(Frames(stalled), 2u);
    Frame(1, KeyFrame());
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(stalled), 4u);
    EXPECT_EQ(Frames(*viewers[0]), 46u);
    EXPECT_EQ(host.KeyFrameRequests(), requests + 1);
}

TEST_F(FanoutTest, AStillFrameMakesItsViewersWaitForTheNextLiveKeyFrameAndAsksForOne) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a);
    Admit(1, b);
    probe->SetRunning(true);
    Frame(1, KeyFrame());
    Frame(1, DeltaFrame());
    const int requests = host.KeyFrameRequests();
    Frame(0, DeltaFrame(300, 0x55));
    EXPECT_EQ(host.KeyFrameRequests(), requests + 1);
    // Live deltas after the still would not decode on top of it.
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(a), 3u);
    EXPECT_EQ(Frames(b), 3u);
    Frame(1, KeyFrame());
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(a), 5u);
    EXPECT_EQ(Frames(b), 5u);
}

TEST_F(FanoutTest, AVanishedSessionIsClosedAndCountedOutFromTheNextFrame) {
    for (int gone : {PPPP_ERR_CLOSED_BY_PEER, PPPP_ERR_CLOSED_TIMEOUT, PPPP_ERR_CLOSED_LOCALLY}) {
        CFakeTransport::Instance().Reset();
        server = std::make_unique<CSessionServer>(CFakeTransport::Table(), host);
        probe = std::make_unique<CSessionServerProbe>(*server);
        CFakeViewer lost(kPassword), kept(kPassword);
        Admit(0, lost);
        Admit(1, kept);
        probe->SetRunning(true);
        fake.SetCheckBuffer(lost.DeviceEnd(), gone, 0);
        Frame(0, KeyFrame());
        EXPECT_EQ(Frames(lost), 0u) << gone;
        EXPECT_EQ(fake.CloseCount(lost.DeviceEnd()), 1) << gone;
        EXPECT_TRUE(probe->Slot(0).bClosing.load());

        ServerMessage m;
        ASSERT_TRUE(NextFrame(kept, m));
        EXPECT_EQ(m.viewerCount, 2) << "counted in the frame that found it gone";
        Frame(0, KeyFrame());
        ASSERT_TRUE(NextFrame(kept, m));
        EXPECT_EQ(m.viewerCount, 1);
        EXPECT_EQ(server->Online(), 1);
    }
}

TEST_F(FanoutTest, FailedWritesAreIgnoredAndTheViewerStays) {
    CFakeViewer a(kPassword);
    Admit(0, a);
    probe->SetRunning(true);
    fake.FailWritesOnChannel(a.DeviceEnd(), kChannelVideo, -1);
    Frame(0, KeyFrame());
    Frame(0, KeyFrame());
    EXPECT_TRUE(probe->Slot(0).bInUse.load());
    EXPECT_FALSE(probe->Slot(0).bClosing.load());
}

TEST_F(FanoutTest, TimestampsCountFromCaptureStartIncludingAfterTheTickCountWraps) {
    CFakeViewer a(kPassword);
    Admit(0, a);
    probe->SetRunning(true);
    struct Case {
        uint32_t start, now, expected;
    };
    for (const Case c : {Case{1000, 1500, 500}, Case{1000, 1000, 0}, Case{0, 0xFFFFFFFF, 0xFFFFFFFF},
                         Case{0xFFFFFF00, 0x10, 0xFFFFFF00 - 0x10 - 1}}) {
        server->SetCaptureStart(c.start);
        clock.Set(c.now);
        Frame(0, KeyFrame());
        ServerMessage m;
        ASSERT_TRUE(NextFrame(a, m));
        EXPECT_EQ(m.timestampMs, c.expected) << c.start << " " << c.now;
    }
}

TEST_F(FanoutTest, FramesThatDoNotFitThePacketBufferAreSkippedWithATraceLine) {
    CTraceCapture trace;
    CFakeViewer a(kPassword);
    Admit(0, a);
    probe->SetRunning(true);
    Frame(0, KeyFrame(kMaxFramePayload + 1));
    EXPECT_EQ(Frames(a), 0u);
    EXPECT_TRUE(trace.Contains("frame of 262125 bytes is longer than 262124, skipped"));

    const auto largest = KeyFrame(kMaxFramePayload, 0x77);
    Frame(0, largest);
    ServerMessage m;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(NextFrame(a, m, &bytes));
    EXPECT_EQ(bytes, largest);
    EXPECT_EQ(fake.Written(a.DeviceEnd(), kChannelVideo).back().size(), kPacketBufferSize);

    server->FreePacketBuffer();
    Frame(0, KeyFrame());
    EXPECT_EQ(Frames(a), 1u);
}

TEST_F(FanoutTest, AfterAModeChangeEveryViewerWaitsForTheNextKeyFrame) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a);
    Admit(1, b);
    probe->SetRunning(true);
    Frame(1, KeyFrame());
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(a), 2u);
    DeliverVideoStart(1, b, 3u);
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(a), 2u);
    EXPECT_EQ(Frames(b), 2u);
    Frame(1, KeyFrame());
    EXPECT_EQ(Frames(a), 3u);
    EXPECT_EQ(Frames(b), 3u);

    // Video off and on again keeps the gate as it was.
    uint8_t packet[64];
    Deliver(0, packet, a.Protocol().BuildVideoStop(packet, sizeof packet));
    DeliverVideoStart(0, a);
    Frame(1, DeltaFrame());
    EXPECT_EQ(Frames(a), 4u);
}

}  // namespace
}  // namespace sessiontest
