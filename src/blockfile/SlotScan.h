// SPDX-License-Identifier: MIT
// The slot scan behind a rebuild: which slots of a file without a usable index a rebuild
// keeps. XBlockFile::Rebuild keeps them, and XBlockFileCheck predicts them with the same
// code, so that what the check says a rebuild keeps is what a rebuild keeps.
#ifndef BRINDLE_BLOCKFILE_SLOTSCAN_H_
#define BRINDLE_BLOCKFILE_SLOTSCAN_H_

#include <stddef.h>
#include <stdint.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"

namespace brindle {
namespace blockfile {

// The bytes of the file being scanned.
class ScanSource {
  public:
    // Reads exactly `size` bytes at `offset`: 0; -1 when they are not all inside the file;
    // otherwise the error number of the failed read.
    virtual int32_t Read(uint64_t offset, void* out, size_t size) = 0;

  protected:
    ~ScanSource() = default;
};

// Whether the 16 bytes `header` read at `p`, in a file of `length` bytes, are a slot header
// that a scan accepts: one that names its own offset, covers at least itself, ends within
// the file and at most at the largest data end, and, when used, has a length a read can
// report. An accepted free header gets its length raised to its slot's size.
bool AcceptHeader(uint64_t p, uint64_t length, Record* header);

// Sorts the used records by ID and keeps, of records that share an ID, the one nearest the
// start of the file; `drop` is called with each of the others. Returns how many are kept.
// Such twins are what a crash leaves between writing a block's new copy and retiring its
// old one; a copy's header names the block only once its data is written, so both are
// whole, and they hold the same bytes (compaction) or the block's old and new contents (an
// interrupted rewrite): either is a right choice.
template <typename Drop>
uint32_t KeepFirstOfEachId(Record* used, uint32_t count, Drop drop) {
    std::sort(used, used + count, [](const Record& a, const Record& b) {
        return a.id != b.id ? a.id < b.id : a.offset < b.offset;
    });
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (kept > 0 && used[i].id == used[kept - 1].id)
            drop(used[i]);
        else
            used[kept++] = used[i];
    }
    return kept;
}

// Walks the slot headers from offset 8, as a rebuild does. A header it accepts is a slot; at
// a header it refuses it searches on for the next header it accepts and goes on from there,
// and the bytes between become one free slot (a gap). Only what follows the last slot it
// accepts is cut. Where the refused header did not name its own offset, the slot before it
// may be the damaged one (a wrong length carries the scan into the middle of the data): the
// search then starts inside that slot, and should it find a header there, that slot is
// dropped into the gap. The end marker, with the file ending just after it, ends the scan.
//
// Reads are bounded by the file: a search reads each stretch once, in pieces of a few
// kilobytes, and a whole scan reads at most the file once more than its headers.
class SlotScan {
  public:
    enum Step {
        kSlot,   // a slot whose header was accepted, used or free
        kGap,    // free space over bytes no accepted header covers; its header is not on disk
        kEnd,    // no more slots: End() is where they end
        kError,  // a read failed: Error() is its error number
    };

    SlotScan(ScanSource* source, uint64_t length);

    // The next slot a rebuild keeps, in file order, into `*slot`.
    Step Next(Record* slot);

    // After kEnd: where the kept slots end, and so where the end marker goes.
    uint64_t End() const { return p_; }
    int32_t Error() const { return error_; }
    // After kGap: the offset of the header that was refused, and whether a slot before it
    // was dropped into the gap (then in `*dropped`).
    uint64_t RefusedAt() const { return refusedAt_; }
    bool Dropped(Record* dropped) const;

  private:
    // Reads the header at `p` into `*header`; false if it cannot be read (`error_` is set
    // for a failed read).
    bool ReadHeader(uint64_t p, Record* header);
    // The offset of the first header at or after `from` that AcceptHeader takes, or 0.
    uint64_t FindHeader(uint64_t from);
    // Decides what follows the header refused at `p_`.
    void Resync(const Record& refused);

    ScanSource* source_;
    uint64_t length_;
    uint64_t p_;          // where the next header is read
    bool ended_ = false;  // no header is read any more
    bool hasPending_ = false;
    Record pending_ = {};  // the last slot accepted, held back in case it is dropped
    bool hasGap_ = false;
    Record gap_ = {};  // a gap to tell after the pending slot
    bool dropped_ = false;
    Record droppedSlot_ = {};
    uint64_t refusedAt_ = 0;
    int32_t error_ = 0;
};

}  // namespace blockfile
}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_SLOTSCAN_H_
