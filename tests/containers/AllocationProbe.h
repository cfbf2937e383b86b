// SPDX-License-Identifier: MIT
// Shared pieces of the tests that make the library's allocations fail on purpose.
#ifndef BRINDLE_TESTS_CONTAINERS_ALLOCATIONPROBE_H_
#define BRINDLE_TESTS_CONTAINERS_ALLOCATIONPROBE_H_

#include <brindle/Debg.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

namespace allocationtest {

// Runs op with the nth library allocation failing, for n = 1, 2, ... until op no longer
// reaches the failure, and hands check what op returned and whether the failure fired.
template <class Op, class Check>
void SweepAllocationFailures(Op op, Check check) {
    for (uint32_t n = 1;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        DebgFailAllocation(n);
        auto result = op();
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        check(result, fired);
        if (!fired)
            return;
    }
}

// A container's capacity shows as the point where it must allocate: calls add with the
// next allocation armed to fail until a call reaches it, and returns count() then. That call
// must add nothing.
template <class Add, class Count>
uint32_t FillToCapacity(Add add, Count count) {
    for (;;) {
        DebgFailAllocation(1);
        uint32_t before = count();
        add();
        bool allocated = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (allocated) {
            EXPECT_EQ(count(), before) << "a failed growth added an item";
            return count();
        }
    }
}

}  // namespace allocationtest

#endif  // BRINDLE_TESTS_CONTAINERS_ALLOCATIONPROBE_H_
