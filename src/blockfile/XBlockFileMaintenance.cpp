// SPDX-License-Identifier: MIT
// The two whole-file passes: rebuilding a lost index from the slot headers, and compaction.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/FreeSpace.h"
#include "brindle/blockfile/XBlockFile.h"
#include "platform/Alloc.h"

using brindle::blockfile::kFirstSlot;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::Record;
using brindle::blockfile::ReserveRecord;
using brindle::blockfile::SlotSize;

namespace {

// Compaction moves data through a buffer of this size, so that it never fails for want of
// memory however large a block is.
constexpr uint32_t kMoveChunk = 16384;

// Sorts the used records that a scan found by ID and moves all but the first slot (the one
// nearest the start of the file) of each repeated ID behind the others, marked free; returns
// how many records are kept.
uint32_t SortScannedIndex(Record* used, uint32_t count) {
    auto byId = [](const Record& a, const Record& b) {
        return a.id != b.id ? a.id < b.id : a.offset < b.offset;
    };
    std::sort(used, used + count, byId);
    uint32_t kept = count;
    for (uint32_t i = 1; i < count; ++i) {
        if (used[i].id == used[i - 1].id) {
            used[i].freeFlag = brindle::blockfile::kFreeFlag;
            --kept;
        }
    }
    if (kept != count) {
        std::sort(used, used + count, [&byId](const Record& a, const Record& b) {
            return a.freeFlag != b.freeFlag ? a.freeFlag < b.freeFlag : byId(a, b);
        });
    }
    return kept;
}

}  // namespace

bool XBlockFile::ScanSlot(uint64_t p, uint64_t length, Record* rec, int32_t* error) const {
    Record header;
    errno = 0;
    ssize_t got = brindle::ReadAt(fd, &header, kHeaderSize, p);
    if (got < 0)
        *error = errno != 0 ? errno : EIO;
    if (got != kHeaderSize)
        return false;
    brindle::blockfile::SwapRecordsForDisk(&header, 1);
    // A header must name its own offset (the end marker never does) and cover at least
    // itself; a slot that wraps, runs past the end of the file or past the largest data end
    // is dropped, as is a used block too long to report.
    uint64_t end = p + SlotSize(header.len);
    if (header.offset != p || header.len < kHeaderSize || end > length ||
        end > brindle::blockfile::kMaxDataEnd ||
        (header.freeFlag == 0 && header.len > brindle::blockfile::kMaxUsedLen))
        return false;
    // A free slot's length is its size, a multiple of 16.
    if (header.freeFlag != 0)
        header.len = static_cast<uint32_t>(SlotSize(header.len));
    *rec = header;
    return true;
}

int32_t XBlockFile::Rebuild() {
    int64_t length = brindle::FileLength(fd);
    if (length < 0)
        return errno != 0 ? errno : -1;
    // The scan only reads, and everything is in memory before the file changes: should
    // memory run out or a read fail, the file is left as it was.
    Record* found[2] = {nullptr, nullptr};  // used slots, free slots
    uint32_t counts[2] = {0, 0};
    uint32_t capacities[2] = {0, 0};
    uint64_t p = kFirstSlot;
    int32_t error = 0;
    for (Record rec; p < static_cast<uint64_t>(length) && ScanSlot(p, length, &rec, &error);) {
        const int kind = rec.freeFlag != 0 ? 1 : 0;
        if (!ReserveRecord(&found[kind], counts[kind], &capacities[kind])) {
            error = ENOMEM;
            break;
        }
        found[kind][counts[kind]++] = rec;
        p += SlotSize(rec.len);
    }
    const uint32_t kept = error == 0 ? SortScannedIndex(found[0], counts[0]) : 0;
    if (error == 0 && (!freeSpace->Assign(found[1], counts[1]) || !index->Assign(found[0], kept)))
        error = ENOMEM;
    if (error == 0) {
        // Slots are accepted only when they end within the file, so the end marker goes
        // just after the last one and never over it.
        dataEnd = static_cast<uint32_t>(p);
        modified = true;
        WriteEndMarker();
        for (uint32_t i = kept; i < counts[0]; ++i)
            DestroyBlock(&found[0][i]);
    }
    free(found[0]);
    free(found[1]);
    if (error != 0)
        return error;
    OnRebuild();
    Flush();
    return ioError;
}

void XBlockFile::OnRebuild() {}

bool XBlockFile::CopyData(const Record& from, uint64_t to) {
    uint8_t chunk[kMoveChunk];
    const uint32_t dataLen = from.len - kHeaderSize;
    for (uint32_t done = 0; done < dataLen;) {
        uint32_t size = std::min(dataLen - done, kMoveChunk);
        errno = 0;
        if (brindle::ReadAt(fd, chunk, size, uint64_t{from.offset} + kHeaderSize + done) !=
            static_cast<ssize_t>(size))
            return Failed();
        if (!Put(chunk, size, to + kHeaderSize + done))
            return false;
        done += size;
    }
    return true;
}

