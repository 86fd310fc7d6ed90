// The session layer over a link that is not TCP: an in-memory pipe whose far
// end the test plays by hand, byte by byte. It shows that framing, channels,
// keepalive and queueing depend on nothing but the link interface, and lets
// the test split, starve and corrupt the stream at will.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"
#include "transport/DeviceSide.h"
#include "transport/Session.h"

namespace {

using namespace pppp;
using namespace std::chrono_literals;

struct CPipe {
    std::mutex m;
    std::condition_variable cv;
    std::deque<uint8_t> toSession, fromSession;
    bool peerClosed = false, linkGone = false, woken = false, readerWoken = false, writerWoken = false;
    size_t capacity = 1 << 20;  // bytes the far end buffers from the session
    size_t chunk = 1 << 20;     // most bytes one Send takes
    bool needsAcks = false;     // a link that hides what reached the peer

    void PeerWrite(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> hold(m);
        toSession.insert(toSession.end(), bytes.begin(), bytes.end());
        cv.notify_all();
    }
    // Reads n bytes of what the session sent, as they come; fewer after the time-out.
    std::vector<uint8_t> PeerRead(size_t n, std::chrono::milliseconds timeout = 5s) {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> hold(m);
        while (out.size() < n) {
            if (!cv.wait_until(hold, deadline, [&] { return !fromSession.empty() || linkGone; })) break;
            if (fromSession.empty()) break;
            const size_t take = std::min(n - out.size(), fromSession.size());
            out.insert(out.end(), fromSession.begin(), fromSession.begin() + static_cast<long>(take));
            fromSession.erase(fromSession.begin(), fromSession.begin() + static_cast<long>(take));
            cv.notify_all();
        }
        return out;
    }
    // The next frame the session sent other than a keepalive: type, channel, payload.
    bool PeerFrame(uint8_t* type, uint8_t* channel, std::vector<uint8_t>* payload) {
        for (;;) {
            const auto h = PeerRead(kFrameHeaderSize);
            if (h.size() < kFrameHeaderSize) return false;
            const FrameHeader header = ReadFrameHeader(h.data());
            *payload = PeerRead(header.length);
            if (payload->size() != header.length) return false;
            if (header.type == FrameKeepalive) continue;
            *type = header.type;
            *channel = header.channel;
            return true;
        }
    }
    // Types of the frames the session sends until `keepalives` keepalives
    // have come (the pump sends anything owed before its next keepalive).
    std::vector<uint8_t> FramesUntilKeepalives(int keepalives) {
        std::vector<uint8_t> types;
        while (keepalives > 0) {
            const auto h = PeerRead(kFrameHeaderSize);
            if (h.size() < kFrameHeaderSize) break;
            const FrameHeader header = ReadFrameHeader(h.data());
            PeerRead(header.length);
            if (header.type == FrameKeepalive) --keepalives;
            types.push_back(header.type);
        }
        return types;
    }
    void SetChunk(size_t n) {
        std::lock_guard<std::mutex> hold(m);
        chunk = n;
        cv.notify_all();
    }
};

class CPipeLink final : public ILink {
public:
    explicit CPipeLink(std::shared_ptr<CPipe> pipe) : m_pipe(std::move(pipe)) {}
    ~CPipeLink() override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        m_pipe->linkGone = true;
        m_pipe->cv.notify_all();
    }
    int Wait(bool wantRead, bool wantWrite, int timeoutMs) override {
        std::unique_lock<std::mutex> hold(m_pipe->m);
        auto ready = [&] {
            int r = 0;
            if (wantRead && (!m_pipe->toSession.empty() || m_pipe->peerClosed)) r |= Readable;
            if (wantWrite && m_pipe->chunk && m_pipe->fromSession.size() < m_pipe->capacity) r |= Writable;
            if (m_pipe->woken) r |= Woken;
            return r;
        };
        m_pipe->cv.wait_for(hold, std::chrono::milliseconds(timeoutMs < 0 ? 60000 : timeoutMs),
                            [&] { return ready() != 0; });
        const int r = ready();
        m_pipe->woken = false;
        return r;
    }
    long Receive(uint8_t* buffer, size_t size) override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        if (m_pipe->toSession.empty()) return m_pipe->peerClosed ? LinkEnded : 0;
        const size_t n = std::min(size, m_pipe->toSession.size());
        std::copy(m_pipe->toSession.begin(), m_pipe->toSession.begin() + static_cast<long>(n), buffer);
        m_pipe->toSession.erase(m_pipe->toSession.begin(), m_pipe->toSession.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }
    long Send(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        if (m_pipe->peerClosed) return LinkEnded;
        const size_t room = m_pipe->capacity - std::min(m_pipe->capacity, m_pipe->fromSession.size());
        const size_t n = std::min({an + bn, room, m_pipe->chunk});
        for (size_t i = 0; i < n; ++i) m_pipe->fromSession.push_back(i < an ? a[i] : b[i - an]);
        m_pipe->cv.notify_all();
        return static_cast<long>(n);
    }
    int WaitReadable(int timeoutMs) override {
        std::unique_lock<std::mutex> hold(m_pipe->m);
        m_pipe->cv.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            return !m_pipe->toSession.empty() || m_pipe->peerClosed || m_pipe->readerWoken;
        });
        const int r = (!m_pipe->toSession.empty() || m_pipe->peerClosed ? Readable : 0) | (m_pipe->readerWoken ? Woken : 0);
        m_pipe->readerWoken = false;
        return r;
    }
    void WakeReader() override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        m_pipe->readerWoken = true;
        m_pipe->cv.notify_all();
    }
    int WaitWritable(int timeoutMs) override {
        std::unique_lock<std::mutex> hold(m_pipe->m);
        auto room = [&] { return m_pipe->chunk && m_pipe->fromSession.size() < m_pipe->capacity; };
        m_pipe->cv.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return room() || m_pipe->writerWoken; });
        const int r = (room() ? Writable : 0) | (m_pipe->writerWoken ? Woken : 0);
        m_pipe->writerWoken = false;
        return r;
    }
    void WakeWriter() override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        m_pipe->writerWoken = true;
        m_pipe->cv.notify_all();
    }
    uint32_t UnsentBytes(uint32_t) override { return 0; }
    void Wake() override {
        std::lock_guard<std::mutex> hold(m_pipe->m);
        m_pipe->woken = true;
        m_pipe->cv.notify_all();
    }
    void FinishSending() override {}
    bool NeedsAcks() const override { return m_pipe->needsAcks; }
    void Describe(LinkInfo* info) override {
        *info = LinkInfo{};
        info->route = 2;  // as a relayed route would say
    }

