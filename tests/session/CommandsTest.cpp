// The login check and the viewer commands, handed packets the way the reader
// hands them, with the replies read at the viewers' ends.

#include <thread>

#include "platform/Clock.h"
#include "service/session/ReportLimit.h"
#include "tests/session/ServerFixture.h"
#include "tests/support/ManualClock.h"

namespace sessiontest {
namespace {

class CommandsTest : public ServerTest {
protected:
    // A refused login answer makes the next one wait; the handlers run on the
    // test's thread, so time moves on as they wait.
    CommandsTest() {
        clock.SetAdvanceOnSleep(true);
        probe->SetRunning(true);
    }

    testsupport::CManualClock clock{5000};
    platform::CScopedClock scoped{clock};

    // An AuthResponse whose payload is `payload` and whose payloadLength16 says `announced`.
    std::vector<uint8_t> AuthResponse(const std::vector<uint8_t>& payload, uint16_t announced) {
        std::vector<uint8_t> p(kPacketOverhead + payload.size(), 0);
        StoreU32(p.data(), static_cast<uint32_t>(kControlBlockSize + payload.size()));
        p[3] = KindPlain;
        StoreU16(p.data() + kOffCommand, CmdAuthResponse);
        StoreU16(p.data() + kOffPayloadLength16, announced);
        std::copy(payload.begin(), payload.end(), p.begin() + kOffPayload);
        return p;
    }
    std::vector<uint8_t> Expected(int i) {
        return std::vector<uint8_t>(probe->Slot(i).abyExpected, probe->Slot(i).abyExpected + 16);
    }
    ServerMessageType Reply(CFakeViewer& viewer) {
        ServerMessage m;
        if (!viewer.Receive(kChannelControl, m, 500)) return ServerMessageType::Unknown;
        return m.type;
    }
    void DeliverPacket(int i, const std::vector<uint8_t>& p) { Deliver(i, p.data(), p.size()); }
};

TEST_F(CommandsTest, AuthResponseLengthRulesAndTheSixteenByteComparison) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer, /*login=*/false);
    const auto expected = Expected(0);

    // Announced 0 or more than 16: refused without comparing, even with the right bytes.
    DeliverPacket(0, AuthResponse(expected, 0));
    EXPECT_EQ(Reply(viewer), ServerMessageType::AuthRefused);
    auto seventeen = expected;
    seventeen.push_back(0);
    DeliverPacket(0, AuthResponse(seventeen, 17));
    EXPECT_EQ(Reply(viewer), ServerMessageType::AuthRefused);
    EXPECT_FALSE(probe->Slot(0).bAuthed.load());

    // Eight bytes compare as those eight followed by zeros.
    const std::vector<uint8_t> firstHalf(expected.begin(), expected.begin() + 8);
    DeliverPacket(0, AuthResponse(firstHalf, 8));
    EXPECT_EQ(Reply(viewer), ServerMessageType::AuthRefused);
    std::fill(probe->Slot(0).abyExpected + 8, probe->Slot(0).abyExpected + 16, 0);
    DeliverPacket(0, AuthResponse(firstHalf, 8));
    EXPECT_EQ(Reply(viewer), ServerMessageType::AuthAccepted);
    EXPECT_TRUE(probe->Slot(0).bAuthed.load());
}

TEST_F(CommandsTest, RepeatedLoginsKeepTheSessionKeyAndAWrongOneDoesNotUndoTheFirst) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer, /*login=*/false);
    const auto expected = Expected(0);
    std::vector<std::vector<uint8_t>> wrapped;
    for (int n = 0; n < 2; ++n) {
        DeliverPacket(0, AuthResponse(expected, 16));
        ServerMessage m;
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));
        ASSERT_EQ(m.type, ServerMessageType::AuthAccepted);
        wrapped.emplace_back(m.payload, m.payload + m.payloadLength);
    }
    EXPECT_EQ(wrapped[0], wrapped[1]);

    auto wrong = expected;
    wrong[15] ^= 1;
    DeliverPacket(0, AuthResponse(wrong, 16));
    EXPECT_EQ(Reply(viewer), ServerMessageType::AuthRefused);
    EXPECT_TRUE(probe->Slot(0).bAuthed.load());

    // The key the viewer unwraps is the slot's session key.
    ASSERT_TRUE(viewer.Protocol().AcceptSessionKey(wrapped[0].data(), 16));
    EXPECT_EQ(std::memcmp(viewer.Protocol().SessionKey(), probe->Slot(0).abySessionKey, 16), 0);
}

