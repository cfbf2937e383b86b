#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

// Distinct addresses to store; the list never dereferences them.
int g_cells[512];

void* P(int i) {
    return &g_cells[i];
}

XList ListOf(std::initializer_list<int> cells) {
    XList list(0);
    for (int i : cells)
        list.AddItem(P(i));
    return list;
}

std::vector<void*> Items(const XList& list) {
    std::vector<void*> items;
    for (uint32_t i = 0; i < list.Count(); ++i)
        items.push_back(list.GetItem(i));
    return items;
}

// Capacity is not observable directly; it shows as the point where growth allocates. Fill the
// list with the allocation hook armed: the first AddItem that fails is the one that needed
// to grow beyond the present capacity.
uint32_t MeasureCapacity(XList& list) {
    for (;;) {
        DebgFailAllocation(1);
        uint32_t index = list.AddItem(P(0));
        bool grew = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (grew) {
            EXPECT_EQ(index, XList::kNoIndex);
            return list.Count();
        }
    }
}

TEST(XListGrowth, CapacityZeroGrowsBySixteenThenByAnEighth) {
    XList list(0);
    EXPECT_EQ(MeasureCapacity(list), 0u);
    std::vector<uint32_t> capacities;
    for (int step = 0; step < 12; ++step) {
        ASSERT_NE(list.AddItem(P(1)), XList::kNoIndex);
        capacities.push_back(MeasureCapacity(list));
    }
    EXPECT_EQ(capacities,
              (std::vector<uint32_t>{16, 32, 48, 64, 80, 96, 112, 128, 144, 162, 182, 204}));
}

TEST(XListGrowth, FailedGrowthLeavesListUnchanged) {
    XList list = ListOf({1, 2, 3});
    uint32_t capacity = MeasureCapacity(list);
    std::vector<void*> before = Items(list);
    DebgFailAllocation(1);
    EXPECT_EQ(list.AddItem(P(9)), XList::kNoIndex);
    DebgFailAllocation(1);
    EXPECT_EQ(list.InsertItem(P(9), 0), XList::kNoIndex);
    DebgFailAllocation(0);
    EXPECT_EQ(Items(list), before);
    EXPECT_EQ(list.Count(), capacity);
}

TEST(XListGrowth, EmptyKeepsCapacity) {
    XList list(4);
    for (int i = 0; i < 4; ++i)
        list.AddItem(P(i));
    list.Empty();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(MeasureCapacity(list), 4u);
}

TEST(XListGrowth, ConstructorAllocationFailureGivesUsableEmptyList) {
    DebgFailAllocation(1);
    XList list(64);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.AddItem(P(1)), 0u);
    EXPECT_EQ(list.GetFirstItem(), P(1));
}

TEST(XListEditing, InsertBeyondCountAppends) {
    XList list = ListOf({1, 2, 3});
    EXPECT_EQ(list.InsertItem(P(4), 5), 3u);
    EXPECT_EQ(Items(list), (std::vector<void*>{P(1), P(2), P(3), P(4)}));
}

TEST(XListEditing, InsertAtFrontShiftsItemsUp) {
    XList list = ListOf({1, 2, 3});
    EXPECT_EQ(list.InsertItem(P(0), 0), 0u);
    EXPECT_EQ(Items(list), (std::vector<void*>{P(0), P(1), P(2), P(3)}));
    EXPECT_EQ(list.InsertItem(P(9), 2), 2u);
    EXPECT_EQ(Items(list), (std::vector<void*>{P(0), P(1), P(9), P(2), P(3)}));
}

TEST(XListEditing, RemovalOfMissingIndexChangesNothing) {
    XList list = ListOf({1, 2, 3});
    EXPECT_FALSE(list.RemoveItem(XList::kNoIndex));
    EXPECT_FALSE(list.RemoveItem(list.Count()));
    EXPECT_FALSE(list.RemoveItemByValue(P(7)));
    EXPECT_EQ(Items(list), (std::vector<void*>{P(1), P(2), P(3)}));
    XList empty(0);
    EXPECT_FALSE(empty.RemoveFirstItem());
}

TEST(XListEditing, RemovalShiftsItemsDown) {
    XList list = ListOf({1, 2, 3, 4});
    EXPECT_TRUE(list.RemoveItem(1));
    EXPECT_TRUE(list.RemoveItemByValue(P(4)));
    EXPECT_TRUE(list.RemoveFirstItem());
    EXPECT_EQ(Items(list), (std::vector<void*>{P(3)}));
}