private:
    std::shared_ptr<CPipe> m_pipe;
};

std::vector<uint8_t> Frame(uint8_t type, uint8_t channel, const std::vector<uint8_t>& payload,
                           uint32_t announced = UINT32_MAX) {
    std::vector<uint8_t> f(kFrameHeaderSize);
    WriteFrameHeader(f.data(), type, channel, announced == UINT32_MAX ? static_cast<uint32_t>(payload.size()) : announced);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint8_t> Ack(uint64_t count, size_t size = 8) {
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size && i < 8; ++i) payload[i] = static_cast<uint8_t>(count >> (8 * i));
    return Frame(FrameAck, 0, payload);
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class SessionLinkTest : public ::testing::Test {
protected:
    void Open(SessionParams params = {}) {
        params.handle = 5;
        if (!params.did.size()) params.did = "PIPE";
        session = std::make_shared<CSession>(params, std::make_shared<CPipeLink>(pipe));
        ASSERT_TRUE(session->Start());
    }
    void TearDown() override {
        if (session) {
            session->Close(false);
            session->Join();
        }
    }
    int Read(uint8_t channel, std::vector<uint8_t>* out, size_t n, uint32_t timeoutMs = 5000) {
        out->assign(n, 0);
        int size = static_cast<int>(n);
        const int r = session->Read(channel, reinterpret_cast<char*>(out->data()), &size, timeoutMs);
        out->resize(static_cast<size_t>(size));
        return r;
    }

    std::shared_ptr<CPipe> pipe = std::make_shared<CPipe>();
    std::shared_ptr<CSession> session;
};

TEST_F(SessionLinkTest, WritesStayWholeWhenTheLinkTakesThreeBytesAtATime) {
    pipe->chunk = 3;
    pipe->capacity = 16;
    Open();
    const std::vector<std::vector<uint8_t>> writes = {Pattern(1, 1), Pattern(1000, 2), Pattern(70000, 3), Pattern(5, 4)};
    const uint8_t channels[] = {0, 7, 1, 0};
    for (size_t i = 0; i < writes.size(); ++i)
        ASSERT_EQ(session->Write(channels[i], reinterpret_cast<const char*>(writes[i].data()), static_cast<int>(writes[i].size())),
                  static_cast<int>(writes[i].size()));
    for (size_t i = 0; i < writes.size(); ++i) {
        uint8_t type, channel;
        std::vector<uint8_t> payload;
        ASSERT_TRUE(pipe->PeerFrame(&type, &channel, &payload));
        EXPECT_EQ(type, FrameData);
        EXPECT_EQ(channel, channels[i]);
        EXPECT_EQ(payload, writes[i]);
    }
}

TEST_F(SessionLinkTest, FramesSplitAnywhereAreReassembledPerChannel) {
    Open();
    std::vector<uint8_t> stream;
    for (int i = 0; i < 20; ++i) {
        const auto f = Frame(FrameData, static_cast<uint8_t>(i % 2 ? 5 : 0), Pattern(100 + i, static_cast<uint8_t>(i)));
        stream.insert(stream.end(), f.begin(), f.end());
        const auto k = Frame(FrameKeepalive, 0, {});
        stream.insert(stream.end(), k.begin(), k.end());
    }
    std::thread feeder([&] {
        for (uint8_t b : stream) pipe->PeerWrite({b});
    });
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> got;
        ASSERT_EQ(Read(static_cast<uint8_t>(i % 2 ? 5 : 0), &got, 100 + i), PPPP_OK);
        EXPECT_EQ(got, Pattern(100 + i, static_cast<uint8_t>(i)));
    }
    feeder.join();
}

