#include <brindle/Debg.h>
#include <brindle/containers/XSortedList.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

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

// Records every free call, keys and values alike, in order.
std::vector<std::string> g_freed;
void RecordKeyFree(const void* key) {
    g_freed.push_back(std::string("key:") + Text(key));
    free(const_cast<void*>(key));
}
void RecordValueFree(const void* value) {
    g_freed.push_back(std::string("value:") + Text(value));
    free(const_cast<void*>(value));
}
void* CopyText(const void* text) {
    return strdup(Text(text));
}
void FreeText(const void* p) {
    free(const_cast<void*>(p));
}

std::vector<std::string> KeysInOrder(XSortedList& list) {
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < list.Count(); ++i)
        keys.push_back(Text(list.GetKey(i)));
    return keys;
}

// Exposes the protected members for the tests that need them.
class OpenList : public XSortedList {
  public:
    using XSortedList::TryAddItem;
    using XSortedList::XSortedList;
};

// A list that owns strdup copies of its keys and values and logs their release.
OpenList MakeOwningList() {
    g_freed.clear();
    return OpenList(Compare, CopyText, RecordKeyFree, CopyText, RecordValueFree);
}

static_assert(!std::is_copy_constructible<XSortedList>::value, "copying a list is refused");
static_assert(!std::is_copy_assignable<XSortedList>::value, "copying a list is refused");

TEST(XSortedListOrder, SortsLazilyAndAnswersNullOutOfRange) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    int32_t index = 5;
    EXPECT_EQ(list.GetItem(0), nullptr);
    EXPECT_EQ(list.FindItem(Key("a"), &index), nullptr);
    EXPECT_EQ(index, -1);
    char b[] = "b", x[] = "x";
    list.AddItem(b, x);  // Without copy functions the caller's pointers are stored.
    list.AddItem(Key("a"), Key("y"));
    list.AddItem(Key("c"), Key("z"));
    EXPECT_EQ(list.GetKey(1), b);
    EXPECT_EQ(list.GetItem(1), x);
    EXPECT_STREQ(Text(list.GetKey(0)), "a");
    EXPECT_EQ(list.GetKey(3), nullptr);
    EXPECT_EQ(list.GetItem(XSortedList::kNoIndex), nullptr);
    EXPECT_EQ(list.FindItem(Key("d"), nullptr), nullptr);
    EXPECT_STREQ(Text(list.FindItem(Key("c"), nullptr)), "z");
    std::string visited;
    list.DoForEach([](const void* key, const void*,
                      void* context) { *static_cast<std::string*>(context) += Text(key); },
                   &visited);
    EXPECT_EQ(visited, "cba");
    // The predicate search sees the array as it is, before sorting.
    list.AddItem(Key("aa"), Key("w"));
    auto isAa = [](const void* key, const void*, void*) { return strcmp(Text(key), "aa") == 0; };
    EXPECT_STREQ(Text(list.FindItem(isAa, nullptr, &index)), "w");
    EXPECT_EQ(index, 3);
    EXPECT_STREQ(Text(list.GetItem(1)), "w");
    auto none = [](const void*, const void*, void*) { return false; };
    EXPECT_EQ(list.FindItem(none, nullptr, &index), nullptr);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(list.FindItem(none, nullptr, nullptr), nullptr);
}

// Random interleavings of additions, lookups and removals must keep the list equal to a
// multimap of the same operations, whatever the mix of merges and full sorts.
TEST(XSortedListOrder, MatchesMultimapUnderRandomOperations) {
    std::mt19937 random(1234);
    OpenList list(Compare, CopyText, FreeText, nullptr, nullptr);
    std::multimap<std::string, int> model;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i)
        names.push_back("k" + std::to_string(random() % 250));
    for (int step = 0; step < 3000; ++step) {
        const std::string& name = names[random() % names.size()];
        uint32_t action = random() % 10;
        if (action < 5) {
            // Several additions before the next lookup build tails of many lengths, some
            // longer than the merge's stack scratch space, some in key order or its reverse.
            std::vector<std::string> batch(action == 0 ? 60 : action < 3 ? 20 : 1);
            for (std::string& added : batch)
                added = names[random() % names.size()];
            if (action == 1)
                std::sort(batch.begin(), batch.end());
            if (action == 2)
                std::sort(batch.rbegin(), batch.rend());
            for (const std::string& added : batch) {
                list.AddItem(Key(added.c_str()), nullptr);
                model.emplace(added, 0);
            }
        } else if (action < 8) {
            int32_t index = -2;
            list.FindItem(Key(name.c_str()), &index);
            if (model.count(name) == 0) {
                EXPECT_EQ(index, -1);
            } else {
                ASSERT_GE(index, 0);
                EXPECT_EQ(name, Text(list.GetKey(index)));
            }
        } else {
            auto it = model.find(name);
            EXPECT_EQ(list.RemoveItem(Key(name.c_str())), it != model.end());
            if (it != model.end())
                model.erase(it);
        }
        ASSERT_EQ(list.Count(), model.size());
    }
    std::vector<std::string> expected;
    for (const auto& entry : model)
        expected.push_back(entry.first);
    EXPECT_EQ(KeysInOrder(list), expected);
}

