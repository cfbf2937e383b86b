// SPDX-License-Identifier: MIT
// The two whole-file passes: rebuilding the index from the slot headers, and compaction.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/FreeSpace.h"
#include "blockfile/SlotScan.h"
#include "brindle/blockfile/XBlockFile.h"
#include "platform/Alloc.h"

using brindle::blockfile::kFirstSlot;
using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMaxDataEnd;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::Record;
using brindle::blockfile::ReserveRecord;
using brindle::blockfile::SlotScan;
using brindle::blockfile::SlotSize;

namespace {

// Compaction moves data through a buffer of this size, so that it never fails for want of
// memory however large a block is.
constexpr uint32_t kMoveChunk = 16384;
// Blocks that go by way of the end of the data do so in batches of at most this many bytes
// (or one block), which is as far as the file grows meanwhile.
constexpr uint64_t kBatchBytes = uint64_t{4} << 20;

// The file of a rebuild, read with the file calls.
class FileSource final : public brindle::blockfile::ScanSource {
  public:
    explicit FileSource(int fd) : fd_(fd) {}

    int32_t Read(uint64_t offset, void* out, size_t size) override {
        errno = 0;
        const ssize_t got = brindle::ReadAt(fd_, out, size, offset);
        if (got == static_cast<ssize_t>(size))
            return 0;
        return got >= 0 ? -1 : errno != 0 ? errno : EIO;
    }

  private:
    int fd_;
};

// A growing array of records, freed with it.
struct Records {
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() { free(at); }
    // Appends `rec`; false when memory runs out.
    bool Add(const Record& rec) {
        if (!ReserveRecord(&at, count, &capacity))
            return false;
        at[count++] = rec;
        return true;
    }
    Record* at = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
};

}  // namespace

int32_t XBlockFile::Rebuild() {
    if (!SendHeld())
        return ioError;
    const int64_t length = brindle::FileLength(fd);
    if (length < 0)
        return errno != 0 ? errno : -1;
    // The scan only reads, and everything is in memory before the file changes: should
    // memory run out or a read fail, the file is left as it was.
    FileSource source(fd);
    SlotScan scan(&source, static_cast<uint64_t>(length));
    Records slots[2];  // used, free
    Records gaps;      // free slots over bytes no header accepted covers
    int32_t error = 0;
    for (Record rec; error == 0;) {
        const SlotScan::Step step = scan.Next(&rec);
        if (step == SlotScan::kEnd)
            break;
        if (step == SlotScan::kError)
            error = scan.Error();
        else if (!slots[rec.freeFlag != 0 ? 1 : 0].Add(rec) ||
                 (step == SlotScan::kGap && !gaps.Add(rec)))
            error = ENOMEM;
    }
    // Used slots that repeat an ID become free space, but only once the file may change.
    Records repeats;
    bool kept = true;
    if (error == 0) {
        slots[0].count = brindle::blockfile::KeepFirstOfEachId(
            slots[0].at, slots[0].count,
            [&repeats, &kept](const Record& repeated) { kept = repeats.Add(repeated) && kept; });
        if (!kept || !freeSpace->Assign(slots[1].at, slots[1].count) ||
            !index->Assign(slots[0].at, slots[0].count))
            error = ENOMEM;
    }
    if (error != 0)
        return error;
    // Slots are accepted only when they end within the file, so the end marker goes just
    // after the last one and never over it.
    dataEnd = static_cast<uint32_t>(scan.End());
    modified = true;
    WriteGapHeaders(gaps.at, gaps.count);
    WriteEndMarker();
    for (uint32_t i = 0; i < repeats.count; ++i)
        DestroyBlock(&repeats.at[i]);
    OnRebuild();
    Flush();
    return ioError;
}

void XBlockFile::OnRebuild() {}