TEST_F(SessionLinkTest, ProtocolViolationsEndTheSession) {
    const std::vector<std::vector<uint8_t>> violations = {
        Frame(FrameData, 8, {1, 2, 3}),                 // no such channel
        Frame(FrameData, 1, {}, 0xFFFFFFF0u),           // announces almost 4 GB
        Frame(0x55, 0, {}),                             // unknown type
        Frame(FrameHello, 0, Pattern(20, 0)),           // a greeting inside a session
        Frame(FrameKeepalive, 0, {9}),                  // keepalive with a payload
    };
    for (const auto& bad : violations) {
        pipe = std::make_shared<CPipe>();
        Open();
        pipe->PeerWrite(bad);
        std::vector<uint8_t> got;
        EXPECT_EQ(Read(1, &got, 4), PPPP_ERR_CLOSED_BY_PEER);
        unsigned int pending = 0;
        EXPECT_EQ(session->CheckBuffer(1, &pending, nullptr), PPPP_ERR_CLOSED_BY_PEER);
        EXPECT_EQ(session->Write(1, "x", 1), PPPP_ERR_CLOSED_BY_PEER);
        session->Close(false);
        session->Join();
    }
}

TEST_F(SessionLinkTest, BytesBeforeAGoodbyeAreDeliveredThenTheEndShows) {
    Open();
    auto data = Frame(FrameData, 0, Pattern(10, 1));
    const auto bye = Frame(FrameGoodbye, 0, {});
    data.insert(data.end(), bye.begin(), bye.end());
    pipe->PeerWrite(data);
    const auto sent = Pattern(10, 1);
    std::vector<uint8_t> got;
    EXPECT_EQ(Read(0, &got, 6), PPPP_OK);
    EXPECT_EQ(Read(0, &got, 6), PPPP_ERR_CLOSED_BY_PEER);  // four arrived, then the end
    EXPECT_EQ(got, std::vector<uint8_t>(sent.begin() + 6, sent.end()));
}