TEST(XSortedListOrder, MergeFallsBackToFullSortWithoutMemory) {
    OpenList list(Compare, nullptr, nullptr, nullptr, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i)
        names.push_back("n" + std::to_string((i * 37) % 100));
    for (int i = 0; i < 100; ++i) {
        if (i == 50)
            list.GetItem(0);
        list.AddItem(Key(names[i].c_str()), nullptr);
    }
    // The tail of 50 needs scratch space, which is refused.
    DebgFailAllocation(1);
    list.GetItem(0);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    std::vector<std::string> sorted = names;  // The list holds pointers into `names`.
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(KeysInOrder(list), sorted);
}

TEST(XSortedListSearch, RememberedPositionIsReusedAndRechecked) {
    XSortedList list(CountingCompare, nullptr, nullptr, nullptr, nullptr);
    for (const char* key : {"b", "c", "d", "e", "f", "g"})
        list.AddItem(Key(key), Key(key));
    int32_t index = -1;
    list.FindItem(Key("c"), &index);
    EXPECT_EQ(index, 1);
    g_compares = 0;
    EXPECT_STREQ(Text(list.FindItem(Key("c"), &index)), "c");
    EXPECT_EQ(g_compares.load(), 1);
    EXPECT_EQ(index, 1);
    list.AddItem(Key("a"), Key("a"));
    EXPECT_STREQ(Text(list.FindItem(Key("c"), &index)), "c");
    EXPECT_EQ(index, 2);
    list.RemoveItem(Key("c"));
    EXPECT_EQ(list.FindItem(Key("c"), &index), nullptr);
    EXPECT_EQ(index, -1);
}

TEST(XSortedListRemove, ByKeyAndValueRemovesExactlyThatEntry) {
    const char* values[] = {"v0", "v1", "v2", "v3", "v4"};
    for (const char* target : values) {
        XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
        list.AddItem(Key("a"), Key("before"));
        for (const char* value : values)
            list.AddItem(Key("k"), Key(value));
        list.AddItem(Key("z"), Key("after"));
        // Put the remembered position in the middle of the run.
        list.FindItem(Key("k"), nullptr);
        char equalText[] = "v0";
        EXPECT_FALSE(list.RemoveItem(Key("k"), equalText));  // Equal text, other pointer.
        EXPECT_FALSE(list.RemoveItem(Key("a"), Key(target)));
        EXPECT_FALSE(list.RemoveItem(Key("c"), Key(target)));
        EXPECT_TRUE(list.RemoveItem(Key("k"), Key(target)));
        EXPECT_EQ(list.Count(), 6u);
        for (uint32_t i = 0; i < list.Count(); ++i)
            EXPECT_NE(list.GetItem(i), target);
    }
}

TEST(XSortedListOwnership, RemovalEmptyAndDestructorFreeEachOnceKeysFirst) {
    {
        OpenList list = MakeOwningList();
        for (const char* kv : {"c3", "b2", "a1"})
            list.AddItem(Key(std::string(1, kv[0]).c_str()), Key(kv + 1));
        EXPECT_TRUE(list.RemoveItem(Key("b")));
        EXPECT_EQ(g_freed, (std::vector<std::string>{"key:b", "value:2"}));
        list.Empty();
        EXPECT_EQ(g_freed, (std::vector<std::string>{"key:b", "value:2", "key:a", "key:c",
                                                     "value:1", "value:3"}));
        EXPECT_EQ(list.Count(), 0u);
        EXPECT_EQ(list.FindItem(Key("a"), nullptr), nullptr);
        list.AddItem(Key("d"), Key("4"));
        g_freed.clear();
    }
    EXPECT_EQ(g_freed, (std::vector<std::string>{"key:d", "value:4"}));
    // A value copy that fails: the key copy made just before is released again.
    OpenList failing(
        Compare, CopyText, RecordKeyFree, [](const void*) -> void* { return nullptr; }, nullptr);
    g_freed.clear();
    EXPECT_FALSE(failing.TryAddItem(Key("k"), Key("v")));
    EXPECT_EQ(failing.Count(), 0u);
    EXPECT_EQ(g_freed, std::vector<std::string>{"key:k"});
}