bool XBlockFile::WriteGapHeaders(const Record* gaps, uint32_t count) {
    // The bytes under a gap's header could read as anything, even as a slot naming itself, so
    // they read as free first (the flag alone, which however much of it lands is not 0),
    // then with the gap's size, and only once that is on disk does the first half name the
    // slot.
    for (uint32_t i = 0; i < count; ++i) {
        if (!RetireSlot(gaps[i].offset) || !WriteHeaderBack(gaps[i].offset, gaps[i].len, kFreeFlag))
            return false;
    }
    if (!Barrier())
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!WriteHeaderFront(gaps[i].offset, 0))
            return false;
    }
    return true;
}

bool XBlockFile::CopyData(const Record& from, uint64_t to) {
    uint8_t chunk[kMoveChunk];
    const uint32_t dataLen = from.len - kHeaderSize;
    for (uint32_t done = 0; done < dataLen;) {
        const uint32_t size = std::min(dataLen - done, kMoveChunk);
        errno = 0;
        if (brindle::ReadAt(fd, chunk, size, uint64_t{from.offset} + kHeaderSize + done) !=
            static_cast<ssize_t>(size))
            return Failed();
        const Piece slice = {chunk, size};
        if (!PutContent(&slice, 1, to + kHeaderSize + done))
            return false;
        done += size;
    }
    const Piece padding = {brindle::blockfile::kZeros, SlotSize(from.len) - from.len};
    return padding.size == 0 || PutContent(&padding, 1, to + from.len);
}

bool XBlockFile::PlaceCopies(Record* const* blocks, uint32_t count, uint32_t to, uint32_t freeEnd) {
    // The copies land inside the free slot, whose header at `to` goes on covering all of it
    // (its first half takes the first copy's ID); the headers of the others are zeros, which
    // no scan accepts however much of them lands, and so is the place of the next header.
    uint64_t at = to;
    for (uint32_t k = 0; k < count; ++k) {
        const Record& rec = *blocks[k];
        Record header = k == 0 ? Record{to, rec.id, freeEnd - to, kFreeFlag} : Record{};
        brindle::blockfile::SwapRecordsForDisk(&header, 1);
        const Piece head = {&header, kHeaderSize};
        if (!PutContent(&head, 1, at) || !CopyData(rec, at))
            return false;
        at += SlotSize(rec.len);
    }
    const Piece zeros = {brindle::blockfile::kZeros, kHeaderSize};
    if ((at < freeEnd && !PutContent(&zeros, 1, at)) || !Barrier())
        return false;
    // Whole on disk, each copy becomes a slot of its own and the rest of the space stays free.
    at = to;
    for (uint32_t k = 0; k < count; ++k) {
        const Record& rec = *blocks[k];
        const uint32_t offset = static_cast<uint32_t>(at);
        if (!(k == 0 ? WriteHeaderBack(to, rec.len, 0) : WriteRecord({offset, rec.id, rec.len, 0})))
            return false;
        at += SlotSize(rec.len);
    }
    const uint32_t rest = static_cast<uint32_t>(at);
    return (rest == freeEnd || WriteRecord({rest, 0, freeEnd - rest, kFreeFlag})) && Barrier();
}

bool XBlockFile::MoveDirectly(Record* const* blocks, uint32_t count, uint32_t to) {
    if (!PlaceCopies(blocks, count, to, blocks[0]->offset))
        return false;
    // The old copies go once the new ones are on disk.
    for (uint32_t k = 0, at = to; k < count; ++k) {
        Record& rec = *blocks[k];
        const uint32_t old = rec.offset;
        rec.offset = at;
        at += static_cast<uint32_t>(SlotSize(rec.len));
        MarkFreed(old, old + SlotSize(rec.len));
        if (!RetireSlot(old))
            return false;
    }
    return true;
}

