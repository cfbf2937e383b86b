// SPDX-License-Identifier: MIT

#include "brindle/concurrency/OSBootTime.h"

#include <time.h>

#include <atomic>

#include "brindle/Debg.h"

namespace {

std::atomic<uint64_t> g_lastBootTime{0};
std::atomic<uint32_t (*)()> g_tickSource{nullptr};

uint32_t SystemTick() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t ReadTick() {
    uint32_t (*source)() = g_tickSource.load(std::memory_order_acquire);
    return source != nullptr ? source() : SystemTick();
}

}  // namespace

uint64_t OSBootTime() {
    uint64_t last = g_lastBootTime.load(std::memory_order_acquire);
    for (;;) {
        // The tick is read after the last value was loaded, so on the system clock it is
        // never older than the reading that produced that value: a smaller low half can only
        // mean the counter wrapped. When another thread stores first, read the tick again.
        uint64_t candidate = (last & 0xFFFFFFFF00000000ull) | ReadTick();
        if (candidate < last)
            candidate += 0x100000000ull;
        if (g_lastBootTime.compare_exchange_weak(last, candidate, std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
            return candidate;
        }
    }
}

void DebgSetTickSource(uint32_t (*tick)()) {
    g_tickSource.store(tick, std::memory_order_release);
}

void DebgSetLastBootTime(uint64_t last) {
    g_lastBootTime.store(last, std::memory_order_release);
}
