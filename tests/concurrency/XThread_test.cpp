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

// True when the thread makes no progress for a moment. A suspended thread cannot move at
// all, so this holds on any machine; a running one moves within the generous deadline.
bool Stopped(const Probe& probe) {
    uint64_t before = probe.progress;
    std::this_thread::sleep_for(2ms);
    return probe.progress == before;
}

bool MovesAgain(const Probe& probe) {
    uint64_t before = probe.progress;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (probe.progress == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return probe.progress != before;
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
    EXPECT_TRUE(MovesAgain(probe));
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
    constexpr int kNice[6] = {10, 5, 0, -5, -10, -15};
    for (int priority = 0; priority < 6; ++priority) {
        if (kNice[priority] >= own) {  // lowering priority is always allowed
            EXPECT_EQ(niceByPriority[priority], kNice[priority]) << priority;
        } else {  // raising may be refused: then the nearest value allowed
            EXPECT_GE(niceByPriority[priority], kNice[priority]) << priority;
            EXPECT_LE(niceByPriority[priority], own) << priority;
        }
        if (priority > 0) {
            EXPECT_LE(niceByPriority[priority], niceByPriority[priority - 1]);
        }
    }
}

// Suspension works by signals, which ThreadSanitizer delivers late; kept out of its run.
// Thousands of suspend/resume pairs back to back, some nested, against a spinning thread: each
// suspension stops the thread before it returns, and the thread runs again only once every
// suspension has been undone. A suspension that does not pair up hangs, so the pairs run on a
// controller thread and the test gives up on it after a deadline.
TEST(XThreadSuspendNoTsan, SuspensionsCountAndPairUpUnderAnyTiming) {
    Probe* probe = new Probe;  // left to the threads if they hang
    void* thread = SpawnXThread("t", RunUntilReleased, probe, ThreadPriorityNormal);
    ASSERT_NE(thread, nullptr);
    ResumeXThread(thread);
    ASSERT_TRUE(MovesAgain(*probe));

    constexpr int kPairs = 5000;
    std::atomic<int> pairsDone{0};
    std::thread controller([&, thread] {
        for (int i = 0; i < kPairs; ++i) {
            bool nested = i % 3 == 0;
            bool look = i % 500 == 0;
            int suspended = 0;
            for (int depth = nested ? 2 : 1; suspended < depth; ++suspended)
                EXPECT_EQ(SuspendXThread(thread), 0);
            for (; suspended > 0; --suspended) {
                if (look) {
                    EXPECT_TRUE(Stopped(*probe)) << i << ": " << suspended << " suspensions";
                }
                EXPECT_EQ(ResumeXThread(thread), 0);
            }
            pairsDone++;
        }
    });
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (pairsDone < kPairs && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    if (pairsDone < kPairs) {
        controller.detach();
        FAIL() << "suspend hung after " << pairsDone << " pairs";
    }
    controller.join();

    EXPECT_TRUE(MovesAgain(*probe));
    EXPECT_EQ(ResumeXThread(thread), 0);  // not suspended: nothing to undo
    EXPECT_TRUE(MovesAgain(*probe));
    probe->release = true;
    WaitForXThread(thread);
    EXPECT_EQ(SuspendXThread(thread), -1);  // ended
    KillXThread(thread);
    delete probe;
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

struct SelfSuspend : Probe {
    void* handle = nullptr;
    std::atomic<bool> handleSet{false};
    std::atomic<int> stage{0};
    std::atomic<int32_t> suspended{-2};
};

uint32_t SuspendSelfThenSpin(void* argument) {
    SelfSuspend* self = static_cast<SelfSuspend*>(argument);
    while (!self->handleSet)
        std::this_thread::yield();
    self->stage = 1;
    self->suspended = SuspendXThread(self->handle);
    self->stage = 2;
    return RunUntilReleased(self);
}

// A thread suspends itself and is resumed; a later suspension from outside still waits for
// the thread to stop.
TEST(XThreadSuspendNoTsan, ThreadMaySuspendItself) {
    SelfSuspend self;
    self.handle = SpawnXThread("t", SuspendSelfThenSpin, &self, ThreadPriorityNormal);
    ASSERT_NE(self.handle, nullptr);
    self.handleSet = true;
    ResumeXThread(self.handle);
    while (self.stage < 1)
        std::this_thread::yield();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(self.stage, 1);
    EXPECT_EQ(ResumeXThread(self.handle), 0);
    ASSERT_TRUE(MovesAgain(self));
    EXPECT_EQ(self.stage, 2);
    EXPECT_EQ(self.suspended, 0);
    EXPECT_EQ(SuspendXThread(self.handle), 0);
    EXPECT_TRUE(Stopped(self));
    EXPECT_EQ(ResumeXThread(self.handle), 0);
    self.release = true;
    WaitForXThread(self.handle);
    KillXThread(self.handle);
}

}  // namespace
