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

// Counts compare calls.
std::atomic<int> g_compares{0};
int CountingCompare(const void* a, const void* b) {
    ++g_compares;
    return Compare(a, b);
}

// Records every free call, keys and values alike, in order.
std::vector<std::string> g_freed;
void RecordKeyFree(const void* key) {
    g_freed.push_back(std::string("key:") + static_cast<const char*>(key));
    free(const_cast<void*>(key));
}
void RecordValueFree(const void* value) {
    g_freed.push_back(std::string("value:") + static_cast<const char*>(value));
    free(const_cast<void*>(value));
}
void* CopyText(const void* text) {
    return strdup(static_cast<const char*>(text));
}

// A list that owns strdup copies of its keys and values and logs their release.
XSortedList MakeOwningList() {
    g_freed.clear();
    return XSortedList(Compare, CopyText, RecordKeyFree, CopyText, RecordValueFree);
}

std::vector<std::string> KeysInOrder(XSortedList& list) {
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < list.Count(); ++i)
        keys.push_back(static_cast<const char*>(list.GetKey(i)));
    return keys;
}

// Exposes the protected members for the tests that need them.
class OpenList : public XSortedList {
  public:
    using XSortedList::Sort;
    using XSortedList::TryAddItem;
    using XSortedList::XSortedList;
};

static_assert(!std::is_copy_constructible<XSortedList>::value, "copying a list is refused");
static_assert(!std::is_copy_assignable<XSortedList>::value, "copying a list is refused");

TEST(XSortedListOrder, SortsLazilyByKey) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    const char* x = "x";
    const char* y = "y";
    const char* z = "z";
    list.AddItem(Key("b"), Key(x));
    list.AddItem(Key("a"), Key(y));
    list.AddItem(Key("c"), Key(z));
    EXPECT_STREQ(static_cast<const char*>(list.GetKey(0)), "a");
    EXPECT_EQ(list.GetItem(2), z);
    std::string visited;
    list.DoForEach(
        [](const void* key, const void*, void* context) {
            *static_cast<std::string*>(context) += static_cast<const char*>(key);
        },
        &visited);
    EXPECT_EQ(visited, "cba");
}

TEST(XSortedListOrder, OutOfRangeAccessGivesNull) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(list.GetItem(0), nullptr);
    list.AddItem(Key("a"), Key("1"));
    EXPECT_EQ(list.GetKey(1), nullptr);
    EXPECT_EQ(list.GetItem(XSortedList::kNoIndex), nullptr);
}

TEST(XSortedListOrder, PredicateSearchSeesUnsortedArray) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    list.AddItem(Key("m"), Key("1"));
    list.AddItem(Key("a"), Key("2"));
    int32_t index = 7;
    auto isA = [](const void* key, const void*, void*) {
        return strcmp(static_cast<const char*>(key), "a") == 0;
    };
    EXPECT_STREQ(static_cast<const char*>(list.FindItem(isA, nullptr, &index)), "2");
    EXPECT_EQ(index, 1);
    // GetItem sorts first: position 1 now holds "m"'s value.
    EXPECT_STREQ(static_cast<const char*>(list.GetItem(1)), "1");
    auto none = [](const void*, const void*, void*) { return false; };
    EXPECT_EQ(list.FindItem(none, nullptr, &index), nullptr);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(list.FindItem(none, nullptr, nullptr), nullptr);
}

// Random interleavings of additions, lookups and removals must keep the list equal to a
// multimap of the same operations, whatever the mix of merges and full sorts.
TEST(XSortedListOrder, MatchesMultimapUnderRandomOperations) {
    std::mt19937 random(1234);
    OpenList list(
        Compare, CopyText, [](const void* p) { free(const_cast<void*>(p)); }, nullptr, nullptr);
    std::multimap<std::string, int> model;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i)
        names.push_back("k" + std::to_string(random() % 250));
    for (int step = 0; step < 3000; ++step) {
        const std::string& name = names[random() % names.size()];
        uint32_t action = random() % 10;
        if (action < 5) {
            // Several additions before the next lookup build tails of many lengths, some
            // longer than the merge's stack scratch space.
            int batch = (action == 0) ? 60 : 1;
            for (int i = 0; i < batch; ++i) {
                const std::string& added = names[random() % names.size()];
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
                EXPECT_EQ(name, static_cast<const char*>(list.GetKey(index)));
            }
        } else {
            bool removed = list.RemoveItem(Key(name.c_str()));
            auto it = model.find(name);
            EXPECT_EQ(removed, it != model.end());
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
    for (int i = 0; i < 50; ++i)
        list.AddItem(Key(names[i].c_str()), nullptr);
    list.GetItem(0);
    for (int i = 50; i < 100; ++i)
        list.AddItem(Key(names[i].c_str()), nullptr);
    // The tail of 50 needs scratch space, which is refused.
    DebgFailAllocation(1);
    list.GetItem(0);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    std::vector<std::string> keys = KeysInOrder(list);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(keys, names);
}

TEST(XSortedListSearch, MissingKeyGivesNullAndMinusOne) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    int32_t index = 5;
    EXPECT_EQ(list.FindItem(Key("a"), &index), nullptr);
    EXPECT_EQ(index, -1);
    list.AddItem(Key("b"), Key("v"));
    EXPECT_EQ(list.FindItem(Key("a"), &index), nullptr);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(list.FindItem(Key("c"), nullptr), nullptr);
    EXPECT_STREQ(static_cast<const char*>(list.FindItem(Key("b"), nullptr)), "v");
}

