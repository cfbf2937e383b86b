// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "concurrency/ThreadTestKit.h"

namespace {

using namespace std::chrono_literals;

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<bool> release{false};
    std::atomic<uint64_t> progress{0};
    std::atomic<int> nice{999};
    std::atomic<bool> done{false};
    // For a thread that suspends itself: its handle, and how far it has come.
    std::atomic<void*> handle{nullptr};
    std::atomic<int> stage{0};
    std::atomic<int32_t> suspended{-2};
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
    static_cast<Probe*>(argument)->nice = getpriority(PRIO_PROCESS, gettid());
    return 0;
}

uint32_t ExitEarly(void* argument) {
    static_cast<Probe*>(argument)->runs++;
    ExitXThread(3);
}

uint32_t SuspendSelfThenSpin(void* argument) {
    Probe* self = static_cast<Probe*>(argument);
    while (self->handle == nullptr)
        std::this_thread::yield();
    self->stage = 1;
    self->suspended = SuspendXThread(self->handle);
    self->stage = 2;
    return RunUntilReleased(self);
}

void* Spawn(uint32_t (*start)(void*), Probe* probe, int priority = ThreadPriorityNormal) {
    void* thread = SpawnXThread("t", start, probe, static_cast<ThreadPriority>(priority));
    EXPECT_NE(thread, nullptr);
    return thread;
}

// Resumes the thread, waits for it to end and releases its handle.
void RunToEnd(void* thread) {
    EXPECT_EQ(ResumeXThread(thread), 0);
    WaitForXThread(thread);
    EXPECT_EQ(KillXThread(thread), 0);
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

TEST(XThreadLifetime, RunsOnlyOnceResumedAndNeverWhenReleasedFirst) {
    Probe probe, abandoned;
    void* thread = Spawn(CountRun, &probe);
    EXPECT_EQ(KillXThread(Spawn(CountRun, &abandoned)), 0);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(probe.runs + abandoned.runs, 0);
    RunToEnd(thread);
    EXPECT_EQ(probe.runs, 1);
    RunToEnd(Spawn(ExitEarly, &probe));
    EXPECT_EQ(probe.runs, 2);
}

TEST(XThreadLifetime, EveryWaiterReturnsOnceTheThreadEndsAndReleaseLeavesItRunning) {
    Probe probe;
    void* thread = Spawn(RunUntilReleased, &probe);
    ResumeXThread(thread);
    std::atomic<int> done{0};
    threadtest::RunThreads(4, [&](int t) {
        if (t > 0) {
            WaitForXThread(thread);
            done++;
            return;
        }
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(done, 0);
        probe.release = true;
    });
    EXPECT_EQ(done, 3);
    WaitForXThread(thread);
    EXPECT_EQ(KillXThread(thread), 0);

    Probe released;
    ResumeXThread(thread = Spawn(RunUntilReleased, &released));
    EXPECT_EQ(KillXThread(thread), 0);
    EXPECT_TRUE(MovesAgain(released));
    released.release = true;
    // Nothing can wait for a released thread; keep the probe alive until it is done with it.
    while (!released.done)
        std::this_thread::yield();
}

TEST(XThreadLifetime, BadArgumentsAndLackOfMemoryAreRefused) {
    Probe probe;
    EXPECT_EQ(SpawnXThread("t", nullptr, &probe, ThreadPriorityNormal), nullptr);
    for (int priority : {-1, 6})
        EXPECT_EQ(SpawnXThread("t", CountRun, &probe, ThreadPriority(priority)), nullptr);
    EXPECT_EQ(ResumeXThread(nullptr), -1);
    EXPECT_EQ(SuspendXThread(nullptr), -1);
    EXPECT_EQ(KillXThread(nullptr), -1);
    DebgFailAllocation(1);
    EXPECT_EQ(SpawnXThread("t", CountRun, &probe, ThreadPriorityNormal), nullptr);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
}

TEST(XThreadPriority, PrioritiesKeepTheirOrder) {
    int niceByPriority[6];
    for (int priority = 0; priority < 6; ++priority) {
        Probe probe;
        RunToEnd(Spawn(RecordNice, &probe, priority));
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
    void* thread = Spawn(RunUntilReleased, probe);
    ResumeXThread(thread);
    ASSERT_TRUE(MovesAgain(*probe));

    constexpr int kPairs = 5000;
    std::atomic<int> pairsDone{0};
    std::thread controller([&, thread] {
        for (int i = 0; i < kPairs; ++i) {
            int suspended = 0;
            for (int depth = i % 3 == 0 ? 2 : 1; suspended < depth; ++suspended)
                EXPECT_EQ(SuspendXThread(thread), 0);
            for (; suspended > 0; --suspended) {
                if (i % 500 == 0) {
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

// A suspension before the first resume needs a resume of its own. The thread then suspends
// itself and is resumed; a later suspension from outside still waits for it to stop.
TEST(XThreadSuspendNoTsan, ThreadMaySuspendItselfOrBeSuspendedBeforeItStarts) {
    Probe self;
    void* thread = Spawn(SuspendSelfThenSpin, &self);
    EXPECT_EQ(SuspendXThread(thread), 0);
    EXPECT_EQ(ResumeXThread(thread), 0);
    self.handle = thread;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(self.stage, 0);
    EXPECT_EQ(ResumeXThread(thread), 0);
    while (self.stage < 1)
        std::this_thread::yield();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(self.stage, 1);
    EXPECT_EQ(ResumeXThread(thread), 0);
    ASSERT_TRUE(MovesAgain(self));
    EXPECT_EQ(self.stage, 2);
    EXPECT_EQ(self.suspended, 0);
    EXPECT_EQ(SuspendXThread(thread), 0);
    EXPECT_TRUE(Stopped(self));
    self.release = true;
    RunToEnd(thread);
}

}  // namespace
