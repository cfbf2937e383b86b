// SPDX-License-Identifier: MIT

#include <brindle/containers/XSortedList.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "concurrency/ThreadTestKit.h"
#include "containers/AllocationProbe.h"

namespace {

using allocationtest::FillToCapacity;

int Compare(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

char* Key(const char* text) {
    return const_cast<char*>(text);
}

const char* Text(const void* p) {
    return static_cast<const char*>(p);
}

std::atomic<int> g_compares{0};
int CountingCompare(const void* a, const void* b) {
    ++g_compares;
    return Compare(a, b);
}

void* CopyText(const void* text) {
    return strdup(Text(text));
}

void FreeText(const void* p) {
    free(const_cast<void*>(p));
}

// Records every free call, of keys ('k') and values ('v') alike, in order.
std::vector<std::string> g_freed;
template <char kKind>
void RecordFree(const void* text) {
    g_freed.push_back(kKind + std::string(":") + Text(text));
    FreeText(text);
}

// Exposes the protected members for the tests that need them.
class OpenList : public XSortedList {
  public:
    using XSortedList::Reserve;
    using XSortedList::XSortedList;
};

static_assert(!std::is_copy_constructible<XSortedList>::value, "copying a list is refused");
static_assert(!std::is_copy_assignable<XSortedList>::value, "copying a list is refused");

using Model = std::multimap<std::string, void*>;

// The values of the model list: distinct addresses, never dereferenced.
int g_values[8];

// The value of the entry the list freed last, and how many it has freed.
void* g_lastFreedValue = nullptr;
int g_valuesFreed = 0;
void NoteValueFree(const void* value) {
    g_lastFreedValue = const_cast<void*>(value);
    ++g_valuesFreed;
}

// Takes out of the model the entry whose value the list has just freed.
void EraseFreed(Model& model, const std::string& key) {
    auto range = model.equal_range(key);
    auto it = std::find_if(range.first, range.second,
                           [](const auto& entry) { return entry.second == g_lastFreedValue; });
    ASSERT_NE(it, range.second);
    model.erase(it);
}

// The list's keys are in order, and its entries are the model's (equal keys in any order).
void ExpectSameEntries(XSortedList& list, const Model& model) {
    std::vector<std::string> keys;
    std::multiset<std::pair<std::string, void*>> entries;
    for (uint32_t i = 0; i < list.Count(); ++i) {
        keys.emplace_back(Text(list.GetKey(i)));
        entries.emplace(keys.back(), list.GetItem(i));
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(entries, (std::multiset<std::pair<std::string, void*>>(model.begin(), model.end())));
    EXPECT_EQ(list.GetKey(list.Count()), nullptr);
    EXPECT_EQ(list.GetItem(XSortedList::kNoIndex), nullptr);
}

struct Walk {
    XSortedList* list;
    Model* model;
    std::mt19937* random;
    std::string last;
};

// Checks that the walk runs in descending key order and sometimes removes the entry it is
// given, which takes the list's lock again.
void VisitAndMaybeRemove(const void* key, const void* value, void* context) {
    Walk& walk = *static_cast<Walk*>(context);
    EXPECT_TRUE(walk.last.empty() || walk.last >= Text(key));
    walk.last = Text(key);
    if ((*walk.random)() % 3 == 0) {
        EXPECT_TRUE(walk.list->RemoveItem(const_cast<void*>(key), const_cast<void*>(value)));
        EraseFreed(*walk.model, walk.last);
    }
}

// Random interleavings of additions, lookups, removals and walks must keep the list equal to
// a multimap of the same operations, whatever the mix of merges and full sorts. The list
// copies its keys and frees them and its values exactly once.
TEST(XSortedListModel, MatchesMultimapUnderRandomOperations) {
    std::mt19937 random(1234);
    g_valuesFreed = 0;
    int added = 0;
    XSortedList list(true, CountingCompare, CopyText, FreeText, nullptr, NoteValueFree);
    Model model;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i)
        names.push_back("k" + std::to_string(random() % 250));
    for (int step = 0; step < 3000; ++step) {
        const std::string& name = names[random() % names.size()];
        void* value = &g_values[random() % 8];
        uint32_t action = random() % 12;
        if (action < 5) {
            // Several additions before the next lookup build tails of many lengths, some
            // longer than the merge's stack scratch space, some in key order or its reverse.
            std::vector<std::string> batch(action == 0 ? 60 : action < 3 ? 20 : 1);
            for (std::string& key : batch)
                key = names[random() % names.size()];
            if (action == 1)
                std::sort(batch.begin(), batch.end());
            if (action == 2)
                std::sort(batch.rbegin(), batch.rend());
            for (const std::string& key : batch) {
                list.AddItem(Key(key.c_str()), value);
                model.emplace(key, value);
                ++added;
            }
        } else if (action < 8) {
            // Without memory for its scratch space the merge sorts everything in place.
            DebgFailAllocation(random() % 3 == 0 ? 1 : 0);
            int32_t index = -2;
            void* found = list.FindItem(name.c_str(), &index);
            DebgFailAllocation(0);
            if (model.count(name) == 0) {
                EXPECT_EQ(found, nullptr);
                EXPECT_EQ(index, -1);
            } else {
                ASSERT_GE(index, 0);
                EXPECT_EQ(name, Text(list.GetKey(index)));
                EXPECT_EQ(found, list.GetItem(index));
                // The same key again is found at the remembered position with one comparison.
                g_compares = 0;
                EXPECT_EQ(list.FindItem(name.c_str(), nullptr), found);
                EXPECT_EQ(g_compares.load(), 1);
            }
        } else if (action < 11) {
            // By key alone, or by key and stored value.
            const bool byValue = action == 10;
            auto range = model.equal_range(name);
            bool present = std::any_of(range.first, range.second, [&](const auto& entry) {
                return !byValue || entry.second == value;
            });
            EXPECT_EQ(
                byValue ? list.RemoveItem(Key(name.c_str()), value) : list.RemoveItem(name.c_str()),
                present);
            if (present)
                EraseFreed(model, name);
        } else {
            Walk walk{&list, &model, &random, ""};
            list.DoForEach(VisitAndMaybeRemove, &walk);
        }
        ASSERT_EQ(list.Count(), model.size());
        ASSERT_EQ(g_valuesFreed, added - static_cast<int>(model.size()));
        if (step % 100 == 0)
            ExpectSameEntries(list, model);
    }
    ExpectSameEntries(list, model);
    list.Empty();
    EXPECT_EQ(g_valuesFreed, added);
}

TEST(XSortedListOrder, StoresCallersPointersAndSearchesTheArrayAsItIsByPredicate) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    char b[] = "b";
    list.AddItem(b, Key("x"));  // Without copy functions the caller's pointers are stored.
    list.AddItem(Key("a"), Key("y"));
    EXPECT_EQ(list.GetKey(1), b);
    // The predicate search sees the array as it is, before sorting.
    list.AddItem(Key("aa"), Key("w"));
    int32_t index = 5;
    auto isAa = [](const void* key, const void*, void*) { return strcmp(Text(key), "aa") == 0; };
    EXPECT_STREQ(Text(list.FindItem(isAa, nullptr, &index)), "w");
    EXPECT_EQ(index, 2);
    EXPECT_STREQ(Text(list.GetItem(1)), "w");
    EXPECT_EQ(list.FindItem(isAa, nullptr, &index), list.GetItem(1));
    EXPECT_EQ(index, 1);
    auto none = [](const void*, const void*, void*) { return false; };
    EXPECT_EQ(list.FindItem(none, nullptr, &index), nullptr);
    EXPECT_EQ(index, -1);
}

TEST(XSortedListOwnership, RemovalEmptyAndDestructorFreeEachOnceKeysFirst) {
    g_freed.clear();
    {
        OpenList list(Compare, CopyText, RecordFree<'k'>, CopyText, RecordFree<'v'>);
        for (const char* kv : {"c3", "b2", "a1", "d4"})
            list.AddItem(Key(std::string(1, kv[0]).c_str()), Key(kv + 1));
        EXPECT_TRUE(list.RemoveItem("b"));
        EXPECT_EQ(g_freed, (std::vector<std::string>{"k:b", "v:2"}));
        EXPECT_TRUE(list.RemoveItem(Key("d"), list.FindItem("d", nullptr)));
        list.Empty();
        list.AddItem(Key("e"), Key("5"));
    }
    EXPECT_EQ(g_freed, (std::vector<std::string>{"k:b", "v:2", "k:d", "v:4", "k:a", "k:c", "v:1",
                                                 "v:3", "k:e", "v:5"}));
    // A value copy that fails: the key copy made just before is released again.
    OpenList failing(
        Compare, CopyText, RecordFree<'k'>, [](const void*) -> void* { return nullptr; }, nullptr);
    failing.AddItem(Key("k"), Key("v"));
    EXPECT_EQ(failing.Count(), 0u);
    EXPECT_EQ(g_freed.back(), "k:k");
}

// Each list is filled to its capacity, grown by one entry, and filled again.
TEST(XSortedListGrowth, ReservesWholeStepsOf256Entries) {
    std::vector<uint32_t> capacities;
    for (uint32_t reserved : {0u, 1u, 255u, 256u, 257u, 511u, 512u}) {
        OpenList list(Compare, nullptr, nullptr, nullptr, nullptr);
        EXPECT_TRUE(list.Reserve(reserved));
        for (int round = 0; round < 2; ++round) {
            capacities.push_back(FillToCapacity([&] { list.AddItem(Key("k"), nullptr); },
                                                [&] { return list.Count(); }));
            list.AddItem(Key("k"), nullptr);
        }
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{0, 256, 256, 512, 256, 512, 256, 512, 512, 768,
                                                 512, 768, 512, 768}));
    OpenList list(Compare, nullptr, nullptr, nullptr, nullptr);
    DebgFailAllocation(1);
    EXPECT_FALSE(list.Reserve(1));
    DebgFailAllocation(0);
    EXPECT_FALSE(list.Reserve(XSortedList::kNoIndex));
}

