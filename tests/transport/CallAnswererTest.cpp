// The device side of the internet route, its rules driven message by message
// through a fake broker client and fake peers: no broker, no webrtcbin, and
// time moved by hand.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/transport/FakeSignalling.h"
#include "transport/Wire.h"
#include "transport/internet/CallAnswerer.h"

namespace {

using pppp::CCallAnswerer;
using pppp::SignalMessage;
using transporttest::CFakeSignalling;

constexpr const char* kDid = "CAM-1";

// A peer whose channel opens when the test says so; the test keeps its state,
// which outlives the peer (the link owns the peer and may end first).
struct PeerState {
    pppp::PeerEvents events;
    std::weak_ptr<pppp::IChannelSink> sink;
    bool answerUsable = true;
    bool asksUdpRelay = false;
    int candidates = 0;
    bool closed = false;

    void Open(const std::vector<uint8_t>& bytes) {
        auto s = sink.lock();
        ASSERT_TRUE(s);
        s->OnChannelOpen();
        if (!bytes.empty()) s->OnChannelMessage(bytes.data(), bytes.size());
    }
};

struct FakePeer final : pppp::IPeerConnection {
    explicit FakePeer(std::shared_ptr<PeerState> state) : m_state(std::move(state)) {}
    bool StartOffer() override {
        m_state->events.localDescription("v=0 offer");
        return true;
    }
    bool AcceptOffer(const std::string&) override { return false; }
    bool AcceptAnswer(const std::string&) override { return m_state->answerUsable; }
    void AddRemoteCandidate(uint32_t, const std::string&) override { ++m_state->candidates; }
    bool Send(const uint8_t*, size_t) override { return !m_state->closed; }
    uint64_t BufferedAmount() const override { return 0; }
    void Describe(pppp::LinkInfo*) const override {}
    bool AsksUdpRelay() const override { return m_state->asksUdpRelay; }
    void Close() override { m_state->closed = true; }

    std::shared_ptr<PeerState> m_state;
};

struct FakeDevices final : pppp::IDeviceSide {
    bool serving = true;
    std::vector<std::pair<std::shared_ptr<pppp::ILink>, pppp::Hello>> accepted;

    bool IsServing(const std::string& did) override { return serving && did == kDid; }
    void AcceptLink(std::shared_ptr<pppp::ILink> link, const pppp::Hello& hello) override {
        accepted.emplace_back(std::move(link), hello);
    }
};

std::vector<uint8_t> HelloBytes(const std::string& did) {
    std::vector<uint8_t> frame(pppp::kFrameHeaderSize + pppp::kMaxHandshakePayload);
    pppp::Hello hello;
    hello.did = did;
    frame.resize(pppp::MakeHello(frame.data(), hello));
    return frame;
}

class CallAnswererTest : public ::testing::Test {
protected:
    CallAnswererTest() {
        m_rendezvous.user = kDid;
        m_config.dwHandshakeMs = 3000;
        MakeAnswerer();
    }
    void MakeAnswerer() {
        m_answerer.reset();
        auto factory = [this](bool offerer, const pppp::PeerIceServers&, pppp::PeerEvents events,
                              std::shared_ptr<pppp::IChannelSink> sink) -> std::unique_ptr<pppp::IPeerConnection> {
            EXPECT_TRUE(offerer);
            if (m_bNoPeers) return nullptr;  // as when closed peers still wait to go
            auto state = std::make_shared<PeerState>();
            state->events = std::move(events);
            state->sink = sink;
            state->asksUdpRelay = m_bPeersRelayOverUdp;
            m_peers.push_back(state);
            return std::make_unique<FakePeer>(state);
        };
        m_answerer = std::make_unique<CCallAnswerer>(m_config, m_rendezvous, m_signalling, factory, m_devices);
        m_answerer->FollowDevice(true);
    }