TEST_F(CommandsTest, PlainPacketsOtherThanAuthResponseAndUnknownCommandsGetNoReply) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer);
    auto plain = AuthResponse(Expected(0), 16);
    StoreU16(plain.data() + kOffCommand, 7);
    DeliverPacket(0, plain);
    uint8_t packet[64];
    Deliver(0, packet, viewer.Protocol().BuildCommand(5, nullptr, 0, packet, sizeof packet));
    EXPECT_TRUE(viewer.Quiet(kChannelControl));
}

TEST_F(CommandsTest, CommandsBeforeLoginAreIgnoredExceptThoseThatOnlyClearTheSendersOwnFlags) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer, /*login=*/false);
    // The viewer seals with the slot's key although it never logged in.
    uint8_t wrapped[16], password[kPasswordBufferSize];
    MakePasswordBuffer(kPassword, password);
    AesEncryptBlock(128, probe->Slot(0).abySessionKey, 16, password, 24, wrapped);
    ASSERT_TRUE(viewer.Protocol().AcceptSessionKey(wrapped, 16));

    DeliverVideoStart(0, viewer, 2u);
    uint8_t packet[64];
    Deliver(0, packet, viewer.Protocol().BuildMarkSet(packet, sizeof packet));
    EXPECT_FALSE(probe->Slot(0).bVideoOn.load());
    EXPECT_FALSE(probe->Slot(0).bMarked.load());
    EXPECT_EQ(server->Mode(), 0);
    EXPECT_EQ(host.TimerStarts(), 0);
    EXPECT_TRUE(viewer.Quiet(kChannelControl));

    probe->Slot(0).bMarked.store(true);
    probe->Slot(0).bVideoOn.store(true);
    Deliver(0, packet, viewer.Protocol().BuildMarkClear(packet, sizeof packet));
    Deliver(0, packet, viewer.Protocol().BuildVideoStop(packet, sizeof packet));
    EXPECT_FALSE(probe->Slot(0).bMarked.load());
    EXPECT_FALSE(probe->Slot(0).bVideoOn.load());
}

TEST_F(CommandsTest, MarkSetAndMarkClearFollowTheViewer) {
    CFakeViewer viewer(kPassword);
    Admit(0, viewer, true, false);
    uint8_t packet[64];
    Deliver(0, packet, viewer.Protocol().BuildMarkSet(packet, sizeof packet));
    EXPECT_TRUE(probe->Slot(0).bMarked.load());
    Deliver(0, packet, viewer.Protocol().BuildMarkClear(packet, sizeof packet));
    EXPECT_FALSE(probe->Slot(0).bMarked.load());
    EXPECT_TRUE(viewer.Quiet(kChannelControl));
}

