// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "concurrency/ThreadTestKit.h"

namespace {

constexpr uint32_t Ref(uint32_t generation, uint32_t slot) {
    return (generation << 16) | slot;
}

uint32_t Create(XRefList& list) {
    uint32_t reference = 0;
    EXPECT_NE(list.CreateItem(&reference), nullptr);
    return reference;
}

// A list of items of one size, each filled with one byte value, and what it must hold: the
// (reference, byte) of every item in creation order. A removed reference finds nothing, and
// the next item takes the slot freed last, under the next generation.
struct Model {
    explicit Model(uint32_t itemSize) : list(itemSize, true), size(itemSize) {}

    void Add(bool create, uint8_t byte) {
        std::vector<uint8_t> bytes(size, byte);
        uint32_t reference = 0;
        void* data = create ? list.CreateItem(&reference) : nullptr;
        if (create && data != nullptr)
            memcpy(data, bytes.data(), size);
        if (!create)
            data = list.GetItem(reference = list.AddItem(bytes.data()));
        ASSERT_NE(data, nullptr);
        if (freedLast != 0) {
            EXPECT_EQ(reference, freedLast + 0x10000);
        }
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % (size == sizeof(void*) ? size : 1), 0u);
        freedLast = 0;
        items.emplace_back(reference, byte);
    }

    void Remove(size_t position) {
        uint32_t reference = items[position].first;
        EXPECT_TRUE(position == 0 && random() % 2 ? list.RemoveFirstItem()
                                                  : list.RemoveItem(reference));
        items.erase(items.begin() + static_cast<ptrdiff_t>(position));
        retired.push_back(reference);
        freedLast = (reference >> 16) == 0xFFFF ? 0 : reference;
    }

    void Check(size_t position) {
        const auto [reference, byte] = items[position];
        uint8_t* data = static_cast<uint8_t*>(list.GetItem(reference));
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(data, data + size), std::vector<uint8_t>(size, byte));
        EXPECT_EQ(list.IndexOf(data), reference);
        EXPECT_EQ(list.IndexOf(data + 1), 0u);
        EXPECT_EQ(*static_cast<uint8_t*>(list.GetFirstItem()), items.front().second);
    }

    XRefList list;
    const uint32_t size;
    std::vector<std::pair<uint32_t, uint8_t>> items;
    std::vector<uint32_t> retired;
    uint32_t freedLast = 0;
    std::mt19937 random{3};
    size_t walked = 0;
};

// A DoForEach step: checks that the walk runs in creation order, then removes the item it is
// given, or the one after it, or adds one (which the walk visits too, even when the array
// moves as it grows), or does nothing.
void WalkStep(const void* data, void* context) {
    Model& model = *static_cast<Model*>(context);
    ASSERT_LT(model.walked, model.items.size());
    EXPECT_EQ(*static_cast<const uint8_t*>(data), model.items[model.walked].second);
    uint32_t action = model.random() % 16;
    if (action == 0)
        return model.Remove(model.walked);
    if (action == 1 && model.walked + 1 < model.items.size())
        model.Remove(model.walked + 1);
    if (action == 2)
        model.Add(false, static_cast<uint8_t>(model.random()));
    ++model.walked;
}

// Items of several sizes are added, created, removed, found and visited at random, and
// checked against the model after every step.
TEST(XRefListModel, MatchesCreationOrderedVectorUnderRandomOperations) {
    for (uint32_t size : {1u, 3u, 6u, 8u, 17u}) {
        SCOPED_TRACE(size);
        Model model(size);
        for (int step = 0; step < 3000; ++step) {
            uint8_t byte = static_cast<uint8_t>(model.random() % 251 + 1);
            const size_t pick = model.items.empty() ? 0 : model.random() % model.items.size();
            uint32_t action = model.random() % 20;
            if (action < 8) {
                model.Add(action == 0, byte);
            } else if (action < 12 && !model.items.empty()) {
                model.Remove(pick);
            } else if (action < 14 && !model.retired.empty()) {
                uint32_t reference = model.retired[model.random() % model.retired.size()];
                EXPECT_EQ(model.list.GetItem(reference), nullptr);
                EXPECT_FALSE(model.list.RemoveItem(reference));
            } else if (action < 19 && !model.items.empty()) {
                model.Check(pick);
            } else if (action == 19) {
                auto found = std::find_if(model.items.begin(), model.items.end(),
                                          [byte](const auto& item) { return item.second == byte; });
                auto same = [](const void* data, void* byte) { return memcmp(data, byte, 1) == 0; };
                EXPECT_EQ(model.list.FindItem(same, &byte),
                          found == model.items.end() ? 0 : found->first);
                model.walked = 0;
                model.list.DoForEach(WalkStep, &model);
                EXPECT_EQ(model.walked, model.items.size());
            }
            ASSERT_EQ(model.list.Count(), model.items.size());
            ASSERT_EQ(model.list.IsEmpty(), model.items.empty());
        }
    }
}