TEST_F(SessionLinkTest, ASilentPeerIsGoneAfterTheDeadTimeAndKeepalivesFlowMeanwhile) {
    SessionParams p;
    p.keepaliveMs = 30;
    p.deadPeerMs = 400;
    Open(p);
    const auto h = pipe->PeerRead(kFrameHeaderSize);
    ASSERT_EQ(h.size(), kFrameHeaderSize);
    EXPECT_EQ(ReadFrameHeader(h.data()).type, FrameKeepalive);
    std::vector<uint8_t> got;
    EXPECT_EQ(Read(0, &got, 1, 30000), PPPP_ERR_CLOSED_TIMEOUT);
}

TEST_F(SessionLinkTest, APeerThatTalksWhileNobodyReadsIsNotTakenForDead) {
    // While a reader watches the link the pump does not; once the reader has
    // gone, what the peer sent meanwhile must be looked at before its silence is judged.
    SessionParams p;
    p.keepaliveMs = 60000;
    p.deadPeerMs = 1000;  // ten times the peer's pace: a busy machine's stalls do not make it look dead
    Open(p);
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(0, &got, 1, 100), PPPP_ERR_TIMEOUT);
    for (int i = 0; i < 25; ++i) {  // 2.5 s: over two dead times, a keepalive every tenth of one
        pipe->PeerWrite(Frame(FrameKeepalive, 0, {}));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(session->State(), PPPP_OK);
}

TEST_F(SessionLinkTest, KeepalivesComeOftenEnoughForThePeersDeadTime) {
    SessionParams p;
    p.keepaliveMs = 60000;
    p.peerDeadMs = 150;  // the peer gives up after 150 ms of silence
    Open(p);
    const auto h = pipe->PeerRead(kFrameHeaderSize, 2s);
    ASSERT_EQ(h.size(), kFrameHeaderSize);
    EXPECT_EQ(ReadFrameHeader(h.data()).type, FrameKeepalive);
}

// A peer announcing a dead time of a few milliseconds does not make this side chatter.
TEST_F(SessionLinkTest, APeerCannotAskForKeepalivesCloserThanItsFloor) {
    for (uint32_t asked : {1u, 15u, 299u}) {
        pipe = std::make_shared<CPipe>();
        SessionParams p;
        p.keepaliveMs = 60000;
        p.peerDeadMs = asked;
        Open(p);
        uint8_t record[PPPP_SESSION_RECORD_SIZE];
        ASSERT_EQ(session->Check(record), PPPP_OK);
        EXPECT_EQ(record[PPPP_REC_KEEPALIVE_MS] | (record[PPPP_REC_KEEPALIVE_MS + 1] << 8), 100) << asked;
        // Late keepalives only lower the count: the bound cannot fail by timing.
        const auto start = std::chrono::steady_clock::now();
        const auto sent = pipe->PeerRead(1000 * kFrameHeaderSize, 500ms);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LE(sent.size() / kFrameHeaderSize, static_cast<size_t>(elapsed.count() / 100 + 1)) << asked;
        session->Close(false);
        session->Join();
    }
}

