// Soft signals against a std::multimap timer queue, both holding 10,000 pending signals.
//
// PostIdle: post a signal due at once and fire it with Idle, the socket manager's pattern
// for immediate work. PostMiddle: post a signal due among the pending ones and cancel it,
// which makes the manager walk its list to the insertion point.
#include <benchmark/benchmark.h>
#include <brindle/brindle.h>
#include <brindle/net/SoftSignalMgr.h>

#include <map>

namespace {

constexpr uint64_t kPending = 10000;
constexpr uint64_t kHour = 3600 * 1000;

void Count(int32_t, void* counter, void*, void*, void*) {
    ++*static_cast<uint64_t*>(counter);
}

// Pending signals due between one and two hours from now, spread evenly.
void FillManager(SoftSignalMgr& manager, uint64_t* counter) {
    for (uint64_t i = 0; i < kPending; ++i)
        manager.Post(kHour + (kPending - i) * 360, Count, counter, nullptr, nullptr, nullptr);
}

struct Timer {
    SoftSignalProc callback;
    void* args[4];
};
using TimerQueue = std::multimap<uint64_t, Timer>;

void FillQueue(TimerQueue& queue, uint64_t* counter) {
    uint64_t now = OSBootTime();
    for (uint64_t i = 0; i < kPending; ++i)
        queue.emplace(now + kHour + i * 360, Timer{Count, {counter, nullptr, nullptr, nullptr}});
}

// The multimap's Idle: fire what is due, then report the wait, reading the clock as the
// manager does.
uint64_t IdleQueue(TimerQueue& queue) {
    while (!queue.empty() && queue.begin()->first <= OSBootTime()) {
        Timer timer = queue.begin()->second;
        queue.erase(queue.begin());
        timer.callback(0, timer.args[0], timer.args[1], timer.args[2], timer.args[3]);
    }
    if (queue.empty())
        return 0;
    uint64_t now = OSBootTime();
    return queue.begin()->first > now ? queue.begin()->first - now : 0;
}

void BM_SoftSignalPostIdle(benchmark::State& state) {
    SoftSignalMgr manager;
    uint64_t fired = 0;
    FillManager(manager, &fired);
    for (auto _ : state) {
        manager.Post(0, Count, &fired, nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(manager.Idle());
    }
    state.SetItemsProcessed(static_cast<int64_t>(fired));
}
BENCHMARK(BM_SoftSignalPostIdle);

void BM_MultimapPostIdle(benchmark::State& state) {
    TimerQueue queue;
    uint64_t fired = 0;
    FillQueue(queue, &fired);
    for (auto _ : state) {
        queue.emplace(OSBootTime() - 1, Timer{Count, {&fired, nullptr, nullptr, nullptr}});
        benchmark::DoNotOptimize(IdleQueue(queue));
    }
    state.SetItemsProcessed(static_cast<int64_t>(fired));
}
BENCHMARK(BM_MultimapPostIdle);

void BM_SoftSignalPostMiddle(benchmark::State& state) {
    SoftSignalMgr manager;
    uint64_t fired = 0;
    FillManager(manager, &fired);
    for (auto _ : state) {
        uint32_t id =
            manager.Post(kHour + kPending * 180, Count, &fired, nullptr, nullptr, nullptr);
        manager.Clear(id);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SoftSignalPostMiddle);

void BM_MultimapPostMiddle(benchmark::State& state) {
    TimerQueue queue;
    uint64_t fired = 0;
    FillQueue(queue, &fired);
    for (auto _ : state) {
        auto at = queue.emplace(OSBootTime() + kHour + kPending * 180,
                                Timer{Count, {&fired, nullptr, nullptr, nullptr}});
        queue.erase(at);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MultimapPostMiddle);

}  // namespace
