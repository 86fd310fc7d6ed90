// The listener, the session table, the reader and the watchdog, with their
// threads running against the fake transport.

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <memory>
#include <set>

#include "platform/Clock.h"
#include "tests/session/ServerFixture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TraceCapture.h"

namespace sessiontest {
namespace {

using testsupport::CManualClock;
using testsupport::CTraceCapture;

class ListenerTest : public ServerTest {
protected:
    void Start(std::u16string_view did = u"DEV-1") { ASSERT_EQ(server->StartListening(did, kPassword), 0); }
    // Tests with their own clock stop the threads before the clock goes.
    void Stop() {
        server->StopListening();
        server->WaitForReaders();
    }
    // Waits until slot i holds the session of `viewer`.
    bool InSlot(int i, const CFakeViewer& viewer) {
        return WaitUntil([&] {
            return probe->Slot(i).bInUse.load() && probe->Slot(i).hSession.load() == viewer.DeviceEnd();
        });
    }
    // Waits until the watchdog has begun `rounds` more sleeps on `clock`: the
    // rounds between the first and the last have looked at every slot.
    bool WatchdogRounds(CManualClock& clock, uint32_t rounds) {
        const uint32_t calls = clock.SleepCalls();
        return WaitUntil([&] { return clock.SleepCalls() >= calls + rounds; });
    }
    // Recounts the online viewers the way a frame does.
    int CountOnline() {
        const auto frame = DeltaFrame();
        server->OnEncodedFrame(session::EncodedFrame::Still(frame.data(), static_cast<uint32_t>(frame.size())));
        return server->Online();
    }
};

TEST_F(ListenerTest, ListensUnderTheTrimmedUpperCaseDidAndStartsOnlyOnce) {
    Start(u"  dev-1a\t");
    ASSERT_TRUE(WaitUntil([&] { return fake.ListenCalls() >= 1; }));
    EXPECT_EQ(fake.LastDid(), "DEV-1A");
    EXPECT_EQ(server->DID(), u"DEV-1A");
    EXPECT_TRUE(server->IsRunning());

    // A second start changes nothing, not even the DID.
    EXPECT_EQ(server->StartListening(u"other", u"x"), 0);
    EXPECT_EQ(server->DID(), u"DEV-1A");
    EXPECT_EQ(server->Password(), kPassword);

    server->StopListening();
    EXPECT_FALSE(server->IsRunning());
    EXPECT_GE(fake.ListenBreaks(), 1);
}

TEST_F(ListenerTest, EightViewersTakeSlotsInOrderANinthIsClosedAndAFreedSlotIsReusedLowestFirst) {
    Start();
    std::vector<std::unique_ptr<CFakeViewer>> viewers;
    for (int i = 0; i < kMaxSessions; ++i) {
        viewers.push_back(std::make_unique<CFakeViewer>(kPassword));
        ASSERT_TRUE(InSlot(i, *viewers.back())) << "viewer " << i;
        ASSERT_TRUE(viewers.back()->Login()) << "viewer " << i;
    }
    // Online counts occupied slots, logged in or not.
    EXPECT_EQ(CountOnline(), 8);

    CFakeViewer ninth(kPassword);
    ASSERT_TRUE(WaitUntil([&] { return ninth.DeviceClosed(); }));
    EXPECT_EQ(fake.WriteCount(ninth.DeviceEnd(), kChannelControl), 0u) << "no message to a ninth viewer";

    // Viewers 5 and 2 leave; the next two take slots 2 and 5, in that order.
    fake.Close(viewers[5]->Handle());
    fake.Close(viewers[2]->Handle());
    ASSERT_TRUE(WaitUntil([&] { return !probe->Slot(2).bInUse.load() && !probe->Slot(5).bInUse.load(); }));
    EXPECT_EQ(server->Online(), 6);
    CFakeViewer next1(kPassword);
    ASSERT_TRUE(InSlot(2, next1));
    CFakeViewer next2(kPassword);
    ASSERT_TRUE(InSlot(5, next2));
    EXPECT_TRUE(next2.Login());

    server->StopListening();
    server->WaitForReaders();
    for (int i = 0; i < kMaxSessions; ++i) EXPECT_FALSE(probe->Slot(i).bInUse.load());
    EXPECT_EQ(server->Online(), 0);
}

TEST_F(ListenerTest, ChallengesAndSessionKeysAreRandomNotDerivedFromTheAcceptTick) {
    CManualClock clock(0x12345678);  // every accept happens at the same tick
    platform::CScopedClock scoped(clock);
    Start();
    std::set<std::vector<uint8_t>> challenges, keys;
    for (int i = 0; i < 3; ++i) {
        CFakeViewer viewer(kPassword);
        ServerMessage m;
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));
        ASSERT_EQ(m.type, ServerMessageType::Challenge);
        ASSERT_EQ(m.payloadLength, 16u);
        std::vector<uint8_t> challenge(m.payload, m.payload + 16);
        const uint8_t tickPattern[4] = {0x78, 0x56, 0x34, 0x12};
        EXPECT_NE(std::memcmp(challenge.data(), tickPattern, 4), 0);
        challenges.insert(challenge);

