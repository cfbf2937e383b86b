// SPDX-License-Identifier: MIT
// Free-space management in memory: choosing, taking and releasing slots. The file is not
// touched here; the callers write the headers in an order that survives a crash.
#include <string.h>

#include "blockfile/BlockFormat.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kNoRecord;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::Record;
using brindle::blockfile::ReserveRecord;
using brindle::blockfile::SlotSize;

uint32_t XBlockFile::ChooseFreeSlot(uint32_t size) const {
    uint32_t best = kNoRecord;
    for (uint32_t i = 0; i < freeCount; ++i) {
        uint32_t slotLen = freeList[i].len;
        if (slotLen == size)
            return i;
        // A split must leave at least 32 bytes: a 16-byte free slot could hold nothing.
        if (uint64_t{slotLen} > uint64_t{size} + 16 &&
            (best == kNoRecord || slotLen < freeList[best].len))
            best = i;
    }
    return best;
}

bool XBlockFile::TakeSlot(uint32_t size, uint32_t* offset, uint32_t* freeEnd) {
    uint32_t chosen = ChooseFreeSlot(size);
    if (chosen == kNoRecord) {
        *offset = dataEnd;
        dataEnd += size;
        return true;
    }
    Record& slot = freeList[chosen];
    *offset = slot.offset;
    *freeEnd = slot.offset + slot.len;
    if (slot.len == size) {
        memmove(freeList + chosen, freeList + chosen + 1,
                size_t{freeCount - chosen - 1} * kRecordSize);
        --freeCount;
    } else {
        slot.offset += size;
        slot.len -= size;
    }
    return false;
}

uint32_t XBlockFile::FirstFreeFrom(uint32_t offset) const {
    // The open-interval search of FindIndex, on offsets.
    int64_t lo = -1;
    int64_t hi = freeCount;
    while (lo < hi - 1) {
        int64_t mid = (lo + hi) / 2;
        if (freeList[mid].offset < offset)
            lo = mid;
        else
            hi = mid;
    }
    return static_cast<uint32_t>(hi);
}

uint32_t XBlockFile::ReleaseSlot(const Record& rec) {
    if (!ReserveRecord(&freeList, freeCount, &freeCapacity))
        return kNoRecord;
    const Record freed = {rec.offset, 0, static_cast<uint32_t>(SlotSize(rec.len)), kFreeFlag};
    const uint32_t q = FirstFreeFrom(freed.offset);
    memmove(freeList + q + 1, freeList + q, size_t{freeCount - q} * kRecordSize);
    freeList[q] = freed;
    ++freeCount;
    uint32_t b = q;
    if (q > 0 && uint64_t{freeList[q - 1].offset} + freeList[q - 1].len == freed.offset)
        b = q - 1;
    uint32_t next = b + 1;
    while (next < freeCount &&
           uint64_t{freeList[b].offset} + freeList[b].len == freeList[next].offset) {
        freeList[b].len += freeList[next].len;
        ++next;
    }
    memmove(freeList + b + 1, freeList + next, size_t{freeCount - next} * kRecordSize);
    freeCount -= next - b - 1;
    return b;
}

uint32_t XBlockFile::FreeRecordCovering(uint32_t offset) const {
    const uint32_t after = FirstFreeFrom(offset + 1);
    if (after == 0)
        return kNoRecord;
    const Record& rec = freeList[after - 1];
    return uint64_t{rec.offset} + rec.len > offset ? after - 1 : kNoRecord;
}
