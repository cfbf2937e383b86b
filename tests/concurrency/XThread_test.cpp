#include <brindle/brindle.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};
    std::atomic<uint64_t> progress{0};
    std::atomic<int> nice{999};
    std::atomic<bool> done{false};
};

uint32_t CountRun(void* argument) {
    static_cast<Probe*>(argument)->runs++;
    return 7;
}

uint32_t RunUntilReleased(void* argument) {
    Probe* probe = static_cast<Probe*>(argument);
    probe->runs++;
    while (!probe->release) {
        probe->progress++;
        std::this_thread::yield();
    }
    probe->done = true;  // the last touch of the probe
    return 0;
}

uint32_t RecordNice(void* argument) {
    Probe* probe = static_cast<Probe*>(argument);
    errno = 0;
    probe->nice = getpriority(PRIO_PROCESS, gettid());
    return 0;
}

uint32_t ExitEarly(void* argument) {
    static_cast<Probe*>(argument)->runs++;
    ExitXThread(3);
}

TEST(XThreadLifetime, SpawnedThreadWaitsForResume) {
    Probe probe;
    void* thread = SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.runs, 0);
    EXPECT_EQ(ResumeXThread(thread), 0);
    WaitForXThread(thread);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(KillXThread(thread), 0);
}

TEST(XThreadLifetime, WaitingTwiceAndFromSeveralThreadsReturns) {
    Probe probe;
    void* thread = SpawnXThread("t", RunUntilReleased, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    ResumeXThread(thread);
    std::vector<std::thread> waiters;
    std::atomic<int> done{0};
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            WaitForXThread(thread);
            done++;
        });
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(done, 0);
    probe.release = true;
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(done, 3);
    WaitForXThread(thread);
    EXPECT_EQ(KillXThread(thread), 0);
}

TEST(XThreadLifetime, KillReleasesHandleButThreadRunsOn) {
    Probe probe;
    void* thread = SpawnXThread("t", RunUntilReleased, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    ResumeXThread(thread);
    EXPECT_EQ(KillXThread(thread), 0);
    uint64_t before = probe.progress;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (probe.progress == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GT(probe.progress, before);
    probe.release = true;
    // Nothing can wait for a released thread; keep the probe alive until it is done with it.
    while (!probe.done)
        std::this_thread::yield();
}

TEST(XThreadLifetime, NeverResumedThreadEndsWithoutRunningWhenReleased) {
    Probe probe;
    void* thread = SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(KillXThread(thread), 0);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.runs, 0);
}

TEST(XThreadLifetime, ExitXThreadEndsTheThread) {
    Probe probe;
    void* thread = SpawnXThread("t", ExitEarly, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    ResumeXThread(thread);
    WaitForXThread(thread);
    EXPECT_EQ(probe.runs, 1);
    KillXThread(thread);
}

TEST(XThreadLifetime, BadArgumentsAreRefused) {
    Probe probe;
    EXPECT_EQ(SpawnXThread("t", nullptr, &probe, ThreadPriorityNormal), nullptr);
    EXPECT_EQ(SpawnXThread("t", CountRun, &probe, static_cast<ThreadPriority>(6)), nullptr);
    EXPECT_EQ(SpawnXThread("t", CountRun, &probe, static_cast<ThreadPriority>(-1)), nullptr);
    EXPECT_EQ(ResumeXThread(nullptr), -1);
    EXPECT_EQ(SuspendXThread(nullptr), -1);
    EXPECT_EQ(KillXThread(nullptr), -1);
}

TEST(XThreadLifetime, SpawnFailsCleanlyWhenMemoryRunsOut) {
    Probe probe;
    DebgFailAllocation(1);
    EXPECT_EQ(SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal), nullptr);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
}

TEST(XThreadLifetime, ManyThreadsStartTogether) {
    Probe probe;
    std::vector<void*> threads;
    for (int i = 0; i < 16; ++i) {
        threads.push_back(SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal));
        ASSERT_NE(threads.back(), nullptr);
    }
    EXPECT_EQ(probe.runs, 0);
    for (void* thread : threads)
        ResumeXThread(thread);
    for (void* thread : threads) {
        WaitForXThread(thread);
        KillXThread(thread);
    }
    EXPECT_EQ(probe.runs, 16);
}

