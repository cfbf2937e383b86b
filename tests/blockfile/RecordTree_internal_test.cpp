// SPDX-License-Identifier: MIT
// The record tree against a std::map, through every operation, in trees of tiny nodes (deep,
// so that every split, merge and share happens at every level) and of the real size; and
// what it does when memory runs out.
#include <stdint.h>

#include <iterator>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "blockfile/RecordTree.h"
#include "brindle/Debg.h"

namespace {

using brindle::blockfile::ById;
using brindle::blockfile::Record;
using brindle::blockfile::RecordTree;

Record MakeRecord(uint32_t id, uint32_t tag) {
    return {tag, id, tag * 16 + 16, 0};
}

bool Same(const Record* a, const Record& b) {
    return a != nullptr && a->offset == b.offset && a->id == b.id && a->len == b.len &&
           a->freeFlag == b.freeFlag;
}

template <class Tree>
class TreeModel {
  public:
    // Checks every answer the tree gives against the map: in order, by position (walking
    // and jumping), by key, and around every key and the keys next to it.
    void ExpectSame(std::mt19937* random) const {
        ASSERT_EQ(tree_.Count(), model_.size());
        std::vector<Record> runs;
        ASSERT_TRUE(tree_.ForEachRun([&runs](const Record* run, uint32_t length) {
            runs.insert(runs.end(), run, run + length);
            return true;
        }));
        ASSERT_EQ(runs.size(), model_.size());
        uint32_t rank = 0;
        for (const auto& [id, rec] : model_) {
            ASSERT_TRUE(Same(&runs[rank], rec)) << id;
            ASSERT_TRUE(Same(tree_.At(rank), rec)) << id;
            uint32_t found = ~0u;
            ASSERT_TRUE(Same(tree_.FindRank(id, &found), rec));
            ASSERT_EQ(found, rank);
            ASSERT_TRUE(Same(tree_.Find(id), rec));
            ++rank;
        }
        for (int i = 0; i < 64 && !model_.empty(); ++i) {
            const uint32_t jump = static_cast<uint32_t>((*random)() % model_.size());
            ASSERT_TRUE(Same(tree_.At(jump), std::next(model_.begin(), jump)->second));
        }
        // Each key, and the keys beside it, with the first record at or above them.
        rank = 0;
        for (auto it = model_.begin(); it != model_.end(); ++it, ++rank) {
            const uint32_t id = it->first;
            const bool previousIsNext = it != model_.begin() && std::prev(it)->first == id - 1;
            if (id != 0)
                ExpectAround(id - 1, previousIsNext ? std::prev(it) : it, rank - previousIsNext);
            ExpectAround(id, it, rank);
            if (id != 0xFFFFFFFF)
                ExpectAround(id + 1, std::next(it), rank + 1);
        }
        ExpectAround(0, model_.begin(), 0);
        const bool lastIsMax = !model_.empty() && model_.rbegin()->first == 0xFFFFFFFF;
        ExpectAround(0xFFFFFFFF, lastIsMax ? std::prev(model_.end()) : model_.end(),
                     static_cast<uint32_t>(model_.size()) - lastIsMax);
    }

    // `at` is the first record whose key is `key` or more, at position `atRank`.
    void ExpectAround(uint32_t key, std::map<uint32_t, Record>::const_iterator at,
                      uint32_t atRank) const {
        uint32_t rank = ~0u;
        const Record* found = tree_.FindRank(key, &rank);
        ASSERT_EQ(rank, atRank);
        const bool present = at != model_.end() && at->first == key;
        ASSERT_EQ(found != nullptr, present);
        ASSERT_EQ(tree_.Find(key) != nullptr, present);
        const Record* lower = tree_.LowerBound(key);
        ASSERT_TRUE(at == model_.end() ? lower == nullptr : Same(lower, at->second));
        const Record* below = tree_.Below(key);
        ASSERT_TRUE(at == model_.begin() ? below == nullptr : Same(below, std::prev(at)->second));
    }

    void Insert(uint32_t id, uint32_t tag) {
        if (model_.count(id) != 0)
            return;
        ASSERT_TRUE(tree_.Reserve(1));
        tree_.Insert(MakeRecord(id, tag));
        model_[id] = MakeRecord(id, tag);
    }

    void Erase(uint32_t id) { ASSERT_EQ(tree_.Erase(id), model_.erase(id) == 1); }

