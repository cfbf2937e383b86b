#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<uint32_t> g_tick{0};

uint32_t FakeTick() {
    return g_tick.load();
}

// Feeds OSBootTime chosen tick readings, and puts the real clock back afterwards.
class OSBootTimeWrap : public ::testing::Test {
  protected:
    void SetUp() override { DebgSetTickSource(FakeTick); }
    void TearDown() override {
        DebgSetTickSource(nullptr);
        DebgSetLastBootTime(0);
    }
};

TEST_F(OSBootTimeWrap, FirstReadingIsTheTickItself) {
    DebgSetLastBootTime(0);
    g_tick = 123456;
    EXPECT_EQ(OSBootTime(), 123456u);
}

TEST_F(OSBootTimeWrap, ExtendsAcrossTheWrap) {
    const uint64_t k32 = uint64_t{1} << 32;
    DebgSetLastBootTime(k32 - 256);
    g_tick = 256;
    EXPECT_EQ(OSBootTime(), k32 + 256);
    g_tick = 512;
    EXPECT_EQ(OSBootTime(), k32 + 512);
    g_tick = 256;
    EXPECT_EQ(OSBootTime(), 2 * k32 + 256);
}

TEST_F(OSBootTimeWrap, SameTickDoesNotWrap) {
    DebgSetLastBootTime(1000);
    g_tick = 1000;
    EXPECT_EQ(OSBootTime(), 1000u);
    EXPECT_EQ(OSBootTime(), 1000u);
}

TEST_F(OSBootTimeWrap, ConcurrentReadersAtTheWrapAgreeOnOneExtension) {
    const uint64_t k32 = uint64_t{1} << 32;
    DebgSetLastBootTime(k32 - 1);
    g_tick = 5;
    std::atomic<bool> go{false};
    std::vector<uint64_t> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            seen[i] = OSBootTime();
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    for (uint64_t value : seen)
        EXPECT_EQ(value, k32 + 5);
}

TEST(OSBootTime, FollowsTheMonotonicClockAndNeverGoesBack) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    uint64_t first = OSBootTime();
    // The low half is the 32-bit millisecond tick of CLOCK_MONOTONIC.
    EXPECT_LE((first - ms) & 0xFFFFFFFFu, 50u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            uint64_t last = OSBootTime();
            for (int i = 0; i < 20000; ++i) {
                uint64_t now = OSBootTime();
                EXPECT_GE(now, last);
                last = now;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace
