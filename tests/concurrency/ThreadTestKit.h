// SPDX-License-Identifier: MIT
// Shared pieces of the lock and thread tests: running code on several threads at once, and
// probing a lock from a thread that does not hold it.
#ifndef BRINDLE_TESTS_CONCURRENCY_THREADTESTKIT_H_
#define BRINDLE_TESTS_CONCURRENCY_THREADTESTKIT_H_

#include <gtest/gtest.h>
#include <stdint.h>

#include <atomic>
#include <thread>
#include <vector>

namespace threadtest {

// Runs fn(0) on the calling thread and fn(1) ... fn(count - 1) each on a thread of its own,
// all at once, and waits for all of them.
template <class Fn>
void RunThreads(int count, Fn fn) {
    std::vector<std::thread> threads;
    for (int t = 1; t < count; ++t)
        threads.emplace_back(fn, t);
    fn(0);
    for (std::thread& thread : threads)
        thread.join();
}

// Holds back every thread that calls Wait until `count` of them have, so that they race.
class StartLine {
  public:
    explicit StartLine(int count) : waiting_(count) {}
    void Wait() {
        for (--waiting_; waiting_ > 0;)
            std::this_thread::yield();
    }

  private:
    std::atomic<int> waiting_;
};

// Whether another thread obtains the lock within `milliseconds`; it gives it back at once.
template <class Lockable>
bool OtherThreadGetsLock(Lockable& lock, uint32_t milliseconds) {
    bool got = false;
    std::thread([&] {
        got = lock.Lock(milliseconds);
        if (got)
            lock.Unlock();
    }).join();
    return got;
}

// Checks a free recursive lock: its holder may take it again at once, and another thread
// gets it only after the holder's last Unlock.
template <class Lockable>
void ExpectRecursiveLock(Lockable& lock) {
    EXPECT_TRUE(lock.Lock(0));
    lock.Lock();
    EXPECT_FALSE(OtherThreadGetsLock(lock, 10));
    lock.Unlock();
    EXPECT_FALSE(OtherThreadGetsLock(lock, 0));
    lock.Unlock();
    EXPECT_TRUE(OtherThreadGetsLock(lock, 10000));
}

// Checks an object built without a lock: a timed Lock fails at once, Lock and Unlock do nothing.
template <class Lockable>
void ExpectNoLock(Lockable& lock) {
    EXPECT_FALSE(lock.Lock(0));
    EXPECT_FALSE(lock.Lock(10));
    lock.Lock();
    EXPECT_FALSE(OtherThreadGetsLock(lock, 0));
    lock.Unlock();
}

}  // namespace threadtest

#endif  // BRINDLE_TESTS_CONCURRENCY_THREADTESTKIT_H_
