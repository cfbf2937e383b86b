// The two whole-file passes: rebuilding a lost index from the slot headers, and compaction.
#include <errno.h>
#include <stdlib.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::kFirstSlot;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::Record;
using brindle::blockfile::ReserveRecord;
using brindle::blockfile::SlotSize;

namespace {

// Compaction moves data through a buffer of this size, so that it never fails for want of
// memory however large a block is.
constexpr uint32_t kMoveChunk = 16384;

}  // namespace

bool XBlockFile::ScanSlot(uint64_t p, uint64_t length, Record* rec) const {
    Record header;
    if (brindle::ReadAt(fd, &header, kHeaderSize, p) != kHeaderSize)
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

void XBlockFile::SortIndex() {
    std::sort(index, index + indexCount, [](const Record& a, const Record& b) {
        return a.id != b.id ? a.id < b.id : a.offset < b.offset;
    });
    uint32_t kept = 0;
    for (uint32_t i = 0; i < indexCount; ++i) {
        if (kept > 0 && index[i].id == index[kept - 1].id) {
            Record repeated = index[i];
            DestroyBlock(&repeated);
        } else {
            index[kept++] = index[i];
        }
    }
    indexCount = kept;
}

int32_t XBlockFile::Rebuild() {
    int64_t length = brindle::FileLength(fd);
    if (length < 0)
        return errno != 0 ? errno : -1;
    // The scan only reads: should memory run out, the file is left as it was.
    uint64_t p = kFirstSlot;
    for (Record rec; p < static_cast<uint64_t>(length) && ScanSlot(p, length, &rec);) {
        const bool isFree = rec.freeFlag != 0;
        Record** records = isFree ? &freeList : &index;
        uint32_t* count = isFree ? &freeCount : &indexCount;
        if (!ReserveRecord(records, *count, isFree ? &freeCapacity : &indexCapacity))
            return ENOMEM;
        (*records)[(*count)++] = rec;
        p += SlotSize(rec.len);
    }
    // Slots are accepted only when they end within the file, so the end marker goes just
    // after the last one and never over it.
    dataEnd = static_cast<uint32_t>(p);
    WriteEndMarker();
    SortIndex();
    OnRebuild();
    modified = true;
    Flush();
    return 0;
}

void XBlockFile::OnRebuild() {}

bool XBlockFile::MoveSlot(Record* rec, uint32_t to) {
    // The target lies below the source, so copying from the front never overwrites data
    // not yet read. The header goes last: until it is written, a scan does not find a block
    // at its new place whose data is incomplete.
    uint8_t chunk[kMoveChunk];
    const uint32_t dataLen = rec->len - kHeaderSize;
    for (uint32_t done = 0; done < dataLen;) {
        uint32_t size = std::min(dataLen - done, kMoveChunk);
        if (brindle::ReadAt(fd, chunk, size, uint64_t{rec->offset} + kHeaderSize + done) !=
            static_cast<ssize_t>(size))
            return false;
        brindle::WriteAt(fd, chunk, size, uint64_t{to} + kHeaderSize + done);
        done += size;
    }
    rec->offset = to;
    WriteBlockHeader(rec);
    return true;
}

void XBlockFile::Compact(bool) {
    if (fd == -1 || readOnly || freeCount == 0)
        return;
    // The blocks move as the index records them, which Open checked and every change kept
    // consistent; the slot headers on disk are rewritten from it, never trusted.
    Modify();
    std::sort(index, index + indexCount,
              [](const Record& a, const Record& b) { return a.offset < b.offset; });
    uint64_t w = kFirstSlot;
    uint32_t kept = 0;
    for (; kept < indexCount; ++kept) {
        Record& rec = index[kept];
        if (rec.offset != w && !MoveSlot(&rec, static_cast<uint32_t>(w)))
            break;  // unreadable data: this block and those after it are dropped
        w += SlotSize(rec.len);
    }
    indexCount = kept;
    free(freeList);
    freeList = nullptr;
    freeCount = freeCapacity = 0;
    dataEnd = static_cast<uint32_t>(w);
    WriteEndMarker();
    SortIndex();
    Flush();
}