    Tree tree_;
    std::map<uint32_t, Record> model_;
};

// Keys are drawn in patterns that stress different paths: rising (every leaf filled before
// the next), falling, random, and deletions from the front, from the back, of every other
// record and at random; records are changed in place on the way.
template <class Tree>
void RunPatterns(uint32_t scale, uint32_t checks) {
    std::mt19937 random(2024);
    TreeModel<Tree> model;
    model.ExpectSame(&random);  // a tree that never held a record
    model.Erase(7);
    uint32_t tag = 0;
    for (uint32_t round = 0; round < checks && !::testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint32_t count = scale / 2 + static_cast<uint32_t>(random() % scale);
        const uint32_t base = static_cast<uint32_t>(random() % 4) * 0x40000000u;
        switch (round % 4) {
            case 0:
                for (uint32_t i = 0; i < count; ++i)
                    model.Insert(base + 3 * i, ++tag);
                break;
            case 1:
                for (uint32_t i = count; i > 0; --i)
                    model.Insert(base + 3 * i + 1, ++tag);
                break;
            default:
                for (uint32_t i = 0; i < count; ++i)
                    model.Insert(static_cast<uint32_t>(random()) | 2, ++tag);
                break;
        }
        model.ExpectSame(&random);
        std::vector<uint32_t> ids;
        for (const auto& entry : model.model_)
            ids.push_back(entry.first);
        const uint32_t erase = static_cast<uint32_t>(ids.size()) * 3 / 4;
        switch (random() % 4) {
            case 0:  // the lowest
                for (uint32_t i = 0; i < erase; ++i)
                    model.Erase(ids[i]);
                break;
            case 1:  // the highest
                for (uint32_t i = 0; i < erase; ++i)
                    model.Erase(ids[ids.size() - 1 - i]);
                break;
            case 2:  // every other, and some that are not there
                for (uint32_t i = 0; i < ids.size(); i += 2) {
                    model.Erase(ids[i]);
                    model.Erase(ids[i] + 1);
                }
                break;
            default:
                for (uint32_t i = 0; i < erase; ++i)
                    model.Erase(ids[random() % ids.size()]);
                break;
        }
        for (auto& [id, rec] : model.model_) {
            if (random() % 8 == 0) {
                rec.len = ++tag;
                model.tree_.Find(id)->len = tag;
            }
        }
        model.ExpectSame(&random);
    }
    // Emptied record by record, and refilled through Assign.
    const std::vector<std::pair<const uint32_t, Record>> kept(model.model_.begin(),
                                                              model.model_.end());
    for (const auto& entry : kept)
        model.Erase(entry.first);
    model.ExpectSame(&random);
    std::vector<Record> sorted;
    for (const auto& entry : kept)
        sorted.push_back(entry.second);
    ASSERT_TRUE(model.tree_.Assign(sorted.data(), static_cast<uint32_t>(sorted.size())));
    model.model_.insert(kept.begin(), kept.end());
    model.ExpectSame(&random);
}

TEST(RecordTree, TinyNodesMatchTheMap) {
    RunPatterns<RecordTree<ById, 4, 4>>(300, 24);
}

TEST(RecordTree, RealNodesMatchTheMap) {
    RunPatterns<RecordTree<ById>>(20000, 8);
}

TEST(RecordTree, InsertsTakeReservedNodesAndFailedAllocationsChangeNothing) {
    RecordTree<ById, 4, 4> tree;
    std::vector<Record> sorted;
    for (uint32_t id = 0; id < 200; ++id) {
        // Without memory, Reserve fails and the tree stays as it was; with it, the insert
        // allocates nothing.
        DebgFailAllocation(1);
        if (!tree.Reserve(1)) {
            ASSERT_EQ(tree.Count(), id);
            ASSERT_TRUE(tree.Reserve(1));
        }
        DebgFailAllocation(1);
        tree.Insert(MakeRecord(id * 7, id));
        ASSERT_EQ(DebgPendingAllocationFailure(), 1u);
        DebgFailAllocation(0);
        sorted.push_back(MakeRecord(id * 7, id));
    }
    // Records in rising order fill every leaf before the next: 64 leaves for 4,096 records
    // of the real size, and a few inner nodes.
    RecordTree<ById> real;
    std::vector<Record> rising;
    for (uint32_t id = 0; id < 4096; ++id)
        rising.push_back(MakeRecord(id, id));
    DebgFailAllocation(1000000);
    ASSERT_TRUE(real.Assign(rising.data(), 4096));
    EXPECT_LE(1000000 - DebgPendingAllocationFailure(), 64u + 8u);
    DebgFailAllocation(0);
    for (uint32_t nth = 1;; ++nth) {
        DebgFailAllocation(nth);
        const bool assigned = tree.Assign(sorted.data(), static_cast<uint32_t>(sorted.size()));
        const bool failed = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        ASSERT_EQ(assigned, !failed);
        ASSERT_EQ(tree.Count(), assigned ? sorted.size() : 0u);
        if (assigned)
            break;
    }
    EXPECT_TRUE(Same(tree.At(199), sorted[199]));
}

}  // namespace