TEST(XSortedListLock, OnlyAThreadSafeListHasARecursiveLock) {
    XSortedList plain(Compare, nullptr, nullptr, nullptr, nullptr);
    threadtest::ExpectNoLock(plain);
    XSortedList list(true, Compare, nullptr, nullptr, nullptr, nullptr);
    threadtest::ExpectRecursiveLock(list);
}

// Several writers and bracketed readers on one thread-safe list; run under ThreadSanitizer.
TEST(XSortedListLock, ConcurrentWritersAndReaders) {
    XSortedList list(true, Compare, CopyText, FreeText, nullptr, nullptr);
    constexpr int kWriters = 3, kPerWriter = 300;
    std::atomic<int> writing{kWriters};
    threadtest::RunThreads(kWriters + 1, [&](int w) {
        while (w == kWriters && writing > 0) {
            list.Lock();
            for (uint32_t i = 1; i < list.Count(); ++i)
                EXPECT_LT(strcmp(Text(list.GetKey(i - 1)), Text(list.GetKey(i))), 0);
            list.Unlock();
            list.DoForEach([](const void*, const void*, void*) {}, nullptr);
        }
        if (w == kWriters)
            return;
        for (int i = 0; i < kPerWriter; ++i) {
            std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
            list.AddItem(Key(key.c_str()), nullptr);
            if (i % 3 == 0) {
                int32_t index = -1;
                list.Lock();
                list.FindItem(key.c_str(), &index);
                EXPECT_GE(index, 0);
                list.Unlock();
            }
            if (i % 5 == 0) {
                EXPECT_TRUE(list.RemoveItem(key.c_str()));
            }
        }
        --writing;
    });
    EXPECT_EQ(list.Count(), static_cast<uint32_t>(kWriters * (kPerWriter - kPerWriter / 5)));
    // Once the writers are done, lookups from several threads need no bracketing: the first
    // of them sorts the new tail under the lock and the others wait for it or see the result.
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i)
        names.push_back("n" + std::to_string((i * 7919) % 2000));
    for (const std::string& name : names)
        list.AddItem(Key(name.c_str()), nullptr);
    threadtest::RunThreads(4, [&](int r) {
        for (size_t i = r; i < names.size(); i += 3) {
            int32_t index = -1;
            list.FindItem(names[i].c_str(), &index);
            EXPECT_STREQ(Text(list.GetKey(index)), names[i].c_str());
        }
    });
}

}  // namespace