TEST(XSortedListSearch, RepeatedLookupUsesRememberedPosition) {
    XSortedList list(CountingCompare, nullptr, nullptr, nullptr, nullptr);
    for (const char* key : {"a", "b", "c", "d", "e", "f", "g"})
        list.AddItem(Key(key), Key(key));
    int32_t index = -1;
    list.FindItem(Key("b"), &index);
    EXPECT_EQ(index, 1);
    g_compares = 0;
    EXPECT_STREQ(static_cast<const char*>(list.FindItem(Key("b"), &index)), "b");
    EXPECT_EQ(g_compares.load(), 1);
    EXPECT_EQ(index, 1);
}

TEST(XSortedListSearch, RememberedPositionIsCheckedAfterChanges) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    list.AddItem(Key("b"), Key("B"));
    list.AddItem(Key("c"), Key("C"));
    int32_t index = -1;
    list.FindItem(Key("c"), &index);
    EXPECT_EQ(index, 1);
    list.AddItem(Key("a"), Key("A"));
    EXPECT_STREQ(static_cast<const char*>(list.FindItem(Key("c"), &index)), "C");
    EXPECT_EQ(index, 2);
    list.RemoveItem(Key("c"));
    EXPECT_EQ(list.FindItem(Key("c"), &index), nullptr);
    EXPECT_EQ(index, -1);
}

TEST(XSortedListRemove, DuplicateKeysStayAndGoOneByOne) {
    XSortedList list = MakeOwningList();
    list.AddItem(Key("k"), Key("1"));
    list.AddItem(Key("k"), Key("2"));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_TRUE(list.RemoveItem(Key("k")));
    EXPECT_NE(list.FindItem(Key("k"), nullptr), nullptr);
    EXPECT_TRUE(list.RemoveItem(Key("k")));
    EXPECT_FALSE(list.RemoveItem(Key("k")));
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(g_freed.size(), 4u);
}

TEST(XSortedListRemove, ByKeyAndValueRemovesExactlyThatEntry) {
    const char* values[] = {"v0", "v1", "v2", "v3", "v4"};
    for (int target = 0; target < 5; ++target) {
        XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
        list.AddItem(Key("a"), Key("before"));
        for (const char* value : values)
            list.AddItem(Key("k"), Key(value));
        list.AddItem(Key("z"), Key("after"));
        // Put the remembered position in the middle of the run.
        list.FindItem(Key("k"), nullptr);
        EXPECT_TRUE(list.RemoveItem(Key("k"), Key(values[target])));
        EXPECT_EQ(list.Count(), 6u);
        for (uint32_t i = 0; i < list.Count(); ++i)
            EXPECT_NE(list.GetItem(i), values[target]);
    }
}

TEST(XSortedListRemove, ByKeyAndValueRefusesForeignValue) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    list.AddItem(Key("a"), Key("x"));
    list.AddItem(Key("b"), Key("y"));
    char other[] = "x";
    EXPECT_FALSE(list.RemoveItem(Key("a"), other));  // Equal text, different pointer.
    EXPECT_FALSE(list.RemoveItem(Key("a"), list.GetItem(1)));
    EXPECT_FALSE(list.RemoveItem(Key("c"), list.GetItem(0)));
    EXPECT_EQ(list.Count(), 2u);
}

TEST(XSortedListOwnership, EmptyFreesAllKeysBeforeAnyValue) {
    XSortedList list = MakeOwningList();
    list.AddItem(Key("b"), Key("2"));
    list.AddItem(Key("a"), Key("1"));
    list.FindItem(Key("a"), nullptr);
    list.Empty();
    std::vector<std::string> expected = {"key:a", "key:b", "value:1", "value:2"};
    EXPECT_EQ(g_freed, expected);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.FindItem(Key("a"), nullptr), nullptr);
}

