#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <atomic>
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
    bool seenLocked = false;
    std::thread([&] { seenLocked = lock.IsLocked(); }).join();  // by any thread
    EXPECT_TRUE(seenLocked);
    lock.Unlock();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(XLocker, TimedLockWaitsItsTimeForTheHolder) {
    XLocker lock;
    std::atomic<int> stage{0};
    std::thread holder([&] {
        lock.Lock();
        stage = 1;
        while (stage < 2)
            std::this_thread::yield();
        std::this_thread::sleep_for(20ms);
        lock.Unlock();
    });
    while (stage < 1)
        std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.Lock(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
    stage = 2;
    bool taken = lock.Lock(10000);  // released 20 ms from now
    EXPECT_TRUE(taken);
    if (taken)
        lock.Unlock();
    holder.join();
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
