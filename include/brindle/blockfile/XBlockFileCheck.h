// SPDX-License-Identifier: MIT
// XBlockFileCheck: reads a block file without changing it and tells what it holds and what is
// wrong with it.
//
// The check reads the file as XBlockFile::Open would (the header, the trailer, the index
// area) and applies the same acceptance rules, then goes further: it reports every fault
// rather than the first, compares each slot header on disk with its index record, and, for a
// file without a usable index, walks the slot headers with the very scan of the rebuild that
// a read-write Open makes, to tell which blocks that rebuild keeps, which stretches it
// skips and which bytes it cuts off. The format itself is described in XBlockFile.h and in
// docs/formats.md.
//
// The file is untrusted input: every count, offset and length is checked before use, reads
// stay inside the file (or the buffer), and memory grows only with what the file really
// holds, never with a count it claims. The check never writes, and takes a reader's lock on
// the file as a read-only XBlockFile::Open does. An object holds the result
// of its last Examine until the next one; it is not copyable and belongs to one thread at a
// time.
#ifndef BRINDLE_BLOCKFILE_XBLOCKFILECHECK_H_
#define BRINDLE_BLOCKFILE_XBLOCKFILECHECK_H_

#include <stdint.h>

#include "brindle/Export.h"
#include "brindle/blockfile/XBlockFile.h"

// What XBlockFile::Open makes of a file.
enum XBlockFileState : int32_t {
    // The trailer, the index and every slot header agree: the file opens as it is.
    XBlockFileClean = 0,
    // No trailer (the file was changed and not flushed or closed, as after a crash), but the
    // slots read cleanly to the end marker: a read-write Open rebuilds the index from them
    // and loses nothing; a read-only Open refuses the file.
    XBlockFileNeedsRebuild = 1,
    // Something is wrong: the index is refused by Open (a read-write Open rebuilds it),
    // disagrees with the slot headers, or the slots break off before the end of the data, so
    // that a rebuild would skip or cut off bytes and may lose blocks.
    XBlockFileDamaged = 2,
    // Not a block file: shorter than 16 bytes, or not beginning with "AavE" and a 0 word.
    XBlockFileForeign = 3,
    // The file could not be opened, or its first bytes could not be read.
    XBlockFileUnreadable = 4,
};

// One kind of fault. Each finding carries the file offset where it was seen and a value
// whose meaning the kind gives.
enum XBlockFileFault : int32_t {
    // At 0: the file is shorter than 16 bytes; value: its length.
    XBlockFileFaultShort = 0,
    // At 0: the file does not begin with "AavE".
    XBlockFileFaultMagic = 1,
    // At 4: the reserved word is not 0; value: the word.
    XBlockFileFaultReserved = 2,
    // At the end - 4: the trailer magic is missing; the index must be rebuilt.
    XBlockFileFaultNoTrailer = 3,
    // At the end - 8: the trailer's index offset cannot be right; value: the offset.
    XBlockFileFaultIndexOffset = 4,
    // At dataEnd: the word before the index area is not the end marker; value: the word.
    XBlockFileFaultEndMarker = 5,
    // At dataEnd + 4: the record counts do not fill the index area; value: the used count.
    XBlockFileFaultIndexSize = 6,
    // At a used record of the index area: its length or flag is impossible; value: its ID.
    XBlockFileFaultUsedRecord = 7,
    // At a used record of the index area: its ID is not above the previous one; value: ID.
    XBlockFileFaultIdOrder = 8,
    // At a free record of the index area: its length or flag is impossible; value: length.
    XBlockFileFaultFreeRecord = 9,
    // At a free record of the index area: its offset is not above the previous one.
    XBlockFileFaultFreeOrder = 10,
    // At a record of the index area: its slot does not begin at 16k + 8, or reaches past
    // the end marker; value: the slot's offset.
    XBlockFileFaultSlotPlace = 11,
    // At a slot named by the index: it begins inside the slot before it; value: the overlap.
    // (Records that fail the checks above are left out of this comparison.)
    XBlockFileFaultOverlap = 12,
    // At a slot: the header on disk differs from the slot's index record; value: the ID.
    XBlockFileFaultHeader = 13,
    // At a slot offset: bytes that no record covers; value: how many. Not damage: a free
    // slot the free list had no room for ends up so, and compaction reclaims it.
    XBlockFileFaultGap = 14,
    // At a slot offset: the slot scan of a rebuild refuses the header found there (it names
    // another offset, is shorter than 16 bytes or runs past the end of the file); it goes on
    // at the next header it accepts (XBlockFileFaultSkipped), or stops there.
    XBlockFileFaultBadSlot = 15,
    // At a slot offset: the bytes from here to the end of the file, past the slots a rebuild
    // accepts, that a rebuild would cut off; value: how many.
    XBlockFileFaultCutOff = 16,
    // At a slot offset: the header of a used block that a rebuild would lose, either behind
    // the point where the scan stops or because its length runs over the next header the
    // scan accepts (a damaged length); value: its ID.
    XBlockFileFaultLostBlock = 17,
    // At a slot offset: a used slot whose ID an earlier slot already has; a rebuild keeps the
    // earlier one and frees this one; value: the ID.
    XBlockFileFaultDuplicate = 18,
    // At an offset: reading the file failed there; value: the error number.
    XBlockFileFaultRead = 19,
    // At a slot offset: bytes between a header the scan refuses (or a slot whose length runs
    // too far) and the next header it accepts, which a rebuild turns into one free slot
    // rather than give up what follows; value: how many.
    XBlockFileFaultSkipped = 20,
};

