#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "transport/InitString.h"

namespace {

using pppp::CConfig;

PPPP_InitOptions Sample() {
    PPPP_InitOptions o{};
    o.discoveryPort = 41000;
    o.sessionPort = 65535;
    o.keepaliveMs = 250;
    o.deadPeerMs = 1200;
    o.handshakeMs = 700;
    o.sendBufferKiB = 32;
    o.receiveBufferKiB = 48;
    o.channelBufferKiB = 512;
    o.sendQueueKiB = 2048;
    o.probeMs = 90;
    o.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
    return o;
}

TEST(InitString, EveryFieldSurvivesTheRoundTrip) {
    const std::string text = pppp::MakeInitString(Sample());
    ASSERT_EQ(text.size(), 90u);
    for (char c : text) EXPECT_TRUE(c >= 'A' && c <= 'P') << text;
    PPPP_InitOptions back{};
    ASSERT_TRUE(pppp::ParseInitString(text.c_str(), &back));
    const PPPP_InitOptions sample = Sample();
    EXPECT_EQ(0, std::memcmp(&back, &sample, sizeof back));
}

TEST(InitString, TheDefaultStringIsAllDefaults) {
    const PPPP_InitOptions none{};
    EXPECT_EQ(pppp::MakeInitString(none), PPPP_DEFAULT_INIT_STRING);
    PPPP_InitOptions back = Sample();
    ASSERT_TRUE(pppp::ParseInitString(PPPP_DEFAULT_INIT_STRING, &back));
    EXPECT_EQ(0, std::memcmp(&back, &none, sizeof back));
}

TEST(InitString, RejectsWhatIsNotAConfiguration) {
    PPPP_InitOptions o{};
    const std::string good = pppp::MakeInitString(Sample());
    EXPECT_FALSE(pppp::ParseInitString(nullptr, &o));
    EXPECT_FALSE(pppp::ParseInitString("", &o));
    EXPECT_FALSE(pppp::ParseInitString(good.substr(0, 89).c_str(), &o));
    EXPECT_FALSE(pppp::ParseInitString((good + "A").c_str(), &o));
    std::string bad = good;
    bad[10] = 'Q';  // beyond 'P'
    EXPECT_FALSE(pppp::ParseInitString(bad.c_str(), &o));
    bad = good;
    bad[10] = static_cast<char>(bad[10] + 'a' - 'A');  // lower case
    EXPECT_FALSE(pppp::ParseInitString(bad.c_str(), &o));
    bad = good;
    bad[20] = bad[20] == 'A' ? 'B' : 'A';  // a changed field fails the check byte
    EXPECT_FALSE(pppp::ParseInitString(bad.c_str(), &o));
    // A string of 90 capital letters from elsewhere is not ours either.
    EXPECT_FALSE(pppp::ParseInitString(std::string(90, 'E').c_str(), &o));
}

TEST(InitString, ConfigFillsDefaultsAndKeepsValuesInRange) {
    const CConfig d = CConfig::FromOptions(PPPP_InitOptions{});
    EXPECT_EQ(d.wDiscoveryPort, 32100);
    EXPECT_EQ(d.wSessionPort, 0);
    EXPECT_EQ(d.dwKeepaliveMs, 2000u);
    EXPECT_EQ(d.dwDeadPeerMs, 9000u);
    EXPECT_EQ(d.dwSendBufferBytes, 64u * 1024);
    EXPECT_EQ(d.dwReceiveBufferBytes, 0u);  // the system's
    EXPECT_EQ(d.dwSendQueueBytes, 1024u * 1024);
    EXPECT_TRUE(d.bProbe);
    EXPECT_FALSE(d.bLoopbackOnly);

    PPPP_InitOptions tiny{};
    tiny.keepaliveMs = 1;
    tiny.deadPeerMs = 1;
    tiny.sendBufferKiB = 1;
    const CConfig t = CConfig::FromOptions(tiny);
    EXPECT_EQ(t.dwKeepaliveMs, 10u);
    EXPECT_EQ(t.dwDeadPeerMs, 300u);  // what a peer's keepalives can keep alive
    EXPECT_EQ(t.dwSendBufferBytes, 4u * 1024);

    const CConfig s = CConfig::FromOptions(Sample());
    EXPECT_EQ(s.wDiscoveryPort, 41000);
    EXPECT_EQ(s.dwChannelBufferBytes, 512u * 1024);
    EXPECT_FALSE(s.bProbe);
    EXPECT_TRUE(s.bLoopbackOnly);
}

}  // namespace