TEST(XSortedListGrowth, GrowsBy256Entries) {
    OpenList list(Compare, nullptr, nullptr, nullptr, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < 512; ++i)
        names.push_back(std::to_string(i));
    // The first addition allocates, and fails cleanly if it cannot; the next 255 fit.
    DebgFailAllocation(1);
    EXPECT_FALSE(list.TryAddItem(Key(names[0].c_str()), nullptr));
    EXPECT_EQ(list.Count(), 0u);
    DebgFailAllocation(2);
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(list.TryAddItem(Key(names[i].c_str()), nullptr)) << i;
    EXPECT_EQ(DebgPendingAllocationFailure(), 1u);
    // The 257th needs room: its allocation is the one that fails.
    EXPECT_FALSE(list.TryAddItem(Key(names[256].c_str()), nullptr));
    EXPECT_TRUE(list.TryAddItem(Key(names[256].c_str()), nullptr));
    DebgFailAllocation(1);
    for (int i = 257; i < 512; ++i)
        ASSERT_TRUE(list.TryAddItem(Key(names[i].c_str()), nullptr)) << i;
    EXPECT_EQ(DebgPendingAllocationFailure(), 1u);
    DebgFailAllocation(0);
    EXPECT_EQ(list.Count(), 512u);
}

// Whether another thread obtains the list's lock within `milliseconds`.
bool OtherThreadGetsLock(XSortedList& list, uint32_t milliseconds) {
    bool got = false;
    std::thread other([&] {
        got = list.Lock(milliseconds);
        if (got)
            list.Unlock();
    });
    other.join();
    return got;
}

TEST(XSortedListLock, OnlyThreadSafeListLocksRecursivelyAndExcludesOthers) {
    XSortedList plain(Compare, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(plain.Lock(0));
    EXPECT_FALSE(plain.Lock(10));
    plain.Lock();
    plain.Unlock();
    XSortedList list(true, Compare, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(list.Lock(0));
    list.Lock();
    list.AddItem(Key("a"), nullptr);  // Takes the lock again inside.
    EXPECT_FALSE(OtherThreadGetsLock(list, 20));
    list.Unlock();
    EXPECT_FALSE(OtherThreadGetsLock(list, 0));
    list.Unlock();
    EXPECT_TRUE(OtherThreadGetsLock(list, 0));
}

TEST(XSortedListLock, DoForEachCallbackMayChangeTheList) {
    XSortedList list(true, Compare, nullptr, nullptr, nullptr, nullptr);
    for (const char* key : {"a", "b", "c", "d"})
        list.AddItem(Key(key), Key(key));
    struct Context {
        XSortedList* list;
        std::string visited;
    } context{&list, ""};
    list.DoForEach(
        [](const void* key, const void*, void* raw) {
            auto* context = static_cast<Context*>(raw);
            context->visited += Text(key);
            // Removing the entry just visited and the one above it is allowed.
            context->list->RemoveItem(const_cast<void*>(key));
        },
        &context);
    EXPECT_EQ(context.visited, "dcba");
    EXPECT_EQ(list.Count(), 0u);
}

// Several writers and bracketed readers on one thread-safe list; run under ThreadSanitizer.
TEST(XSortedListLock, ConcurrentWritersAndReaders) {
    XSortedList list(true, Compare, CopyText, FreeText, nullptr, nullptr);
    constexpr int kWriters = 3, kPerWriter = 300;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&list, w] {
            for (int i = 0; i < kPerWriter; ++i) {
                std::string key = "w" + std::to_string(w) + "-" + std::to_string(i);
                list.AddItem(Key(key.c_str()), nullptr);
                if (i % 3 == 0) {
                    int32_t index = -1;
                    list.Lock();
                    list.FindItem(Key(key.c_str()), &index);
                    EXPECT_GE(index, 0);
                    list.Unlock();
                }
                if (i % 5 == 0) {
                    EXPECT_TRUE(list.RemoveItem(Key(key.c_str())));
                }
            }
        });
    }
    threads.emplace_back([&list, &done] {
        while (!done.load()) {
            list.Lock();
            for (uint32_t i = 1; i < list.Count(); ++i)
                EXPECT_LT(strcmp(Text(list.GetKey(i - 1)), Text(list.GetKey(i))), 0);
            list.Unlock();
            list.DoForEach([](const void*, const void*, void*) {}, nullptr);
        }
    });
    for (int w = 0; w < kWriters; ++w)
        threads[w].join();
    done = true;
    threads.back().join();
    EXPECT_EQ(list.Count(), static_cast<uint32_t>(kWriters * (kPerWriter - kPerWriter / 5)));
    // Once the writers are done, lookups from several threads need no bracketing: the first
    // of them sorts the new tail under the lock and the others wait for it or see the result.
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i)
        names.push_back("n" + std::to_string((i * 7919) % 2000));
    for (const std::string& name : names)
        list.AddItem(Key(name.c_str()), nullptr);
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&list, &names, r] {
            for (size_t i = r; i < names.size(); i += 3) {
                int32_t index = -1;
                list.FindItem(Key(names[i].c_str()), &index);
                EXPECT_STREQ(Text(list.GetKey(index)), names[i].c_str());
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
}

}  // namespace
