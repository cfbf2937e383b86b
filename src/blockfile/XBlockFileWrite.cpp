// SPDX-License-Identifier: MIT
// Writing and deleting blocks in an order that survives a crash or a power cut, and flushing
// the index.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::kEndMarker;
using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMagic;
using brindle::blockfile::kNoRecord;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::kZeros;
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

// A block's bytes are never given up before a whole copy of its new contents is on disk:
// at every write boundary the slot headers chain from offset 8 through every block, and a
// scan finds each block whole, as it was or as it is being written. Three rules make it so:
// a header names a block only after the data it describes is written (and synced, while
// syncing: see XBlockFileDisk.cpp); a used slot is retired by setting its free flag alone
// (a write that reads as used or free however much of it lands); and data that must
// overwrite the block's own old bytes is preceded by a copy of the new contents at the end
// of the data, cut off again once the block is in place. While syncing, a rewrite never
// overwrites the old copy at all: it writes the new one elsewhere and frees the old one
// once the new one is on disk.
int32_t XBlockFile::WriteBlock(uint32_t id, const void* data, uint32_t len) {
    if (fd == -1 || readOnly || ioError != 0 || (data == nullptr && len != 0) ||
        len > brindle::blockfile::kMaxUsedLen - kHeaderSize)
        return -1;
    const uint32_t recLen = len + kHeaderSize;
    const uint32_t size = static_cast<uint32_t>(SlotSize(recLen));
    uint32_t pos = 0;
    const bool exists = FindIndex(id, &pos);
    // A block whose slot keeps its size is rewritten in its own place, but not while syncing:
    // a power cut could tear that write, leaving the block neither old nor new.
    if (exists && SlotSize(index[pos].len) == size && !syncing)
        return RewriteInPlace(pos, data, len);
    // Everything that can fail is checked before the file changes: the room to append (the
    // block may well land in a free slot, but must never push the data, or the copy made on
    // the way, past 4 GiB), and the one record that the free list or the index may gain.
    if (dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd)
        return -1;
    if (exists ? !ReserveRecord(&freeList, freeCount, &freeCapacity)
               : !ReserveRecord(&index, indexCount, &indexCapacity))
        return -1;
    // The index area is cut off before anything is written, so that a crash from here on
    // leaves a file without trailer, which the next read-write open rebuilds.
    if (!Modify())
        return -1;
    if (exists && syncing)
        return RewriteElsewhere(pos, data, len);
    const Record old = exists ? index[pos] : Record{};
    Record live = old;  // the latest whole copy of the block on disk; len 0 for none
    Record released = {};
    if (exists) {
        released = freeList[ReleaseSlot(old)];
    } else {
        memmove(index + pos + 1, index + pos, size_t{indexCount - pos} * kRecordSize);
        ++indexCount;
    }
    Record rec = {0, id, recLen, 0};
    uint32_t freeEnd = 0;
    const bool appended = TakeSlot(size, &rec.offset, &freeEnd);
    index[pos] = rec;
    const bool overlaps = exists && !appended && rec.offset < old.offset + SlotSize(old.len) &&
                          old.offset < uint64_t{rec.offset} + size;
    bool written;
    if (appended) {
        written = AppendSlot(rec, data, len, &live);
    } else if (overlaps) {
        written = WriteOverOld(rec, data, len, &live, released.offset + released.len);
    } else {
        // Taken from the free space that now includes the old slot, the new place lies
        // before it; on disk that free slot still ends where the old slot begins.
        if (exists && rec.offset == released.offset)
            freeEnd = old.offset;
        written = WriteIntoFree(rec, data, len, &live, freeEnd);
    }
    // The old copy goes only now, into the free slot that holds its space.
    if (written && exists && !overlaps)
        written = RetireSlot(old.offset) && WriteFreeSlotCovering(old.offset);
    if (written)
        return 0;
    // The block stays as the file last held it whole.
    if (live.len != 0) {
        index[pos] = live;
    } else {
        memmove(index + pos, index + pos + 1, size_t{indexCount - pos - 1} * kRecordSize);
        --indexCount;
    }
    return -1;
}