struct XBlockFileFinding {
    uint64_t offset;
    uint64_t value;
    XBlockFileFault fault;
};

// Told how far the check has come: `done` of `total` bytes of the file.
typedef void (*XBlockFileProgress)(uint64_t done, uint64_t total, void* context);

class BRINDLE_API XBlockFileCheck {
  public:
    XBlockFileCheck();
    ~XBlockFileCheck();
    XBlockFileCheck(const XBlockFileCheck&) = delete;
    XBlockFileCheck& operator=(const XBlockFileCheck&) = delete;

    // Examines the block file named by the portable path `path`, read-only. Returns 0 when
    // the file was examined (whatever State then says). Otherwise the result is the error
    // number of the open (ENAMETOOLONG for an over-long path, EAGAIN when a writer holds
    // the file, -1 for a null path or an error without a number), or ENOMEM when memory ran
    // out; State is then XBlockFileUnreadable and nothing is reported.
    int32_t Examine(const char* path);
    // Examines `size` bytes in memory as the contents of a block file. When memory runs
    // out, State is XBlockFileUnreadable and nothing is reported.
    void ExamineBytes(const void* data, uint64_t size);

    // Sets the function told of the progress of later Examine calls: after each stretch of
    // about a mebibyte, from the thread that calls Examine. Null for none.
    void SetProgress(XBlockFileProgress progress, void* context);

    XBlockFileState State() const { return state_; }
    // True when XBlockFile::Open accepts the index as it stands, without a rebuild.
    bool IndexUsable() const { return indexUsable_; }
    uint64_t FileSize() const { return fileSize_; }
    // Where the slots end: the end marker named by a usable index, else the place where
    // the slot scan stopped (the end of the data after a rebuild).
    uint64_t DataEnd() const { return dataEnd_; }

    // The blocks as the file serves them: the index records when the index is usable,
    // otherwise the used slots that a rebuild would keep. Ascending ID order; `len` is the
    // data length + 16, as on disk.
    uint32_t BlockCount() const { return blockCount_; }
    const _XBlockFile_BlockRec* Blocks() const { return blocks_; }
    // The free slots the same way, in ascending offset order; `len` is the slot's size.
    uint32_t FreeCount() const { return freeCount_; }
    // How many blocks a rebuild from the slot headers keeps. BlockCount() when the index is
    // not usable; for a file whose index opens, what a rebuild forced on it (as `brindle bf
    // recover --force` makes) would find, which differs where the file is damaged.
    uint32_t RebuildBlockCount() const { return rebuildBlockCount_; }
    const _XBlockFile_BlockRec* FreeSlots() const { return free_; }

    // Everything found wrong, in the order it was found. See IsDamage.
    uint32_t FindingCount() const { return findingCount_; }
    const XBlockFileFinding* Findings() const { return findings_; }
    // True for the faults that make a file damaged or foreign; false for a missing trailer
    // (the file needs a rebuild) and for a gap (space lost until compaction).
    static bool IsDamage(XBlockFileFault fault);

  private:
    class Source;

    void Clear();
    void Run(Source* source);
    // Checks the first 16 bytes; false (with the state set) when the file is not usable.
    bool ReadHeader(Source* source);
    // Loads the index area that the trailer names and checks it; true when Open accepts it.
    bool LoadIndex(Source* source, uint32_t indexOffset);
    // Checks the loaded records as Open does, then their slot headers on disk; true when
    // Open accepts them. Forgets them when it does not.
    bool CheckRecords(Source* source, uint32_t indexOffset);
    // Walks the slot headers as a rebuild does, and looks for blocks behind where it stops.
    void Scan(Source* source);
    void FindLostBlocks(Source* source, uint64_t from);
    // The blocks a rebuild would keep of a file whose index is usable.
    uint32_t CountRebuildKeeps(Source* source);
    // Sorts the blocks by ID and turns repeated IDs into free slots, as a rebuild does.
    void KeepFirstOfEachId();
    void Note(XBlockFileFault fault, uint64_t offset, uint64_t value);
    bool Append(_XBlockFile_BlockRec** array, uint32_t* count, uint32_t* capacity,
                const _XBlockFile_BlockRec& rec);
    void Progress(uint64_t done);

    XBlockFileState state_;
    bool indexUsable_;
    uint64_t fileSize_;
    uint64_t dataEnd_;
    _XBlockFile_BlockRec* blocks_;
    uint32_t blockCount_;
    uint32_t blockCapacity_;
    uint32_t rebuildBlockCount_;
    _XBlockFile_BlockRec* free_;
    uint32_t freeCount_;
    uint32_t freeCapacity_;
    XBlockFileFinding* findings_;
    uint32_t findingCount_;
    uint32_t findingCapacity_;
    XBlockFileProgress progress_;
    void* progressContext_;
    uint64_t nextProgress_;
    bool outOfMemory_;
};

#endif  // BRINDLE_BLOCKFILE_XBLOCKFILECHECK_H_
