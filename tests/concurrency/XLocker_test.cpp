// SPDX-License-Identifier: MIT

#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "concurrency/ThreadTestKit.h"

namespace {

using namespace std::chrono_literals;

TEST(XLocker, HolderMayRelockAndOthersWaitForItsLastUnlock) {
    XLocker lock;
    EXPECT_FALSE(lock.IsLocked());
    threadtest::ExpectRecursiveLock(lock);
    EXPECT_FALSE(lock.IsLocked());
    lock.Lock();
    lock.Lock();
    lock.Unlock();
    EXPECT_TRUE(lock.IsLocked());
    lock.Unlock();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(XLocker, TimedLockWaitsItsTimeForTheHolder) {
    XLocker lock;
    lock.Lock();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(threadtest::OtherThreadGetsLock(lock, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    std::thread waiter([&] { EXPECT_TRUE(threadtest::OtherThreadGetsLock(lock, 10000)); });
    std::this_thread::sleep_for(20ms);
    lock.Unlock();
    waiter.join();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(XLocker, ContendedCounterStaysExact) {
    XLocker lock;
    int64_t counter = 0;
    constexpr int kThreads = 4, kRounds = 20000;
    threadtest::RunThreads(kThreads, [&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            if (t % 2 == 0) {
                lock.Lock();
            } else {
                while (!lock.Lock(1)) {
                }
            }
            lock.Lock();  // nested level
            ++counter;
            lock.Unlock();
            lock.Unlock();
        }
    });
    EXPECT_EQ(counter, int64_t{kThreads} * kRounds);
    EXPECT_FALSE(lock.IsLocked());
}

}  // namespace
