#include <brindle/brindle.h>
#include <brindle/net/SoftSignalMgr.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t Id(uint32_t slot, uint32_t sequence) {
    return (slot << 16) | sequence;
}

// The tick the clock reads while a test drives time by hand.
std::atomic<uint32_t> g_tick{0};
uint32_t FakeTick() {
    return g_tick.load();
}

// What a callback saw: the reason and the tag.
using Fired = std::pair<int32_t, intptr_t>;

// arg1 is the tag, arg2 the log; arg3 and arg4 must come through unchanged.
void Record(int32_t reason, void* tag, void* log, void* three, void* four) {
    EXPECT_EQ(reinterpret_cast<intptr_t>(three), 3);
    EXPECT_EQ(reinterpret_cast<intptr_t>(four), 4);
    static_cast<std::vector<Fired>*>(log)->push_back({reason, reinterpret_cast<intptr_t>(tag)});
}

class SoftSignalMgrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_tick = 1000;
        DebgSetLastBootTime(0);
        DebgSetTickSource(FakeTick);
    }
    void TearDown() override {
        DebgSetTickSource(nullptr);
        DebgSetLastBootTime(0);
    }

    // Posts a signal that records its tag in log_, on manager_ unless another is given.
    uint32_t Post(uint64_t delay, intptr_t tag, SoftSignalMgr* manager = nullptr) {
        return (manager != nullptr ? manager : &manager_)
            ->Post(delay, Record, reinterpret_cast<void*>(tag), &log_, reinterpret_cast<void*>(3),
                   reinterpret_cast<void*>(4));
    }

    SoftSignalMgr manager_;
    std::vector<Fired> log_;
};

std::vector<Fired> Fires(std::initializer_list<intptr_t> tags) {
    std::vector<Fired> fired;
    for (intptr_t tag : tags)
        fired.push_back({0, tag});
    return fired;
}

// --- Ids and the table ---

TEST_F(SoftSignalMgrTest, AbortCallsWithTheReasonClearCallsNothingAndRetiredIdsChangeNothing) {
    uint32_t fired = Post(0, 1);
    EXPECT_TRUE(manager_.IsWaiting(fired));
    manager_.Idle();
    uint32_t aborted = Post(100, 2);
    EXPECT_EQ(aborted, Id(31, 2));  // the fired signal's slot under a new sequence
    uint32_t cleared = Post(100, 3);
    uint32_t pending = Post(100, 4);
    EXPECT_EQ(pending, Id(29, 1));
    EXPECT_EQ(manager_.Abort(aborted, 7), 0);
    EXPECT_EQ(manager_.Clear(cleared), 0);
    EXPECT_EQ(log_, (std::vector<Fired>{{0, 1}, {7, 2}}));
    // Slot 28 exists but is free; its next id would carry sequence 1.
    for (uint32_t id :
         {fired, aborted, cleared, Id(28, 1), Id(29, 2), Id(29, 0), Id(32, 1), Id(0xFFFF, 1), 0u}) {
        EXPECT_FALSE(manager_.IsWaiting(id)) << std::hex << id;
        EXPECT_EQ(manager_.Clear(id), -1) << std::hex << id;
        EXPECT_EQ(manager_.Abort(id, 9), -1) << std::hex << id;
    }
    EXPECT_TRUE(manager_.IsWaiting(pending));
    g_tick += 100;
    manager_.Idle();
    EXPECT_EQ(log_, (std::vector<Fired>{{0, 1}, {7, 2}, {0, 4}}));
}

TEST_F(SoftSignalMgrTest, SequenceWrapsFrom65535To1NeverTo0) {
    for (uint32_t i = 1; i <= 65535; ++i) {
        uint32_t id = Post(50, 1);
        ASSERT_EQ(id, Id(31, i));
        ASSERT_EQ(manager_.Clear(id), 0);
    }
    EXPECT_EQ(Post(50, 1), Id(31, 1));
}

