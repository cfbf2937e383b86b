#include <brindle/brindle.h>
#include <brindle/containers/XRefList.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t Ref(uint32_t generation, uint32_t slot) {
    return (generation << 16) | slot;
}

uint32_t SlotOf(uint32_t reference) {
    return reference & 0xFFFF;
}

uint32_t Create(XRefList& list) {
    uint32_t reference = 0;
    EXPECT_NE(list.CreateItem(&reference), nullptr);
    return reference;
}

// Collects the int32_t items DoForEach or FindItem visits.
void Collect(const void* data, void* context) {
    int32_t value;
    memcpy(&value, data, sizeof value);
    static_cast<std::vector<int32_t>*>(context)->push_back(value);
}

uint32_t AddInt(XRefList& list, int32_t value) {
    return list.AddItem(&value);
}

std::vector<int32_t> Items(XRefList& list) {
    std::vector<int32_t> seen;
    list.DoForEach(Collect, &seen);
    return seen;
}

// --- References and generations ---

TEST(XRefListReferences, FirstItemTakesSlot15UnderGeneration1AndNextTakesSlot14) {
    XRefList list(4, false);
    uint32_t first = Create(list);
    EXPECT_EQ(first, Ref(1, 15));
    EXPECT_EQ(Create(list), Ref(1, 14));
    EXPECT_EQ(list.Count(), 2);
}

TEST(XRefListReferences, RemovedReferenceFindsNothingAndSlotComesBackUnderGeneration2) {
    XRefList list(4, false);
    uint32_t first = Create(list);
    ASSERT_TRUE(list.RemoveItem(first));
    EXPECT_EQ(list.GetItem(first), nullptr);
    uint32_t again = Create(list);
    EXPECT_EQ(again, Ref(2, 15));
    EXPECT_EQ(list.GetItem(first), nullptr);
    EXPECT_NE(list.GetItem(again), nullptr);
}

TEST(XRefListReferences, GenerationWrapsFrom65535To1NeverTo0) {
    XRefList list(4, false);
    uint32_t reference = Create(list);
    for (uint32_t i = 1; i < 65535; ++i) {
        ASSERT_TRUE(list.RemoveItem(reference));
        reference = Create(list);
    }
    EXPECT_EQ(reference, Ref(65535, 15));
    ASSERT_TRUE(list.RemoveItem(reference));
    EXPECT_EQ(Create(list), Ref(1, 15));
}

TEST(XRefListReferences, ReferencesThatNameNoItemFindNothing) {
    XRefList list(4, false);
    EXPECT_EQ(list.GetItem(0), nullptr);
    EXPECT_EQ(list.GetItem(Ref(1, 15)), nullptr);  // no slots yet
    uint32_t live = Create(list);
    EXPECT_EQ(list.GetItem(0), nullptr);
    EXPECT_EQ(list.GetItem(Ref(1, 0)), nullptr);   // slot 0 is never handed out
    EXPECT_EQ(list.GetItem(Ref(1, 14)), nullptr);  // a free slot
    EXPECT_EQ(list.GetItem(Ref(1, 16)), nullptr);  // beyond the capacity
    EXPECT_EQ(list.GetItem(Ref(1, 0xFFFF)), nullptr);
    EXPECT_EQ(list.GetItem(Ref(2, SlotOf(live))), nullptr);  // wrong generation
    EXPECT_EQ(list.GetItem(Ref(0, SlotOf(live))), nullptr);
    EXPECT_FALSE(list.RemoveItem(Ref(1, 14)));
    EXPECT_FALSE(list.RemoveItem(0));
    EXPECT_EQ(list.Count(), 1);
}

TEST(XRefListReferences, RemovingTwiceSucceedsOnce) {
    XRefList list(4, false);
    uint32_t reference = Create(list);
    EXPECT_TRUE(list.RemoveItem(reference));
    EXPECT_FALSE(list.RemoveItem(reference));
    EXPECT_TRUE(list.IsEmpty());
}

