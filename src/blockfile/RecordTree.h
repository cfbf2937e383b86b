// SPDX-License-Identifier: MIT
// RecordTree: block records kept in the order of a key, in a B+tree that counts them.
//
// The index of a block file and its free list must stay sorted (the index area is written in
// ID order, the free list in offset order, and a position in ID order addresses a block), yet
// files hold millions of blocks and lose or gain them in any order. Sorted arrays made every
// insert and delete move all the records behind it, O(n) each. Other ways were weighed:
//   - a sorted run plus a small sorted tail and tombstones, merged when the tail grows: a
//     lookup stays a binary search, but each merge moves the whole run, so a change costs
//     O(sqrt n) amortised, and a position must be corrected for the tombstones before it;
//   - a balanced binary tree (red-black, treap): O(log n), but one allocation and one cache
//     miss per record and level, and no runs to write out;
//   - a B+tree: records in sorted runs of a fixed size (a leaf: 64 records, one KiB, searched
//     by bisection), reached through inner nodes that hold the least key of each child and
//     the number of records below it. Lookups, inserts and deletes cost O(log n) with few
//     cache misses, a position (rank) is found in O(log n) through the counts, and the leaves,
//     linked in order, hand the records out as runs for the index area.
// The B+tree is used. A node that fills splits in two; a node that falls below a quarter full
// is merged with a neighbour, or takes records from it, so that every node but the root and
// the last leaf stays at least a quarter full and the height stays logarithmic. Keys that only
// grow (blocks appended under rising IDs, records loaded in order) fill each leaf to the brim
// before starting the next.
//
// Memory: a change must either happen whole or not at all, so inserts take their nodes from
// a small stock that Reserve fills beforehand; an insert never fails. Erase never allocates.
// Nodes come from the library's allocator and are freed by Clear and the destructor.
//
// Records are found by key; a record handed out may have its other fields changed in place,
// never its key. Pointers to records stay valid until the tree next gains or loses a record.
// Keys are unique. Not thread-safe, and At keeps a cursor even when called on a const tree.
#ifndef BRINDLE_BLOCKFILE_RECORDTREE_H_
#define BRINDLE_BLOCKFILE_RECORDTREE_H_

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "blockfile/BlockFormat.h"
#include "platform/Alloc.h"

namespace brindle {
namespace blockfile {

// The orders in which records are kept: by block ID (the index), by offset (the free list)
// and by size, then offset (the free list again, for best fit).
struct ById {
    static uint64_t Key(const Record& rec) { return rec.id; }
};
struct ByOffset {
    static uint64_t Key(const Record& rec) { return rec.offset; }
};
struct BySize {
    static uint64_t Key(const Record& rec) { return uint64_t{rec.len} << 32 | rec.offset; }
};

template <class Order, uint32_t kLeafSlots = 64, uint32_t kInnerSlots = 64>
class RecordTree {
    static_assert(kLeafSlots >= 4 && kInnerSlots >= 4 && kLeafSlots % 2 == 0 &&
                      kInnerSlots % 2 == 0,
                  "nodes split in halves of at least two");

  public:
    RecordTree() = default;
    ~RecordTree() {
        Clear();
        FreeStock();
    }
    RecordTree(const RecordTree&) = delete;
    RecordTree& operator=(const RecordTree&) = delete;

    uint32_t Count() const { return count_; }

    // The record with `key`, or null.
    Record* Find(uint64_t key) const {
        if (root_ == nullptr || PastTheLast(key))
            return nullptr;
        Leaf* leaf = LeafFor(key);
        return Match(leaf, SlotFor(leaf, key), key);
    }

