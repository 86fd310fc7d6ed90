// Several devices on one host at once, in this process and in others, all on
// the same discovery port: each is found by its own DID.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/transport/TransportFixture.h"

namespace {

using namespace transporttest;

using Discovery = TransportTest;

void ExpectEcho(int session, const std::string& text) {
    ASSERT_EQ(PPPP_Write(session, 0, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
    std::string back(text.size(), '\0');
    ASSERT_EQ(ReadAll(session, 0, back.data(), static_cast<int>(back.size())), PPPP_OK);
    EXPECT_EQ(back, text);
}

TEST_F(Discovery, DevicesOfSeveralProcessesAreFoundEachByItsDid) {
    std::vector<std::string> childDids;
    std::vector<std::unique_ptr<CChild>> children;
    for (int i = 0; i < 3; ++i) {
        childDids.push_back(UniqueDid(("P" + std::to_string(i)).c_str()));
        children.push_back(std::make_unique<CChild>(std::vector<std::string>{"device", childDids.back()}));
        ASSERT_TRUE(children.back()->Started());
    }
    // Two devices of this process as well.
    const std::string mineA = UniqueDid("A"), mineB = UniqueDid("B");
    auto listenA = ListenAsync(mineA), listenB = ListenAsync(mineB);

    for (int i = 0; i < 3; ++i) {
        const int v = PPPP_Connect(childDids[i].c_str(), 15000);
        ASSERT_GT(v, 0) << childDids[i];
        ASSERT_EQ(children[i]->ReadLine(10000).rfind("OPEN", 0), 0u);
        ExpectEcho(v, "to " + childDids[i]);
        PPPP_Close(v);
    }
    const int a = PPPP_Connect(mineA.c_str(), 10000);
    const int b = PPPP_Connect(mineB.c_str(), 10000);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    const int da = listenA.get(), db = listenB.get();
    ASSERT_GT(da, 0);
    ASSERT_GT(db, 0);
    PPPP_SessionRecord ra{}, rb{};
    ASSERT_EQ(PPPP_Check(da, &ra), PPPP_OK);
    ASSERT_EQ(PPPP_Check(db, &rb), PPPP_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(ra.bytes + PPPP_REC_DID), mineA.c_str());
    EXPECT_STREQ(reinterpret_cast<char*>(rb.bytes + PPPP_REC_DID), mineB.c_str());
    // And each session reaches its own device.
    ASSERT_EQ(PPPP_Write(a, 0, "a", 1), 1);
    ASSERT_EQ(PPPP_Write(b, 0, "b", 1), 1);
    char c = 0;
    ASSERT_EQ(ReadAll(da, 0, &c, 1), PPPP_OK);
    EXPECT_EQ(c, 'a');
    ASSERT_EQ(ReadAll(db, 0, &c, 1), PPPP_OK);
    EXPECT_EQ(c, 'b');
}

}  // namespace