TEST_F(SessionLinkTest, CloseStillSendsWhatWasWrittenThenSaysGoodbye) {
    pipe->chunk = 0;  // the link takes nothing for now
    Open();
    const auto bytes = Pattern(5000, 9);
    ASSERT_EQ(session->Write(3, reinterpret_cast<const char*>(bytes.data()), 5000), 5000);
    session->Close(true);
    std::vector<uint8_t> got;
    EXPECT_EQ(Read(3, &got, 1), PPPP_ERR_CLOSED_LOCALLY);
    EXPECT_EQ(session->Write(3, "x", 1), PPPP_ERR_CLOSED_LOCALLY);
    pipe->SetChunk(64);
    uint8_t type, channel;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(pipe->PeerFrame(&type, &channel, &payload));
    EXPECT_EQ(type, FrameData);
    EXPECT_EQ(payload, bytes);
    ASSERT_TRUE(pipe->PeerFrame(&type, &channel, &payload));
    EXPECT_EQ(type, FrameGoodbye);
}

TEST_F(SessionLinkTest, AFullQueueRefusesWritesUntilItDrains) {
    pipe->chunk = 0;
    SessionParams p;
    p.sendQueueBytes = 8192;
    Open(p);
    const auto big = Pattern(20000, 1);
    // An empty queue takes any single write, however big.
    EXPECT_EQ(session->Write(1, reinterpret_cast<const char*>(big.data()), 20000), 20000);
    EXPECT_EQ(session->Write(1, "x", 1), PPPP_ERR_BUFFER_FULL);
    unsigned int pending = 0;
    EXPECT_EQ(session->CheckBuffer(1, &pending, nullptr), PPPP_OK);
    EXPECT_EQ(pending, 20000u + kFrameHeaderSize);
    EXPECT_EQ(session->WaitBuffer(0, 50), PPPP_ERR_TIMEOUT);
    pipe->SetChunk(1 << 20);
    EXPECT_EQ(session->WaitBuffer(0, 30000), PPPP_OK);
    EXPECT_EQ(session->Write(1, "x", 1), 1);
}

TEST_F(SessionLinkTest, AFullChannelStopsReceivingWithoutCountingSilence) {
    SessionParams p;
    p.channelBufferBytes = 4096;
    p.deadPeerMs = 300;
    p.keepaliveMs = 50;
    Open(p);
    const auto bytes = Pattern(256 * 1024, 5);
    pipe->PeerWrite(Frame(FrameData, 2, bytes));
    std::this_thread::sleep_for(900ms);  // three dead times without a byte taken
    {
        std::lock_guard<std::mutex> hold(pipe->m);
        EXPECT_GT(pipe->toSession.size(), 0u) << "the session kept receiving into a full channel";
    }
    unsigned int unread = 0;
    EXPECT_EQ(session->CheckBuffer(2, nullptr, &unread), PPPP_OK);
    EXPECT_LE(unread, 4096u + 64 * 1024);  // the cap, overshot by at most one receive
    std::vector<uint8_t> got;
    ASSERT_EQ(Read(2, &got, bytes.size()), PPPP_OK);
    EXPECT_EQ(got, bytes);
}

TEST_F(SessionLinkTest, TheRecordTellsTheLinksRoute) {
    Open();
    uint8_t record[PPPP_SESSION_RECORD_SIZE];
    EXPECT_EQ(session->Check(record), PPPP_OK);
    EXPECT_EQ(record[PPPP_SESSION_ROUTE_OFFSET], 2);
    EXPECT_EQ(record[PPPP_REC_HANDLE], 5);
    EXPECT_STREQ(reinterpret_cast<char*>(record + PPPP_REC_DID), "PIPE");
}

// ---- links that need acknowledgements ---------------------------------------

unsigned int WritePending(CSession& session) {
    unsigned int pending = 0;
    return session.CheckBuffer(0, &pending, nullptr) == PPPP_OK ? pending : UINT_MAX;
}

