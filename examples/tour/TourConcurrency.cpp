// SPDX-License-Identifier: MIT

#include <stdio.h>

#include <brindle/brindle.h>

#include "Tour.h"

namespace {

struct Work {
    XLocker lock;
    uint32_t total = 0;
};

uint32_t AddNumbers(void* argument) {
    Work* work = static_cast<Work*>(argument);
    for (uint32_t i = 1; i <= 1000; ++i) {
        work->lock.Lock();
        work->total += i;
        work->lock.Unlock();
    }
    return 0;
}

}  // namespace

void TourConcurrency() {
    printf("\n== concurrency ==\n");
    uint64_t started = OSBootTime();
    Work work;
    void* threads[2];
    for (void*& thread : threads) {
        thread = SpawnXThread("adder", AddNumbers, &work, ThreadPriorityNormal);
    }
    printf("two threads spawned suspended; total so far %u\n", work.total);
    for (void* thread : threads)
        ResumeXThread(thread);
    for (void* thread : threads) {
        WaitForXThread(thread);
        KillXThread(thread);
    }
    printf("after resuming and waiting: total %u (2 x 500500)\n", work.total);
    printf("XLocker.Lock(0) on a free lock: %s\n", work.lock.Lock(0) ? "taken" : "busy");
    work.lock.Unlock();
    printf("OSBootTime advanced %llu ms during this visit\n",
           static_cast<unsigned long long>(OSBootTime() - started));
}
