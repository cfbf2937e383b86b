// Writing and deleting blocks, free-space management and flushing the index.
#include <string.h>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::kEndMarker;
using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMagic;
using brindle::blockfile::kNoRecord;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::Record;
using brindle::blockfile::ReserveRecord;
using brindle::blockfile::SlotSize;

namespace {

// Copies `rec` into 16 bytes in disk byte order.
void EncodeRecord(const Record& rec, Record* disk) {
    *disk = rec;
    brindle::blockfile::SwapRecordsForDisk(disk, 1);
}

}  // namespace

int32_t XBlockFile::WriteBlock(uint32_t id, const void* data, uint32_t len) {
    if (fd == -1 || readOnly || (data == nullptr && len != 0) ||
        len > brindle::blockfile::kMaxUsedLen - kHeaderSize)
        return -1;
    const uint32_t recLen = len + kHeaderSize;
    const uint32_t size = static_cast<uint32_t>(SlotSize(recLen));
    uint32_t pos = 0;
    const bool exists = FindIndex(id, &pos);
    if (exists && SlotSize(index[pos].len) == size)
        return RewriteInPlace(pos, data, len);
    // Everything that can fail is checked before the file changes: the room to append (the
    // block may well land in a free slot, but must never push the data past 4 GiB), and
    // the one record that the free list or the index may gain.
    if (dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd)
        return -1;
    if (exists ? !ReserveRecord(&freeList, freeCount, &freeCapacity)
               : !ReserveRecord(&index, indexCount, &indexCapacity))
        return -1;
    // The index area is cut off before anything is written, so that a crash from here on
    // leaves a file without trailer, which the next read-write open rebuilds.
    Modify();
    if (exists)
        DestroyBlock(&index[pos]);
    Record rec = {0, id, recLen, 0};
    const bool appended = TakeSlot(size, &rec.offset);
    if (!exists) {
        memmove(index + pos + 1, index + pos, size_t{indexCount - pos} * kRecordSize);
        ++indexCount;
    }
    index[pos] = rec;
    WriteSlot(rec, data, len, appended);
    return 0;
}

int32_t XBlockFile::RewriteInPlace(uint32_t pos, const void* data, uint32_t len) {
    Record& rec = index[pos];
    if (rec.len == len + kHeaderSize) {
        // Same length: the index on disk stays valid, so the file stays as clean as it was.
        brindle::WriteAt(fd, data, len, uint64_t{rec.offset} + kHeaderSize);
        return 0;
    }
    Modify();
    // The slot reads as free while its data changes, so that a crash meanwhile leaves the
    // block absent, never its new data under its old length.
    Record hidden = {rec.offset, 0, static_cast<uint32_t>(SlotSize(rec.len)), kFreeFlag};
    WriteBlockHeader(&hidden);
    rec.len = len + kHeaderSize;
    WriteSlot(rec, data, len, false);
    return 0;
}

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

bool XBlockFile::TakeSlot(uint32_t size, uint32_t* offset) {
    uint32_t chosen = ChooseFreeSlot(size);
    if (chosen == kNoRecord) {
        *offset = dataEnd;
        dataEnd += size;
        return true;
    }
    Record& slot = freeList[chosen];
    *offset = slot.offset;
    if (slot.len == size) {
        memmove(freeList + chosen, freeList + chosen + 1,
                size_t{freeCount - chosen - 1} * kRecordSize);
        --freeCount;
    } else {
        slot.offset += size;
        slot.len -= size;
        WriteBlockHeader(&slot);
    }
    return false;
}

void XBlockFile::WriteSlot(const Record& rec, const void* data, uint32_t len, bool appended) {
    Record header;
    EncodeRecord(rec, &header);
    if (appended) {
        // Header, data, padding and the new end marker in one call. The file ends just after
        // the old end marker, so a write cut short by a kill (which can stop it at a page
        // boundary) leaves a slot running past the end of the file, which recovery drops.
        static const uint8_t kZeros[16] = {};
        uint8_t marker[4];
        brindle::blockfile::StoreLittle32(marker, kEndMarker);
        const brindle::WriteSlice slices[] = {{&header, kHeaderSize},
                                              {data, len},
                                              {kZeros, SlotSize(rec.len) - rec.len},
                                              {marker, sizeof marker}};
        brindle::WriteSlicesAt(fd, slices, 4, rec.offset);
        return;
    }
    // Inside the data the slot's old header (a free slot's) describes the place until the
    // new one is written, so the data goes first: a kill in between leaves the block absent
    // rather than a new header over stale bytes.
    brindle::WriteAt(fd, data, len, uint64_t{rec.offset} + kHeaderSize);
    brindle::WriteAt(fd, &header, kHeaderSize, rec.offset);
}

