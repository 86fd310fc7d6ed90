#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "transport/ByteQueue.h"

namespace {

// Appends and takes of random sizes, wrapping around the ring and growing it,
// deliver the bytes in order, as a plain deque would.
TEST(ByteQueue, KeepsOrderThroughWrapsAndGrowth) {
    pppp::CByteQueue q;
    std::deque<uint8_t> model;
    std::mt19937 rng(7);
    uint8_t next = 0;
    std::vector<uint8_t> buf(70000);
    for (int step = 0; step < 4000; ++step) {
        if (rng() % 2) {
            const size_t n = rng() % (step % 500 == 0 ? 60000 : 3000);
            for (size_t i = 0; i < n; ++i) buf[i] = next++;
            q.Append(buf.data(), n);
            model.insert(model.end(), buf.begin(), buf.begin() + static_cast<long>(n));
        } else {
            const size_t want = rng() % 5000;
            const size_t got = q.Take(buf.data(), want);
            ASSERT_EQ(got, std::min(want, model.size()));
            for (size_t i = 0; i < got; ++i) {
                ASSERT_EQ(buf[i], model.front());
                model.pop_front();
            }
        }
        ASSERT_EQ(q.Size(), model.size());
    }
    q.Clear();
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.Take(buf.data(), 10), 0u);
}

}  // namespace
