#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Runs fn on another thread and returns its result.
template <class Fn>
auto OnOtherThread(Fn fn) {
    decltype(fn()) result{};
    std::thread thread([&] { result = fn(); });
    thread.join();
    return result;
}

TEST(XLocker, FreeLockIsTakenAtOnceByTimedLock) {
    XLocker lock;
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_TRUE(lock.IsLocked());
    lock.Unlock();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(XLocker, RecursiveHolderKeepsLockUntilLastUnlock) {
    XLocker lock;
    lock.Lock();
    EXPECT_TRUE(lock.Lock(0));
    lock.Lock();
    EXPECT_FALSE(OnOtherThread([&] { return lock.Lock(0); }));
    lock.Unlock();
    lock.Unlock();
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_FALSE(OnOtherThread([&] { return lock.Lock(0); }));
    lock.Unlock();
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_TRUE(OnOtherThread([&] {
        bool taken = lock.Lock(0);
        if (taken)
            lock.Unlock();
        return taken;
    }));
}

TEST(XLocker, TimedLockGivesUpAfterItsTime) {
    XLocker lock;
    lock.Lock();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OnOtherThread([&] { return lock.Lock(50); }));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(45));
    EXPECT_EQ(lock.IsLocked(), true);
    lock.Unlock();
}

TEST(XLocker, TimedLockSucceedsWhenReleasedInTime) {
    XLocker lock;
    std::atomic<bool> held{false};
    std::thread holder([&] {
        lock.Lock();
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.Unlock();
    });
    while (!held)
        std::this_thread::yield();
    bool taken = lock.Lock(10000);
    EXPECT_TRUE(taken);
    if (taken)
        lock.Unlock();
    holder.join();
    EXPECT_FALSE(lock.IsLocked());
}

TEST(XLocker, ContendedCounterStaysExact) {
    XLocker lock;
    int64_t counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
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
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter, int64_t{kThreads} * kRounds);
    EXPECT_FALSE(lock.IsLocked());
}

}  // namespace
