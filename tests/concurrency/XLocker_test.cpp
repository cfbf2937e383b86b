// SPDX-License-Identifier: MIT

#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
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

// The standard guards take an XLocker with its own semantics: recursive for the holder, and
// try_lock never waits, which std::scoped_lock relies on to take two locks that other threads
// take in the opposite order without deadlocking.
TEST(XLocker, StandardGuardsTakeIt) {
    XLocker first, second;
    {
        std::lock_guard<XLocker> guard(first);
        std::unique_lock<XLocker> again(first, std::try_to_lock);
        EXPECT_TRUE(again.owns_lock());
        std::thread([&] {
            EXPECT_FALSE(std::unique_lock<XLocker>(first, std::try_to_lock));
        }).join();
    }
    EXPECT_FALSE(first.IsLocked());
    int64_t counter = 0;
    constexpr int kRounds = 20000;
    threadtest::RunThreads(2, [&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            if (t == 0) {
                std::scoped_lock both(first, second);
                ++counter;
            } else {
                std::scoped_lock both(second, first);
                ++counter;
            }
        }
    });
    EXPECT_EQ(counter, 2 * kRounds);
    EXPECT_FALSE(first.IsLocked() || second.IsLocked());
}

}  // namespace
