// SPDX-License-Identifier: MIT
// Soft signals against a std::multimap timer queue, both holding 10,000 pending signals due
// in one to two hours.
//
// PostIdle: post a signal due at once and fire it with Idle, the socket manager's pattern
// for immediate work. PostMiddle: post a signal due in the middle of the pending ones and
// cancel it: the cost of ordering a timer among many.
#include <benchmark/benchmark.h>
#include <brindle/brindle.h>
#include <brindle/net/SoftSignalMgr.h>

#include <map>

namespace {

constexpr uint64_t kPending = 10000;
constexpr uint64_t kHour = 3600 * 1000;
// Between two pending signals, and the delay that lands in the middle of them.
constexpr uint64_t kSpacing = 360;
constexpr uint64_t kMiddle = kHour + kPending / 2 * kSpacing;

void Count(int32_t, void* counter, void*, void*, void*) {
    ++*static_cast<uint64_t*>(counter);
}

class ManagerQueue {
  public:
    explicit ManagerQueue(uint64_t* counter) : counter_(counter) {
        // Latest first, so that every post goes to the head and the fill stays quick.
        for (uint64_t i = kPending; i > 0; --i)
            Post(kHour + i * kSpacing);
    }
    uint32_t Post(uint64_t delay) {
        return manager_.Post(delay, Count, counter_, nullptr, nullptr, nullptr);
    }
    uint64_t Idle() { return manager_.Idle(); }
    void PostAndCancel(uint64_t delay) { manager_.Clear(Post(delay)); }

  private:
    uint64_t* counter_;
    SoftSignalMgr manager_;
};

// The obvious timer queue: a multimap from due time to call, firing and reporting the wait
// as the manager does, on the same clock.
class MultimapQueue {
  public:
    explicit MultimapQueue(uint64_t* counter) : counter_(counter) {
        for (uint64_t i = kPending; i > 0; --i)
            Post(kHour + i * kSpacing);
    }
    std::multimap<uint64_t, uint64_t*>::iterator Post(uint64_t delay) {
        uint64_t now = OSBootTime();
        return queue_.emplace(delay == 0 ? now - 1 : now + delay, counter_);
    }
    uint64_t Idle() {
        while (!queue_.empty() && queue_.begin()->first <= OSBootTime()) {
            uint64_t* counter = queue_.begin()->second;
            queue_.erase(queue_.begin());
            Count(0, counter, nullptr, nullptr, nullptr);
        }
        if (queue_.empty())
            return 0;
        uint64_t now = OSBootTime();
        return queue_.begin()->first > now ? queue_.begin()->first - now : 0;
    }
    void PostAndCancel(uint64_t delay) { queue_.erase(Post(delay)); }

  private:
    uint64_t* counter_;
    std::multimap<uint64_t, uint64_t*> queue_;
};

template <class Queue>
void BM_PostIdle(benchmark::State& state) {
    uint64_t fired = 0;
    Queue queue(&fired);
    for (auto _ : state) {
        queue.Post(0);
        benchmark::DoNotOptimize(queue.Idle());
    }
    state.SetItemsProcessed(static_cast<int64_t>(fired));
}
BENCHMARK_TEMPLATE(BM_PostIdle, ManagerQueue);
BENCHMARK_TEMPLATE(BM_PostIdle, MultimapQueue);

template <class Queue>
void BM_PostMiddle(benchmark::State& state) {
    uint64_t fired = 0;
    Queue queue(&fired);
    for (auto _ : state)
        queue.PostAndCancel(kMiddle);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_TEMPLATE(BM_PostMiddle, ManagerQueue);
BENCHMARK_TEMPLATE(BM_PostMiddle, MultimapQueue);

}  // namespace
