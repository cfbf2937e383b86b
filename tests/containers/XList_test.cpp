// SPDX-License-Identifier: MIT

#include <brindle/Debg.h>
#include <brindle/brindle.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "containers/AllocationProbe.h"

namespace {

using allocationtest::FillToCapacity;

// Distinct addresses to store; the list never dereferences them.
int g_cells[16];

void* P(int i) {
    return &g_cells[i];
}

std::vector<void*> Items(const XList& list) {
    std::vector<void*> items;
    for (uint32_t i = 0; i < list.Count(); ++i)
        items.push_back(list.GetItem(i));
    return items;
}

uint32_t Capacity(XList& list) {
    return FillToCapacity([&] { list.AddItem(P(0)); }, [&] { return list.Count(); });
}

// A walk that checks each item against the model and sometimes removes the item it is given
// or one after it, as DoForEach allows.
struct Walk {
    XList* list;
    std::vector<void*>* model;
    std::mt19937* random;
    size_t position;  // the walk runs from the last item to the first
};

void VisitAndMaybeRemove(const void* item, void* context) {
    Walk& walk = *static_cast<Walk*>(context);
    std::vector<void*>& model = *walk.model;
    EXPECT_EQ(item, model[--walk.position]);
    uint32_t choice = (*walk.random)() % 16;
    size_t remove = walk.position + (choice == 0 ? 0 : (*walk.random)() % model.size());
    if (choice < 2 && remove < model.size()) {
        EXPECT_TRUE(walk.list->RemoveItem(static_cast<uint32_t>(remove)));
        model.erase(model.begin() + static_cast<ptrdiff_t>(remove));
    }
}

// Random edits, searches, walks and copies, checked against a vector after every step.
TEST(XListModel, MatchesVectorUnderRandomOperations) {
    std::mt19937 random(7);
    XList list(0);
    std::vector<void*> model;
    for (int step = 0; step < 5000; ++step) {
        void* item = P(random() % 16);
        uint32_t index = random() % (model.size() + 3);  // some beyond the end
        uint32_t at = std::min<uint32_t>(index, static_cast<uint32_t>(model.size()));
        auto found = std::find(model.begin(), model.end(), item);
        uint32_t foundAt =
            found == model.end() ? XList::kNoIndex : static_cast<uint32_t>(found - model.begin());
        switch (random() % 12) {
            case 0:
            case 1:
                EXPECT_EQ(list.AddItem(item), model.size());
                model.push_back(item);
                break;
            case 2:
            case 3:
            case 4:
                EXPECT_EQ(list.InsertItem(item, index), at);
                model.insert(model.begin() + at, item);
                break;
            case 5:
            case 6: {
                uint32_t target = random() % 8 == 0 ? XList::kNoIndex : random() % 4 ? index : 0;
                bool first = target == 0 && random() % 2;
                EXPECT_EQ(first ? list.RemoveFirstItem() : list.RemoveItem(target),
                          target < model.size());
                if (target < model.size())
                    model.erase(model.begin() + target);
                break;
            }
            case 7:
                EXPECT_EQ(list.IndexOf(item), foundAt);
                EXPECT_EQ(list.FindItem([](const void* a, void* b) { return a == b; }, item),
                          foundAt);
                EXPECT_EQ(list.RemoveItemByValue(item), found != model.end());
                if (found != model.end())
                    model.erase(found);
                break;
            case 8:
                if (at < model.size()) {
                    list.SetItem(at, item);
                    model[at] = item;
                }
                break;
            case 9: {
                Walk walk{&list, &model, &random, model.size()};
                list.DoForEach(VisitAndMaybeRemove, &walk);
                EXPECT_EQ(walk.position, 0u);
                break;
            }
            default: {
                // Copies are independent of the list and of each other; the list continues
                // as an assigned copy, whose array is exactly full.
                XList copy(list);
                XList assigned(4);
                assigned.AddItem(item);
                assigned = copy;
                assigned = assigned;
                copy.AddItem(item);
                EXPECT_EQ(Items(assigned), model);
                list = assigned;
                assigned.RemoveFirstItem();
                if (random() % 10 == 0) {
                    list.Empty();
                    model.clear();
                }
            }
        }
        ASSERT_EQ(Items(list), model) << "step " << step;
    }
}

// Growth adds 16 slots while the capacity is below 128, then an eighth. A growth, constructor
// or copy whose allocation fails leaves a usable list: unchanged, or empty for the last two.
TEST(XListGrowth, GrowsBySixteenThenByAnEighthAndSurvivesFailedAllocations) {
    XList list(0);
    std::vector<uint32_t> capacities{Capacity(list)};
    for (int step = 0; step < 12; ++step) {
        ASSERT_NE(list.AddItem(P(step)), XList::kNoIndex);
        capacities.push_back(Capacity(list));
    }
    EXPECT_EQ(capacities,
              (std::vector<uint32_t>{0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 162, 182, 204}));
    std::vector<void*> before = Items(list);
    DebgFailAllocation(1);
    EXPECT_EQ(list.InsertItem(P(9), 0), XList::kNoIndex);  // the list is full
    DebgFailAllocation(1);
    XList copy(list);
    DebgFailAllocation(1);
    XList unallocated(64);
    DebgFailAllocation(0);
    EXPECT_EQ(Items(list), before);
    for (XList* empty : {&copy, &unallocated}) {
        EXPECT_EQ(Capacity(*empty), 0u);
        EXPECT_EQ(empty->AddItem(P(3)), 0u);
    }
    list.Empty();
    EXPECT_EQ(Capacity(list), 204u);
    XList sized(5);
    EXPECT_EQ(Capacity(sized), 5u);
}

}  // namespace