TEST_F(SessionLinkTest, OnALinkThatNeedsAcksTheBacklogIsWhatThePeerHasNotAcknowledged) {
    pipe->needsAcks = true;  // the pipe takes everything at once, as a data channel does
    SessionParams p;
    p.sendQueueBytes = 8192;
    Open(p);
    const auto bytes = Pattern(5000, 1);
    const char* data = reinterpret_cast<const char*>(bytes.data());
    ASSERT_EQ(session->Write(0, data, 5000), 5000);
    ASSERT_EQ(session->Write(1, data, 3000), 3000);
    EXPECT_EQ(WritePending(*session), 8000u);
    uint8_t record[PPPP_SESSION_RECORD_SIZE];
    ASSERT_EQ(session->Check(record), PPPP_OK);
    EXPECT_EQ(record[PPPP_REC_WRITE_PENDING] | (record[PPPP_REC_WRITE_PENDING + 1] << 8), 8000);
    EXPECT_EQ(session->Write(0, data, 1000), PPPP_ERR_BUFFER_FULL);  // 9000 would pass the queue size
    EXPECT_EQ(session->WaitBuffer(4000, 50), PPPP_ERR_TIMEOUT);

    pipe->PeerWrite(Ack(5000));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return WritePending(*session) == 3000u; }, 30000));
    EXPECT_EQ(session->Write(0, data, 1000), 1000);
    EXPECT_EQ(session->WaitBuffer(0, 50), PPPP_ERR_TIMEOUT);
    // A writer waiting for the backlog to empty wakes with the Ack.
    std::thread peer([&] { pipe->PeerWrite(Ack(9000)); });
    EXPECT_EQ(session->WaitBuffer(0, 30000), PPPP_OK);
    peer.join();
    EXPECT_EQ(WritePending(*session), 0u);
    // An empty backlog takes any single write, however big.
    const auto big = Pattern(20000, 2);
    EXPECT_EQ(session->Write(2, reinterpret_cast<const char*>(big.data()), 20000), 20000);
    EXPECT_EQ(WritePending(*session), 20000u);
}

TEST_F(SessionLinkTest, FalseAcksAndAcksFromAPeerThatDoesNotSpeakThemEndTheSession) {
    struct Case {
        uint8_t peerVersion;
        std::vector<uint8_t> ack;
    };
    std::vector<Case> cases = {
        {2, Ack(101)},    // more than was written
        {2, Ack(50, 7)},  // another payload size
        {2, Ack(50, 9)},
        {1, Ack(0)},      // a version-1 peer knows no Acks
    };
    auto back = Ack(60);  // a count that goes back
    auto first = Ack(80);
    first.insert(first.end(), back.begin(), back.end());
    cases.push_back({2, first});
    for (const auto& c : cases) {
        pipe = std::make_shared<CPipe>();
        pipe->needsAcks = true;
        SessionParams p;
        p.peerVersion = c.peerVersion;
        Open(p);
        ASSERT_EQ(session->Write(0, reinterpret_cast<const char*>(Pattern(100, 3).data()), 100), 100);
        pipe->PeerWrite(c.ack);
        std::vector<uint8_t> got;
        EXPECT_EQ(Read(0, &got, 1), PPPP_ERR_CLOSED_BY_PEER);
        EXPECT_EQ(session->WaitBuffer(0, 30000), PPPP_ERR_CLOSED_BY_PEER);
        session->Close(false);
        session->Join();
    }
}

TEST_F(SessionLinkTest, TheReceiverAcknowledgesEvery16KiBAndSoonAfterASmallWrite) {
    pipe->needsAcks = true;
    SessionParams p;
    p.ackDelayMs = 600000;  // only the amount can bring an Ack
    Open(p);
    pipe->PeerWrite(Frame(FrameData, 0, Pattern(10000, 1)));
    pipe->PeerWrite(Frame(FrameData, 1, Pattern(10000, 2)));
    uint8_t type, channel;
    std::vector<uint8_t> payload;
    // Not after the first 10,000 bytes: the first Ack covers both frames (20,000 = 0x4E20).
    ASSERT_TRUE(pipe->PeerFrame(&type, &channel, &payload));
    EXPECT_EQ(type, FrameAck);
    EXPECT_EQ(payload, std::vector<uint8_t>({0x20, 0x4E, 0, 0, 0, 0, 0, 0}));
    session->Close(false);
    session->Join();

    pipe = std::make_shared<CPipe>();
    pipe->needsAcks = true;
    p = SessionParams{};
    p.keepaliveMs = 60000;  // nothing else would wake the pump before the dead-peer time
    Open(p);
    const auto start = std::chrono::steady_clock::now();
    pipe->PeerWrite(Frame(FrameData, 0, Pattern(10, 1)));
    ASSERT_TRUE(pipe->PeerFrame(&type, &channel, &payload));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(type, FrameAck);
    EXPECT_EQ(payload, std::vector<uint8_t>({10, 0, 0, 0, 0, 0, 0, 0}));
    // Due 50 ms after the bytes came; far from the 9 s at which the pump would look anyway.
    EXPECT_LT(elapsed, 3s);
    std::vector<uint8_t> got;
    EXPECT_EQ(Read(0, &got, 10), PPPP_OK);
}