        uint8_t packet[64];
        viewer.Send(packet, viewer.Protocol().BuildAuthResponse(m.payload, 16, packet, sizeof packet));
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));
        ASSERT_EQ(m.type, ServerMessageType::AuthAccepted);
        ASSERT_TRUE(viewer.Protocol().AcceptSessionKey(m.payload, m.payloadLength));
        keys.insert(std::vector<uint8_t>(viewer.Protocol().SessionKey(), viewer.Protocol().SessionKey() + 16));
        EXPECT_EQ(probe->Slot(i).dwAcceptTick.load(), 0x12345678u);
    }
    EXPECT_EQ(challenges.size(), 3u);
    EXPECT_EQ(keys.size(), 3u);
    Stop();
}

TEST_F(ListenerTest, RouteIsTracedAndKeptFromTheSessionRecord) {
    CTraceCapture trace;
    fake.SetRoute(1);
    Start();
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(InSlot(0, viewer));
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains("  DoListen()] PPPP_Check(.), i=0, RLY"); }));
    EXPECT_EQ(probe->Slot(0).byRoute.load(), 1);
    EXPECT_TRUE(trace.Contains("  DoListen()] PPPP_Listen(..)="));
}

TEST_F(ListenerTest, WithoutAPasswordViewersOverTheInternetAreToldSoAndThoseOnTheLanStillGetIn) {
    ASSERT_EQ(server->StartListening(u"DEV-1", u""), 0);
    fake.SetPath(PPPP_PATH_INTERNET);
    CFakeViewer remote(u"");
    ServerMessage m;
    ASSERT_TRUE(remote.Receive(kChannelControl, m));
    EXPECT_EQ(m.type, ServerMessageType::AuthRefused);
    ASSERT_EQ(m.payloadLength, 1u);
    EXPECT_EQ(m.payload[0], kRefusedNoPassword);
    EXPECT_TRUE(WaitUntil([&] { return remote.DeviceClosed(); }));
    EXPECT_FALSE(probe->Slot(0).bInUse.load());

    fake.SetPath(PPPP_PATH_TCP);
    CFakeViewer local(u"");
    EXPECT_TRUE(local.Login());
    Stop();
}

// The throttle and the slot rules count a session as its slot's key: on the
// internet route the broker-checked account, whichever relay or NAT it came through.
TEST_F(ListenerTest, OverTheInternetAViewerCountsAsItsBrokerAccountNotAsTheRelaysAddress) {
    Start();
    auto key = [](uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        const uint8_t bytes[4] = {a, b, c, d};
        uint32_t k;
        std::memcpy(&k, bytes, sizeof k);
        return k;
    };
    struct Arrival {
        uint8_t path;
        uint32_t address, account, expected;
    };
    const Arrival arrivals[] = {
        {PPPP_PATH_INTERNET, 0xC6336407, 0x123456, key(255, 0x12, 0x34, 0x56)},  // through a relay
        {PPPP_PATH_INTERNET, 0xC6336407, 0x654321, key(255, 0x65, 0x43, 0x21)},  // another account
        {PPPP_PATH_INTERNET, 0, 0x123456, key(255, 0x12, 0x34, 0x56)},           // the first, IPv6
        {PPPP_PATH_TCP, 0x0A000009, 0x123456, key(10, 0, 0, 9)},                 // the LAN: address
    };
    fake.SetBindings(std::vector<uint8_t>(32, 7), std::vector<uint8_t>(32, 7));
    std::vector<std::unique_ptr<CFakeViewer>> viewers;
    for (const Arrival& a : arrivals) {
        fake.SetPath(a.path);
        fake.SetAddress(a.address);
        fake.SetAccount(a.account);
        const int i = static_cast<int>(viewers.size());
        viewers.push_back(std::make_unique<CFakeViewer>(kPassword));
        ASSERT_TRUE(InSlot(i, *viewers.back())) << i;
        EXPECT_EQ(probe->Slot(i).dwRemoteAddress.load(), a.expected) << i;
    }
    Stop();
}