TEST(XRefListReferences, FreeListReusesTheSlotFreedLast) {
    XRefList list(4, false);
    uint32_t a = Create(list);  // slot 15
    Create(list);               // slot 14
    uint32_t c = Create(list);  // slot 13
    ASSERT_TRUE(list.RemoveItem(a));
    ASSERT_TRUE(list.RemoveItem(c));
    EXPECT_EQ(Create(list), Ref(2, 13));
    EXPECT_EQ(Create(list), Ref(2, 15));
    EXPECT_EQ(Create(list), Ref(1, 12));
}

TEST(XRefListReferences, IndexOfGivesBackTheReferenceOfALiveItemOnly) {
    XRefList list(12, false);
    uint32_t reference = 0;
    void* data = list.CreateItem(&reference);
    uint32_t other = Create(list);
    EXPECT_EQ(list.IndexOf(data), reference);
    EXPECT_EQ(list.IndexOf(list.GetItem(other)), other);
    EXPECT_EQ(list.IndexOf(static_cast<char*>(data) + 1), 0u);
    EXPECT_EQ(list.IndexOf(nullptr), 0u);
    int outside = 0;
    EXPECT_EQ(list.IndexOf(&outside), 0u);
    ASSERT_TRUE(list.RemoveItem(reference));
    EXPECT_EQ(list.IndexOf(data), 0u);
}

// --- Storage, layout and growth ---

TEST(XRefListStorage, ItemsKeepTheirBytesAcrossGrowth) {
    XRefList list(sizeof(int32_t), false);
    std::vector<uint32_t> references;
    for (int32_t i = 0; i < 500; ++i)
        references.push_back(AddInt(list, i * 7));
    for (int32_t i = 0; i < 500; ++i) {
        int32_t value;
        memcpy(&value, list.GetItem(references[i]), sizeof value);
        EXPECT_EQ(value, i * 7);
    }
}

TEST(XRefListStorage, PointerItemsAreAlignedAndItemsOfOddSizesDoNotOverlap) {
    XRefList pointers(sizeof(void*), false);
    for (int i = 0; i < 40; ++i) {
        void* data = pointers.CreateItem(nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % alignof(void*), 0u);
    }
    for (uint32_t size : {1u, 3u, 6u, 7u, 10u, 17u}) {
        XRefList list(size, false);
        std::vector<uint32_t> references;
        for (int i = 0; i < 40; ++i) {
            uint32_t reference = 0;
            memset(list.CreateItem(&reference), i + 1, size);
            references.push_back(reference);
        }
        for (int i = 0; i < 40; ++i) {
            const uint8_t* data = static_cast<const uint8_t*>(list.GetItem(references[i]));
            for (uint32_t b = 0; b < size; ++b)
                ASSERT_EQ(data[b], i + 1) << "size " << size;
        }
        EXPECT_EQ(list.ElelemSize(), size);
    }
}

TEST(XRefListStorage, AddItemCopiesTheDataAndNullDataCopiesNothing) {
    XRefList list(sizeof(int32_t), false);
    uint32_t reference = AddInt(list, 42);
    int32_t value;
    memcpy(&value, list.GetItem(reference), sizeof value);
    EXPECT_EQ(value, 42);
    EXPECT_NE(list.AddItem(nullptr), 0u);
    EXPECT_EQ(list.Count(), 2);
}

TEST(XRefListStorage, SixteenthItemGrowsTheArrayTo32SlotsAndTakesSlot31) {
    XRefList list(4, false);
    for (int i = 0; i < 15; ++i)
        Create(list);
    EXPECT_EQ(Create(list), Ref(1, 31));
}

TEST(XRefListStorage, GrowthStepsAreSixteenThenAnEighthUpToTheCeiling) {
    XRefList list(1, false);
    std::vector<uint32_t> capacities;
    uint32_t highest = 0;
    uint32_t reference = 0;
    while (list.CreateItem(&reference) != nullptr) {
        if (SlotOf(reference) > highest) {
            highest = SlotOf(reference);
            capacities.push_back(highest + 1);
        }
    }
    std::vector<uint32_t> start(capacities.begin(), capacities.begin() + 12);
    EXPECT_EQ(start, (std::vector<uint32_t>{16, 32, 48, 64, 80, 96, 112, 128, 144, 162, 182, 204}));
    EXPECT_EQ(capacities.back(), 64247u);
    EXPECT_EQ(list.Count(), 64246);
    EXPECT_EQ(list.CreateItem(&reference), nullptr);
    EXPECT_EQ(list.AddItem(nullptr), 0u);
    EXPECT_EQ(list.Count(), 64246);
    // A freed slot is still handed out at the ceiling.
    ASSERT_TRUE(list.RemoveFirstItem());
    EXPECT_NE(list.CreateItem(nullptr), nullptr);
}