TEST_F(SoftSignalMgrTest, TableGrowsUpToItsLimitAndThenRefusesUntilASignalLeaves) {
    // Decreasing delays put every new signal at the head, keeping the fill quick.
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < SoftSignalMgr::kMaxEntries; ++i) {
        ids.push_back(Post(1000000 - i, i));
        ASSERT_NE(ids.back(), 0u) << i;
    }
    // Slots are taken downward from 31; the thirty-third signal grows the table to slot 63.
    for (uint32_t i = 0; i < 32; ++i)
        EXPECT_EQ(ids[i], Id(31 - i, 1));
    EXPECT_EQ(ids[32], Id(63, 1));
    EXPECT_EQ(Post(5, 99), 0u);
    EXPECT_EQ(manager_.Clear(ids[1234]), 0);
    EXPECT_EQ(Post(5, 99) >> 16, ids[1234] >> 16);
    EXPECT_EQ(Post(5, 100), 0u);
    EXPECT_TRUE(manager_.IsWaiting(ids.back()));
}

// A growth makes two allocations: the new entries and their room in the firing order.
TEST_F(SoftSignalMgrTest, NullCallbackAndEitherFailedGrowthAllocationPostNothingAndLoseNothing) {
    EXPECT_EQ(manager_.Post(0, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
    std::vector<Fired> expected;
    for (intptr_t i = 0; i < 64; ++i) {
        if (i % 32 == 0) {  // the first growth, and one with 32 signals pending
            for (uint32_t nth : {1u, 2u}) {
                DebgFailAllocation(nth);
                EXPECT_EQ(Post(1, -1), 0u);
                EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
            }
        }
        EXPECT_EQ(Post(64 - i, i), Id(i < 32 ? 31 - i : 95 - i, 1));
        expected.insert(expected.begin(), {0, i});
    }
    g_tick += 64;
    EXPECT_EQ(manager_.Idle(), 0u);
    EXPECT_EQ(log_, expected);
}

// --- Order and timing ---

TEST_F(SoftSignalMgrTest, EqualDueTimesFireInPostingOrderAfterDelayZeroSignals) {
    Post(20, 1);
    Post(10, 2);
    Post(20, 3);
    Post(10, 4);
    Post(20, 5);
    g_tick += 20;  // 1, 3 and 5 are due this very millisecond
    Post(0, 6);
    Post(0, 7);
    EXPECT_EQ(manager_.Idle(), 0u);
    EXPECT_EQ(log_, Fires({2, 4, 6, 7, 1, 3, 5}));
}

TEST_F(SoftSignalMgrTest, IdleReturnsTheTimeToTheNextSignalAndClampsHugeDelays) {
    EXPECT_EQ(manager_.Idle(), 0u);
    Post(5000, 1);  // a delay beyond the clock's reading
    EXPECT_EQ(manager_.Idle(), 5000u);
    g_tick += 4999;
    EXPECT_EQ(manager_.Idle(), 1u);
    EXPECT_TRUE(log_.empty());
    Post(300, 2);
    Post(UINT64_MAX, 3);
    g_tick += 1;
    EXPECT_EQ(manager_.Idle(), 299u);
    EXPECT_EQ(log_, Fires({1}));
    g_tick += 299;
    EXPECT_GT(manager_.Idle(), uint64_t{1} << 62);  // not wrapped to a near time
    EXPECT_EQ(log_, Fires({1, 2}));
    SoftSignalMgr empty;
    EXPECT_EQ(empty.Idle(77), 77u);  // "none pending" is told apart from "due now"
}

void CountWake(void* wakes) {
    ++*static_cast<int*>(wakes);
}

TEST_F(SoftSignalMgrTest, PostObserverHearsOfEachNewEarliestSignalOnly) {
    int wakes = 0;
    manager_.SetPostObserver(CountWake, &wakes);
    Post(500, 1);  // first: earliest
    Post(600, 2);  // behind it
    Post(500, 3);  // equal due time stands behind the earlier post
    EXPECT_EQ(wakes, 1);
    Post(100, 4);
    Post(0, 5);
    EXPECT_EQ(wakes, 3);
    g_tick += 100;
    EXPECT_EQ(manager_.Idle(77), 400u);
    EXPECT_EQ(log_, Fires({5, 4}));
    manager_.SetPostObserver(nullptr, nullptr);
    Post(0, 6);
    EXPECT_EQ(wakes, 3);
}

TEST_F(SoftSignalMgrTest, GrowthAndCancellingKeepEveryPendingSignalInItsPlace) {
    std::vector<uint32_t> ids;
    // 100 signals across four growths, due in a shuffled order. Cancel the first due (0),
    // the last due (27) and others in the middle.
    auto cancelled = [](intptr_t i) { return i % 10 == 0 || i == 27; };
    for (intptr_t i = 0; i < 100; ++i)
        ids.push_back(Post(1 + (i * 37) % 100, i));
    for (intptr_t i = 0; i < 100; ++i) {
        if (cancelled(i)) {
            EXPECT_EQ(manager_.Clear(ids[i]), 0);
        }
    }
    for (intptr_t i = 0; i < 100; ++i)
        EXPECT_EQ(manager_.IsWaiting(ids[i]), !cancelled(i));
    g_tick += 100;
    manager_.Idle();
    std::vector<Fired> expected;
    for (intptr_t due = 1; due <= 100; ++due) {
        intptr_t i = (due - 1) * 73 % 100;  // the one signal due then, as 37 * 73 = 1 mod 100
        if (!cancelled(i))
            expected.push_back({0, i});
    }
    EXPECT_EQ(log_, expected);
}

TEST_F(SoftSignalMgrTest, DestroyingAManagerCallsNoPendingSignal) {
    {
        SoftSignalMgr manager;
        Post(0, 1, &manager);
        Post(1000, 2, &manager);
    }
    EXPECT_TRUE(log_.empty());
}

// --- Callbacks re-entering their manager ---

// Context of a callback that posts, clears, aborts and idles on its own manager.
struct Reentry {
    SoftSignalMgr* manager;
    std::vector<Fired>* log;
    uint32_t victim;
    uint32_t abortee;
};

void Reenter(int32_t, void* context, void*, void*, void*) {
    Reentry* reentry = static_cast<Reentry*>(context);
    reentry->log->push_back({0, -1});
    reentry->manager->Post(0, Record, reinterpret_cast<void*>(4), reentry->log,
                           reinterpret_cast<void*>(3), reinterpret_cast<void*>(4));
    EXPECT_EQ(reentry->manager->Clear(reentry->victim), 0);
    EXPECT_EQ(reentry->manager->Abort(reentry->abortee, 3), 0);
    EXPECT_GT(reentry->manager->Idle(), 0u);  // fires 4 here, inside the callback
}

TEST_F(SoftSignalMgrTest, CallbackMayPostClearAbortAndIdleOnItsOwnManager) {
    Reentry reentry{&manager_, &log_, 0, 0};
    manager_.Post(0, Reenter, &reentry, nullptr, nullptr, nullptr);
    reentry.victim = Post(50, 1);
    reentry.abortee = Post(50, 2);
    Post(60, 3);
    EXPECT_EQ(manager_.Idle(), 60u);
    EXPECT_EQ(log_, (std::vector<Fired>{{0, -1}, {3, 2}, {0, 4}}));
}

struct OtherThreadProbe {
    std::thread other;
    std::atomic<bool> done{false};
    bool doneWhileCalled = false;
};

void Noop(int32_t, void*, void*, void*, void*) {}

// Lets another thread post, clear and idle, and waits (bounded) for it: this only completes
// while the callback runs if the manager's lock is free.
void ProbeFromOtherThread(int32_t, void* context, void* manager, void*, void*) {
    OtherThreadProbe* probe = static_cast<OtherThreadProbe*>(context);
    probe->other = std::thread([probe, m = static_cast<SoftSignalMgr*>(manager)] {
        m->Clear(m->Post(1000, Noop, nullptr, nullptr, nullptr, nullptr));
        m->Idle();
        probe->done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!probe->done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    probe->doneWhileCalled = probe->done;
}

TEST_F(SoftSignalMgrTest, NoCallbackRunsWithTheLockHeldFromIdleOrAbort) {
    for (bool byAbort : {false, true}) {
        OtherThreadProbe probe;
        uint32_t id = manager_.Post(100, ProbeFromOtherThread, &probe, &manager_, nullptr, nullptr);
        if (byAbort) {
            EXPECT_EQ(manager_.Abort(id, 1), 0);
        } else {
            g_tick += 100;
            manager_.Idle();
        }
        probe.other.join();
        EXPECT_TRUE(probe.doneWhileCalled) << byAbort;
    }
}

// --- Real time and threads ---

// Every signal ends exactly once: fired, cleared or aborted.
struct Outcome {
    std::atomic<int> fired{0};
    std::atomic<int> aborted{0};
    std::atomic<int> cleared{0};
};

void Settle(int32_t reason, void* outcome, void*, void*, void*) {
    Outcome* o = static_cast<Outcome*>(outcome);
    if (reason == 0)
        o->fired++;
    else
        o->aborted++;
}

TEST(SoftSignalMgrRealTime, SignalFiresAfterItsDelayOnTheSystemClock) {
    SoftSignalMgr manager;
    Outcome outcome;
    auto start = std::chrono::steady_clock::now();
    manager.Post(30, Settle, &outcome, nullptr, nullptr, nullptr);
    uint64_t wait = manager.Idle();
    EXPECT_GE(wait, 1u);
    EXPECT_LE(wait, 30u);
    auto deadline = start + std::chrono::seconds(30);
    while (outcome.fired.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        manager.Idle();
    }
    ASSERT_EQ(outcome.fired.load(), 1);
    // The tick is whole milliseconds, so allow one of truncation.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
}

TEST(SoftSignalMgrThreads, PostersCancellersAndAnIdlerAccountForEverySignalOnce) {
    SoftSignalMgr manager;
    constexpr int kPosters = 2;
    constexpr int kPerPoster = 3000;
    std::vector<Outcome> outcomes(kPosters * kPerPoster);
    std::vector<std::atomic<uint32_t>> ids(outcomes.size());
    std::atomic<int> postersLeft{kPosters};
    std::vector<std::thread> threads;
    for (int p = 0; p < kPosters; ++p) {
        threads.emplace_back([&, p] {
            std::mt19937 random(p + 1);
            for (size_t n = size_t(p) * kPerPoster; n < size_t(p + 1) * kPerPoster; ++n) {
                ids[n] =
                    manager.Post(random() % 4, Settle, &outcomes[n], nullptr, nullptr, nullptr);
                EXPECT_NE(ids[n].load(), 0u);
            }
            postersLeft--;
        });
    }
    // A clearer, an aborter, a thread that reads ids without the lock while the table grows,
    // and an idler, all while the posters run.
    for (int role = 0; role < 4; ++role) {
        threads.emplace_back([&, role] {
            std::mt19937 random(100 + role);
            while (postersLeft.load() > 0) {
                size_t n = random() % outcomes.size();
                uint32_t id = ids[n].load();
                if (role == 0 && id != 0 && manager.Clear(id) == 0)
                    outcomes[n].cleared++;
                if (role == 1 && id != 0)
                    manager.Abort(id, 1 + int32_t(random() % 5));
                if (role == 2) {
                    manager.IsWaiting(id);
                    manager.IsWaiting(id + (1u << 16));
                }
                if (role == 3)
                    manager.Idle();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (manager.Idle() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.Idle();

    int fired = 0;
    for (size_t n = 0; n < outcomes.size(); ++n) {
        ASSERT_EQ(outcomes[n].fired + outcomes[n].aborted + outcomes[n].cleared, 1) << n;
        EXPECT_FALSE(manager.IsWaiting(ids[n]));
        fired += outcomes[n].fired;
    }
    EXPECT_GT(fired, 0);
}

}  // namespace