TEST_F(CommandsTest, ModeChangeSendsTheCameraItsModeResetsEveryGateAndReportsToEveryWatcherUnderItsOwnKey) {
    CFakeViewer a(kPassword), b(kPassword), idle(kPassword);
    Admit(0, a);
    Admit(1, b);
    Admit(2, idle, true, /*video=*/false);
    a.Drain(kChannelControl);
    for (int i = 0; i < 3; ++i) probe->Slot(i).bKeySent.store(true);
    const int requestsBefore = host.KeyFrameRequests();

    DeliverVideoStart(1, b, 2u);
    EXPECT_EQ(server->Mode(), 2);
    EXPECT_EQ(host.CameraModes(), std::vector<int>{2});
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(probe->Slot(i).bKeySent.load()) << i;
    EXPECT_GT(host.KeyFrameRequests(), requestsBefore);

    // Each watcher opens its report with its own key; the one without video gets none.
    for (CFakeViewer* v : {&a, &b}) {
        ServerMessage m;
        ASSERT_TRUE(v->Receive(kChannelControl, m));
        EXPECT_EQ(m.type, ServerMessageType::ModeReport);
        EXPECT_EQ(m.kind, KindSealed16);
        EXPECT_EQ(m.mode, 2u);
    }
    EXPECT_TRUE(idle.Quiet(kChannelControl));
    const auto reportA = fake.Written(a.DeviceEnd(), kChannelControl).back();
    const auto reportB = fake.Written(b.DeviceEnd(), kChannelControl).back();
    EXPECT_NE(std::vector<uint8_t>(reportA.begin() + 4, reportA.begin() + 20),
              std::vector<uint8_t>(reportB.begin() + 4, reportB.begin() + 20));
}

TEST_F(CommandsTest, VideoStartThatAsksForNoNewModeLeavesTheCameraAloneButStillReports) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a);
    Admit(1, b);
    a.Drain(kChannelControl);
    DeliverVideoStart(0, a, 2u);
    ServerMessage m;
    ASSERT_TRUE(a.Receive(kChannelControl, m));
    ASSERT_TRUE(b.Receive(kChannelControl, m));
    ASSERT_EQ(host.CameraModes(), std::vector<int>{2});

    probe->Slot(0).bKeySent.store(true);
    uint8_t packet[64];
    const uint8_t shortPayload[4] = {1, 0, 0, 0};
    Deliver(0, packet, a.Protocol().BuildVideoStart(2u, packet, sizeof packet));  // the current mode
    Deliver(0, packet, a.Protocol().BuildVideoStart(7u, packet, sizeof packet));  // no such mode
    Deliver(0, packet, a.Protocol().BuildCommand(CmdVideoStart, shortPayload, 4, packet, sizeof packet));
    Deliver(0, packet, a.Protocol().BuildVideoStart(std::nullopt, packet, sizeof packet));

    EXPECT_EQ(host.CameraModes(), std::vector<int>{2});
    EXPECT_EQ(server->Mode(), 2);
    EXPECT_TRUE(probe->Slot(0).bKeySent.load());
    for (int n = 0; n < 4; ++n) {
        for (CFakeViewer* v : {&a, &b}) {
            ASSERT_TRUE(v->Receive(kChannelControl, m)) << n;
            EXPECT_EQ(m.type, ServerMessageType::ModeReport);
            EXPECT_EQ(m.mode, 2u);
        }
    }
}

TEST_F(CommandsTest, TheStillFramePollGoesOnUntilTheLastWatcherStopsItsVideo) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a);
    Admit(1, b);
    EXPECT_EQ(host.TimerStarts(), 1) << "a second VideoStart does not restart the poll";
    EXPECT_EQ(server->VideoTimer(), 101u);
    a.Drain(kChannelControl);

    uint8_t packet[64];
    Deliver(0, packet, a.Protocol().BuildVideoStop(packet, sizeof packet));
    EXPECT_EQ(host.TimerKills(), 0) << "b still watches";
    EXPECT_EQ(server->VideoTimer(), 101u);
    EXPECT_FALSE(probe->Slot(0).bVideoOn.load());
    EXPECT_TRUE(probe->Slot(1).bVideoOn.load());
    EXPECT_TRUE(a.Quiet(kChannelControl)) << "no reply to VideoStop";

    Deliver(1, packet, b.Protocol().BuildVideoStop(packet, sizeof packet));
    EXPECT_EQ(host.TimerKills(), 1);
    EXPECT_EQ(server->VideoTimer(), 0u);
    // A second stop finds no timer to kill; the owner's stop neither.
    Deliver(0, packet, a.Protocol().BuildVideoStop(packet, sizeof packet));
    server->StopVideoTimer();
    EXPECT_EQ(host.TimerKills(), 1);
}