bool XBlockFile::CopyToEnd(const Record& rec) {
    // The file ends just after the end marker. The data and a new end marker go behind it
    // first; the header then replaces the old end marker, and the bytes it lands on beyond
    // that were never written (they read as 0), so a header cut short shows a length of 0
    // and is not accepted by a scan.
    const uint64_t end = uint64_t{dataEnd} + SlotSize(rec.len);
    uint8_t marker[4];
    brindle::blockfile::StoreLittle32(marker, brindle::blockfile::kEndMarker);
    return CopyData(rec, dataEnd) && Put(marker, sizeof marker, end) &&
           WriteRecord({dataEnd, rec.id, rec.len, 0});
}

// Moving a block down keeps the slot headers on disk chained from offset 8 through every
// block at every write boundary, with a whole copy of the block in the chain: a copy at a
// new place becomes visible (its header is written) only once its data is there, and the
// copy it replaces is retired (its free flag set) only after that. A crash in between
// leaves two identical copies, of which the rebuild keeps one.
//
// On entry the space from `to` up to the block is free on disk, as one or more free slots.
bool XBlockFile::MoveDown(Record* rec, uint32_t to) {
    const uint32_t size = static_cast<uint32_t>(SlotSize(rec->len));
    const uint32_t old = rec->offset;
    uint32_t gap = old - to;
    // The gap becomes one free slot, so that nothing written into it breaks the chain.
    if (!WriteFreeHeader(to, gap))
        return false;
    if (size > gap) {
        // The new place overlaps the old one, whose header the data would overwrite before
        // the new header exists: the block first goes to the end of the data, where it
        // overlaps nothing, and its old slot joins the gap.
        if (!CopyToEnd(*rec))
            return false;
        rec->offset = dataEnd;
        gap += size;
        if (!RetireSlot(old) || !WriteFreeHeader(to, gap))
            return false;
    }
    // The rest of the free slot behind the new place keeps a header of its own.
    if (size < gap && !WriteFreeHeader(to + size, gap - size))
        return false;
    if (!CopyData(*rec, to) || !WriteRecord({to, rec->id, rec->len, 0}))
        return false;
    const uint32_t from = rec->offset;
    rec->offset = to;
    // The copy at the end is cut off again, so that the file once more ends after the end
    // marker and the next copy there finds the bytes behind it unwritten.
    return from == dataEnd ? WriteEndMarker() : RetireSlot(from);
}

void XBlockFile::KeepFreeSpaceFrom(uint32_t gapStart, uint32_t next) {
    // `next` is a used slot, so the gap touches no free slot that stays.
    freeSpace->DropBelow(next);
    if (next > gapStart && freeSpace->Reserve())
        freeSpace->Release(gapStart, next - gapStart);
}

void XBlockFile::Compact(bool) {
    if (fd == -1 || readOnly || ioError != 0 || freeSpace->Count() == 0)
        return;
    // The blocks move as the index records them, which Open checked and every change kept
    // consistent; the slot headers on disk are rewritten from it, never trusted. They move
    // in file order, through a list of their records sorted by offset.
    const uint32_t count = index->Count();
    Record** order = static_cast<Record**>(brindle::Malloc((count + size_t{1}) * sizeof(Record*)));
    if (order == nullptr || !Modify()) {
        free(order);
        return;
    }
    Record** next = order;
    index->ForEachRun([&next](const Record* run, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i)
            *next++ = const_cast<Record*>(run + i);
        return true;
    });
    std::sort(order, order + count,
              [](const Record* a, const Record* b) { return a->offset < b->offset; });
    uint32_t w = kFirstSlot;
    uint32_t moved = 0;
    for (; moved < count; ++moved) {
        Record& rec = *order[moved];
        const uint32_t size = static_cast<uint32_t>(SlotSize(rec.len));
        // A block that must go by way of the end of the data cannot where that would pass
        // the largest data end; the pass then ends before it, as it does when a file call
        // fails.
        if (rec.offset != w && ((size > rec.offset - w &&
                                 dataEnd + uint64_t{size} > brindle::blockfile::kMaxDataEnd) ||
                                !MoveDown(&rec, w)))
            break;
        w += size;
    }
    if (moved == count) {
        freeSpace->Clear();
        dataEnd = w;
        WriteEndMarker();
    } else {
        KeepFreeSpaceFrom(w, order[moved]->offset);
    }
    free(order);
    Flush();
}
