// One session used from several threads at once, closes racing with reads,
// and a de-initialisation under way while calls are pending.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/Environment.h"
#include "tests/support/Wait.h"
#include "tests/transport/TransportFixture.h"

namespace {

using namespace transporttest;
using namespace std::chrono_literals;

using Concurrency = TransportTest;

bool Gone(int r) {
    return r == PPPP_ERR_CLOSED_BY_PEER || r == PPPP_ERR_CLOSED_TIMEOUT || r == PPPP_ERR_CLOSED_LOCALLY;
}

// Reader, writer, checker and closer on one session; the peer echoes. Every
// call returns a meaningful result, and once the closer has closed, the
// reader ends with a result other than success and time-out.
TEST_F(Concurrency, OneSessionReadWrittenCheckedAndClosedFromFourThreads) {
    const std::string did = UniqueDid("FOUR");
    for (int round = 0; round < 12; ++round) {
        const Pair p = OpenPair(did);
        std::atomic<bool> stop{false};
        std::thread echo([&] {
            char buf[4096];
            for (;;) {
                int size = sizeof buf;
                const int r = PPPP_Read(p.device, 0, buf, &size, 50);
                if (size > 0) PPPP_Write(p.device, 0, buf, size);
                if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
            }
            PPPP_Close(p.device);
        });
        std::atomic<int> readerEnd{0};
        std::thread reader([&] {
            char buf[1000];
            for (;;) {
                int size = sizeof buf;
                const int r = PPPP_Read(p.viewer, 0, buf, &size, 200);
                if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) {
                    readerEnd = r;
                    break;
                }
            }
        });
        std::thread writer([&] {
            const std::vector<char> chunk(700, 'w');
            while (!stop) {
                const int r = PPPP_Write(p.viewer, 0, chunk.data(), static_cast<int>(chunk.size()));
                if (Gone(r)) break;
                EXPECT_TRUE(r == 700 || r == PPPP_ERR_BUFFER_FULL) << r;
            }
        });
        std::thread checker([&] {
            while (!stop) {
                unsigned int w = 0, r = 0;
                const int c = PPPP_Check_Buffer(p.viewer, 0, &w, &r);
                PPPP_SessionRecord rec{};
                const int k = PPPP_Check(p.viewer, &rec);
                if (Gone(c)) break;
                EXPECT_EQ(c, PPPP_OK);
                EXPECT_TRUE(k == PPPP_OK || Gone(k));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 10));
        std::thread closer([&] { EXPECT_EQ(PPPP_Close(p.viewer), PPPP_OK); });
        closer.join();
        reader.join();
        stop = true;
        writer.join();
        checker.join();
        echo.join();
        EXPECT_EQ(readerEnd.load(), PPPP_ERR_CLOSED_LOCALLY);
    }
}

TEST_F(Concurrency, TwoClosesOfOneHandleCloseItOnce) {
    for (int round = 0; round < 10; ++round) {
        const Pair p = OpenPair(UniqueDid("TWICE"));
        std::atomic<int> ok{0};
        std::vector<std::thread> closers;
        for (int i = 0; i < 3; ++i)
            closers.emplace_back([&] {
                if (PPPP_Close(p.viewer) == PPPP_OK) ++ok;
            });
        for (auto& t : closers) t.join();
        EXPECT_EQ(ok.load(), 1);
        PPPP_Close(p.device);
    }
}

TEST_F(Concurrency, SeveralViewersAndTheDeviceInOneProcess) {
    const std::string did = UniqueDid("MANY");
    constexpr int kViewers = 8;
    std::thread device([&] {
        std::vector<std::thread> echoes;
        for (int i = 0; i < kViewers; ++i) {
            const int h = PPPP_Listen(did.c_str(), 20, 0, 1);
            ASSERT_GT(h, 0);
            echoes.emplace_back([h] {
                char buf[256];
                for (;;) {
                    int size = sizeof buf;
                    const int r = PPPP_Read(h, 0, buf, &size, 100);
                    if (size > 0) PPPP_Write(h, 0, buf, size);
                    if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) break;
                }
                PPPP_Close(h);
            });
        }
        for (auto& t : echoes) t.join();
    });
    std::vector<std::thread> viewers;
    std::atomic<int> good{0};
    for (int i = 0; i < kViewers; ++i)
        viewers.emplace_back([&, i] {
            const int v = PPPP_Connect(did.c_str(), 10000);
            ASSERT_GT(v, 0);
            const std::string text = "viewer " + std::to_string(i);
            for (int k = 0; k < 20; ++k) {
                ASSERT_EQ(PPPP_Write(v, 0, text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
                std::string back(text.size(), '\0');
                ASSERT_EQ(ReadAll(v, 0, back.data(), static_cast<int>(back.size())), PPPP_OK);
                ASSERT_EQ(back, text);
            }
            ++good;
            PPPP_Close(v);
        });
    for (auto& t : viewers) t.join();
    device.join();
    EXPECT_EQ(good.load(), kViewers);
}

// De-initialising ends what is pending: a listen, a read; later calls fail cleanly.
TEST(ConcurrencyShutdown, DeInitialiseEndsPendingCalls) {
    testsupport::SetEnvironment(PPPP_INIT_ENV_VARIABLE, TestInitString().c_str());
    ASSERT_EQ(PPPP_Initialize(PPPP_DEFAULT_INIT_STRING), PPPP_OK);
    const std::string did = UniqueDid("DOWN");
    auto listen = ListenAsync(did, 0);
    const int v = PPPP_Connect(did.c_str(), 5000);
    ASSERT_GT(v, 0);
    const int d = listen.get();
    ASSERT_GT(d, 0);
    auto read = std::async(std::launch::async, [d] {
        char buf[4];
        int size = 4;
        return PPPP_Read(d, 0, buf, &size, 60000);
    });
    auto idle = ListenAsync(UniqueDid("IDLE"), 0);
    // Half of what the read waits for: once it has arrived and sits in no
    // channel, the read holds it and is pending.
    ASSERT_EQ(PPPP_Write(v, 0, "ab", 2), 2);
    ASSERT_TRUE(testsupport::WaitUntil([d] {
        PPPP_SessionRecord r{};
        unsigned int unread = 1;
        return PPPP_Check(d, &r) == PPPP_OK && r.bytes[PPPP_REC_BYTES_RECEIVED] == 2 &&
               PPPP_Check_Buffer(d, 0, nullptr, &unread) == PPPP_OK && unread == 0;
    }, 30000));
    ASSERT_EQ(PPPP_DeInitialize(), PPPP_OK);
    EXPECT_EQ(read.get(), PPPP_ERR_CLOSED_LOCALLY);
    const int l = idle.get();
    EXPECT_TRUE(l == PPPP_ERR_INTERRUPTED || l == PPPP_ERR_NOT_INITIALISED) << l;
    EXPECT_EQ(PPPP_Write(v, 0, "x", 1), PPPP_ERR_NOT_INITIALISED);
}

}  // namespace
