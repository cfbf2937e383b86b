// SPDX-License-Identifier: MIT

#include "platform/Alloc.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "brindle/Debg.h"

namespace brindle {
namespace {

// Allocations left until the armed failure; 0 when nothing is armed.
std::atomic<uint32_t> g_failureCountdown{0};

}  // namespace

bool AllocationShouldFail() {
    uint32_t left = g_failureCountdown.load(std::memory_order_relaxed);
    while (left != 0) {
        if (g_failureCountdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            return left == 1;
        }
    }
    return false;
}

void* Malloc(size_t size) {
    return AllocationShouldFail() ? nullptr : malloc(size);
}

void* Realloc(void* block, size_t size) {
    return AllocationShouldFail() ? nullptr : realloc(block, size);
}

char* Strdup(const char* text) {
    if (text == nullptr || AllocationShouldFail())
        return nullptr;
    return strdup(text);
}

}  // namespace brindle

void DebgFailAllocation(uint32_t nth) {
    brindle::g_failureCountdown.store(nth, std::memory_order_relaxed);
}

uint32_t DebgPendingAllocationFailure() {
    return brindle::g_failureCountdown.load(std::memory_order_relaxed);
}