bool XBlockFile::MoveByWayOfEnd(Record* const* blocks, uint32_t count, uint32_t to,
                                uint32_t total) {
    // The new places overlap the old ones, so the blocks are first copied behind the data,
    // where they overlap nothing: the space there starts as a free slot before the new end
    // marker. Then the space from `to` to the end of the last old slot becomes one free slot,
    // which the blocks fill from its front, and the copies behind the data are cut off.
    const uint32_t end = dataEnd;
    const Record& last = *blocks[count - 1];
    const uint32_t span = last.offset + static_cast<uint32_t>(SlotSize(last.len)) - to;
    uint8_t marker[4];
    brindle::blockfile::StoreLittle32(marker, brindle::blockfile::kEndMarker);
    const Piece markerPiece = {marker, sizeof marker};
    if (!PutContent(&markerPiece, 1, uint64_t{end} + total) ||
        !PlaceCopies(blocks, count, end, end + total))
        return false;
    dataEnd = end + total;
    for (uint32_t k = 0, at = end; k < count; ++k) {
        blocks[k]->offset = at;
        at += static_cast<uint32_t>(SlotSize(blocks[k]->len));
    }
    MarkFreed(to, uint64_t{to} + span);
    if (!WriteFreeRecord(to, span) || !PlaceCopies(blocks, count, to, to + span))
        return false;
    for (uint32_t k = 0, at = to; k < count; ++k) {
        blocks[k]->offset = at;
        at += static_cast<uint32_t>(SlotSize(blocks[k]->len));
    }
    dataEnd = end;
    return WriteEndMarker();
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
    const uint32_t blockCount = index->Count();
    Record** order =
        static_cast<Record**>(brindle::Malloc((blockCount + size_t{1}) * sizeof(Record*)));
    // The pass reads the blocks from the file, which must hold them first.
    if (order == nullptr || !SendHeld() || !Modify()) {
        free(order);
        return;
    }
    Record** fill = order;
    index->ForEachRun([&fill](const Record* run, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i)
            *fill++ = const_cast<Record*>(run + i);
        return true;
    });
    std::sort(order, order + blockCount,
              [](const Record* a, const Record* b) { return a->offset < b->offset; });
    uint32_t w = kFirstSlot;
    uint32_t next = 0;
    for (bool moved = true; moved && next < blockCount;) {
        const Record& head = *order[next];
        if (head.offset == w) {
            w += static_cast<uint32_t>(SlotSize(head.len));
            ++next;
            continue;
        }
        // A batch: the blocks whose new places all lie before the first one's old place go
        // there directly. Otherwise a run of blocks goes by way of the end of the data (as
        // far as that stays below the largest data end): without syncing, those that would
        // each overlap their own old place; while syncing, as many as kBatchBytes hold, and
        // also instead of a direct batch too small to be worth its syncs.
        uint32_t count = 0;
        uint64_t total = 0;
        auto take = [&](const auto& fits) {
            count = 0;
            total = 0;
            while (next + count < blockCount && fits(*order[next + count], total)) {
                total += SlotSize(order[next + count]->len);
                ++count;
            }
        };
        take([&](const Record& rec, uint64_t before) {
            return w + before + SlotSize(rec.len) <= head.offset;
        });
        bool direct = count != 0;
        if (!direct || (syncing && total < kBatchBytes / 16 && next + count < blockCount)) {
            const uint32_t directCount = count;
            const uint64_t directTotal = total;
            take([&](const Record& rec, uint64_t before) {
                const uint64_t size = SlotSize(rec.len);
                return (before == 0 || ((syncing || size > rec.offset - (w + before)) &&
                                        before + size <= kBatchBytes)) &&
                       dataEnd + before + size <= kMaxDataEnd;
            });
            direct = count == 0 && directCount != 0;
            if (direct) {
                count = directCount;
                total = directTotal;
            }
        }
        moved = count != 0 &&
                (direct ? MoveDirectly(order + next, count, w)
                        : MoveByWayOfEnd(order + next, count, w, static_cast<uint32_t>(total)));
        if (moved) {
            w += static_cast<uint32_t>(total);
            next += count;
        }
    }
    if (next == blockCount) {
        freeSpace->Clear();
        dataEnd = w;
        WriteEndMarker();
    } else {
        // The pass stopped before the block at `next`: the space before it is one free slot.
        if (order[next]->offset > w)
            WriteFreeRecord(w, order[next]->offset - w);
        KeepFreeSpaceFrom(w, order[next]->offset);
    }
    free(order);
    Flush();
}