    // Find that also stores in `*rank` the record's position in key order, or, when there is
    // no such record, the position at which it would be inserted.
    Record* FindRank(uint64_t key, uint32_t* rank) const {
        *rank = 0;
        if (root_ == nullptr)
            return nullptr;
        Node* node = root_;
        while (!node->isLeaf) {
            const Inner* inner = static_cast<const Inner*>(node);
            const uint32_t child = ChildFor(inner, key);
            for (uint32_t i = 0; i < child; ++i)
                *rank += inner->children[i].size;
            node = inner->children[child].node;
        }
        Leaf* leaf = static_cast<Leaf*>(node);
        const uint32_t slot = SlotFor(leaf, key);
        *rank += slot;
        return Match(leaf, slot, key);
    }

    // The record at position `rank`, which must be below Count(), in key order. Positions asked in
    // turn, as when walking the tree by position, cost O(1) each.
    Record* At(uint32_t rank) const {
        if (cursor_ != nullptr && rank >= cursorStart_) {
            if (rank - cursorStart_ < cursor_->count)
                return &cursor_->records[rank - cursorStart_];
            const uint32_t past = rank - cursorStart_ - cursor_->count;
            if (cursor_->next != nullptr && past < cursor_->next->count) {
                cursorStart_ += cursor_->count;
                cursor_ = cursor_->next;
                return &cursor_->records[past];
            }
        }
        uint32_t left = rank;
        Node* node = root_;
        while (!node->isLeaf) {
            const Inner* inner = static_cast<const Inner*>(node);
            const Child* child = inner->children;
            for (; left >= child->size; ++child)
                left -= child->size;
            node = child->node;
        }
        cursor_ = static_cast<Leaf*>(node);
        cursorStart_ = rank - left;
        return &cursor_->records[left];
    }

    // The first record whose key is `key` or greater, or null.
    Record* LowerBound(uint64_t key) const {
        if (root_ == nullptr)
            return nullptr;
        Leaf* leaf = LeafFor(key);
        const uint32_t slot = SlotFor(leaf, key);
        if (slot < leaf->count)
            return &leaf->records[slot];
        // Every leaf but an empty root holds records.
        return leaf->next != nullptr ? &leaf->next->records[0] : nullptr;
    }

    // The last record whose key is below `key`, or null.
    Record* Below(uint64_t key) const {
        if (root_ == nullptr)
            return nullptr;
        Leaf* leaf = LeafFor(key);
        const uint32_t slot = SlotFor(leaf, key);
        if (slot > 0)
            return &leaf->records[slot - 1];
        return leaf->prev != nullptr ? &leaf->prev->records[leaf->prev->count - 1] : nullptr;
    }

    // Makes sure that the next `inserts` inserts find every node they may need in stock;
    // false when memory runs out (the tree is unchanged either way).
    bool Reserve(uint32_t inserts) {
        // An insert splits at most one leaf and one inner node per level, and may add a root.
        const uint32_t inners = inserts * (height_ + inserts);
        while (stockedLeaves_ < inserts) {
            void* memory = Malloc(sizeof(Leaf));
            if (memory == nullptr)
                return false;
            Stock(new (memory) Leaf);
        }
        while (stockedInners_ < inners) {
            void* memory = Malloc(sizeof(Inner));
            if (memory == nullptr)
                return false;
            Stock(new (memory) Inner);
        }
        return true;
    }

