#include "brindle/containers/XStrList.h"

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brindle/Debg.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainAllocator = false;
#else
constexpr bool kPlainAllocator = true;
#endif

using TextList = std::vector<std::string>;

// Adds copies (or, in a non-owning list, the pointers) of texts in order.
void AddAll(XStrList& list, std::initializer_list<const char*> texts) {
    for (const char* text : texts)
        list.AddStr(text);
}

// The texts of the list, in index order.
TextList Texts(const XStrList& list) {
    TextList texts;
    for (uint32_t i = 0; i < list.Count(); ++i)
        texts.emplace_back(list.GetStr(i));
    return texts;
}

// Runs op with the nth library allocation failing, for n = 1, 2, ... until the failure goes
// unused, and hands check what op returned and whether the failure fired.
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

TEST(XStrListOwning, AddStrStoresIndependentCopiesOfAtMostNBytes) {
    XStrList list;
    char text[] = "hello";
    EXPECT_EQ(list.AddStr(text, -1), 0u);
    text[0] = 'J';
    EXPECT_NE(list.GetStr(0), text);
    list.AddStr("abcdef", 3);
    list.AddStr("abcdef", 0);
    list.AddStr("ab", 1000);  // reading 1000 bytes would run off the literal
    list.AddStr("xyz", -9);
    EXPECT_EQ(Texts(list), (TextList{"hello", "abc", "", "ab", "xyz"}));
}

TEST(XStrListOwning, OwnershipOfBlocksIsHandedOverBothWays) {
    XStrList list;
    char* block = strdup("mine");
    EXPECT_EQ(list.AddAllocatedStr(block), 0u);  // freed by the list: no leak reported
    EXPECT_EQ(list.GetStr(0), block);
    list.AddStr("two");
    char* taken = list.RemoveWithoutFreeingStr(0);
    ASSERT_EQ(taken, block);
    EXPECT_EQ(Texts(list), (TextList{"two"}));
    list.Empty();
    EXPECT_STREQ(taken, "mine");  // still ours: Empty did not free it
    free(taken);
}

TEST(XStrListOwning, EmptyFreesLastToFirst) {
    if (!kPlainAllocator)
        GTEST_SKIP() << "needs the C library's last-freed-first-reused allocator";
    // glibc hands freed blocks of one size back last-freed first, so the order in which the
    // list frees its strings shows in the order fresh blocks of that size come back.
    std::string text(200, 'x');
    XStrList list;
    for (int i = 0; i < 3; ++i)
        list.AddStr(text.c_str());
    void* strings[] = {list.GetStr(0), list.GetStr(1), list.GetStr(2)};
    list.Empty();
    EXPECT_EQ(list.Count(), 0u);
    void* reused[3];
    for (void*& block : reused)
        block = malloc(text.size() + 1);
    EXPECT_EQ(reused[0], strings[0]);
    EXPECT_EQ(reused[1], strings[1]);
    EXPECT_EQ(reused[2], strings[2]);
    for (void* block : reused)
        free(block);
}

TEST(XStrListOwning, FailedCopyAddsNothing) {
    XStrList list;
    list.AddStr("keep");
    SweepAllocationFailures(
        [&list] { return list.AddStr("abcdef", 3); },
        [&list](uint32_t index, bool fired) {
            EXPECT_EQ(index, fired ? XList::kNoIndex : 1u);
            EXPECT_EQ(Texts(list), (fired ? TextList{"keep"} : TextList{"keep", "abc"}));
        });
}

TEST(XStrListOwning, FailedGrowthFreesTheCopy) {
    XStrList list;
    TextList expected;
    for (int i = 0; i < 256; ++i) {  // fill the initial capacity
        expected.push_back(std::to_string(i));
        list.AddStr(expected.back().c_str());
    }
    DebgFailAllocation(2);  // the copy succeeds, the array growth fails
    EXPECT_EQ(list.AddStr("extra"), XList::kNoIndex);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(Texts(list), expected);
}

TEST(XStrListNonOwning, KeepsCallersPointersAndFreesNothing) {
    XStrList list(false);
    char text[] = "stack text";  // freeing it would crash
    EXPECT_EQ(list.AddStr(text, 3), 0u);
    EXPECT_EQ(list.GetStr(0), text);
    EXPECT_FALSE(list.OwnsStrings());
    list.AddStr(text);
    list.AddStr(text);
    EXPECT_TRUE(list.RemoveStr(0u));
    EXPECT_TRUE(list.RemoveStr(text));
    XStrList copy(list);
    EXPECT_FALSE(copy.OwnsStrings());
    EXPECT_EQ(copy.GetStr(0), text);
    list.Empty();
    EXPECT_EQ(list.Count(), 0u);
}

TEST(XStrListLookup, FindsAndRemovesByTextSkippingNullItems) {
    XStrList list;
    list.AddItem(nullptr);
    AddAll(list, {"a", "same", "same", "b"});
    std::string other = "same";
    EXPECT_EQ(list.IndexOfStr(other.c_str()), 2u);
    EXPECT_EQ(list.IndexOfStr("missing"), XList::kNoIndex);
    EXPECT_EQ(list.IndexOfStr(nullptr), XList::kNoIndex);
    EXPECT_TRUE(list.RemoveStr("b"));
    EXPECT_FALSE(list.RemoveStr("b"));
    EXPECT_FALSE(list.RemoveStr(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(list.RemoveStr(0));
    EXPECT_EQ(Texts(list), (TextList{"a", "same", "same"}));
    EXPECT_FALSE(list.RemoveStr(3));
    EXPECT_FALSE(list.RemoveStr(-1));
    for (uint32_t index : {3u, 7u, XList::kNoIndex}) {
        EXPECT_EQ(list.GetStr(index), nullptr);
        EXPECT_EQ(list.RemoveWithoutFreeingStr(index), nullptr);
    }
    EXPECT_EQ(Texts(list), (TextList{"a", "same", "same"}));
}

TEST(XStrListLookup, NullAddsAreRefused) {
    XStrList owning;
    XStrList borrowed(false);
    EXPECT_EQ(owning.AddStr(nullptr), XList::kNoIndex);
    EXPECT_EQ(borrowed.AddStr(nullptr, 4), XList::kNoIndex);
    EXPECT_EQ(owning.AddAllocatedStr(nullptr), XList::kNoIndex);
    EXPECT_EQ(owning.Count() + borrowed.Count(), 0u);
}

TEST(XStrListCopy, OwningCopyHasItsOwnStrings) {
    XStrList list;
    AddAll(list, {"a", "b"});
    XStrList copy(list);
    XStrList assigned(false);
    assigned.AddStr("old");
    assigned = list;
    for (const XStrList* other : {&copy, &assigned}) {
        EXPECT_TRUE(other->OwnsStrings());
        EXPECT_EQ(Texts(*other), (TextList{"a", "b"}));
        EXPECT_NE(other->GetStr(0), list.GetStr(0));
    }
    XStrList& alias = list;
    list = alias;
    EXPECT_EQ(Texts(list), (TextList{"a", "b"}));
    // Each list frees its own strings when destroyed; ASan reports any double free.
}

TEST(XStrListCopy, FailedCopyIsCompleteOrEmpty) {
    XStrList list;
    AddAll(list, {"a", "b"});
    // The first array allocation may fail and be made up for by growth later.
    SweepAllocationFailures(
        [&list] { return Texts(XStrList(list)); },
        [](const TextList& copy, bool fired) {
            EXPECT_TRUE(copy == (TextList{"a", "b"}) || (fired && copy.empty()));
        });
}

}  // namespace
