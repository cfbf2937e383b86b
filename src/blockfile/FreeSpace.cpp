// SPDX-License-Identifier: MIT

#include "blockfile/FreeSpace.h"

#include <algorithm>

namespace brindle {
namespace blockfile {

bool FreeSpace::Reserve() {
    // A write that replaces a block releases its old slot and splits a free one.
    return byOffset_.Reserve(2) && bySize_.Reserve(2);
}

bool FreeSpace::Take(uint32_t size, uint32_t* offset, uint32_t* slotEnd) {
    // In size order an exact fit comes before every larger slot; failing one, the first slot
    // more than 16 bytes larger leaves the smallest rest.
    const Record* best = bySize_.LowerBound(uint64_t{size} << 32);
    if (best != nullptr && best->len != size)
        best = bySize_.LowerBound((uint64_t{size} + 17) << 32);
    if (best == nullptr)
        return false;
    const Record chosen = *best;
    *offset = chosen.offset;
    *slotEnd = chosen.offset + chosen.len;
    Remove(chosen);
    if (chosen.len != size)
        Add({chosen.offset + size, chosen.id, chosen.len - size, chosen.freeFlag});
    return true;
}

Record FreeSpace::Release(uint32_t offset, uint32_t size) {
    Record merged = {offset, 0, size, kFreeFlag};
    const Record* before = byOffset_.Below(offset);
    if (before != nullptr && uint64_t{before->offset} + before->len == offset) {
        merged = *before;
        merged.len += size;
        Remove(*before);
    }
    for (;;) {
        const uint64_t end = uint64_t{merged.offset} + merged.len;
        const Record* next = byOffset_.LowerBound(end);
        if (next == nullptr || next->offset != end)
            break;
        merged.len += next->len;
        Remove(*next);
    }
    Add(merged);
    return merged;
}

const Record* FreeSpace::Covering(uint32_t offset) const {
    const Record* rec = byOffset_.Below(uint64_t{offset} + 1);
    return rec != nullptr && uint64_t{rec->offset} + rec->len > offset ? rec : nullptr;
}

bool FreeSpace::Assign(Record* records, uint32_t count) {
    bool assigned = byOffset_.Assign(records, count);
    if (assigned) {
        std::sort(records, records + count,
                  [](const Record& a, const Record& b) { return BySize::Key(a) < BySize::Key(b); });
        assigned = bySize_.Assign(records, count);
    }
    if (!assigned)
        Clear();
    return assigned;
}

void FreeSpace::DropBelow(uint32_t offset) {
    for (const Record* first;
         (first = byOffset_.LowerBound(0)) != nullptr && first->offset < offset;)
        Remove(*first);
}

void FreeSpace::Clear() {
    byOffset_.Clear();
    bySize_.Clear();
}

void FreeSpace::Add(const Record& rec) {
    byOffset_.Insert(rec);
    bySize_.Insert(rec);
}

void FreeSpace::Remove(Record rec) {
    byOffset_.Erase(ByOffset::Key(rec));
    bySize_.Erase(BySize::Key(rec));
}

}  // namespace blockfile
}  // namespace brindle
