// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <vector>

#include "concurrency/ThreadTestKit.h"

namespace {

constexpr uint64_t k32 = uint64_t{1} << 32;
// In place of a last value: go on from the value the reading before returned.
constexpr uint64_t kGoOn = ~uint64_t{0};

std::atomic<uint32_t> g_tick{0};

// Feeds OSBootTime chosen tick readings, and puts the real clock back afterwards.
class OSBootTimeWrap : public ::testing::Test {
  protected:
    void SetUp() override {
        DebgSetTickSource([] { return g_tick.load(); });
    }
    void TearDown() override {
        DebgSetTickSource(nullptr);
        DebgSetLastBootTime(0);
    }
};

TEST_F(OSBootTimeWrap, ExtendsTheTickFromTheLastValueAcrossEachWrap) {
    const struct {
        uint64_t last;
        uint32_t tick;
        uint64_t expected;
    } readings[] = {
        {0, 123456, 123456},         {1000, 1000, 1000},      {kGoOn, 1000, 1000},
        {k32 - 256, 256, k32 + 256}, {kGoOn, 512, k32 + 512}, {kGoOn, 256, 2 * k32 + 256},
    };
    for (const auto& reading : readings) {
        if (reading.last != kGoOn)
            DebgSetLastBootTime(reading.last);
        g_tick = reading.tick;
        EXPECT_EQ(OSBootTime(), reading.expected) << reading.tick;
    }
}

TEST_F(OSBootTimeWrap, ConcurrentReadersAtTheWrapAgreeOnOneExtension) {
    DebgSetLastBootTime(k32 - 1);
    g_tick = 5;
    threadtest::StartLine start(8);
    std::vector<uint64_t> seen(8);
    threadtest::RunThreads(8, [&](int t) {
        start.Wait();
        seen[t] = OSBootTime();
    });
    EXPECT_EQ(seen, std::vector<uint64_t>(8, k32 + 5));
}

TEST(OSBootTime, FollowsTheMonotonicClockAndNeverGoesBack) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    uint64_t first = OSBootTime();
    // The low half is the 32-bit millisecond tick of CLOCK_MONOTONIC.
    EXPECT_LE((first - ms) & 0xFFFFFFFFu, 50u);
    threadtest::RunThreads(4, [](int) {
        uint64_t last = OSBootTime();
        for (int i = 0; i < 20000; ++i) {
            uint64_t now = OSBootTime();
            EXPECT_GE(now, last);
            last = now;
        }
    });
}

}  // namespace