    // Adds `rec`, whose key the tree must not hold yet. Reserve(1) must have succeeded since
    // the last insert.
    void Insert(const Record& rec) {
        const uint64_t key = Order::Key(rec);
        cursor_ = nullptr;
        if (root_ == nullptr) {
            Leaf* leaf = TakeLeaf();
            leaf->count = 0;
            leaf->prev = leaf->next = nullptr;
            root_ = last_ = leaf;
            height_ = 1;
        }
        // A key past the last goes to the end of the last leaf while it has room: no search.
        if (PastTheLast(key) && last_->count < kLeafSlots) {
            for (Node* node = root_; !node->isLeaf;) {
                Child& child = static_cast<Inner*>(node)->children[node->count - 1];
                ++child.size;
                node = child.node;
            }
            ++count_;
            PutRecord(last_, last_->count, rec);
            return;
        }
        Path path;
        Leaf* leaf = Descend(key, &path);
        for (uint32_t level = 0; level < path.depth; ++level)
            ++path.nodes[level]->children[path.children[level]].size;
        ++count_;
        const uint32_t slot = SlotFor(leaf, key);
        if (leaf->count < kLeafSlots) {
            PutRecord(leaf, slot, rec);
            return;
        }
        // A full leaf splits in halves, except that a record past the end of the last leaf
        // starts a leaf of its own, so that keys given in rising order fill every leaf.
        Leaf* right = TakeLeaf();
        const uint32_t split =
            leaf->next == nullptr && slot == kLeafSlots ? kLeafSlots : kLeafSlots / 2;
        right->count = kLeafSlots - split;
        memcpy(right->records, leaf->records + split, right->count * sizeof(Record));
        leaf->count = split;
        right->prev = leaf;
        right->next = leaf->next;
        if (leaf->next != nullptr)
            leaf->next->prev = right;
        else
            last_ = right;
        leaf->next = right;
        if (slot < split)
            PutRecord(leaf, slot, rec);
        else
            PutRecord(right, slot - split, rec);
        AddSibling(&path, {Order::Key(right->records[0]), right, right->count});
    }

    // Removes the record with `key`; false when there is none. Never allocates.
    bool Erase(uint64_t key) {
        if (root_ == nullptr)
            return false;
        Path path;
        Leaf* leaf = Descend(key, &path);
        const uint32_t slot = SlotFor(leaf, key);
        if (Match(leaf, slot, key) == nullptr)
            return false;
        cursor_ = nullptr;
        for (uint32_t level = 0; level < path.depth; ++level)
            --path.nodes[level]->children[path.children[level]].size;
        --count_;
        --leaf->count;
        memmove(leaf->records + slot, leaf->records + slot + 1,
                (leaf->count - slot) * sizeof(Record));
        Rebalance(&path, leaf);
        return true;
    }

    // Replaces the records with `count` records sorted by key, keys unique; false, with the
    // tree empty, when memory runs out.
    bool Assign(const Record* sorted, uint32_t count) {
        Clear();
        for (uint32_t i = 0; i < count; ++i) {
            if (!Reserve(1)) {
                Clear();
                return false;
            }
            Insert(sorted[i]);
        }
        return true;
    }

    // Removes every record and frees the nodes (a few stay in stock for later inserts).
    void Clear() {
        if (root_ != nullptr)
            FreeNode(root_);
        root_ = last_ = nullptr;
        cursor_ = nullptr;
        count_ = 0;
        height_ = 0;
    }

    // Calls `visit(const Record* run, uint32_t length)` for runs of records that together
    // are all records in key order, while it returns true; false if it stopped early.
    template <class Visit>
    bool ForEachRun(Visit visit) const {
        if (root_ == nullptr)
            return true;
        const Node* node = root_;
        while (!node->isLeaf)
            node = static_cast<const Inner*>(node)->children[0].node;
        for (const Leaf* leaf = static_cast<const Leaf*>(node); leaf != nullptr;
             leaf = leaf->next) {
            if (leaf->count != 0 && !visit(static_cast<const Record*>(leaf->records), leaf->count))
                return false;
        }
        return true;
    }

  private:
    // Levels are few: each inner node below the root holds at least a quarter of its slots
    // (and at least two children), and counts are 32-bit.
    static constexpr uint32_t kMaxDepth = 40;
    static constexpr uint32_t kLeafMinimum = kLeafSlots / 4 < 2 ? 2 : kLeafSlots / 4;
    static constexpr uint32_t kInnerMinimum = kInnerSlots / 4 < 2 ? 2 : kInnerSlots / 4;
    // Nodes freed by merges that stay in stock rather than going back to the allocator.
    static constexpr uint32_t kStockLimit = 32;

