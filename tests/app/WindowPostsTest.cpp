// The work other threads post to the window's thread: one wake-up for all
// that waits, in order, a refused wake-up asked again, and nothing run or
// kept once the window has gone.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "service/app/WindowPosts.h"

namespace {

TEST(WindowPostsTest, OneWakeUpRunsAllThatWaitsInOrderAndNothingRunsAfterTheWindowWent) {
    int wakes = 0;
    bool accept = false;  // the first wake-up finds the message queue full
    std::string ran;
    app::CWindowPosts posts([&] {
        ++wakes;
        return accept;
    });
    posts.Post([&] { ran += 'a'; });
    EXPECT_EQ(wakes, 1);
    accept = true;
    std::thread other([&] {
        posts.Post([&] { ran += 'b'; });
        posts.Post([&] { ran += 'c'; });
    });
    other.join();
    EXPECT_EQ(wakes, 2);  // asked again once, then no more while one is pending
    posts.RunPosted();
    EXPECT_EQ(ran, "abc");

    // Posted while running: waits for a wake-up of its own.
    posts.Post([&] {
        ran += 'd';
        posts.Post([&] { ran += 'e'; });
    });
    posts.RunPosted();
    EXPECT_EQ(ran, "abcd");
    EXPECT_EQ(wakes, 4);

    // The window goes in the middle of the work: the rest is dropped and
    // destroyed, and later posts are neither kept nor woken for.
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = held;
    posts.Post([&] { posts.Close(); });
    posts.Post([&, held] { ran += 'x'; });
    held.reset();
    posts.RunPosted();
    EXPECT_TRUE(watch.expired());
    posts.Post([&] { ran += 'y'; });
    posts.RunPosted();
    EXPECT_EQ(ran, "abcde");
    EXPECT_EQ(wakes, 4);
}

}  // namespace