TEST(XRefListStorage, PreallocateMakesTheNextGrowthGoStraightToTheCount) {
    XRefList list(4, false);
    list.Preallocate(1000);
    EXPECT_EQ(Create(list), Ref(1, 999));
}

TEST(XRefListStorage, PreallocateBelowTheUsualStepChangesNothing) {
    XRefList list(4, false);
    list.Preallocate(10);
    EXPECT_EQ(Create(list), Ref(1, 15));
}

TEST(XRefListStorage, PreallocateReachesTheFullRangeOf65535Slots) {
    XRefList list(1, false);
    list.Preallocate(65535);
    uint32_t reference = 0;
    ASSERT_NE(list.CreateItem(&reference), nullptr);
    EXPECT_EQ(reference, Ref(1, 65534));
    while (list.CreateItem(nullptr) != nullptr) {
    }
    EXPECT_EQ(list.Count(), 65534);
}

TEST(XRefListStorage, FailedGrowthLeavesTheListAsItWas) {
    XRefList list(sizeof(int32_t), false);
    DebgFailAllocation(1);
    EXPECT_EQ(list.CreateItem(nullptr), nullptr);
    EXPECT_TRUE(list.IsEmpty());
    std::vector<uint32_t> references;
    for (int32_t i = 0; i < 15; ++i)
        references.push_back(AddInt(list, i));
    DebgFailAllocation(1);
    EXPECT_EQ(AddInt(list, 99), 0u);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(list.Count(), 15);
    for (int32_t i = 0; i < 15; ++i)
        EXPECT_NE(list.GetItem(references[i]), nullptr);
    EXPECT_EQ(AddInt(list, 15), Ref(1, 31));
}

// --- Use list and iteration ---

TEST(XRefListIteration, VisitsInCreationOrderWhateverTheSlots) {
    XRefList list(sizeof(int32_t), false);
    AddInt(list, 1);
    uint32_t two = AddInt(list, 2);
    AddInt(list, 3);
    AddInt(list, 4);
    ASSERT_TRUE(list.RemoveItem(two));
    AddInt(list, 5);  // reuses the slot of 2, which lies above 3 and 4
    EXPECT_EQ(Items(list), (std::vector<int32_t>{1, 3, 4, 5}));
    int32_t first;
    memcpy(&first, list.GetFirstItem(), sizeof first);
    EXPECT_EQ(first, 1);
    ASSERT_TRUE(list.RemoveFirstItem());
    EXPECT_EQ(Items(list), (std::vector<int32_t>{3, 4, 5}));
}

TEST(XRefListIteration, EmptyListHasNoFirstItemAndNothingToRemove) {
    XRefList list(4, true);
    EXPECT_EQ(list.GetFirstItem(), nullptr);
    EXPECT_FALSE(list.RemoveFirstItem());
    EXPECT_TRUE(Items(list).empty());
    list.DoForEach(nullptr, nullptr);
    EXPECT_EQ(list.FindItem(nullptr, nullptr), 0u);
}

struct Remover {
    XRefList* list;
    std::vector<int32_t> seen;
    bool removeNext;
};

void RemoveWhileVisiting(const void* data, void* context) {
    Remover* remover = static_cast<Remover*>(context);
    int32_t value;
    memcpy(&value, data, sizeof value);
    remover->seen.push_back(value);
    XRefList* list = remover->list;
    uint32_t self = list->IndexOf(const_cast<void*>(data));
    if (remover->removeNext) {
        // Remove the item created right after this one, if any, by finding it by value.
        int32_t next = value + 1;
        uint32_t nextRef =
            list->FindItem([](const void* item,
                              void* wanted) { return memcmp(item, wanted, sizeof(int32_t)) == 0; },
                           &next);
        if (nextRef != 0)
            list->RemoveItem(nextRef);
    } else {
        list->RemoveItem(self);
        // Growth during the walk moves the array; the walk must not mind.
        if (value == 1) {
            for (int32_t i = 100; i < 140; ++i)
                AddInt(*list, i);
        }
    }
}

