#include <brindle/brindle.h>
#include <brindle/containers/XRefList.h>
#include <gtest/gtest.h>
#include <string.h>

#include <thread>
#include <vector>

namespace {

constexpr uint32_t Ref(uint32_t generation, uint32_t slot) {
    return (generation << 16) | slot;
}

uint32_t Create(XRefList& list) {
    uint32_t reference = 0;
    EXPECT_NE(list.CreateItem(&reference), nullptr);
    return reference;
}

int32_t IntAt(const void* data) {
    int32_t value;
    memcpy(&value, data, sizeof value);
    return value;
}

uint32_t AddInt(XRefList& list, int32_t value) {
    return list.AddItem(&value);
}

// The int32_t items of a list in the order DoForEach visits them.
std::vector<int32_t> Items(XRefList& list) {
    std::vector<int32_t> seen;
    list.DoForEach(
        [](const void* data, void* seen) {
            static_cast<std::vector<int32_t>*>(seen)->push_back(IntAt(data));
        },
        &seen);
    return seen;
}

// --- References and generations ---

TEST(XRefListReferences, SlotsAreHandedOutDownwardAndReusedLastFreedFirstUnderANewGeneration) {
    XRefList list(4, false);
    uint32_t a = Create(list);
    EXPECT_EQ(a, Ref(1, 15));
    EXPECT_EQ(Create(list), Ref(1, 14));
    uint32_t c = Create(list);
    EXPECT_EQ(c, Ref(1, 13));
    EXPECT_TRUE(list.RemoveItem(a));
    EXPECT_FALSE(list.RemoveItem(a));
    EXPECT_EQ(list.GetItem(a), nullptr);
    ASSERT_TRUE(list.RemoveItem(c));
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(Create(list), Ref(2, 13));
    uint32_t again = Create(list);
    EXPECT_EQ(again, Ref(2, 15));
    EXPECT_EQ(list.GetItem(a), nullptr);
    EXPECT_NE(list.GetItem(again), nullptr);
    EXPECT_EQ(Create(list), Ref(1, 12));
    // The generation wraps from 65535 to 1, never to 0.
    for (uint32_t generation = 3; generation <= 65535; ++generation) {
        ASSERT_TRUE(list.RemoveItem(again));
        again = Create(list);
        ASSERT_EQ(again, Ref(generation, 15));
    }
    ASSERT_TRUE(list.RemoveItem(again));
    EXPECT_EQ(Create(list), Ref(1, 15));
}

TEST(XRefListReferences, ReferencesAndPointersThatNameNoLiveItemFindNothing) {
    XRefList list(12, false);
    EXPECT_EQ(list.GetItem(Ref(1, 15)), nullptr);  // no slots yet
    uint32_t live = 0;
    void* data = list.CreateItem(&live);
    uint32_t other = Create(list);
    EXPECT_EQ(list.IndexOf(data), live);
    EXPECT_EQ(list.IndexOf(list.GetItem(other)), other);
    // Zero, slot 0 (never handed out), a free slot, beyond the capacity, wrong generations.
    for (uint32_t bad :
         {0u, Ref(1, 0), Ref(1, 13), Ref(1, 16), Ref(1, 0xFFFF), Ref(2, 15), Ref(0, 15)}) {
        EXPECT_EQ(list.GetItem(bad), nullptr) << std::hex << bad;
        EXPECT_FALSE(list.RemoveItem(bad)) << std::hex << bad;
    }
    int outside = 0;
    for (char* bad : {static_cast<char*>(data) + 1, static_cast<char*>(nullptr),
                      reinterpret_cast<char*>(&outside)})
        EXPECT_EQ(list.IndexOf(bad), 0u);
    ASSERT_TRUE(list.RemoveItem(live));
    EXPECT_EQ(list.IndexOf(data), 0u);
    EXPECT_EQ(list.Count(), 1);
}

// --- Storage, layout and growth ---

TEST(XRefListStorage, ItemsOfEverySizeKeepTheirBytesAcrossGrowthWithoutOverlapping) {
    for (uint32_t size : {1u, 3u, 4u, 6u, 7u, 10u, 17u, uint32_t(sizeof(void*))}) {
        XRefList list(size, false);
        EXPECT_EQ(list.ElelemSize(), size);
        std::vector<uint32_t> references;
        for (int i = 0; i < 200; ++i) {
            std::vector<uint8_t> bytes(size, uint8_t(i + 1));
            references.push_back(list.AddItem(bytes.data()));
        }
        for (int i = 0; i < 200; ++i) {
            const uint8_t* data = static_cast<const uint8_t*>(list.GetItem(references[i]));
            EXPECT_TRUE(size != sizeof(void*) ||
                        reinterpret_cast<uintptr_t>(data) % alignof(void*) == 0);
            EXPECT_EQ(std::vector<uint8_t>(data, data + size),
                      std::vector<uint8_t>(size, uint8_t(i + 1)));
        }
    }
}

TEST(XRefListStorage, GrowthStepsAreSixteenThenAnEighthUpToTheCeiling) {
    XRefList list(1, false);
    std::vector<uint32_t> capacities;
    uint32_t reference = 0;
    while (list.CreateItem(&reference) != nullptr) {
        if (capacities.empty() || (reference & 0xFFFF) >= capacities.back())
            capacities.push_back((reference & 0xFFFF) + 1);
    }
    std::vector<uint32_t> start(capacities.begin(), capacities.begin() + 12);
    EXPECT_EQ(start, (std::vector<uint32_t>{16, 32, 48, 64, 80, 96, 112, 128, 144, 162, 182, 204}));
    EXPECT_EQ(capacities.back(), 64247u);
    EXPECT_EQ(list.AddItem(nullptr), 0u);
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

TEST(XRefListStorage, FailedGrowthLeavesTheListAsItWas) {
    XRefList list(sizeof(int32_t), false);
    DebgFailAllocation(1);
    EXPECT_EQ(list.CreateItem(nullptr), nullptr);
    EXPECT_TRUE(list.IsEmpty());
    for (int32_t i = 0; i < 15; ++i)
        AddInt(list, i);
    DebgFailAllocation(1);
    EXPECT_EQ(AddInt(list, 99), 0u);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(Items(list),
              (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    EXPECT_EQ(list.AddItem(nullptr), Ref(1, 31));  // null data copies nothing
}

// --- Use list and iteration ---

TEST(XRefListIteration, VisitsAndFindsInCreationOrderWhateverTheSlots) {
    XRefList list(sizeof(int32_t), false);
    EXPECT_EQ(list.GetFirstItem(), nullptr);
    EXPECT_FALSE(list.RemoveFirstItem());
    EXPECT_TRUE(Items(list).empty());
    list.DoForEach(nullptr, nullptr);
    EXPECT_EQ(list.FindItem(nullptr, nullptr), 0u);
    AddInt(list, 1);
    uint32_t two = AddInt(list, 2);
    AddInt(list, 3);
    uint32_t four = AddInt(list, 4);
    ASSERT_TRUE(list.RemoveItem(two));
    AddInt(list, 6);  // reuses the slot of 2, which lies above 3 and 4
    EXPECT_EQ(Items(list), (std::vector<int32_t>{1, 3, 4, 6}));
    auto isEven = [](const void* data, void*) { return IntAt(data) % 2 == 0; };
    EXPECT_EQ(list.FindItem(isEven, nullptr), four);
    EXPECT_EQ(list.FindItem([](const void*, void*) { return false; }, nullptr), 0u);
    EXPECT_EQ(IntAt(list.GetFirstItem()), 1);
    ASSERT_TRUE(list.RemoveFirstItem());
    EXPECT_EQ(Items(list), (std::vector<int32_t>{3, 4, 6}));
}

struct Remover {
    XRefList* list;
    std::vector<uint32_t> next;  // if not empty, next[v] is the reference of item v + 1
    std::vector<int32_t> seen;
};

// Removes the item created after the visited one, or else the visited item itself, growing
// the list (which moves the array) on the first visit.
void RemoveWhileVisiting(const void* data, void* context) {
    Remover* remover = static_cast<Remover*>(context);
    int32_t value = IntAt(data);
    remover->seen.push_back(value);
    if (!remover->next.empty()) {
        remover->list->RemoveItem(remover->next[value]);
        return;
    }
    remover->list->RemoveItem(remover->list->IndexOf(const_cast<void*>(data)));
    for (int32_t i = 100; i < 140 && value == 1; ++i)
        AddInt(*remover->list, i);
}

TEST(XRefListIteration, CallbackMayRemoveItsOwnItemOrTheNextAndGrowTheList) {
    XRefList list(sizeof(int32_t), true);
    for (int32_t i = 1; i <= 10; ++i)
        AddInt(list, i);
    Remover own{&list, {}, {}};
    list.DoForEach(RemoveWhileVisiting, &own);
    ASSERT_EQ(own.seen.size(), 50u);  // the 10 and then the 40 added during the walk
    EXPECT_EQ(own.seen[9], 10);
    EXPECT_EQ(own.seen[10], 100);
    EXPECT_TRUE(list.IsEmpty());

    Remover next{&list, {}, {}};
    for (int32_t i = 1; i <= 6; ++i)
        next.next.push_back(AddInt(list, i));
    next.next.push_back(0);
    list.DoForEach(RemoveWhileVisiting, &next);
    EXPECT_EQ(next.seen, (std::vector<int32_t>{1, 3, 5}));
    EXPECT_EQ(Items(list), (std::vector<int32_t>{1, 3, 5}));
}

// --- Locking ---

TEST(XRefListLocking, OwnLockExcludesOtherThreadsAndIsRecursiveAndNoLockFailsAtOnce) {
    XRefList unlocked(4, false);
    EXPECT_FALSE(unlocked.Lock(5));
    unlocked.Lock();  // does nothing
    unlocked.Unlock();

    XRefList list(4, true);
    list.Lock();
    EXPECT_TRUE(list.Lock(0));
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = list.Lock(10); }).join();
    EXPECT_FALSE(otherGotIt);
    list.Unlock();
    list.Unlock();
    std::thread([&] {
        otherGotIt = list.Lock(1000);
        if (otherGotIt)
            list.Unlock();
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(XRefListLocking, ThreadsAddingRemovingAndReadingKeepTheListConsistent) {
    XRefList list(sizeof(uint64_t), true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&list, t] {
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
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(list.IsEmpty());
}

}  // namespace
