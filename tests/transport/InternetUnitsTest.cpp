// The internet route's parts that need no network: the rendezvous file, TURN
// credentials, the signalling messages and which candidates may be signalled.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "transport/internet/ChannelBinding.h"
#include "transport/internet/Config.h"
#include "transport/internet/SignalMessage.h"
#include "transport/internet/TurnBudget.h"
#include "transport/internet/TurnCredentials.h"
#include "transport/internet/WebRtcPeer.h"

namespace {

using pppp::CRendezvousConfig;
using pppp::IceServer;
using pppp::RendezvousLoad;

RendezvousLoad ReadText(const std::string& text, CRendezvousConfig* config, std::string* error,
                        mode_t mode = 0600) {
    static testsupport::CTempDir dir;
    const std::string path = dir.File("rendezvous.conf");
    EXPECT_TRUE(testsupport::WriteBytes(path, text));
    ::chmod(path.c_str(), mode);
    return pppp::ReadRendezvousFile(path, config, error);
}

const char kGood[] =
    "# device CAM-1\n"
    "broker = mqtts://rv.example.net:8883\n"
    "user = CAM-1\n"
    "password = pw-SECRET\n"
    "\n"
    "stun = stun:rv.example.net:3478\n"
    "turn = turn:rv.example.net:3478?transport=udp\n"
    "turn = turn:rv.example.net:3478?transport=tcp\n"
    "turn = turns:rv.example.net:5349?transport=tcp\n"
    "turn-secret = tu-SECRET\n"
    "turn-ttl = 600\n"
    "lan-wait-ms = 0\n";

TEST(RendezvousFile, ReadsEveryKey) {
    CRendezvousConfig c;
    std::string error;
    ASSERT_EQ(ReadText(kGood, &c, &error), RendezvousLoad::Loaded) << error;
    EXPECT_TRUE(c.brokerTls);
    EXPECT_EQ(c.brokerHost, "rv.example.net");
    EXPECT_EQ(c.brokerPort, 8883);
    EXPECT_TRUE(c.IsDevice());
    EXPECT_EQ(c.password, "pw-SECRET");
    ASSERT_EQ(c.servers.size(), 4u);
    EXPECT_EQ(c.servers[0].kind, IceServer::Stun);
    EXPECT_EQ(c.servers[1].kind, IceServer::TurnUdp);
    EXPECT_EQ(c.servers[2].kind, IceServer::TurnTcp);
    EXPECT_EQ(c.servers[3].kind, IceServer::TurnTls);
    EXPECT_EQ(c.servers[3].port, 5349);
    EXPECT_EQ(c.turnTtlSeconds, 600u);
    EXPECT_EQ(c.lanWaitMs, 0u);

    ASSERT_EQ(ReadText("broker = mqtt://10.0.0.1\nuser = alice.b\npassword = p\nbroker-in-clear = yes\n", &c,
                       &error),
              RendezvousLoad::Loaded);
    EXPECT_FALSE(c.IsDevice());
    EXPECT_EQ(c.brokerPort, 1883);
    EXPECT_EQ(c.lanWaitMs, 500u);
    // A broker in clear on this computer needs no leave; elsewhere it does (above and below).
    for (const char* host : {"127.0.0.1", "127.8.9.10", "localhost"})
        EXPECT_EQ(ReadText(std::string("broker = mqtt://") + host + "\nuser = alice.b\npassword = p\n", &c, &error),
                  RendezvousLoad::Loaded)
            << host << ": " << error;
}

TEST(RendezvousFile, NamesFileLineAndKeyButNeverTheValue) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"broker = http://h:1\nuser = CAM-1\npassword = pw-SECRET\n", "line 1, key 'broker'"},
        {"broker = mqtt://h:1\nuser = Not A Name\npassword = pw-SECRET\n", "line 2, key 'user'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\nturn-ttl = 59\n", "line 4, key 'turn-ttl'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\nlan-wait-ms = 10001\n", "key 'lan-wait-ms'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\npassword = pw-SECRET\n", "line 4, key 'password'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\nsecret pw-SECRET\n", "line 4"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\ncolour = pw-SECRET\n", "key 'colour'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\nturn = turn:h:1?transport=sctp\n", "key 'turn'"},
        {"broker = mqtt://h:1\nuser = CAM-1\npassword = pw-SECRET\nturn = turn:h:1\n", "key 'turn-secret'"},
        {"user = CAM-1\npassword = pw-SECRET\n", "key 'broker': missing"},
        {"broker = mqtt://h:1\nuser = CAM-1\n", "key 'password': missing"},
        {"broker = mqtt://10.0.0.1\nuser = alice.b\npassword = pw-SECRET\n", "key 'broker': mqtt:// would send"},
        {"broker = mqtt://127.0.0.1.example\nuser = alice.b\npassword = pw-SECRET\n", "key 'broker': mqtt://"},
        {"broker = mqtt://h\nuser = alice.b\npassword = pw-SECRET\nbroker-in-clear = yes\nbroker-in-clear = no\n",
         "line 5, key 'broker-in-clear'"},
    };
    for (const auto& c : cases) {
        CRendezvousConfig config;
        std::string error;
        EXPECT_EQ(ReadText(c.text, &config, &error), RendezvousLoad::Unusable) << c.text;
        EXPECT_NE(error.find("rendezvous.conf"), std::string::npos) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find("SECRET"), std::string::npos) << error;
    }
}

