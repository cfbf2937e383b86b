// SPDX-License-Identifier: MIT
// Writing and deleting blocks in an order that survives a crash or a power cut, and flushing
// the index.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/FreeSpace.h"
#include "brindle/blockfile/XBlockFile.h"
#include "platform/Alloc.h"

using brindle::blockfile::kEndMarker;
using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMagic;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::kZeros;
using brindle::blockfile::Record;
using brindle::blockfile::SlotSize;

namespace {

// Copies `rec` into 16 bytes in disk byte order.
void EncodeRecord(const Record& rec, Record* disk) {
    *disk = rec;
    brindle::blockfile::SwapRecordsForDisk(disk, 1);
}

// Gathers the bytes of the index area, in file order, into a buffer that is written at
// rising offsets through `put(data, size, offset)` whenever it is full. The buffer is taken
// from the heap, as large as the area up to 64 KiB, so that small areas take one write;
// when that memory cannot be had, a small one on the stack serves.
template <class Put>
class AreaWriter {
  public:
    AreaWriter(uint64_t at, uint64_t areaSize, Put put) : at_(at), put_(put) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(areaSize, kLargeChunk));
        if (wanted > sizeof small_)
            heap_ = static_cast<uint8_t*>(brindle::Malloc(wanted));
        chunk_ = heap_ != nullptr ? heap_ : small_;
        capacity_ = heap_ != nullptr ? wanted : sizeof small_;
    }
    ~AreaWriter() { free(heap_); }
    AreaWriter(const AreaWriter&) = delete;
    AreaWriter& operator=(const AreaWriter&) = delete;

    bool Word(uint32_t value) {
        if (used_ + 4 > capacity_ && !Drain())
            return false;
        brindle::blockfile::StoreLittle32(chunk_ + used_, value);
        used_ += 4;
        return true;
    }
    bool Records(const Record* run, uint32_t count) {
        while (count != 0) {
            if (used_ + kRecordSize > capacity_ && !Drain())
                return false;
            const uint32_t fit =
                static_cast<uint32_t>(std::min<size_t>(count, (capacity_ - used_) / kRecordSize));
            Record* out = reinterpret_cast<Record*>(chunk_ + used_);
            memcpy(out, run, size_t{fit} * kRecordSize);
            brindle::blockfile::SwapRecordsForDisk(out, fit);
            used_ += size_t{fit} * kRecordSize;
            run += fit;
            count -= fit;
        }
        return true;
    }
    // Writes what is gathered.
    bool Drain() {
        const bool written = used_ == 0 || put_(chunk_, used_, at_);
        at_ += used_;
        used_ = 0;
        return written;
    }
    // Where the area ends, with what is gathered.
    uint64_t End() const { return at_ + used_; }

  private:
    static constexpr size_t kLargeChunk = size_t{1} << 16;

    alignas(Record) uint8_t small_[4096];
    uint8_t* heap_ = nullptr;
    uint8_t* chunk_;  // word-aligned, from Malloc or small_
    size_t capacity_;
    size_t used_ = 0;
    uint64_t at_;
    Put put_;
};

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
    Record* const found = index->Find(id);
    // A block whose slot keeps its size is rewritten in its own place, but not while syncing:
    // a power cut could tear that write, leaving the block neither old nor new.
    if (found != nullptr && SlotSize(found->len) == size && !syncing)
        return RewriteInPlace(found, data, len);
    // Everything that can fail is checked before the file changes: the room to append (the
    // block may well land in a free slot, but must never push the data, or the copy made on
    // the way, past 4 GiB), and the memory that the index and the free space may need.
    if (dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd)
        return -1;
    if (!freeSpace->Reserve() || (found == nullptr && !index->Reserve(1)))
        return -1;
    // The index area is cut off before anything is written, so that a crash from here on
    // leaves a file without trailer, which the next read-write open rebuilds.
    if (!Modify())
        return -1;
    const bool exists = found != nullptr;
    if (exists && syncing)
        return RewriteElsewhere(found, data, len);
    const Record old = exists ? *found : Record{};
    Record live = old;  // the latest whole copy of the block on disk; len 0 for none
    const Record released = exists ? ReleaseSlot(old) : Record{};
    Record rec = {0, id, recLen, 0};
    uint32_t freeEnd = 0;
    const bool appended = TakeSlot(size, &rec.offset, &freeEnd);
    if (exists)
        *found = rec;
    else
        index->Insert(rec);
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
    if (live.len != 0)
        *index->Find(id) = live;
    else
        index->Erase(id);
    return -1;
}