    struct Node {
        uint32_t count;  // records of a leaf, children of an inner node
        bool isLeaf;
    };
    struct Leaf : Node {
        Leaf() { this->isLeaf = true; }
        Leaf* prev;
        Leaf* next;
        Record records[kLeafSlots];
    };
    struct Child {
        // No key below child i is less than its key, and every key below it is less than the
        // key of child i + 1. The key of child 0 is never consulted by a search.
        uint64_t key;
        Node* node;
        uint32_t size;  // records below the child
    };
    struct Inner : Node {
        Inner() { this->isLeaf = false; }
        Child children[kInnerSlots];
    };
    // The inner nodes passed on the way from the root to a leaf, and the child taken in each.
    struct Path {
        Inner* nodes[kMaxDepth];
        uint32_t children[kMaxDepth];
        uint32_t depth = 0;
    };

    // Asks for every cache line of `count` items at once: the probes of a search depend on
    // each other, and in a node that is not cached each would otherwise wait for memory.
    template <class Item>
    static void Prefetch(const Item* items, uint32_t count) {
        const char* const end = reinterpret_cast<const char*>(items + count);
        for (const char* line = reinterpret_cast<const char*>(items); line < end; line += 64)
            __builtin_prefetch(line);
    }

    // The child of `inner` whose keys may include `key`: the number of keys from child 1 on
    // that are not above it. The searches do not branch on the keys, which random lookups
    // would mispredict half of the time: each halves the range that holds the answer.
    static uint32_t ChildFor(const Inner* inner, uint64_t key) {
        const Child* const first = inner->children + 1;
        const Child* base = first;
        for (uint32_t n = inner->count - 1; n > 1;) {
            const uint32_t half = n / 2;
            base = base[half].key <= key ? base + half : base;
            n -= half;
        }
        return static_cast<uint32_t>(base - first) + (base->key <= key ? 1 : 0);
    }

    // The first slot of `leaf` whose key is `key` or greater (its count if none).
    static uint32_t SlotFor(const Leaf* leaf, uint64_t key) {
        if (leaf->count == 0)
            return 0;
        Prefetch(leaf->records, leaf->count);
        const Record* base = leaf->records;
        for (uint32_t n = leaf->count; n > 1;) {
            const uint32_t half = n / 2;
            base = Order::Key(base[half]) < key ? base + half : base;
            n -= half;
        }
        return static_cast<uint32_t>(base - leaf->records) + (Order::Key(*base) < key ? 1 : 0);
    }

    // Whether `key` is above every key of the tree, which holds a root.
    bool PastTheLast(uint64_t key) const {
        return last_->count == 0 || Order::Key(last_->records[last_->count - 1]) < key;
    }

    // The record in `slot` of `leaf` if it has `key`, else null.
    static Record* Match(Leaf* leaf, uint32_t slot, uint64_t key) {
        return slot < leaf->count && Order::Key(leaf->records[slot]) == key ? &leaf->records[slot]
                                                                            : nullptr;
    }

    Leaf* LeafFor(uint64_t key) const {
        Node* node = root_;
        while (!node->isLeaf) {
            const Inner* inner = static_cast<const Inner*>(node);
            node = inner->children[ChildFor(inner, key)].node;
        }
        return static_cast<Leaf*>(node);
    }

    Leaf* Descend(uint64_t key, Path* path) const {
        Node* node = root_;
        while (!node->isLeaf) {
            Inner* inner = static_cast<Inner*>(node);
            const uint32_t child = ChildFor(inner, key);
            path->nodes[path->depth] = inner;
            path->children[path->depth++] = child;
            node = inner->children[child].node;
        }
        return static_cast<Leaf*>(node);
    }

    static void PutRecord(Leaf* leaf, uint32_t slot, const Record& rec) {
        memmove(leaf->records + slot + 1, leaf->records + slot,
                (leaf->count - slot) * sizeof(Record));
        leaf->records[slot] = rec;
        ++leaf->count;
    }