TEST(XThreadPriority, PrioritiesKeepTheirOrder) {
    int niceByPriority[6];
    for (int priority = 0; priority < 6; ++priority) {
        Probe probe;
        void* thread = SpawnXThread("t", RecordNice, &probe, static_cast<ThreadPriority>(priority));
        ASSERT_NE(thread, nullptr);
        ResumeXThread(thread);
        WaitForXThread(thread);
        KillXThread(thread);
        niceByPriority[priority] = probe.nice;
    }
    errno = 0;
    int own = getpriority(PRIO_PROCESS, gettid());
    // Lowering priority is always allowed.
    EXPECT_EQ(niceByPriority[ThreadPriorityLowest], std::max(own, 10));
    EXPECT_EQ(niceByPriority[ThreadPriorityBelowNormal], std::max(own, 5));
    EXPECT_EQ(niceByPriority[ThreadPriorityNormal], std::max(own, 0) == own && own > 0 ? own : 0);
    for (int priority = 1; priority < 6; ++priority) {
        EXPECT_LE(niceByPriority[priority], niceByPriority[priority - 1]);
    }
    // Raising may be refused; then the thread stays at the nearest value allowed.
    if (niceByPriority[ThreadPriorityTimeCritical] != -15) {
        EXPECT_GE(niceByPriority[ThreadPriorityTimeCritical], -15);
        EXPECT_LE(niceByPriority[ThreadPriorityTimeCritical], own);
    }
}

// Suspension works by signals, which ThreadSanitizer delivers late; kept out of its run.
TEST(XThreadSuspendNoTsan, SuspendStopsARunningThreadUntilResumed) {
    Probe probe;
    void* thread = SpawnXThread("t", RunUntilReleased, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    ResumeXThread(thread);
    while (probe.progress < 100)
        std::this_thread::yield();

    ASSERT_EQ(SuspendXThread(thread), 0);
    ASSERT_EQ(SuspendXThread(thread), 0);  // suspensions count
    uint64_t stoppedAt = probe.progress;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.progress, stoppedAt);

    EXPECT_EQ(ResumeXThread(thread), 0);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.progress, stoppedAt);  // one suspension remains

    EXPECT_EQ(ResumeXThread(thread), 0);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (probe.progress == stoppedAt && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_GT(probe.progress, stoppedAt);
    EXPECT_EQ(ResumeXThread(thread), 0);  // not suspended: nothing to undo
    probe.release = true;
    WaitForXThread(thread);
    EXPECT_EQ(SuspendXThread(thread), -1);  // ended
    KillXThread(thread);
}

TEST(XThreadSuspendNoTsan, SuspendBeforeFirstResumeAddsASuspension) {
    Probe probe;
    void* thread = SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(SuspendXThread(thread), 0);
    EXPECT_EQ(ResumeXThread(thread), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(probe.runs, 0);
    EXPECT_EQ(ResumeXThread(thread), 0);
    WaitForXThread(thread);
    EXPECT_EQ(probe.runs, 1);
    KillXThread(thread);
}

struct SelfSuspend {
    void* handle = nullptr;
    std::atomic<bool> handleSet{false};
    std::atomic<int> stage{0};
};

uint32_t SuspendSelf(void* argument) {
    SelfSuspend* self = static_cast<SelfSuspend*>(argument);
    while (!self->handleSet)
        std::this_thread::yield();
    self->stage = 1;
    SuspendXThread(self->handle);
    self->stage = 2;
    return 0;
}

TEST(XThreadSuspendNoTsan, ThreadMaySuspendItself) {
    SelfSuspend self;
    self.handle = SpawnXThread("t", SuspendSelf, &self, ThreadPriorityNormal);
    ASSERT_NE(self.handle, nullptr);
    self.handleSet = true;
    ResumeXThread(self.handle);
    while (self.stage < 1)
        std::this_thread::yield();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(self.stage, 1);
    EXPECT_EQ(ResumeXThread(self.handle), 0);
    WaitForXThread(self.handle);
    EXPECT_EQ(self.stage, 2);
    KillXThread(self.handle);
}

}  // namespace
