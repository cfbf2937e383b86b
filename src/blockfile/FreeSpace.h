// SPDX-License-Identifier: MIT
// FreeSpace: the free slots of an open block file, and the rules by which they are reused.
//
// The slots are kept twice: in offset order, the order of the free list in the index area,
// in which a freed slot finds the neighbours it merges with; and in order of size, then
// offset, in which the slot for a write is found. Each choice, release and merge costs
// O(log n) in the number of free slots. Only memory changes here: the block file writes the
// headers on disk, in an order that survives a crash.
#ifndef BRINDLE_BLOCKFILE_FREESPACE_H_
#define BRINDLE_BLOCKFILE_FREESPACE_H_

#include <stdint.h>

#include "blockfile/BlockFormat.h"
#include "blockfile/RecordTree.h"

namespace brindle {
namespace blockfile {

class FreeSpace {
  public:
    // The number of free slots.
    uint32_t Count() const { return byOffset_.Count(); }

    // Makes sure that the changes of one write or delete (a Release and a Take) need no
    // memory; false when memory runs out. Nothing changes either way.
    bool Reserve();

    // Takes `size` bytes from the free slot that suits them: the first (lowest) slot of
    // exactly that size, else the smallest slot that is at least 32 bytes larger (so that
    // the rest can hold a block), the lowest of equals; a slot only 16 bytes larger is never
    // split. The slot's front is taken and its rest stays free, keeping the slot's `id` and
    // flag. True with the offset taken and the end of the slot it came from; false when no
    // slot suits. Needs Reserve.
    bool Take(uint32_t size, uint32_t* offset, uint32_t* slotEnd);

    // Adds the slot of `size` bytes at `offset` ({offset, 0, size, kFreeFlag}) and merges it
    // with the free slots that touch it: into the slot just before it if that one ends where
    // it begins, then with each following slot while they follow without a gap. Returns the
    // merged record, whose header is to be written. Needs Reserve.
    Record Release(uint32_t offset, uint32_t size);

    // The free record whose slot holds `offset`, or null.
    const Record* Covering(uint32_t offset) const;

    // Replaces the free slots with `count` records sorted by offset (the array is reordered);
    // false, with no free slots, when memory runs out.
    bool Assign(Record* records, uint32_t count);
    // Forgets the free slots that begin below `offset`.
    void DropBelow(uint32_t offset);
    void Clear();

    // Calls `visit(const Record* run, uint32_t length)` for the records in offset order; see
    // RecordTree::ForEachRun.
    template <class Visit>
    bool ForEachRun(Visit visit) const {
        return byOffset_.ForEachRun(visit);
    }

  private:
    void Add(const Record& rec);
    void Remove(Record rec);

    RecordTree<ByOffset> byOffset_;
    RecordTree<BySize> bySize_;
};

}  // namespace blockfile
}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_FREESPACE_H_