TEST_F(ListenerTest, RefusedDidShowsWrongDidStopsCaptureAndAllowsAnotherStart) {
    for (int refusal : {PPPP_ERR_CANNOT_LISTEN, PPPP_ERR_BAD_DID}) {
        CTraceCapture trace;
        fake.QueueListenResults({PPPP_ERR_TIMEOUT, PPPP_ERR_INTERRUPTED, -1, refusal});
        const int callsBefore = fake.ListenCalls();
        Start();
        ASSERT_TRUE(WaitUntil([&] { return !server->IsRunning(); })) << refusal;
        // Other failures were simply listened through.
        EXPECT_EQ(fake.ListenCalls() - callsBefore, 4);
        EXPECT_TRUE(WaitUntil([&] { return trace.Contains("====ThreadListen exit"); }));
    }
    EXPECT_EQ(host.Statuses(), (std::vector<int>{kStatusWrongDid, kStatusWrongDid}));
    EXPECT_EQ(host.StopCaptures(), 2);

    // The threads of the run that ended by itself are collected by the next start.
    Start();
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(InSlot(0, viewer));
    EXPECT_TRUE(viewer.Login());
}

TEST_F(ListenerTest, ChallengeThatCannotBeWrittenFreesTheSlot) {
    CTraceCapture trace;
    CFakeViewer broken(kPassword);
    fake.FailWrites(broken.DeviceEnd(), -1);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return broken.DeviceClosed(); }));
    EXPECT_TRUE(trace.Contains("  DoListen()] SendIOCtrl(.)=-1"));
    EXPECT_EQ(fake.CloseCount(broken.DeviceEnd()), 1);

    CFakeViewer next(kPassword);
    ASSERT_TRUE(InSlot(0, next));
    EXPECT_TRUE(next.Login());
}

TEST_F(ListenerTest, ReaderThatCannotBeStartedFreesTheSlotAndStartFailuresLeaveTheServerStopped) {
    CTraceCapture trace;
    Start();
    ASSERT_TRUE(WaitUntil([&] { return fake.ListenCalls() >= 1; }));
    platform::FailThreadStarts(1);
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(WaitUntil([&] { return viewer.DeviceClosed(); }));
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains("  DoListen()] CreateThread(.) failed, i=0"); }));
    EXPECT_TRUE(WaitUntil([&] { return !probe->Slot(0).bInUse.load(); }));
    server->StopListening();

    for (int failures : {1, 2}) {  // the watchdog, then the listener
        platform::FailThreadStarts(failures);
        EXPECT_EQ(server->StartListening(u"DEV-1", kPassword), -1);
        EXPECT_FALSE(server->IsRunning());
    }
    platform::FailThreadStarts(0);
}

TEST_F(ListenerTest, SilentViewerIsClosedAtTheLoginDeadlineAndALoggedInViewerStaysWhileSilent) {
    CManualClock clock(50000);
    platform::CScopedClock scoped(clock);
    fake.Reset(kReadWaitMs);  // reads wait as long as asked: the close must end the silent one's
    Start();
    CFakeViewer silent(kPassword);
    ASSERT_TRUE(InSlot(0, silent));
    CFakeViewer member(kPassword);
    ASSERT_TRUE(InSlot(1, member));
    ASSERT_TRUE(member.Login());

    clock.Advance(kAuthDeadlineMs - 1);
    // Several watchdog rounds pass (each ends in a sleep); nobody is closed yet.
    ASSERT_TRUE(WatchdogRounds(clock, 3));
    EXPECT_FALSE(silent.DeviceClosed());

    clock.Advance(1);
    ASSERT_TRUE(WaitUntil([&] { return silent.DeviceClosed(); }));
    EXPECT_TRUE(WaitUntil([&] { return !probe->Slot(0).bInUse.load(); }));

    // Long after its deadline, the logged-in viewer is still served.
    clock.Advance(10 * kAuthDeadlineMs);
    ASSERT_TRUE(WatchdogRounds(clock, 3));
    EXPECT_FALSE(member.DeviceClosed());
    member.SendMarkSet();
    EXPECT_TRUE(WaitUntil([&] { return probe->Slot(1).bMarked.load(); }));
    Stop();
}

