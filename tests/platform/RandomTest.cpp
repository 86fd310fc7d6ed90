#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Random.h"

namespace {

TEST(Random, FillsLargeBuffersAndDiffersBetweenCalls) {
    std::vector<uint8_t> a(1 << 20, 0), b(1 << 20, 0);
    ASSERT_TRUE(platform::SecureRandomBytes(a.data(), a.size()));
    ASSERT_TRUE(platform::SecureRandomBytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    // Every byte value turns up in a megabyte of random data; a partial fill would leave zeros behind.
    std::vector<int> seen(256, 0);
    for (uint8_t v : a) seen[v]++;
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n > 3000; }));
    EXPECT_LT(std::count(a.end() - 64, a.end(), 0), 10) << "the tail was filled too";
}

TEST(Random, ZeroBytesIsFine) { EXPECT_TRUE(platform::SecureRandomBytes(nullptr, 0)); }

}  // namespace