TEST(XListEditing, SetItemOverwritesInPlace) {
    XList list = ListOf({1, 2});
    list.SetItem(1, P(5));
    EXPECT_EQ(Items(list), (std::vector<void*>{P(1), P(5)}));
}

TEST(XListSearch, IndexOfFindsLowestDuplicate) {
    XList list = ListOf({1, 2, 1, 2});
    EXPECT_EQ(list.IndexOf(P(2)), 1u);
    EXPECT_EQ(list.IndexOf(P(3)), XList::kNoIndex);
}

TEST(XListSearch, FindItemReturnsFirstMatch) {
    XList list = ListOf({1, 2, 3, 2});
    void* wanted = P(2);
    auto same = [](const void* item, void* context) { return item == context; };
    EXPECT_EQ(list.FindItem(same, wanted), 1u);
    EXPECT_EQ(list.FindItem(same, P(8)), XList::kNoIndex);
}

struct Walk {
    XList* list;
    std::vector<const void*> seen;
    bool removeSeen;
};

TEST(XListWalk, DoForEachRunsLastToFirst) {
    XList list = ListOf({1, 2, 3});
    Walk walk{&list, {}, false};
    list.DoForEach([](const void* item, void* c) { static_cast<Walk*>(c)->seen.push_back(item); },
                   &walk);
    EXPECT_EQ(walk.seen, (std::vector<const void*>{P(3), P(2), P(1)}));
}

TEST(XListWalk, CallbackMayRemoveTheItemItIsGiven) {
    XList list = ListOf({1, 2, 3, 4, 5});
    Walk walk{&list, {}, true};
    list.DoForEach(
        [](const void* item, void* c) {
            Walk* w = static_cast<Walk*>(c);
            w->seen.push_back(item);
            if (item == P(2) || item == P(5))
                w->list->RemoveItemByValue(const_cast<void*>(item));
        },
        &walk);
    EXPECT_EQ(walk.seen, (std::vector<const void*>{P(5), P(4), P(3), P(2), P(1)}));
    EXPECT_EQ(Items(list), (std::vector<void*>{P(1), P(3), P(4)}));
}

TEST(XListWalk, CallbackMayRemoveItemsAfterItself) {
    XList list = ListOf({1, 2, 3, 4});
    Walk walk{&list, {}, true};
    list.DoForEach(
        [](const void* item, void* c) {
            Walk* w = static_cast<Walk*>(c);
            w->seen.push_back(item);
            // At item 2, drop 3 and 4, which were visited already.
            if (item == P(2)) {
                w->list->RemoveItem(3);
                w->list->RemoveItem(2);
            }
        },
        &walk);
    EXPECT_EQ(walk.seen, (std::vector<const void*>{P(4), P(3), P(2), P(1)}));
    EXPECT_EQ(list.Count(), 2u);
}

TEST(XListCopy, CopiesAreIndependent) {
    XList original = ListOf({1, 2, 3});
    XList copy(original);
    XList assigned(0);
    assigned.AddItem(P(9));
    assigned = original;
    original.RemoveFirstItem();
    original.AddItem(P(4));
    EXPECT_EQ(Items(copy), (std::vector<void*>{P(1), P(2), P(3)}));
    EXPECT_EQ(Items(assigned), (std::vector<void*>{P(1), P(2), P(3)}));
    copy.AddItem(P(5));
    EXPECT_EQ(Items(original), (std::vector<void*>{P(2), P(3), P(4)}));
    assigned = assigned;
    EXPECT_EQ(assigned.Count(), 3u);
}

TEST(XListCopy, FailedCopyLeavesEmptyList) {
    XList original = ListOf({1, 2});
    DebgFailAllocation(1);
    XList copy(original);
    EXPECT_EQ(copy.Count(), 0u);
    EXPECT_EQ(copy.AddItem(P(3)), 0u);
}

TEST(XValueTypes, AssignmentCopiesEveryField) {
    XPoint point{0, 0};
    XPoint source{3, -4};
    EXPECT_EQ(&(point = source), &point);
    EXPECT_EQ(point.x, 3);
    EXPECT_EQ(point.y, -4);
    XRect rect{0, 0, 0, 0};
    XRect rectSource{1, 2, 3, 4};
    rect = rectSource;
    EXPECT_EQ(rect.left, 1);
    EXPECT_EQ(rect.top, 2);
    EXPECT_EQ(rect.right, 3);
    EXPECT_EQ(rect.bottom, 4);
}

}  // namespace