TEST_F(ListenerTest, AClockThatRunsBackwardsAlsoEndsAPendingLogin) {
    CManualClock clock(50000);
    platform::CScopedClock scoped(clock);
    Start();
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(InSlot(0, viewer));
    clock.Set(49999);
    EXPECT_TRUE(WaitUntil([&] { return viewer.DeviceClosed(); }));
    Stop();
}

TEST_F(ListenerTest, RefusedLoginMayBeRetriedUntilItSucceeds) {
    // Each retry comes after the wait a refusal imposes.
    CManualClock clock(50000);
    platform::CScopedClock scoped(clock);
    Start();
    CFakeViewer viewer(kPassword);
    ServerMessage m;
    ASSERT_TRUE(viewer.Receive(kChannelControl, m));
    std::vector<uint8_t> challenge(m.payload, m.payload + m.payloadLength);

    CViewerProtocol wrong(u"guess");
    uint8_t packet[64];
    for (int attempt = 0; attempt < 2; ++attempt) {
        clock.Advance(2 * kAnswerPauseMs);  // well inside the login deadline
        viewer.Send(packet, wrong.BuildAuthResponse(challenge.data(), 16, packet, sizeof packet));
        ASSERT_TRUE(viewer.Receive(kChannelControl, m));
        EXPECT_EQ(m.type, ServerMessageType::AuthRefused);
        EXPECT_EQ(m.payloadLength, 0u);
    }
    EXPECT_FALSE(viewer.DeviceClosed());
    clock.Advance(2 * kAnswerPauseMs);
    viewer.Send(packet, viewer.Protocol().BuildAuthResponse(challenge.data(), 16, packet, sizeof packet));
    ASSERT_TRUE(viewer.Receive(kChannelControl, m));
    EXPECT_EQ(m.type, ServerMessageType::AuthAccepted);
    Stop();
}

// Packets whose header alone is enough to end the session.
TEST_F(ListenerTest, BodyLengthZeroOrLongerThanTheBufferEndsTheSession) {
    CTraceCapture trace;
    Start();
    struct Case {
        uint32_t bodyLength;
        bool ends;
    };
    int slot = 0;
    for (const Case c : {Case{0, true}, Case{1025, true}, Case{0xFFFFFF, true}, Case{1024, false}}) {
        CFakeViewer viewer(kPassword);
        ASSERT_TRUE(InSlot(slot, viewer)) << c.bodyLength;
        ASSERT_TRUE(viewer.Login());
        std::vector<uint8_t> packet(kHeaderSize + (c.ends ? 0 : c.bodyLength), 0x5A);
        StoreU32(packet.data(), c.bodyLength);
        packet[3] = KindSealed16;
        viewer.Send(packet);
        if (c.ends) {
            EXPECT_TRUE(WaitUntil([&] { return viewer.DeviceClosed(); })) << c.bodyLength;
            ASSERT_TRUE(WaitUntil([&] { return !probe->Slot(slot).bInUse.load(); }));
        } else {
            // A full buffer's worth is read; it does not open and is dropped.
            EXPECT_TRUE(WaitUntil([&] { return trace.Contains("UnsealPacket(.)=-2"); }));
            EXPECT_FALSE(viewer.DeviceClosed());
        }
    }
    EXPECT_TRUE(trace.Contains("body of 1025 bytes announced, i=0"));
    EXPECT_TRUE(trace.Contains("body of 16777215 bytes announced, i=0"));
}

TEST_F(ListenerTest, ReadThatFailsMidBodyEndsTheSession) {
    Start();
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(InSlot(0, viewer));
    ASSERT_TRUE(viewer.Login());
    // The header and part of a 16-byte body arrive, then the session breaks.
    fake.FailReadAfter(viewer.DeviceEnd(), kHeaderSize + 7, PPPP_ERR_CLOSED_TIMEOUT);
    uint8_t packet[64];
    viewer.Send(packet, viewer.Protocol().BuildMarkSet(packet, sizeof packet));
    EXPECT_TRUE(WaitUntil([&] { return viewer.DeviceClosed(); }));
    EXPECT_TRUE(WaitUntil([&] { return !probe->Slot(0).bInUse.load(); }));
    EXPECT_FALSE(probe->Slot(0).bMarked.load());
}