// Acks go only where the link needs them and the peer speaks them.
TEST_F(SessionLinkTest, AcksGoOnlyToAPeerThatSpeaksThemOnALinkThatNeedsThem) {
    struct Case {
        bool needsAcks;
        uint8_t peerVersion;
        bool acked;
    };
    for (const Case c : {Case{true, 2, true}, Case{true, 1, false}, Case{false, 2, false}}) {
        pipe = std::make_shared<CPipe>();
        pipe->needsAcks = c.needsAcks;
        SessionParams p;
        p.peerVersion = c.peerVersion;
        p.keepaliveMs = 30;
        p.ackDelayMs = 1;  // owed long before the next keepalive
        Open(p);
        pipe->PeerWrite(Frame(FrameData, 0, Pattern(20000, 4)));
        std::vector<uint8_t> got;
        ASSERT_EQ(Read(0, &got, 20000), PPPP_OK);
        const auto types = pipe->FramesUntilKeepalives(2);
        EXPECT_EQ(std::count(types.begin(), types.end(), FrameAck) > 0, c.acked) << c.needsAcks << c.peerVersion;
        session->Close(false);
        session->Join();
    }
}

// Two sessions acknowledging each other: a bulk writer that waits on its
// backlog never has more than the send queue unacknowledged, and ends at 0.
TEST_F(SessionLinkTest, TwoSessionsOnLinksThatNeedAcksKeepTheBacklogWithinTheQueue) {
    auto farPipe = std::make_shared<CPipe>();
    pipe->needsAcks = farPipe->needsAcks = true;
    SessionParams p;
    p.sendQueueBytes = 64 * 1024;
    Open(p);
    auto reader = std::make_shared<CSession>(p, std::make_shared<CPipeLink>(farPipe));
    ASSERT_TRUE(reader->Start());
    std::atomic<bool> stop{false};
    std::thread relay([&] {  // carries what each session sends to the other
        auto move = [](CPipe& from, CPipe& to) {
            std::deque<uint8_t> bytes;
            {
                std::lock_guard<std::mutex> hold(from.m);
                bytes.swap(from.fromSession);
                from.cv.notify_all();
            }
            if (!bytes.empty()) to.PeerWrite(std::vector<uint8_t>(bytes.begin(), bytes.end()));
            return !bytes.empty();
        };
        while (!stop.load())
            if (!move(*pipe, *farPipe) && !move(*farPipe, *pipe)) std::this_thread::sleep_for(1ms);
    });
    const auto bytes = Pattern(2 << 20, 6);
    std::vector<uint8_t> got(bytes.size());
    std::thread consumer([&] {
        int size = static_cast<int>(got.size());
        EXPECT_EQ(reader->Read(1, reinterpret_cast<char*>(got.data()), &size, 60000), PPPP_OK);
    });
    unsigned int most = 0;
    for (size_t at = 0; at < bytes.size();) {
        const int r = session->Write(1, reinterpret_cast<const char*>(bytes.data() + at), 16384);
        if (r == PPPP_ERR_BUFFER_FULL) {
            ASSERT_EQ(session->WaitBuffer(p.sendQueueBytes - 16384, 30000), PPPP_OK);
            continue;
        }
        ASSERT_EQ(r, 16384);
        at += 16384;
        most = std::max(most, WritePending(*session));
    }
    consumer.join();
    EXPECT_EQ(got, bytes);
    EXPECT_LE(most, p.sendQueueBytes);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return WritePending(*session) == 0; }, 30000));
    stop.store(true);
    relay.join();
    reader->Close(false);
    reader->Join();
}