TEST_F(CommandsTest, ConcurrentModeChangesLeaveTheModeAndTheCameraAgreeing) {
    CFakeViewer a(kPassword), b(kPassword);
    Admit(0, a);
    Admit(1, b);
    for (int round = 0; round < 20; ++round) {
        const uint32_t ma = static_cast<uint32_t>(round % 4), mb = static_cast<uint32_t>((round + 1) % 4);
        uint8_t pa[64], pb[64];
        const size_t na = a.Protocol().BuildVideoStart(ma, pa, sizeof pa);
        const size_t nb = b.Protocol().BuildVideoStart(mb, pb, sizeof pb);
        std::thread ta([&] { Deliver(0, pa, na); });
        std::thread tb([&] { Deliver(1, pb, nb); });
        ta.join();
        tb.join();
        ASSERT_FALSE(host.CameraModes().empty());
        EXPECT_EQ(host.CameraModes().back(), server->Mode()) << round;
        // Neither viewer is left with an older mode as its last report.
        for (CFakeViewer* v : {&a, &b}) {
            ServerMessage m;
            uint32_t last = 99;
            while (!v->Quiet(kChannelControl, 5))
                if (v->Receive(kChannelControl, m, 200) && m.type == ServerMessageType::ModeReport) last = m.mode;
            EXPECT_EQ(last, static_cast<uint32_t>(server->Mode())) << round;
        }
    }
}

// Guessing the password costs time; the handlers run on threads of the test
// and time moves only when the test moves it.
class GuessingTest : public CommandsTest {
protected:
    GuessingTest() { clock.SetAdvanceOnSleep(false); }

    // Hands `p` to slot i on a thread of its own, which may be held up.
    std::thread DeliverLater(int i, std::vector<uint8_t> p) {
        return std::thread([this, i, p = std::move(p)] { DeliverPacket(i, p); });
    }
    // True once a handler waits on the clock again; false if it replied instead.
    bool Waiting(CFakeViewer& viewer, size_t replies) {
        const uint32_t calls = clock.SleepCalls();
        return WaitUntil([&] { return clock.SleepCalls() > calls + 2; }) &&
               fake.WriteCount(viewer.DeviceEnd(), kChannelControl) == replies;
    }
    std::vector<uint8_t> Wrong() { return AuthResponse(std::vector<uint8_t>(16, 0xEE), 16); }
    std::vector<uint8_t> Right(int i) { return AuthResponse(Expected(i), 16); }
};

TEST_F(GuessingTest, ARefusalHoldsTheNextAnswerASecondAndRefusalsInARowFromOneAddressLonger) {
    constexpr uint32_t kA = 0x0A000009, kB = 0x0A00000A;
    CFakeViewer v0(kPassword), v1(kPassword), v2(kPassword);
    Admit(0, v0, false, false, kA);
    Admit(1, v1, false, false, kA);
    Admit(2, v2, false, false, kB);

    // The first answer is looked at at once; a mistyped one may be tried again.
    DeliverPacket(0, Wrong());
    EXPECT_EQ(Reply(v0), ServerMessageType::AuthRefused);
    std::thread second = DeliverLater(0, Wrong());
    ASSERT_TRUE(Waiting(v0, 1));
    clock.Advance(kAnswerPauseMs - 1);
    ASSERT_TRUE(Waiting(v0, 1));
    clock.Advance(1);
    EXPECT_EQ(Reply(v0), ServerMessageType::AuthRefused);
    second.join();

    // Two in a row from address A: its other session waits two seconds, even
    // with the right answer; address B is not held up.
    std::thread other = DeliverLater(1, Right(1));
    ASSERT_TRUE(Waiting(v1, 0));
    DeliverPacket(2, Right(2));
    EXPECT_EQ(Reply(v2), ServerMessageType::AuthAccepted);
    clock.Advance(2 * kAnswerPauseMs - 1);
    ASSERT_TRUE(Waiting(v1, 0));
    clock.Advance(1);
    other.join();
    EXPECT_EQ(Reply(v1), ServerMessageType::AuthAccepted);
    EXPECT_TRUE(probe->Slot(1).bAuthed.load());
}