    static void PutChild(Inner* inner, uint32_t at, const Child& child) {
        memmove(inner->children + at + 1, inner->children + at,
                (inner->count - at) * sizeof(Child));
        inner->children[at] = child;
        ++inner->count;
    }

    static uint32_t SizeOf(const Node* node) {
        if (node->isLeaf)
            return node->count;
        const Inner* inner = static_cast<const Inner*>(node);
        uint32_t size = 0;
        for (uint32_t i = 0; i < inner->count; ++i)
            size += inner->children[i].size;
        return size;
    }

    // Enters `sibling`, just split off the node at the end of `path`, beside it in the
    // parent, splitting parents in halves as they fill (so that every inner node but the root
    // keeps at least two children).
    void AddSibling(Path* path, Child sibling) {
        while (path->depth > 0) {
            Inner* parent = path->nodes[--path->depth];
            const uint32_t at = path->children[path->depth] + 1;
            parent->children[at - 1].size -= sibling.size;
            if (parent->count < kInnerSlots) {
                PutChild(parent, at, sibling);
                return;
            }
            Inner* right = TakeInner();
            constexpr uint32_t kHalf = kInnerSlots / 2;
            memcpy(right->children, parent->children + kHalf, kHalf * sizeof(Child));
            right->count = parent->count = kHalf;
            if (at <= kHalf)
                PutChild(parent, at, sibling);
            else
                PutChild(right, at - kHalf, sibling);
            sibling = {right->children[0].key, right, SizeOf(right)};
        }
        Inner* root = TakeInner();
        root->count = 2;
        root->children[0] = {0, root_, count_ - sibling.size};
        root->children[1] = sibling;
        root_ = root;
        ++height_;
    }

    // Restores the fill of `node`, at the end of `path`, and of its parents after a removal.
    void Rebalance(Path* path, Node* node) {
        while (path->depth > 0 && node->count < (node->isLeaf ? kLeafMinimum : kInnerMinimum)) {
            Inner* parent = path->nodes[--path->depth];
            const uint32_t child = path->children[path->depth];
            // The node and a neighbour, its right one if it has one. Every inner node but
            // the root has two children or more, and a root with one is removed below.
            const uint32_t left = child + 1 < parent->count ? child : child - 1;
            if (parent->children[left].node->count + parent->children[left + 1].node->count <=
                (node->isLeaf ? kLeafSlots : kInnerSlots)) {
                Merge(parent, left);
                node = parent;
            } else {
                Share(parent, left);
                break;
            }
        }
        while (!root_->isLeaf && root_->count == 1) {
            Inner* old = static_cast<Inner*>(root_);
            root_ = old->children[0].node;
            --height_;
            GiveBack(old);
        }
    }

    // Moves every record or child of child `left + 1` of `parent` into child `left`.
    void Merge(Inner* parent, uint32_t left) {
        Child* a = &parent->children[left];
        Child* b = a + 1;
        if (a->node->isLeaf) {
            Leaf* into = static_cast<Leaf*>(a->node);
            Leaf* from = static_cast<Leaf*>(b->node);
            memcpy(into->records + into->count, from->records, from->count * sizeof(Record));
            into->count += from->count;
            into->next = from->next;
            if (from->next != nullptr)
                from->next->prev = into;
            else
                last_ = into;
            GiveBack(from);
        } else {
            Inner* into = static_cast<Inner*>(a->node);
            Inner* from = static_cast<Inner*>(b->node);
            from->children[0].key = b->key;
            memcpy(into->children + into->count, from->children, from->count * sizeof(Child));
            into->count += from->count;
            GiveBack(from);
        }
        a->size += b->size;
        memmove(b, b + 1, (parent->count - left - 2) * sizeof(Child));
        --parent->count;
    }