// The device's handshake on a link of another route.
class CSessionTable final : public ISessionHost {
public:
    ~CSessionTable() override {
        for (auto& s : sessions) {
            s->Close(false);
            s->Join();
        }
    }
    std::shared_ptr<CSession> AddSession(const SessionParams& params, std::shared_ptr<ILink> link) override {
        SessionParams p = params;
        p.handle = static_cast<int>(sessions.size()) + 1;
        auto s = std::make_shared<CSession>(p, std::move(link));
        if (!s->Start()) return nullptr;
        sessions.push_back(s);
        return s;
    }
    void DropSession(int) override {}
    std::vector<std::shared_ptr<CSession>> sessions;
};

// The device's answer to a Hello handed over on a pipe: the frame type and, for a refusal, its reason.
std::pair<uint8_t, uint8_t> Answer(CDeviceSide& device, bool needsAcks, uint8_t version) {
    auto pipe = std::make_shared<CPipe>();
    pipe->needsAcks = needsAcks;
    Hello hello;
    hello.version = version;
    hello.did = "ACK-HANDSHAKE";
    device.AcceptLink(std::make_shared<CPipeLink>(pipe), hello);
    const auto h = pipe->PeerRead(kFrameHeaderSize);
    if (h.size() < kFrameHeaderSize) return {0, 0};
    const auto payload = pipe->PeerRead(ReadFrameHeader(h.data()).length);
    // A refusal's reason; a welcome's version.
    if (h[0] == FrameRefuse) return {h[0], payload.size() > 5 ? payload[5] : 0};
    return {h[0], payload.size() > 4 ? payload[4] : 0};
}

TEST(DeviceHandshake, ALinkThatNeedsAcksNeedsAHelloThatBindsItsLogin) {
    CConfig config;
    config.wDiscoveryPort = 41234;
    config.bLoopbackOnly = true;
    config.bProbe = false;
    CSessionTable table;
    CDeviceSide device(config, table);
    ASSERT_TRUE(device.Start());
    int listened = 0;
    std::thread listener([&] { listened = device.Listen("ACK-HANDSHAKE", 30, 0, false); });
    // Refused as unknown until the listen has opened the device, then for the version.
    std::pair<uint8_t, uint8_t> answer;
    EXPECT_TRUE(testsupport::WaitUntil([&] { return (answer = Answer(device, true, 1)).second != RefuseUnknownDid; }, 30000));
    EXPECT_EQ(answer, std::make_pair(uint8_t{FrameRefuse}, uint8_t{RefuseVersion}));
    EXPECT_EQ(Answer(device, true, 2), std::make_pair(uint8_t{FrameRefuse}, uint8_t{RefuseVersion}));
    EXPECT_EQ(Answer(device, true, 3), std::make_pair(uint8_t{FrameWelcome}, uint8_t{3}));
    listener.join();
    ASSERT_GT(listened, 0);
    uint8_t record[PPPP_SESSION_RECORD_SIZE];
    ASSERT_EQ(table.sessions.at(0)->Check(record), PPPP_OK);
    EXPECT_EQ(record[PPPP_REC_PEER_VERSION], 3);
    // Where acknowledgements are not needed, a version-1 viewer is welcome as
    // ever, and the device still says 2 there.
    EXPECT_EQ(Answer(device, false, 1), std::make_pair(uint8_t{FrameWelcome}, uint8_t{2}));
    device.Stop();
}

}  // namespace