int32_t XBlockFile::RewriteElsewhere(uint32_t pos, const void* data, uint32_t len) {
    const Record old = index[pos];
    Record rec = {0, old.id, len + kHeaderSize, 0};
    uint32_t freeEnd = 0;
    Record live = old;
    const bool written = TakeSlot(static_cast<uint32_t>(SlotSize(rec.len)), &rec.offset, &freeEnd)
                             ? AppendSlot(rec, data, len, &live)
                             : WriteIntoFree(rec, data, len, &live, freeEnd);
    index[pos] = live;
    // The old copy goes only once the new one is on disk.
    return written && Barrier() && FreeSlot(old) ? 0 : -1;
}

int32_t XBlockFile::RewriteInPlace(uint32_t pos, const void* data, uint32_t len) {
    Record& rec = index[pos];
    if (rec.len == len + kHeaderSize) {
        // Same length: the index on disk stays valid, so the file stays as clean as it was.
        // This one write is not undone should it fail or be cut short.
        return Put(data, len, uint64_t{rec.offset} + kHeaderSize) ? 0 : -1;
    }
    // The new contents go to the end of the data first, so the copy made there must fit.
    const uint32_t size = static_cast<uint32_t>(SlotSize(rec.len));
    if (dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd || !Modify())
        return -1;
    Record live = rec;
    rec.len = len + kHeaderSize;
    if (WriteOverOld(rec, data, len, &live, rec.offset + size))
        return 0;
    rec = live;
    return -1;
}

bool XBlockFile::AppendSlot(const Record& rec, const void* data, uint32_t len, Record* live) {
    // Header, data, padding and a new end marker in one call. The file ends just after the
    // end marker at rec.offset, so a write cut short (a kill can stop it at a page boundary)
    // leaves a slot running past the end of the file, which a scan does not accept. While
    // syncing, the header first says length 0, which no scan accepts either, and gets its
    // length after a sync: a power cut may keep any part of the write.
    Record header = rec;
    if (syncing)
        header.len = 0;
    EncodeRecord(header, &header);
    uint8_t marker[4];
    brindle::blockfile::StoreLittle32(marker, kEndMarker);
    const Piece pieces[] = {{&header, kHeaderSize},
                            {data, len},
                            {kZeros, SlotSize(rec.len) - rec.len},
                            {marker, sizeof marker}};
    if (!PutContent(pieces, 4, rec.offset) ||
        (syncing && !(Barrier() && WriteHeaderBack(rec.offset, rec.len, 0))))
        return false;
    *live = rec;
    return true;
}

bool XBlockFile::WriteIntoFree(const Record& rec, const void* data, uint32_t len, Record* live,
                               uint32_t freeEnd) {
    // The slot is the front of a free slot on disk, whose header goes on covering all of it
    // (its second half is rewritten as it stands) until the new length is written. The rest
    // keeps a header of its own, written before anything lands in front of it.
    const uint32_t end = rec.offset + static_cast<uint32_t>(SlotSize(rec.len));
    const bool splits = end < freeEnd;
    Record header = {rec.offset, rec.id, freeEnd - rec.offset, kFreeFlag};
    EncodeRecord(header, &header);
    const Piece pieces[] = {
        {&header, kHeaderSize}, {data, len}, {kZeros, SlotSize(rec.len) - rec.len}};
    if (!SyncBeforeWriting(rec.offset, splits ? uint64_t{end} + kHeaderSize : end) ||
        (splits && !WriteHeaderBack(end, freeEnd - end, kFreeFlag)) ||
        !PutContent(pieces, 3, rec.offset) || !Barrier() || (splits && !WriteHeaderFront(end, 0)) ||
        !WriteHeaderBack(rec.offset, rec.len, 0))
        return false;
    *live = rec;
    return true;
}