TEST(RendezvousFile, MustBePrivateToItsOwner) {
    CRendezvousConfig c;
    std::string error;
    EXPECT_EQ(ReadText(kGood, &c, &error, 0644), RendezvousLoad::Unusable);
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    EXPECT_EQ(ReadText(kGood, &c, &error, 0620), RendezvousLoad::Unusable);
    EXPECT_EQ(ReadText(kGood, &c, &error, 0400), RendezvousLoad::Loaded);
    EXPECT_EQ(pppp::ReadRendezvousFile("/nonexistent/rendezvous.conf", &c, &error), RendezvousLoad::Unusable);
}

TEST(TurnCredential, IsTheSharedSecretScheme) {
    // Computed apart: printf '%s' '1700000000:CAM-1-0123456789abcdef' | openssl dgst -sha1 -hmac topsecret -binary | base64
    const auto c = pppp::MakeTurnCredential("topsecret", "CAM-1-0123456789abcdef", 1700000000);
    EXPECT_EQ(c.username, "1700000000:CAM-1-0123456789abcdef");
    EXPECT_EQ(c.password, "I0URcYLxOUHOzw7cF7pY4YQj/8c=");
}

TEST(TurnBudget, CountsAllocationsPerAccountAndThoseJustGivenBack) {
    const std::string account = pppp::TurnAccount("1700000000:D-CAM-1.budget");
    EXPECT_EQ(account, "D-CAM-1.budget");
    EXPECT_EQ(pppp::TurnAccount("static-user"), "static-user");
    ASSERT_TRUE(pppp::TakeTurnAllocations(account, 3));
    EXPECT_FALSE(pppp::TakeTurnAllocations(account, pppp::kAllocationsPerAccount - 2));
    EXPECT_TRUE(pppp::TakeTurnAllocations("V-someone-else", pppp::kAllocationsPerAccount));
    ASSERT_TRUE(pppp::TakeTurnAllocations(account, pppp::kAllocationsPerAccount - 3));
    // Released allocations over UDP still count while the server may count them;
    // those over TCP and TLS went with their connections.
    pppp::ReturnTurnAllocations(account, pppp::kAllocationsPerAccount, pppp::kAllocationsPerAccount);
    EXPECT_FALSE(pppp::TakeTurnAllocations(account, 1));
    pppp::ReturnTurnAllocations("V-someone-else", pppp::kAllocationsPerAccount, 1);
    EXPECT_TRUE(pppp::TakeTurnAllocations("V-someone-else", pppp::kAllocationsPerAccount - 1));
    EXPECT_FALSE(pppp::TakeTurnAllocations("V-someone-else", 1));
    pppp::ReturnTurnAllocations("V-someone-else", pppp::kAllocationsPerAccount - 1, 0);
}

bool Parse(const std::string& text, pppp::SignalMessage* m) {
    return pppp::ParseSignalMessage(reinterpret_cast<const uint8_t*>(text.data()), text.size(), m);
}