    // Evens out the records or children of children `left` and `left + 1` of `parent`.
    void Share(Inner* parent, uint32_t left) {
        Child* a = &parent->children[left];
        Child* b = a + 1;
        const uint32_t records = a->size + b->size;
        if (a->node->isLeaf) {
            Shift(static_cast<Leaf*>(a->node)->records, static_cast<Leaf*>(b->node)->records,
                  &a->node->count, &b->node->count);
            b->key = Order::Key(static_cast<Leaf*>(b->node)->records[0]);
        } else {
            Inner* ia = static_cast<Inner*>(a->node);
            Inner* ib = static_cast<Inner*>(b->node);
            ib->children[0].key = b->key;
            Shift(ia->children, ib->children, &ia->count, &ib->count);
            b->key = ib->children[0].key;
        }
        a->size = SizeOf(a->node);
        b->size = records - a->size;
    }

    // Moves items between the end of `a` and the front of `b`, which hold `*aCount` and
    // `*bCount`, until `a` holds half of them (rounded down).
    template <class Item>
    static void Shift(Item* a, Item* b, uint32_t* aCount, uint32_t* bCount) {
        const uint32_t total = *aCount + *bCount;
        const uint32_t keep = total / 2;
        if (*aCount > keep) {
            const uint32_t moved = *aCount - keep;
            memmove(b + moved, b, *bCount * sizeof(Item));
            memcpy(b, a + keep, moved * sizeof(Item));
        } else {
            const uint32_t moved = keep - *aCount;
            memcpy(a + *aCount, b, moved * sizeof(Item));
            memmove(b, b + moved, (*bCount - moved) * sizeof(Item));
        }
        *aCount = keep;
        *bCount = total - keep;
    }

    void Stock(Leaf* leaf) {
        leaf->next = stockLeaves_;
        stockLeaves_ = leaf;
        ++stockedLeaves_;
    }
    void Stock(Inner* inner) {
        inner->children[0].node = stockInners_;
        stockInners_ = inner;
        ++stockedInners_;
    }
    Leaf* TakeLeaf() {
        Leaf* leaf = stockLeaves_;
        stockLeaves_ = leaf->next;
        --stockedLeaves_;
        return leaf;
    }
    Inner* TakeInner() {
        Inner* inner = stockInners_;
        stockInners_ = static_cast<Inner*>(inner->children[0].node);
        --stockedInners_;
        return inner;
    }
    void GiveBack(Leaf* leaf) {
        if (stockedLeaves_ < kStockLimit)
            Stock(leaf);
        else
            free(leaf);
    }
    void GiveBack(Inner* inner) {
        if (stockedInners_ < kStockLimit)
            Stock(inner);
        else
            free(inner);
    }
    static void FreeNode(Node* node) {
        if (!node->isLeaf) {
            Inner* inner = static_cast<Inner*>(node);
            for (uint32_t i = 0; i < inner->count; ++i)
                FreeNode(inner->children[i].node);
        }
        free(node);
    }
    void FreeStock() {
        while (stockedLeaves_ != 0)
            free(TakeLeaf());
        while (stockedInners_ != 0)
            free(TakeInner());
    }

    Node* root_ = nullptr;
    Leaf* last_ = nullptr;  // the last leaf, where the greatest key is
    uint32_t count_ = 0;
    uint32_t height_ = 0;  // levels, the leaves included; 0 when empty
    Leaf* stockLeaves_ = nullptr;
    Inner* stockInners_ = nullptr;
    uint32_t stockedLeaves_ = 0;
    uint32_t stockedInners_ = 0;
    // At's last leaf and the position of its first record.
    mutable Leaf* cursor_ = nullptr;
    mutable uint32_t cursorStart_ = 0;
};

// The index of an open block file: the records of its blocks by ID. A position in it is the
// block's place in ascending ID order.
class BlockIndex final : public RecordTree<ById> {};

}  // namespace blockfile
}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_RECORDTREE_H_