bool XBlockFile::WriteOverOld(const Record& rec, const void* data, uint32_t len, Record* live,
                              uint32_t freeEnd) {
    // The new contents first go to the end of the data; then the old slot is retired and
    // the free space around it, in which the new place lies, becomes one free slot.
    const uint32_t old = live->offset;
    const bool spreads = freeEnd != old + SlotSize(live->len) || rec.offset != old;
    return AppendSlot({dataEnd, rec.id, rec.len, 0}, data, len, live) && RetireSlot(old) &&
           (!spreads || WriteFreeRecord(rec.offset, freeEnd - rec.offset)) &&
           WriteIntoFree(rec, data, len, live, freeEnd) && WriteEndMarker();
}

bool XBlockFile::WriteFreeSlotCovering(uint32_t offset) {
    const uint32_t at = FreeRecordCovering(offset);
    return at == kNoRecord || WriteFreeRecord(freeList[at].offset, freeList[at].len);
}

int32_t XBlockFile::DeleteBlock(uint32_t id) {
    uint32_t pos;
    if (readOnly || ioError != 0 || !FindIndex(id, &pos) ||
        !ReserveRecord(&freeList, freeCount, &freeCapacity) || !Modify())
        return -1;
    if (!FreeSlot(index[pos]))
        return -1;
    memmove(index + pos, index + pos + 1, size_t{indexCount - pos - 1} * kRecordSize);
    --indexCount;
    return 1;
}

void XBlockFile::DestroyBlock(Record* rec) {
    FreeSlot(*rec);
}

bool XBlockFile::FreeSlot(const Record& rec) {
    // If the free list cannot grow, the slot is free on disk but its space stays unused
    // until the next compaction. Otherwise the free slot that now holds it, merged with its
    // free neighbours, gets its size once the slot is retired.
    const uint32_t merged = ReleaseSlot(rec);
    const bool written =
        RetireSlot(rec.offset) &&
        (merged == kNoRecord || WriteFreeRecord(freeList[merged].offset, freeList[merged].len));
    MarkFreed(rec.offset, rec.offset + SlotSize(rec.len));
    return written;
}

void XBlockFile::WriteBlockHeader(Record* rec) {
    WriteRecord(*rec);
}

bool XBlockFile::Modify() {
    if (modified || fd == -1 || readOnly)
        return true;
    modified = true;
    return Cut(brindle::blockfile::CutLength(dataEnd));
}

void XBlockFile::Flush() {
    if (fd == -1 || readOnly || ioError != 0)
        return;
    if (!modified) {
        Barrier();  // what was written since the last sync, in place or the trailer
        return;
    }
    OnFlush();
    if (ioError != 0)
        return;  // a write of the hook failed
    uint8_t usedCount[4];
    uint8_t freeRecords[4];
    uint8_t trailer[8];
    brindle::blockfile::StoreLittle32(usedCount, indexCount);
    brindle::blockfile::StoreLittle32(freeRecords, freeCount);
    brindle::blockfile::StoreLittle32(trailer, dataEnd + 4);
    brindle::blockfile::StoreLittle32(trailer + 4, kMagic);
    const size_t usedBytes = size_t{indexCount} * kRecordSize;
    const size_t freeBytes = size_t{freeCount} * kRecordSize;
    const Piece pieces[] = {
        {usedCount, 4}, {index, usedBytes}, {freeRecords, 4}, {freeList, freeBytes}};
    brindle::blockfile::SwapRecordsForDisk(index, indexCount);
    brindle::blockfile::SwapRecordsForDisk(freeList, freeCount);
    const bool written = PutContent(pieces, 4, uint64_t{dataEnd} + 4);
    brindle::blockfile::SwapRecordsForDisk(index, indexCount);
    brindle::blockfile::SwapRecordsForDisk(freeList, freeCount);
    // The index is on disk before the trailer that vouches for it. The trailer waits for the
    // next sync (Close makes one): until it lands, a read-write Open rebuilds the same blocks
    // from the slots, all of which the sync made durable.
    const uint64_t end = uint64_t{dataEnd} + 4 + 4 + usedBytes + 4 + freeBytes + 8;
    if (written && Cut(end) && Barrier() && Put(trailer, sizeof trailer, end - 8))
        modified = false;
}

void XBlockFile::OnFlush() {}