TEST(ChannelBinding, BothCertificatesInTheirOrderAndNothingElse) {
    const std::string device = "-----BEGIN CERTIFICATE-----\nZGV2aWNlIGNl\ncnRpZmljYXRl\n-----END CERTIFICATE-----\n";
    const std::string viewer = "-----BEGIN CERTIFICATE-----\r\ndmlld2VyIGNlcnRpZmljYXRl\r\n-----END CERTIFICATE-----";
    uint8_t binding[pppp::kChannelBindingSize], swapped[pppp::kChannelBindingSize];
    ASSERT_TRUE(pppp::ChannelBindingFromPem(device, viewer, binding));
    std::string hex;
    for (uint8_t b : binding) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    // The same number the browser page's test derives from these two DER blobs.
    EXPECT_EQ(hex, "4e344fd34be75736b1e47ac65bf5d44df8b7e28ce07b2e7a3fecec14735635b7");
    ASSERT_TRUE(pppp::ChannelBindingFromPem(viewer, device, swapped));
    EXPECT_NE(0, std::memcmp(binding, swapped, sizeof binding));
    EXPECT_FALSE(pppp::ChannelBindingFromPem("", viewer, binding));
    EXPECT_FALSE(pppp::ChannelBindingFromPem("-----BEGIN CERTIFICATE-----\nZm9v*\n-----END CERTIFICATE-----", viewer, binding));
}

TEST(SignalMessage, RoundTripsEveryType) {
    pppp::SignalMessage offer;
    offer.type = pppp::SignalMessage::Offer;
    offer.sid = pppp::NewSid();
    offer.sdp = "v=0\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n\"quoted\"";
    offer.ice.push_back({{"turn:h:3478?transport=udp"}, "1:CAM-1-x", "p/w+="});
    pppp::SignalMessage back;
    ASSERT_TRUE(Parse(pppp::MakeSignalMessage(offer), &back));
    EXPECT_EQ(back.type, pppp::SignalMessage::Offer);
    EXPECT_EQ(back.sid, offer.sid);
    EXPECT_EQ(back.sdp, offer.sdp);
    ASSERT_EQ(back.ice.size(), 1u);
    EXPECT_EQ(back.ice[0].credential, "p/w+=");

    ASSERT_TRUE(Parse(R"({"type":"candidate","sid":"0123456789abcdef","candidate":"candidate:1 1 UDP 1 1.2.3.4 5 typ host","mline":0,"extra":[1,{"a":2}]})", &back));
    EXPECT_EQ(back.type, pppp::SignalMessage::Candidate);
    ASSERT_TRUE(Parse(R"({"type":"call","sid":"0123456789abcdef","version":2})", &back));
    EXPECT_EQ(back.version, 2u);
    ASSERT_TRUE(Parse(R"({"type":"refuse","sid":"0123456789abcdef","reason":"busy"})", &back));
    ASSERT_TRUE(Parse(R"({"type":"bye","sid":"0123456789abcdef"})", &back));
    EXPECT_TRUE(pppp::IsValidSid(pppp::NewSid()));
}

TEST(SignalMessage, RefusesWhatIsNotAMessage) {
    const char* bad[] = {
        "", "[]", "\"call\"", "{", R"({"type":"call","version":2})",
        R"({"type":"call","sid":"0123456789ABCDEF","version":2})", R"({"type":"call","sid":"0123","version":2})",
        R"({"type":"call","sid":"0123456789abcdef","version":"2"})", R"({"type":"call","sid":"0123456789abcdef"})",
        R"({"type":"offer","sid":"0123456789abcdef"})", R"({"type":"offer","sid":"0123456789abcdef","sdp":"x","ice":{}})",
        R"({"type":"candidate","sid":"0123456789abcdef","candidate":"a=candidate:1"})",
        R"({"type":"hello","sid":"0123456789abcdef"})", R"({"type":7,"sid":"0123456789abcdef"})"};
    pppp::SignalMessage m;
    for (const char* text : bad) EXPECT_FALSE(Parse(text, &m)) << text;
    EXPECT_FALSE(Parse(std::string(100000, '['), &m));
    EXPECT_FALSE(Parse(R"({"type":"bye","sid":"0123456789abcdef","x":)" + std::string(20, '[') + std::string(20, ']') + "}", &m));
    EXPECT_FALSE(Parse(R"({"type":"bye","sid":"0123456789abcdef","pad":")" + std::string(70000, 'x') + "\"}", &m));
    EXPECT_FALSE(Parse(std::string("{\"type\":\"bye\",\"sid\":\"0123456789abcdef\",\"x\":\"\xff\"}"), &m));
}