TEST_F(ListenerTest, BodiesThatDoNotOpenAreDroppedAndTheSessionGoesOn) {
    CTraceCapture trace;
    Start();
    CFakeViewer viewer(kPassword);
    ASSERT_TRUE(InSlot(0, viewer));
    ASSERT_TRUE(viewer.Login());

    // A VideoStart sealed under some other key.
    CViewerProtocol stranger(kPassword);
    uint8_t otherKey[16] = {9, 9, 9};
    uint8_t wrapped[16], password[kPasswordBufferSize];
    MakePasswordBuffer(kPassword, password);
    AesEncryptBlock(128, otherKey, 16, password, 24, wrapped);
    ASSERT_TRUE(stranger.AcceptSessionKey(wrapped, 16));
    uint8_t packet[64];
    viewer.Send(packet, stranger.BuildVideoStart(1u, packet, sizeof packet));
    // Kinds that are not sealed kinds.
    for (uint8_t kind : {uint8_t{0}, uint8_t{5}, uint8_t{0x84}}) {
        std::vector<uint8_t> raw(kPacketOverhead, 0);
        StoreU32(raw.data(), 16);
        raw[3] = kind;
        StoreU16(raw.data() + kOffCommand, CmdVideoStart);
        viewer.Send(raw);
    }
    EXPECT_TRUE(WaitUntil([&] { return trace.Contains("UnsealPacket(.)=-3, kind=132"); }));
    EXPECT_TRUE(trace.Contains("UnsealPacket(.)=-2, kind=4"));
    EXPECT_TRUE(trace.Contains("UnsealPacket(.)=-3, kind=0"));
    EXPECT_FALSE(probe->Slot(0).bVideoOn.load());
    EXPECT_TRUE(viewer.Quiet(kChannelControl)) << "no ModeReport for a dropped VideoStart";

    // The session is intact: a proper command still works.
    viewer.SendVideoStart();
    ServerMessage m;
    ASSERT_TRUE(viewer.Receive(kChannelControl, m));
    EXPECT_EQ(m.type, ServerMessageType::ModeReport);
    EXPECT_TRUE(probe->Slot(0).bVideoOn.load());
}

TEST_F(ListenerTest, ALateCloseNeverTouchesTheSessionThatTookTheSlotSince) {
    CFakeViewer old(kPassword);
    Admit(0, old, /*login=*/false);
    const uint32_t oldGeneration = probe->Generation(0);
    probe->CloseSlot(0, oldGeneration);
    probe->ReleaseSlot(0, oldGeneration);
    ASSERT_FALSE(probe->Slot(0).bInUse.load());
    EXPECT_EQ(probe->Slot(0).hSession.load(), -1);

    CFakeViewer newer(kPassword);
    Admit(0, newer);
    // The watchdog, the fan-out or the old reader come back to the session they knew.
    probe->CloseSlot(0, oldGeneration);
    probe->ReleaseSlot(0, oldGeneration);
    EXPECT_TRUE(probe->Slot(0).bInUse.load());
    EXPECT_FALSE(probe->Slot(0).bClosing.load());
    EXPECT_TRUE(probe->Slot(0).bAuthed.load());
    EXPECT_EQ(probe->Slot(0).hSession.load(), newer.DeviceEnd());
    EXPECT_FALSE(newer.DeviceClosed());
    EXPECT_EQ(fake.CloseCount(old.DeviceEnd()), 1);

    // Closing the current session twice closes its transport session once.
    const uint32_t generation = probe->Generation(0);
    probe->CloseSlot(0, generation);
    probe->CloseSlot(0, generation);
    probe->ReleaseSlot(0, generation);
    EXPECT_EQ(fake.CloseCount(newer.DeviceEnd()), 1);
    EXPECT_FALSE(probe->Slot(0).bInUse.load());
}

TEST_F(ListenerTest, StopEndsEveryReaderAndFreesEverySlot) {
    fake.Reset(kReadWaitMs);  // reads wait as long as asked: the stop must end them
    Start();
    CFakeViewer a(kPassword), b(kPassword);
    ASSERT_TRUE(InSlot(1, b));
    ASSERT_TRUE(a.Login());
    const auto stopping = std::chrono::steady_clock::now();
    server->StopListening();
    server->WaitForReaders();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(kReadWaitMs / 2))
        << "the stop waited for the viewers' next bytes";
    EXPECT_TRUE(a.DeviceClosed());
    EXPECT_TRUE(b.DeviceClosed());
    EXPECT_EQ(fake.CloseCount(a.DeviceEnd()), 1);
    EXPECT_EQ(server->Online(), 0);
}