TEST(XRefListReferences, SlotsAreHandedOutDownwardAndGenerationsWrapPastZero) {
    XRefList list(4, false);
    EXPECT_EQ(list.GetItem(Ref(1, 15)), nullptr);  // no slots yet
    EXPECT_EQ(list.GetFirstItem(), nullptr);
    EXPECT_FALSE(list.RemoveFirstItem());
    list.DoForEach(nullptr, nullptr);
    EXPECT_EQ(list.FindItem(nullptr, nullptr), 0u);
    EXPECT_EQ(Create(list), Ref(1, 15));
    EXPECT_EQ(Create(list), Ref(1, 14));
    uint32_t again = Create(list);
    EXPECT_EQ(again, Ref(1, 13));
    // The generation wraps from 65535 to 1, never to 0.
    for (uint32_t generation = 2; generation <= 65535; ++generation) {
        ASSERT_TRUE(list.RemoveItem(again));
        again = Create(list);
        ASSERT_EQ(again, Ref(generation, 13));
    }
    ASSERT_TRUE(list.RemoveItem(again));
    EXPECT_EQ(Create(list), Ref(1, 13));
    // Zero, slot 0 (never handed out), a free slot, beyond the capacity, wrong generations.
    for (uint32_t bad :
         {0u, Ref(1, 0), Ref(1, 12), Ref(1, 16), Ref(1, 0xFFFF), Ref(2, 15), Ref(0, 15)}) {
        EXPECT_EQ(list.GetItem(bad), nullptr) << std::hex << bad;
        EXPECT_FALSE(list.RemoveItem(bad)) << std::hex << bad;
    }
    int outside = 0;
    for (void* bad : {static_cast<void*>(nullptr), static_cast<void*>(&outside)})
        EXPECT_EQ(list.IndexOf(bad), 0u);
    EXPECT_EQ(list.Count(), 3);
}

TEST(XRefListStorage, GrowthStepsAreSixteenThenAnEighthUpToTheCeiling) {
    XRefList list(1, false);
    std::vector<uint32_t> capacities;
    for (;;) {
        const uint16_t count = list.Count();
        DebgFailAllocation(1);
        uint32_t reference = list.AddItem(nullptr);  // null data: copies nothing
        DebgFailAllocation(0);
        if (reference == 0) {
            // A growth that cannot allocate leaves the list as it was; the next try grows it.
            EXPECT_EQ(list.Count(), count);
            reference = list.AddItem(nullptr);
        }
        if (reference == 0)
            break;
        if (capacities.empty() || (reference & 0xFFFF) >= capacities.back())
            capacities.push_back((reference & 0xFFFF) + 1);
    }
    std::vector<uint32_t> start(capacities.begin(), capacities.begin() + 12);
    EXPECT_EQ(start, (std::vector<uint32_t>{16, 32, 48, 64, 80, 96, 112, 128, 144, 162, 182, 204}));
    EXPECT_EQ(capacities.back(), 64247u);
    EXPECT_EQ(list.Count(), 64246);
    // A freed slot is still handed out at the ceiling.
    ASSERT_TRUE(list.RemoveFirstItem());
    EXPECT_NE(list.CreateItem(nullptr), nullptr);
}

TEST(XRefListStorage, PreallocateSetsTheNextGrowthUnlessBelowTheUsualStep) {
    for (auto [slots, firstSlot] :
         {std::pair<uint16_t, uint32_t>{10, 15}, {1000, 999}, {65535, 65534}}) {
        XRefList list(1, false);
        list.Preallocate(slots);
        EXPECT_EQ(Create(list), Ref(1, firstSlot));
    }
    XRefList full(1, false);
    full.Preallocate(65535);
    while (full.CreateItem(nullptr) != nullptr) {
    }
    EXPECT_EQ(full.Count(), 65534);  // slot 0 is never handed out
}

TEST(XRefListLocking, OnlyAThreadSafeListHasARecursiveLock) {
    XRefList unlocked(4, false);
    threadtest::ExpectNoLock(unlocked);
    XRefList list(4, true);
    threadtest::ExpectRecursiveLock(list);
}

TEST(XRefListLocking, ThreadsAddingRemovingAndReadingKeepTheListConsistent) {
    XRefList list(sizeof(uint64_t), true);
    threadtest::RunThreads(4, [&list](int t) {
        std::vector<uint32_t> mine;
        for (int i = 0; i < 3000; ++i) {
            uint64_t value = (uint64_t(t) << 32) | uint32_t(i);
            uint32_t reference = list.AddItem(&value);
            ASSERT_NE(reference, 0u);
            mine.push_back(reference);
            if (i % 3 == 0) {  // may remove the item just added
                EXPECT_TRUE(list.RemoveItem(mine[mine.size() / 2]));
                mine.erase(mine.begin() + mine.size() / 2);
            }
            uint64_t read = 0;
            list.Lock();
            if (const void* data = list.GetItem(reference))
                memcpy(&read, data, sizeof read);
            list.Unlock();
            EXPECT_TRUE(i % 3 == 0 || read == value);
        }
        for (uint32_t reference : mine)
            EXPECT_TRUE(list.RemoveItem(reference));
    });
    EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