TEST(SignalMessage, ReadsOnlyStrictJson) {
    // What lenient parsers take (comments hid nesting from an earlier depth
    // guard) is refused; the standard's whole grammar is read.
    const std::string bye = R"("type":"bye","sid":"0123456789abcdef")";
    const std::string nested = [](int n) { return std::string(n, '[') + std::string(n, ']'); }(7);
    pppp::SignalMessage m;
    for (const std::string& good : std::vector<std::string>{
             "{" + bye + "}", " \r\n\t{" + bye + R"(,"x":[1,-0.5e+3,0,true,null,"\ud83d\ude00\/\"é"],"y":{}} )" + "\n",
             "{" + bye + ",\"x\":" + nested + "}"})
        EXPECT_TRUE(Parse(good, &m)) << good;
    for (const std::string& bad : std::vector<std::string>{
             "{/*c*/" + bye + "}", "{" + bye + "}//", "{" + bye + ",\"x\":/*\"*/" + std::string(32000, '[') + "}",
          R"({'type':'bye','sid':'0123456789abcdef'})", "{" + bye + "}{" + bye + "}", "{" + bye + "} x",
          "{" + bye + R"(,"type":"call"})", "{" + bye + R"(,"t\u0079pe":"call"})", "\xEF\xBB\xBF{" + bye + "}",
          "{" + bye + ",}", "{" + bye + ",\"x\":[1,]}", "{" + bye + ",\"x\":undefined}", "{" + bye + ",\"x\":NaN}",
          "{" + bye + ",\"x\":01}", "{" + bye + ",\"x\":0x1}", "{" + bye + ",\"x\":1.}",
          "{" + bye + ",\"x\":\"\\u0000\"}",
          "{" + bye + ",\"x\":\"\\ud800\"}", "{" + bye + ",\"x\":\"\\q\"}", "{" + bye + ",\"x\":\"\t\"}",
          "{" + bye + ",\"x\":\"\xC0\xAF\"}", "{" + bye + ",\"x\":[" + nested + "]}", std::string("{\0}", 3)})
        EXPECT_FALSE(Parse(bad, &m)) << bad;
}

TEST(Candidates, OnlyThoseThatMeanSomethingElsewhereAreSignalled) {
    EXPECT_TRUE(pppp::IsCandidateForTheInternet("candidate:1 1 UDP 2015363327 198.51.100.7 40000 typ host"));
    EXPECT_TRUE(pppp::IsCandidateForTheInternet("candidate:2 1 UDP 1 198.51.100.9 40000 typ srflx raddr 10.0.0.2 rport 5"));
    EXPECT_TRUE(pppp::IsCandidateForTheInternet("candidate:3 1 udp 1 203.0.113.4 40000 typ relay raddr 1.2.3.4 rport 5"));
    for (const char* address : {"10.1.2.3", "172.16.0.1", "172.31.255.1", "192.168.0.9", "127.0.0.1", "169.254.3.4",
                                "fe80::1", "fd00::2", "::1", "::ffff:10.0.0.1", "abcd.local"}) {
        for (const char* type : {"host", "srflx", "prflx", "relay"}) {
            EXPECT_FALSE(pppp::IsCandidateForTheInternet(std::string("candidate:1 1 UDP 1 ") + address + " 4 typ " + type))
                << address << " " << type;
        }
    }
    EXPECT_TRUE(pppp::IsCandidateForTheInternet("candidate:1 1 UDP 1 172.32.0.1 4 typ host"));
    EXPECT_FALSE(pppp::IsCandidateForTheInternet("candidate:1 1 TCP 1 198.51.100.7 9 typ host tcptype active"));
    EXPECT_FALSE(pppp::IsCandidateForTheInternet("candidate:1 1 UDP"));
}

}  // namespace
