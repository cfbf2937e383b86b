// SPDX-License-Identifier: MIT

#include "concurrency/SharedRegistry.h"

#include <gtest/gtest.h>

namespace {

// Exactly one call reports the moment the registry is both retired and empty: the Retire of
// an empty registry, or else the Leave of its last member.
TEST(SharedRegistry, OnlyTheLastLeaveAfterRetireOrARetireWhenEmptyEndsIt) {
    brindle::SharedRegistry empty;
    EXPECT_TRUE(empty.Retire());
    brindle::SharedRegistry registry;
    registry.Join();
    registry.Join();
    EXPECT_FALSE(registry.Leave());
    registry.Join();
    EXPECT_FALSE(registry.Retire());
    EXPECT_FALSE(registry.Leave());
    EXPECT_TRUE(registry.Leave());
}

}  // namespace