int32_t XBlockFile::RewriteElsewhere(Record* found, const void* data, uint32_t len) {
    const Record old = *found;
    Record rec = {0, old.id, len + kHeaderSize, 0};
    uint32_t freeEnd = 0;
    Record live = old;
    const bool written = TakeSlot(static_cast<uint32_t>(SlotSize(rec.len)), &rec.offset, &freeEnd)
                             ? AppendSlot(rec, data, len, &live)
                             : WriteIntoFree(rec, data, len, &live, freeEnd);
    *found = live;
    // The old copy goes only once the new one is on disk.
    return written && Barrier() && FreeSlot(old) ? 0 : -1;
}

int32_t XBlockFile::RewriteInPlace(Record* rec, const void* data, uint32_t len) {
    if (rec->len == len + kHeaderSize) {
        // Same length: the index on disk stays valid, so the file stays as clean as it was.
        // This one write is not undone should it fail or be cut short.
        return Put(data, len, uint64_t{rec->offset} + kHeaderSize) ? 0 : -1;
    }
    // The new contents go to the end of the data first, so the copy made there must fit.
    const uint32_t size = static_cast<uint32_t>(SlotSize(rec->len));
    if (dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd || !Modify())
        return -1;
    Record live = *rec;
    rec->len = len + kHeaderSize;
    if (WriteOverOld(*rec, data, len, &live, rec->offset + size))
        return 0;
    *rec = live;
    return -1;
}

bool XBlockFile::AppendSlot(const Record& rec, const void* data, uint32_t len, Record* live) {
    // Header, data, padding and a new end marker in one call. The file ends just after the
    // end marker at rec.offset, so a write cut short (a kill can stop it at a page boundary)
    // leaves a slot running past the end of the file, which a scan does not accept. While
    // syncing, the header first says length 0, which no scan accepts either, and gets its
    // length after a sync: a power cut may keep any part of the write. Without syncing, the
    // write may wait in the tail of appends while batching.
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
    if (!PutContent(pieces, 4, rec.offset, syncing ? kWriteNow : kMayHold) ||
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
    const Record* covering = freeSpace->Covering(offset);
    return covering == nullptr || WriteFreeRecord(covering->offset, covering->len);
}

int32_t XBlockFile::DeleteBlock(uint32_t id) {
    const Record* rec = Lookup(id);
    if (readOnly || ioError != 0 || rec == nullptr || !freeSpace->Reserve() || !Modify())
        return -1;
    if (!FreeSlot(*rec))
        return -1;
    index->Erase(id);
    return 1;
}

void XBlockFile::DestroyBlock(Record* rec) {
    if (fd != -1 && !readOnly)
        FreeSlot(*rec);
}

bool XBlockFile::FreeSlot(const Record& rec) {
    // If the free space cannot take the slot, the slot is free on disk but its space stays
    // unused until the next compaction. Otherwise the free slot that now holds it, merged
    // with its free neighbours, gets its size once the slot is retired. Both writes may wait
    // while batching.
    const bool kept = freeSpace->Reserve();
    const Record merged = kept ? ReleaseSlot(rec) : Record{};
    const bool written = RetireSlot(rec.offset, kMayHoldFirst) &&
                         (!kept || WriteFreeRecord(merged.offset, merged.len, kMayHold));
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
    if (fd == -1 || readOnly || ioError != 0 || !SendHeld())
        return;
    if (!modified) {
        Barrier();  // what was written since the last sync, in place or the trailer
        return;
    }
    OnFlush();
    if (ioError != 0)
        return;  // a write of the hook failed
    // The area goes out in file order. The index is on disk before the trailer that vouches
    // for it, and the trailer before Flush returns: a flushed file stays clean across a power
    // cut, so that a read-only Open accepts it.
    auto put = [this](const void* data, size_t size, uint64_t offset) {
        const Piece piece = {data, size};
        return PutContent(&piece, 1, offset);
    };
    const uint64_t areaSize =
        4 + uint64_t{index->Count()} * kRecordSize + 4 + uint64_t{freeSpace->Count()} * kRecordSize;
    AreaWriter<decltype(put)> area(uint64_t{dataEnd} + 4, areaSize, put);
    auto records = [&area](const Record* run, uint32_t count) { return area.Records(run, count); };
    const bool written = area.Word(index->Count()) && index->ForEachRun(records) &&
                         area.Word(freeSpace->Count()) && freeSpace->ForEachRun(records);
    const uint64_t end = area.End() + 8;
    uint8_t trailer[8];
    brindle::blockfile::StoreLittle32(trailer, dataEnd + 4);
    brindle::blockfile::StoreLittle32(trailer + 4, kMagic);
    if (written && area.Drain() && Cut(end) && Barrier() && Put(trailer, sizeof trailer, end - 8) &&
        Barrier())
        modified = false;
}

void XBlockFile::OnFlush() {}
