// SPDX-License-Identifier: MIT

#include "brindle/containers/XStrList.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/AllocationProbe.h"

namespace {

using allocationtest::SweepAllocationFailures;
// A null entry stands for a null item stored through XList::AddItem.
using TextList = std::vector<std::optional<std::string>>;

TextList Texts(const XStrList& list) {
    TextList texts;
    for (uint32_t i = 0; i < list.Count(); ++i) {
        const char* text = list.GetStr(i);
        texts.push_back(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
    }
    return texts;
}

// Random additions, searches, removals and copies, checked against a vector after every step.
// An owning list keeps copies and frees them (the sanitizers check that each is freed exactly
// once); one that does not own them keeps the callers' pointers and frees nothing (freeing a
// literal would crash).
TEST(XStrListModel, MatchesVectorOfTextsOwningOrNot) {
    const char* const words[] = {"", "a", "same", "b", "longer words"};
    std::mt19937 random(11);
    for (bool owns : {true, false}) {
        XStrList list(owns);
        TextList model;
        for (int step = 0; step < 3000; ++step) {
            const char* word = words[random() % 5];
            const uint32_t size = static_cast<uint32_t>(model.size());
            const uint32_t index = random() % 4 == 0 ? XList::kNoIndex - random() % 2
                                                     : static_cast<uint32_t>(random() % (size + 2));
            auto found = std::find(model.begin(), model.end(), std::optional<std::string>(word));
            const uint32_t foundAt = found == model.end()
                                         ? XList::kNoIndex
                                         : static_cast<uint32_t>(found - model.begin());
            switch (random() % 6) {
                case 0: {
                    // At most n bytes of the text, stopping at its NUL; all of it for n < 0.
                    int32_t n = static_cast<int32_t>(random() % 16) - 3;
                    EXPECT_EQ(list.AddStr(word, n), size);
                    EXPECT_EQ(list.GetStr(size) == word, !owns);
                    model.push_back(n < 0 || !owns ? word : std::string(word).substr(0, n));
                    break;
                }
                case 1:
                    EXPECT_EQ(list.AddAllocatedStr(owns ? strdup(word) : word), size);
                    model.push_back(word);
                    break;
                case 2:
                    EXPECT_EQ(list.AddItem(nullptr), size);
                    model.push_back(std::nullopt);
                    break;
                case 3:
                    EXPECT_EQ(list.IndexOfStr(word), foundAt);
                    EXPECT_EQ(list.RemoveStr(word), found != model.end());
                    if (found != model.end())
                        model.erase(found);
                    break;
                case 4:
                    // By index, in either form, or taken out without being freed.
                    if (random() % 3 == 0) {
                        char* taken = list.RemoveWithoutFreeingStr(index);
                        EXPECT_EQ(taken ? std::optional<std::string>(taken) : std::nullopt,
                                  index < size ? model[index] : std::nullopt);
                        if (owns)
                            free(taken);
                    } else {
                        EXPECT_EQ(random() % 2 ? list.RemoveStr(index)
                                               : list.RemoveStr(static_cast<int>(index)),
                                  index < size);
                    }
                    if (index < size)
                        model.erase(model.begin() + index);
                    break;
                default: {
                    // Copies of an owning list have strings of their own.
                    XStrList copy(list);
                    XStrList assigned(!owns);
                    assigned.AddStr("old");
                    assigned = copy;
                    assigned = static_cast<XStrList&>(assigned);
                    EXPECT_EQ(assigned.OwnsStrings(), owns);
                    EXPECT_EQ(Texts(copy), model);
                    if (size > 0 && model[0]) {
                        EXPECT_EQ(assigned.GetStr(0) == list.GetStr(0), !owns);
                    }
                    list = assigned;
                    if (random() % 8 == 0) {
                        list.Empty();
                        model.clear();
                    }
                }
            }
            ASSERT_EQ(Texts(list), model) << "step " << step;
        }
        EXPECT_EQ(list.GetStr(list.Count()), nullptr);
        EXPECT_EQ(list.GetStr(XList::kNoIndex), nullptr);
        EXPECT_EQ(list.AddStr(nullptr, 4), XList::kNoIndex);
        EXPECT_EQ(list.AddAllocatedStr(nullptr), XList::kNoIndex);
        EXPECT_EQ(list.IndexOfStr(nullptr), XList::kNoIndex);
        EXPECT_FALSE(list.RemoveStr(static_cast<const char*>(nullptr)));
    }
}

TEST(XStrListAllocationFailure, LeavesTheListAsItWasOrComplete) {
    XStrList list;
    list.AddStr("keep");
    SweepAllocationFailures([&list] { return list.AddStr("abcdef", 3); },
                            [&list](uint32_t index, bool fired) {
                                EXPECT_EQ(index, fired ? XList::kNoIndex : 1u);
                                EXPECT_EQ(Texts(list).size(), fired ? 1u : 2u);
                            });
    // A copy that runs out of memory is empty; the first array allocation may fail and be
    // made up for by growth later.
    SweepAllocationFailures(
        [&list] { return Texts(XStrList(list)); },
        [](const TextList& copy, bool fired) {
            EXPECT_TRUE(copy == (TextList{"keep", "abc"}) || (fired && copy.empty()));
        });
    for (int i = 2; i < 256; ++i)  // fill the initial capacity
        list.AddStr("filler");
    DebgFailAllocation(2);  // the copy succeeds, the array growth fails: the copy is freed
    EXPECT_EQ(list.AddStr("extra"), XList::kNoIndex);
    EXPECT_EQ(DebgPendingAllocationFailure(), 0u);
    EXPECT_EQ(list.Count(), 256u);
}

}  // namespace