TEST(XSortedListOwnership, DestructorAndRemovalFreeEachOnce) {
    {
        XSortedList list = MakeOwningList();
        list.AddItem(Key("a"), Key("1"));
        list.AddItem(Key("b"), Key("2"));
        list.AddItem(Key("c"), Key("3"));
        EXPECT_TRUE(list.RemoveItem(Key("b")));
        std::vector<std::string> afterRemove = {"key:b", "value:2"};
        EXPECT_EQ(g_freed, afterRemove);
    }
    std::vector<std::string> expected = {"key:b", "value:2", "key:a",
                                         "key:c", "value:1", "value:3"};
    EXPECT_EQ(g_freed, expected);
}

TEST(XSortedListOwnership, StoresCallerPointersWithoutCopyFunctions) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    char key[] = "k";
    char value[] = "v";
    list.AddItem(key, value);
    EXPECT_EQ(list.GetKey(0), key);
    EXPECT_EQ(list.GetItem(0), value);
}

TEST(XSortedListOwnership, FailedAddTakesNothingOver) {
    OpenList list = OpenList(Compare, CopyText, RecordKeyFree, CopyText, RecordValueFree);
    g_freed.clear();
    // A value copy that fails: the key copy made just before is released again.
    auto failingCopy = [](const void*) -> void* { return nullptr; };
    OpenList failing(Compare, CopyText, RecordKeyFree, failingCopy, nullptr);
    EXPECT_FALSE(failing.TryAddItem(Key("k"), Key("v")));
    EXPECT_EQ(failing.Count(), 0u);
    std::vector<std::string> expected = {"key:k"};
    EXPECT_EQ(g_freed, expected);
    // Growth that fails.
    DebgFailAllocation(1);
    EXPECT_FALSE(list.TryAddItem(Key("k"), Key("v")));
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_TRUE(list.TryAddItem(Key("k"), Key("v")));
    EXPECT_EQ(list.Count(), 1u);
}

TEST(XSortedListGrowth, GrowsBy256Entries) {
    OpenList list(Compare, nullptr, nullptr, nullptr, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < 600; ++i)
        names.push_back(std::to_string(i));
    // The first addition allocates; the next 255 fit.
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

TEST(XSortedListLock, ListWithoutLockDoesNoLocking) {
    XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(list.Lock(0));
    EXPECT_FALSE(list.Lock(10));
    list.Lock();
    list.Unlock();
    list.AddItem(Key("a"), nullptr);
    EXPECT_EQ(list.Count(), 1u);
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

TEST(XSortedListLock, ThreadSafeListLocksRecursivelyAndExcludesOthers) {
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
    std::string visited;
    struct Context {
        XSortedList* list;
        std::string* visited;
    } context{&list, &visited};
    list.DoForEach(
        [](const void* key, const void*, void* raw) {
            auto* context = static_cast<Context*>(raw);
            *context->visited += static_cast<const char*>(key);
            // Removing the entry just visited and the one above it is allowed.
            context->list->RemoveItem(const_cast<void*>(key));
        },
        &context);
    EXPECT_EQ(visited, "dcba");
    EXPECT_EQ(list.Count(), 0u);
}

// Several writers and bracketed readers on one thread-safe list; run under ThreadSanitizer.
TEST(XSortedListLock, ConcurrentWritersAndReaders) {
    XSortedList list(
        true, Compare, CopyText, [](const void* p) { free(const_cast<void*>(p)); }, nullptr,
        nullptr);
    constexpr int kWriters = 3;
    constexpr int kPerWriter = 300;
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
            uint32_t count = list.Count();
            for (uint32_t i = 1; i < count; ++i) {
                EXPECT_LT(strcmp(static_cast<const char*>(list.GetKey(i - 1)),
                                 static_cast<const char*>(list.GetKey(i))),
                          0);
            }
            list.Unlock();
            list.DoForEach([](const void*, const void*, void*) {}, nullptr);
        }
    });
    for (int w = 0; w < kWriters; ++w)
        threads[w].join();
    done = true;
    threads.back().join();
    EXPECT_EQ(list.Count(), static_cast<uint32_t>(kWriters * (kPerWriter - kPerWriter / 5)));
}

// Once the writers are done, lookups from several threads need no bracketing: the first of
// them sorts under the lock and the others wait for it or see the sorted array.
TEST(XSortedListLock, ConcurrentLookupsAfterAdditions) {
    XSortedList list(
        true, Compare, CopyText, [](const void* p) { free(const_cast<void*>(p)); }, nullptr,
        nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < 2000; ++i)
        names.push_back("n" + std::to_string((i * 7919) % 2000));
    for (const std::string& name : names)
        list.AddItem(Key(name.c_str()), Key(name.c_str()));
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&list, &names, r] {
            for (size_t i = r; i < names.size(); i += 3) {
                int32_t index = -1;
                EXPECT_NE(list.FindItem(Key(names[i].c_str()), &index), nullptr);
                EXPECT_GE(index, 0);
            }
        });
    }
    for (std::thread& reader : readers)
        reader.join();
}

}  // namespace