TEST_F(ListenerTest, SessionsThatNeverLogInCannotKeepAViewerOut) {
    Start();
    // Twelve squatters, eight from one address and four from addresses of
    // their own, each opening a new session the moment its last one is closed:
    // more than the table holds, so they push each other out all the time.
    std::atomic<bool> stop{false};
    std::vector<std::thread> squatters;
    for (uint32_t k = 0; k < 12; ++k) {
        squatters.emplace_back([&, k] {
            const uint32_t address = k < 8 ? 0x0A000009u : 0x0A000010u + k;
            while (!stop.load()) {
                const int end = fake.ConnectViewerFrom(address);
                WaitUntil([&] { return stop.load() || fake.IsClosed(fake.Peer(end)); }, 60000);
                fake.Close(end);
            }
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return fake.AcceptedDeviceEnds().size() >= 16; }));

    // A real viewer gets in and logs in, trying again if it is pushed out first.
    fake.SetAddress(0x0A000001);
    const auto began = std::chrono::steady_clock::now();
    bool in = false;
    for (int attempt = 0; attempt < 50 && !in; ++attempt) {
        CFakeViewer viewer(kPassword);
        in = viewer.Login();
    }
    const auto took = std::chrono::steady_clock::now() - began;
    stop.store(true);
    for (std::thread& t : squatters) t.join();
    EXPECT_TRUE(in);
    EXPECT_LT(took, std::chrono::seconds(5));
    Stop();
}

TEST_F(ListenerTest, ViewersOfOneHostArrivingTogetherAllGetInWhileThereIsRoom) {
    Start();
    fake.SetAddress(0x7F000001);
    std::vector<std::unique_ptr<CFakeViewer>> viewers;
    for (int i = 0; i < 6; ++i) {
        viewers.push_back(std::make_unique<CFakeViewer>(kPassword));
        ASSERT_TRUE(InSlot(i, *viewers.back())) << "viewer " << i;
    }
    for (auto& v : viewers) EXPECT_TRUE(v->Login());
    Stop();
}

TEST_F(ListenerTest, AListenerThatTheTransportKeepsRefusingBacksOff) {
    fake.FailListen(PPPP_ERR_NOT_INITIALISED);
    const auto began = std::chrono::steady_clock::now();
    Start();
    ASSERT_TRUE(WaitUntil([&] { return fake.ListenCalls() >= 6; }));
    // 10 + 20 + 40 + 80 + 160 ms between the first six.
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(310));
    const auto stopping = std::chrono::steady_clock::now();
    Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(500)) << "a pause ends at stop";
}

// Viewers come and go while frames and mode reports flow: no call ever uses a
// handle after its close or is under way when it closes, and everything ends closed.
TEST_F(ListenerTest, HandlesAreNeverUsedAcrossTheirCloseWhileViewersComeAndGo) {
    Start();
    server->SetCaptureStart(platform::GetTickCount());
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        const auto key = KeyFrame(2000), delta = DeltaFrame(800);
        for (int n = 0; !stop.load(); ++n) {
            const auto& f = n % 8 == 0 ? key : delta;
            server->OnEncodedFrame(session::EncodedFrame::Live(f.data(), static_cast<uint32_t>(f.size())));
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> visitors;
    for (int k = 0; k < 4; ++k) {
        visitors.emplace_back([&, k] {
            for (int round = 0; round < 40; ++round) {
                CFakeViewer v(kPassword);
                if (round % 3 != 0 && v.Login()) {
                    v.SendVideoStart(static_cast<uint32_t>((k + round) % 4));
                    ServerMessage m;
                    v.Receive(kChannelControl, m, 200);
                }
                if (round % 2) fake.SetCheckBuffer(v.DeviceEnd(), PPPP_ERR_CLOSED_BY_PEER, 0);
                fake.Close(v.Handle());
            }
        });
    }
    for (std::thread& t : visitors) t.join();
    stop.store(true);
    frames.join();
    Stop();
    EXPECT_EQ(fake.UsesAfterClose(), 0);
    EXPECT_EQ(fake.ClosesUnderUse(), 0);
    for (int end : fake.AcceptedDeviceEnds()) EXPECT_EQ(fake.CloseCount(end), 1) << "device end " << end;
    EXPECT_EQ(server->Online(), 0);
}

}  // namespace
}  // namespace sessiontest