    void Send(const std::string& viewer, SignalMessage::Type type, uint32_t n, uint64_t now,
              uint32_t version = pppp::kBoundVersion) {
        SignalMessage m;
        m.type = type;
        char sid[17];
        std::snprintf(sid, sizeof sid, "%016x", n);
        m.sid = sid;
        m.version = version;
        m.candidate = "candidate:1 1 UDP 1 198.51.100.7 4 typ host";
        m_answerer->Handle(viewer, m, now);
    }
    static std::string Sid(uint32_t n) {
        char sid[17];
        std::snprintf(sid, sizeof sid, "%016x", n);
        return sid;
    }
    // What went to `viewer` and was not looked at yet, as "type sid" lines (refusals with their reason).
    std::vector<std::string> SentTo(const std::string& viewer) {
        std::vector<std::string> out;
        for (auto it = Unread().begin(); it != m_unread.end();) {
            if (it->to != viewer) {
                ++it;
                continue;
            }
            static const char* const kTypes[] = {"call", "offer", "answer", "candidate", "refuse", "bye"};
            std::string line = std::string(kTypes[it->message.type]) + " " + it->message.sid;
            if (it->message.type == SignalMessage::Refuse) line += " " + it->message.reason;
            for (const auto& server : it->message.ice)
                line += " " + server.urls.at(0) + (server.username.empty() ? "" : "@" + server.username);
            out.push_back(line);
            it = m_unread.erase(it);
        }
        return out;
    }
    std::vector<CFakeSignalling::Sent>& Unread() {
        for (auto& s : m_signalling->TakeSent()) m_unread.push_back(std::move(s));
        return m_unread;
    }

