// SPDX-License-Identifier: MIT
// Uncontended lock and unlock: XLocker against std::recursive_mutex in the same run.
#include <benchmark/benchmark.h>
#include <brindle/brindle.h>

#include <mutex>

namespace {

void BM_XLockerLockUnlock(benchmark::State& state) {
    XLocker lock;
    for (auto _ : state) {
        lock.Lock();
        lock.Unlock();
    }
}
BENCHMARK(BM_XLockerLockUnlock);

void BM_XLockerTimedLockUnlock(benchmark::State& state) {
    XLocker lock;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lock.Lock(1000));
        lock.Unlock();
    }
}
BENCHMARK(BM_XLockerTimedLockUnlock);

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutexLockUnlock);

}  // namespace