bool XBlockFile::WriteEndMarker() {
    uint8_t marker[4];
    brindle::blockfile::StoreLittle32(marker, kEndMarker);
    return brindle::WriteAt(fd, marker, sizeof marker, dataEnd) &&
           brindle::SetFileLength(fd, uint64_t{dataEnd} + 4);
}

bool XBlockFile::WriteRecord(const Record& rec) {
    Record header;
    EncodeRecord(rec, &header);
    return brindle::WriteAt(fd, &header, kHeaderSize, rec.offset);
}

bool XBlockFile::WriteFreeHeader(uint32_t offset, uint32_t size) {
    return WriteRecord({offset, 0, size, kFreeFlag});
}

bool XBlockFile::RetireSlot(uint32_t offset) {
    // Only the flag changes: whether the write lands whole, in part or not at all, the
    // header reads as the used slot it was or as a free slot of the same size.
    uint8_t flag[4];
    brindle::blockfile::StoreLittle32(flag, kFreeFlag);
    return brindle::WriteAt(fd, flag, sizeof flag, uint64_t{offset} + 12);
}

int32_t XBlockFile::DeleteBlock(uint32_t id) {
    uint32_t pos;
    if (readOnly || !FindIndex(id, &pos) || !ReserveRecord(&freeList, freeCount, &freeCapacity))
        return -1;
    Modify();
    DestroyBlock(&index[pos]);
    memmove(index + pos, index + pos + 1, size_t{indexCount - pos - 1} * kRecordSize);
    --indexCount;
    return 1;
}

void XBlockFile::DestroyBlock(Record* rec) {
    Record freed = {rec->offset, 0, static_cast<uint32_t>(SlotSize(rec->len)), kFreeFlag};
    if (!ReserveRecord(&freeList, freeCount, &freeCapacity)) {
        WriteBlockHeader(&freed);
        return;
    }
    // q: the first free record whose offset is not below the freed slot's.
    int64_t lo = -1;
    int64_t hi = freeCount;
    while (lo < hi - 1) {
        int64_t mid = (lo + hi) / 2;
        if (freeList[mid].offset < freed.offset)
            lo = mid;
        else
            hi = mid;
    }
    const uint32_t q = static_cast<uint32_t>(hi);
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
    // The headers of the records merged into b stay inside its slot, never read again.
    WriteBlockHeader(&freeList[b]);
}

void XBlockFile::WriteBlockHeader(Record* rec) {
    WriteRecord(*rec);
}

bool XBlockFile::Modify() {
    if (modified || fd == -1 || readOnly)
        return true;
    modified = true;
    return brindle::SetFileLength(fd, uint64_t{dataEnd} + 4);
}

void XBlockFile::Flush() {
    if (fd == -1 || readOnly || !modified)
        return;
    OnFlush();
    uint8_t usedCount[4];
    uint8_t freeRecords[4];
    uint8_t trailer[8];
    brindle::blockfile::StoreLittle32(usedCount, indexCount);
    brindle::blockfile::StoreLittle32(freeRecords, freeCount);
    brindle::blockfile::StoreLittle32(trailer, dataEnd + 4);
    brindle::blockfile::StoreLittle32(trailer + 4, kMagic);
    const size_t usedBytes = size_t{indexCount} * kRecordSize;
    const size_t freeBytes = size_t{freeCount} * kRecordSize;
    const brindle::WriteSlice slices[] = {{usedCount, 4},
                                          {index, usedBytes},
                                          {freeRecords, 4},
                                          {freeList, freeBytes},
                                          {trailer, sizeof trailer}};
    // The trailer is the last thing written: until it is complete the file has none.
    brindle::blockfile::SwapRecordsForDisk(index, indexCount);
    brindle::blockfile::SwapRecordsForDisk(freeList, freeCount);
    brindle::WriteSlicesAt(fd, slices, 5, uint64_t{dataEnd} + 4);
    brindle::blockfile::SwapRecordsForDisk(index, indexCount);
    brindle::blockfile::SwapRecordsForDisk(freeList, freeCount);
    brindle::SetFileLength(fd, uint64_t{dataEnd} + 4 + 4 + usedBytes + 4 + freeBytes + 8);
    modified = false;
}

void XBlockFile::OnFlush() {}
