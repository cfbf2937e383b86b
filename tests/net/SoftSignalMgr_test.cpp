// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
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

TEST_F(SoftSignalMgrTest, SequencesWrapTo1AndTheTableGrowsToItsLimitThenRefuses) {
    EXPECT_EQ(manager_.Post(0, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
    for (uint32_t i = 1; i <= 65536; ++i) {  // from 65535 to 1, never to 0
        uint32_t id = Post(50, 1);
        ASSERT_EQ(id, Id(31, i == 65536 ? 1 : i));
        ASSERT_EQ(manager_.Clear(id), 0);
    }
    // Decreasing delays put every new signal at the head, keeping the fill quick.
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < SoftSignalMgr::kMaxEntries; ++i) {
        ids.push_back(Post(1000000 - i, i));
        ASSERT_NE(ids.back(), 0u) << i;
    }
    // Slots are taken downward from 31; the thirty-third signal grows the table to slot 63.
    for (uint32_t i = 0; i < 32; ++i)
        EXPECT_EQ(ids[i], Id(31 - i, i == 0 ? 2 : 1));
    EXPECT_EQ(ids[32], Id(63, 1));
    EXPECT_EQ(Post(5, 99), 0u);
    EXPECT_EQ(manager_.Clear(ids[1234]), 0);
    EXPECT_EQ(Post(5, 99) >> 16, ids[1234] >> 16);
    EXPECT_EQ(Post(5, 100), 0u);
    EXPECT_TRUE(manager_.IsWaiting(ids.back()));
}

// Drives a manager with random posts, clears, aborts, clock steps and idles against a map
// from (due time, posting order) to the signal: what fires, in which order, what Idle says
// is left, which ids are waiting, when the post observer hears of a new earliest signal, that
// a post allocates only to grow the table and a failed growth posts nothing and loses
// nothing, and that destroying the manager calls none of the signals still pending.
TEST_F(SoftSignalMgrTest, RandomOperationsMatchAMapByDueTimeAndPostingOrder) {
    using Key = std::pair<uint64_t, intptr_t>;
    std::map<Key, uint32_t> model;  // the pending signals, to their ids
    std::map<uint32_t, Key> keys;   // the pending ids
    std::vector<uint32_t> spent;
    std::vector<Fired> expected;
    int wakes = 0;
    int expectedWakes = 0;
    std::mt19937 random(1);
    {
        SoftSignalMgr manager;
        manager.SetPostObserver([](void* count) { ++*static_cast<int*>(count); }, &wakes);
        for (intptr_t step = 0; step < 20000; ++step) {
            const uint64_t now = g_tick;
            const uint32_t dice = random() % 16;
            if (dice < 6) {  // many due together, some beyond the clock's reading or its end
                const uint64_t spread = dice < 3 ? 3 : dice == 3 ? 5000 : 200;
                uint64_t delay = dice == 0 ? UINT64_MAX : random() % spread;
                Key key{delay == 0 ? now - 1 : delay == UINT64_MAX ? delay : now + delay, step};
                expectedWakes += model.empty() || key < model.begin()->first;
                DebgFailAllocation(1 + step % 2);  // a growth makes two allocations
                uint32_t id = Post(delay, step, &manager);
                if (DebgPendingAllocationFailure() == 0) {
                    ASSERT_EQ(id, 0u) << step;
                    id = Post(delay, step, &manager);
                }
                DebgFailAllocation(0);
                ASSERT_TRUE(id != 0 && keys.count(id) == 0) << step;
                model[key] = id;
                keys[id] = key;
            } else if (dice < 10) {  // a pending id, a spent one, or one made up
                uint32_t id = Id(random() % 100, random() % 3);
                if (dice < 8 && !keys.empty())
                    id = std::next(keys.begin(), random() % keys.size())->first;
                else if (dice == 8 && !spent.empty())
                    id = spent[random() % spent.size()];
                auto found = keys.find(id);
                bool pending = found != keys.end();
                EXPECT_EQ(manager.IsWaiting(id), pending) << step;
                int32_t reason = dice % 2 == 0 ? 0 : 1 + step % 7;  // 0: clear
                if (pending) {
                    if (reason != 0)
                        expected.push_back({reason, found->second.second});
                    model.erase(found->second);
                    keys.erase(found);
                    spent.push_back(id);
                }
                EXPECT_EQ(reason == 0 ? manager.Clear(id) : manager.Abort(id, reason),
                          pending ? 0 : -1);
            } else if (dice < 14) {  // the clock moves on, and now and then a test sets it back
                g_tick += random() % 4;
                if (dice == 13 && random() % 4 == 0) {
                    g_tick -= 5;
                    DebgSetLastBootTime(0);
                }
            } else {
                while (!model.empty() && model.begin()->first.first <= now) {
                    expected.push_back({0, model.begin()->first.second});
                    spent.push_back(model.begin()->second);
                    keys.erase(model.begin()->second);
                    model.erase(model.begin());
                }
                EXPECT_EQ(manager.Idle(77), model.empty() ? 77 : model.begin()->first.first - now);
            }
            ASSERT_EQ(log_.size(), expected.size()) << step;
        }
        EXPECT_GT(model.size(), SoftSignalMgr::kGrowStep);
        EXPECT_EQ(wakes, expectedWakes);
        manager.SetPostObserver(nullptr, nullptr);
        Post(0, -1, &manager);
        EXPECT_EQ(wakes, expectedWakes);
    }
    EXPECT_EQ(log_, expected);
}

// A callback that re-enters its own manager, after another thread has used the manager
// while the callback waited for it (bounded): the other finishes in time only when no lock
// is held while a callback runs.
struct Reentry {
    uint32_t victim = 0;
    uint32_t abortee = 0;
    std::future<void> other;
    bool otherDoneInTime = false;
};

void Reenter(int32_t reason, void* context, void* managerArg, void* log, void*) {
    Reentry* r = static_cast<Reentry*>(context);
    SoftSignalMgr* manager = static_cast<SoftSignalMgr*>(managerArg);
    static_cast<std::vector<Fired>*>(log)->push_back({reason, -1});
    r->other = std::async(std::launch::async, [manager] {
        manager->Clear(manager->Post(1000, Record, nullptr, nullptr, nullptr, nullptr));
        manager->Idle();
    });
    r->otherDoneInTime = r->other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    manager->Post(0, Record, reinterpret_cast<void*>(4), log, reinterpret_cast<void*>(3),
                  reinterpret_cast<void*>(4));
    EXPECT_EQ(manager->Clear(r->victim), 0);
    EXPECT_EQ(manager->Abort(r->abortee, 3), 0);
    EXPECT_GT(manager->Idle(), 0u);  // fires 4 here, inside the callback
}

TEST_F(SoftSignalMgrTest, CallbacksFromIdleOrAbortRunWithoutTheLockAndMayReenter) {
    for (int32_t reason : {0, 5}) {  // fired by Idle, or aborted
        Reentry reentry;
        uint32_t id = manager_.Post(0, Reenter, &reentry, &manager_, &log_, nullptr);
        reentry.victim = Post(50, 1);
        reentry.abortee = Post(50, 2);
        uint32_t last = Post(60, 3);
        EXPECT_EQ(reason == 0 ? manager_.Idle() : manager_.Abort(id, reason), reason == 0 ? 60 : 0);
        reentry.other.wait();
        EXPECT_TRUE(reentry.otherDoneInTime);
        EXPECT_EQ(log_, (std::vector<Fired>{{reason, -1}, {3, 2}, {0, 4}}));
        EXPECT_EQ(manager_.Clear(last), 0);
        log_.clear();
    }
}

// Every signal ends exactly once: fired, cleared or aborted.
struct Outcome {
    std::atomic<int> fired{0};
    std::atomic<int> aborted{0};
    std::atomic<int> cleared{0};
};

void Settle(int32_t reason, void* outcome, void*, void*, void*) {
    Outcome* o = static_cast<Outcome*>(outcome);
    (reason == 0 ? o->fired : o->aborted)++;
}

// On the system clock: two posters and, while they run, a clearer, an aborter, a thread that
// reads ids without the lock while the table grows, and an idler.
TEST(SoftSignalMgrThreads, PostersCancellersAndAnIdlerAccountForEverySignalOnce) {
    SoftSignalMgr manager;
    constexpr size_t kPerPoster = 3000;
    std::vector<Outcome> outcomes(2 * kPerPoster);
    std::vector<std::atomic<uint32_t>> ids(outcomes.size());
    std::atomic<int> postersLeft{2};
    std::vector<std::thread> threads;
    for (size_t role = 0; role < 6; ++role) {
        threads.emplace_back([&, role] {
            std::mt19937 random(role + 1);
            for (size_t n = role * kPerPoster; role < 2 && n < (role + 1) * kPerPoster; ++n) {
                ids[n] =
                    manager.Post(random() % 4, Settle, &outcomes[n], nullptr, nullptr, nullptr);
                EXPECT_NE(ids[n].load(), 0u);
            }
            postersLeft -= role < 2;
            while (role >= 2 && postersLeft.load() > 0) {
                size_t n = random() % outcomes.size();
                uint32_t id = ids[n].load();
                if (role == 2 && id != 0 && manager.Clear(id) == 0)
                    outcomes[n].cleared++;
                if (role == 3 && id != 0)
                    manager.Abort(id, 1 + int32_t(random() % 5));
                if (role == 4) {
                    manager.IsWaiting(id);
                    manager.IsWaiting(id + (1u << 16));
                }
                if (role == 5)
                    manager.Idle();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (manager.Idle(UINT64_MAX) != UINT64_MAX && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // till none is pending

    int fired = 0;
    for (size_t n = 0; n < outcomes.size(); ++n) {
        ASSERT_EQ(outcomes[n].fired + outcomes[n].aborted + outcomes[n].cleared, 1) << n;
        EXPECT_FALSE(manager.IsWaiting(ids[n]));
        fired += outcomes[n].fired;
    }
    EXPECT_GT(fired, 0);
}

}  // namespace