    pppp::CConfig m_config;
    pppp::CRendezvousConfig m_rendezvous;
    std::shared_ptr<CFakeSignalling> m_signalling = std::make_shared<CFakeSignalling>();
    FakeDevices m_devices;
    std::vector<std::shared_ptr<PeerState>> m_peers;
    std::vector<CFakeSignalling::Sent> m_unread;
    std::unique_ptr<CCallAnswerer> m_answerer;
    bool m_bNoPeers = false;
    bool m_bPeersRelayOverUdp = false;
};

using Strings = std::vector<std::string>;
constexpr uint64_t CGrantsRecheckMs() { return pppp::CGrants::kRecheckMs; }

TEST_F(CallAnswererTest, AnswersOnlyWhileServedAndRefusesViewersThatWouldNotBindTheirLogin) {
    EXPECT_EQ(m_signalling->OwnPresence(), 1);
    Send("old.v", SignalMessage::Call, 1, 1000, pppp::kBoundVersion - 1);
    EXPECT_EQ(SentTo("old.v"), Strings{"refuse " + Sid(1) + " version"});
    Send("bob.v", SignalMessage::Call, 2, 1000);
    Send("bob.v", SignalMessage::Call, 2, 1001);  // the same call again is not a second attempt
    EXPECT_EQ(SentTo("bob.v"), Strings{"offer " + Sid(2)});
    ASSERT_EQ(m_peers.size(), 1u);

    // The device's listen ends: absent, and the attempt is over.
    m_devices.serving = false;
    m_answerer->FollowDevice(true);
    EXPECT_EQ(m_signalling->OwnPresence(), 0);
    EXPECT_EQ(SentTo("bob.v"), Strings{"bye " + Sid(2)});
    EXPECT_TRUE(m_peers[0]->closed);
    Send("bob.v", SignalMessage::Call, 3, 2000);
    EXPECT_TRUE(SentTo("bob.v").empty());
    EXPECT_FALSE(m_answerer->Advance(2000));

    // Served again, but without peers to be had: still absent.
    m_devices.serving = true;
    m_answerer->FollowDevice(false);
    EXPECT_EQ(m_signalling->OwnPresence(), 0);
}

TEST_F(CallAnswererTest, AttemptsAreBoundedAndARepeatingViewerPushesOutOnlyItsOwn) {
    uint64_t now = 1000;
    // Eight attempts under way, none ever answered: two per viewer.
    for (int v = 0; v < 4; ++v) {
        const std::string viewer = v == 0 ? "first.v" : "v" + std::to_string(v) + ".v";
        Send(viewer, SignalMessage::Call, 2 * v + 1, now++);
        Send(viewer, SignalMessage::Call, 2 * v + 2, now++);
    }
    EXPECT_EQ(SentTo("first.v"), (Strings{"offer " + Sid(1), "offer " + Sid(2)}));
    EXPECT_EQ(Unread().size(), 6u);
    Unread().clear();

    Send("first.v", SignalMessage::Call, 100, now++);  // its own oldest makes way
    EXPECT_EQ(SentTo("first.v"), (Strings{"bye " + Sid(1), "offer " + Sid(100)}));
    EXPECT_TRUE(m_peers[0]->closed);
    Send("late.v", SignalMessage::Call, 200, now++);  // the table is full
    EXPECT_EQ(SentTo("late.v"), Strings{"refuse " + Sid(200) + " busy"});
    EXPECT_TRUE(Unread().empty());  // nobody else lost an attempt
    for (size_t i = 1; i < m_peers.size(); ++i) EXPECT_FALSE(m_peers[i]->closed) << i;

    // A viewer's bye frees its place without a bye back.
    Send("v1.v", SignalMessage::Bye, 3, now++);
    Send("late.v", SignalMessage::Call, 201, now++);
    EXPECT_TRUE(SentTo("v1.v").empty());
    EXPECT_EQ(SentTo("late.v"), Strings{"offer " + Sid(201)});

    // No peer to be had: the caller is told at once rather than left waiting for an offer.
    Send("v2.v", SignalMessage::Bye, 5, now++);
    m_bNoPeers = true;
    Send("late.v", SignalMessage::Call, 202, now++);
    EXPECT_EQ(SentTo("late.v"), Strings{"refuse " + Sid(202) + " busy"});
}

TEST_F(CallAnswererTest, AnAttemptNotOpenWithinFifteenSecondsIsAbandoned) {
    Send("bob.v", SignalMessage::Call, 1, 1000);
    Send("bob.v", SignalMessage::Answer, 1, 1010);
    for (int i = 0; i < 40; ++i) Send("bob.v", SignalMessage::Candidate, 1, 1020);
    EXPECT_EQ(m_peers[0]->candidates, static_cast<int>(pppp::kMaxRemoteCandidates));
    Unread().clear();
    EXPECT_TRUE(m_answerer->Advance(1000 + CCallAnswerer::kAttemptMs - 1));
    EXPECT_TRUE(SentTo("bob.v").empty());
    EXPECT_FALSE(m_answerer->Advance(1000 + CCallAnswerer::kAttemptMs));
    EXPECT_EQ(SentTo("bob.v"), Strings{"bye " + Sid(1)});
    EXPECT_TRUE(m_peers[0]->closed);

    // An answer that cannot be used ends its attempt at once.
    Send("bob.v", SignalMessage::Call, 2, 20000);
    m_peers[1]->answerUsable = false;
    Send("bob.v", SignalMessage::Answer, 2, 20010);
    EXPECT_EQ(SentTo("bob.v"), (Strings{"offer " + Sid(2), "bye " + Sid(2)}));
    EXPECT_FALSE(m_answerer->Advance(20020));
}

TEST_F(CallAnswererTest, AnOpenedChannelMustBringAHelloWithinTheAttemptsTime) {
    const std::vector<uint8_t> hello = HelloBytes(kDid);
    Send("good.v", SignalMessage::Call, 1, 1000);
    Send("mute.v", SignalMessage::Call, 2, 1000);
    Send("odd.v", SignalMessage::Call, 3, 1000);
    Unread().clear();
    // The Hello may come in pieces; the device side gets the link with it whole.
    m_peers[0]->Open({hello.begin(), hello.begin() + 3});
    m_peers[1]->Open({});
    m_peers[2]->Open({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'});
    EXPECT_TRUE(m_answerer->Advance(2000));
    EXPECT_EQ(SentTo("odd.v"), Strings{"bye " + Sid(3)});
    m_peers[0]->sink.lock()->OnChannelMessage(hello.data() + 3, hello.size() - 3);
    EXPECT_TRUE(m_answerer->Advance(2001));
    ASSERT_EQ(m_devices.accepted.size(), 1u);
    EXPECT_EQ(m_devices.accepted[0].second.did, kDid);
    EXPECT_TRUE(m_devices.accepted[0].first->NeedsAcks());
    EXPECT_FALSE(m_peers[0]->closed);

    EXPECT_TRUE(m_answerer->Advance(1000 + CCallAnswerer::kAttemptMs - 1));
    EXPECT_FALSE(m_answerer->Advance(1000 + CCallAnswerer::kAttemptMs));
    EXPECT_EQ(SentTo("mute.v"), Strings{"bye " + Sid(2)});
    EXPECT_TRUE(SentTo("good.v").empty());
    EXPECT_EQ(m_devices.accepted.size(), 1u);

    // A channel that opens at the end of the attempt still has the handshake time for its Hello.
    const uint64_t late = 20000 + CCallAnswerer::kAttemptMs - 1;
    Send("late.v", SignalMessage::Call, 4, 20000);
    m_peers[3]->Open({});
    EXPECT_TRUE(m_answerer->Advance(late));
    EXPECT_TRUE(m_answerer->Advance(late + m_config.dwHandshakeMs - 1));
    EXPECT_FALSE(m_answerer->Advance(late + m_config.dwHandshakeMs));
    EXPECT_EQ(SentTo("late.v"), (Strings{"offer " + Sid(4), "bye " + Sid(4)}));
}

TEST_F(CallAnswererTest, OnlyGrantedViewersAreAnsweredAndOnlyTheyGetTurnCredentialsOfTheirAccount) {
    testsupport::CTempDir dir;
    const std::string path = dir.File("CAM-1.conf");
    const std::string common = std::string("broker = mqtt://192.0.2.1:1883\nbroker-in-clear = yes\nuser = ") + kDid +
                               "\npassword = p\nstun = stun:192.0.2.1:3478\n"
                               "turn = turn:192.0.2.1:3478?transport=udp\nturn = turn:192.0.2.1:3478?transport=tcp\n"
                               "turn-secret = 0123456789abcdef\n";
    auto write = [&](const std::string& viewers) {
        ASSERT_TRUE(testsupport::WriteBytes(path + ".new", common + viewers));
        ::chmod((path + ".new").c_str(), 0600);
        ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    };
    write("viewers = alice.v\n");
    std::string problem;
    ASSERT_EQ(pppp::ReadRendezvousFile(path, &m_rendezvous, &problem), pppp::RendezvousLoad::Loaded)
        << problem;
    MakeAnswerer();
    uint64_t now = 1000;
    Send("mallory.v", SignalMessage::Call, 1, now);
    EXPECT_EQ(SentTo("mallory.v"), Strings{"refuse " + Sid(1) + " denied"});
    EXPECT_TRUE(m_peers.empty());
    // A granted viewer's credential is its account's, whatever the attempt.
    Send("alice.v", SignalMessage::Call, 2, now);
    const Strings offers = SentTo("alice.v");
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_NE(offers[0].find("stun:192.0.2.1:3478 turn:192.0.2.1:3478?transport=udp@"), std::string::npos)
        << offers[0];
    EXPECT_EQ(offers[0].substr(offers[0].size() - 10), ":V-alice.v") << offers[0];
    // A device that relays over UDP itself offers no relay over UDP (a killed viewer could not release it).
    m_bPeersRelayOverUdp = true;
    Send("alice.v", SignalMessage::Call, 7, now);
    const Strings relayed = SentTo("alice.v");
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].find("transport=udp"), std::string::npos) << relayed[0];
    EXPECT_NE(relayed[0].find(" turn:192.0.2.1:3478?transport=tcp@"), std::string::npos) << relayed[0];

    // A grant and a revocation in the file take effect without a restart.
    write("viewers = mallory.v\n");
    now += CGrantsRecheckMs();
    Send("alice.v", SignalMessage::Call, 3, now);
    EXPECT_EQ(SentTo("alice.v"), Strings{"refuse " + Sid(3) + " denied"});
    Send("mallory.v", SignalMessage::Call, 4, now);
    EXPECT_EQ(SentTo("mallory.v").size(), 1u);

    // A file broken meanwhile grants nobody; one without the line answers
    // anyone the broker lets through, with STUN only.
    write("viewers = Not A Name\n");
    now += CGrantsRecheckMs();
    Send("mallory.v", SignalMessage::Call, 5, now);
    EXPECT_EQ(SentTo("mallory.v"), Strings{"refuse " + Sid(5) + " denied"});
    write("");
    now += CGrantsRecheckMs();
    Send("anyone.v", SignalMessage::Call, 6, now);
    EXPECT_EQ(SentTo("anyone.v"), Strings{"offer " + Sid(6) + " stun:192.0.2.1:3478"});
}

}  // namespace