TEST(XRefListIteration, CallbackMayRemoveItsOwnItemAndGrowTheList) {
    XRefList list(sizeof(int32_t), true);
    for (int32_t i = 1; i <= 10; ++i)
        AddInt(list, i);
    Remover remover{&list, {}, false};
    list.DoForEach(RemoveWhileVisiting, &remover);
    ASSERT_EQ(remover.seen.size(), 50u);  // the 10 and then the 40 added during the walk
    EXPECT_EQ(remover.seen[9], 10);
    EXPECT_EQ(remover.seen[10], 100);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(XRefListIteration, CallbackMayRemoveTheItemAfterItsOwn) {
    XRefList list(sizeof(int32_t), true);
    for (int32_t i = 1; i <= 6; ++i)
        AddInt(list, i);
    Remover remover{&list, {}, true};
    list.DoForEach(RemoveWhileVisiting, &remover);
    EXPECT_EQ(remover.seen, (std::vector<int32_t>{1, 3, 5}));
    EXPECT_EQ(Items(list), (std::vector<int32_t>{1, 3, 5}));
}

TEST(XRefListIteration, FindItemReturnsTheFirstMatchOldestFirst) {
    XRefList list(sizeof(int32_t), false);
    AddInt(list, 5);
    uint32_t firstEven = AddInt(list, 6);
    AddInt(list, 8);
    auto isEven = [](const void* data, void*) {
        int32_t value;
        memcpy(&value, data, sizeof value);
        return value % 2 == 0;
    };
    EXPECT_EQ(list.FindItem(isEven, nullptr), firstEven);
    auto never = [](const void*, void*) { return false; };
    EXPECT_EQ(list.FindItem(never, nullptr), 0u);
}

// --- Locking ---

TEST(XRefListLocking, TimedLockOnAListWithoutLockFailsAtOnce) {
    XRefList list(4, false);
    EXPECT_FALSE(list.Lock(5));
    list.Lock();  // does nothing
    list.Unlock();
}

TEST(XRefListLocking, OwnLockExcludesOtherThreadsAndIsRecursive) {
    XRefList list(4, true);
    list.Lock();
    EXPECT_TRUE(list.Lock(0));
    bool otherGotIt = true;
    std::thread other([&] { otherGotIt = list.Lock(10); });
    other.join();
    EXPECT_FALSE(otherGotIt);
    list.Unlock();
    list.Unlock();
    std::thread again([&] {
        otherGotIt = list.Lock(1000);
        if (otherGotIt)
            list.Unlock();
    });
    again.join();
    EXPECT_TRUE(otherGotIt);
}

TEST(XRefListLocking, ThreadsAddingRemovingAndReadingKeepTheListConsistent) {
    XRefList list(sizeof(uint64_t), true);
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint32_t> mine;
            for (int i = 0; i < kRounds; ++i) {
                uint64_t value = (uint64_t(t) << 32) | uint32_t(i);
                uint32_t reference = list.AddItem(&value);
                if (reference == 0) {
                    mismatches++;
                    continue;
                }
                mine.push_back(reference);
                if (i % 3 == 0) {
                    uint32_t victim = mine[mine.size() / 2];
                    mine.erase(mine.begin() + mine.size() / 2);
                    if (!list.RemoveItem(victim))
                        mismatches++;
                }
                list.Lock();
                void* data = list.GetItem(reference);
                uint64_t read = 0;
                if (data != nullptr)
                    memcpy(&read, data, sizeof read);
                list.Unlock();
                if (i % 3 != 0 && read != value)
                    mismatches++;
            }
            for (uint32_t reference : mine) {
                if (!list.RemoveItem(reference))
                    mismatches++;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