TEST_F(GuessingTest, AnAnswerHeldUpEndsWithItsSession) {
    CFakeViewer v(kPassword);
    Admit(0, v, false, false, 0x0A000009);
    DeliverPacket(0, Wrong());
    std::thread held = DeliverLater(0, Right(0));
    ASSERT_TRUE(Waiting(v, 1));
    probe->CloseSlot(0, probe->Generation(0));
    held.join();
    EXPECT_FALSE(probe->Slot(0).bAuthed.load());
}

TEST(LoginThrottle, TheDeviceLooksAtABoundedNumberOfWrongAnswersPerSecond) {
    CLoginThrottle throttle;
    uint32_t now = 7000;
    for (uint32_t k = 0; k < kWrongAnswersPerSecond; ++k) {
        ASSERT_TRUE(throttle.TakeLook(now));
        throttle.Refused(0x0A000100u + k, now);  // every one from an address of its own
    }
    EXPECT_FALSE(throttle.TakeLook(now));
    now += 1000 / kWrongAnswersPerSecond - 1;
    EXPECT_FALSE(throttle.TakeLook(now));
    now += 1;
    EXPECT_TRUE(throttle.TakeLook(now));
    EXPECT_FALSE(throttle.TakeLook(now));
    // A right answer gives its look back.
    throttle.Accepted(0x0A000100);
    EXPECT_TRUE(throttle.TakeLook(now));
    // The wait per address doubles up to its limit and is forgotten after a quiet spell.
    for (int k = 0; k < 10; ++k) throttle.Refused(0x0A0000FF, now);
    EXPECT_EQ(throttle.NotBefore(0x0A0000FF, now), now + kAnswerPauseLimitMs);
    now += kStreakForgetMs;
    EXPECT_EQ(throttle.NotBefore(0x0A0000FF, now), now);
}

TEST(LoginThrottle, AnswersTakeLooksInTurnAndGuessersLeaveTheLastFewToSendersNeverWrong) {
    CLoginThrottle throttle;
    uint32_t now = 5000;
    const uint64_t first = throttle.JoinQueue(true);
    const uint64_t second = throttle.JoinQueue(true);
    const uint64_t clean = throttle.JoinQueue(false);
    EXPECT_FALSE(throttle.TakeLook(second, now)) << "behind the first of its kind";
    ASSERT_TRUE(throttle.TakeLook(first, now));
    uint32_t guesses = 1;
    for (uint64_t t = second; throttle.TakeLook(t, now); t = throttle.JoinQueue(true)) ++guesses;
    EXPECT_EQ(guesses, kWrongAnswersPerSecond - kLooksKeptForNewSenders);
    // Not behind the guessers' queue, and one of the kept looks is its own.
    EXPECT_TRUE(throttle.TakeLook(clean, now));
}

// A peer can make the device refuse logins as made over another channel at
// will: the owner hears of the first at once, then at most once a period, with
// the count of those held back; the tick may wrap in between.
TEST(ReportLimit, TheFirstAtOnceThenOneAPeriodWithWhatWasHeldBack) {
    session::CReportLimit limit(60000);
    uint32_t now = 0xFFFFFFFFu - 100;
    EXPECT_EQ(limit.Count(now), 1u);
    for (int k = 0; k < 50; ++k) EXPECT_EQ(limit.Count(now + 1000u * k), 0u) << k;
    EXPECT_EQ(limit.Count(now + 60000u), 51u);
    EXPECT_EQ(limit.Count(now + 60001u), 0u);
}

}  // namespace
}  // namespace sessiontest
