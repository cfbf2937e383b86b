// SPDX-License-Identifier: MIT
// XBlockFile: one file on disk holding blocks of bytes addressed by 32-bit IDs.
//
// A caller creates the file once with Create, opens it read-only or read-write, writes,
// reads and deletes whole blocks, and closes it. The file manages its own space: freed
// slots go to a free list, are merged with free neighbours at once and are reused by later
// writes (an exact fit first, else the best fit that leaves at least 32 bytes free, else the
// end of the data); Compact squeezes the free space out.
//
// File format (every integer unsigned 32-bit little-endian, on every host):
//
//   0            "AavE" (41 61 76 45), then a reserved 0 word
//   8            slots, back to back up to dataEnd: each a 16-byte _XBlockFile_BlockRec
//                header and the block's data, 16 + (data length raised to a multiple of
//                16) bytes in all, so every slot begins at an offset 16k + 8
//   dataEnd      end marker 0xFFFFFFFF
//   dataEnd + 4  N, then the N used records in ascending ID order
//                M, then the M free records in ascending offset order
//   end - 8      dataEnd + 4 (where N is), then "AavE"
//
// The index area and trailer (everything after the end marker) exist only while the file is
// clean. The first change after an open or a flush cuts them off; Flush and Close write them
// back. A file left behind by a process that died in between has no trailer: a read-write
// Open rebuilds the index from the slot headers, a read-only Open refuses it. A new file is
// the 28 bytes "AavE", 0, 0xFFFFFFFF, 0, 0, 12, "AavE".
//
// Beyond what the format itself asks, the class keeps four promises. Each keeps the byte
// format, every interface and every result; each only adds safety, and where it changes
// what the format's plain rules would do, it says so here. Batching, a mode a host chooses,
// trades one of them for speed.
//
// One writer at a time. A read-write Open takes an exclusive advisory lock on the whole
// file, a read-only Open (and XBlockFileCheck::Examine) a shared one, without waiting. The
// locks belong to the open file (OFD locks; flock on a system without them), so two objects
// conflict even within one process. A conflict makes Open return the lock's error number,
// EAGAIN, before anything is read or written: two writers never interleave their changes,
// and a reader never reads a file under a writer. The locks are advisory: a program that
// does not take them is not stopped.
//
// A killed process. A process killed at any moment never costs a block that was on disk
// before: the next read-write Open finds every block whole, and a block that was being
// written, deleted or moved holds its old or its new contents. At every write boundary the
// slot headers chain through every block, a header names a block only once its data is
// written, and a block's old copy is given up only once its new one is whole. Without
// syncing (below), a rewrite with the block's exact length is done in place with one write,
// as the format has it, so that the index on disk stays valid: cut short, it may leave the
// block's front new and its rest old. While batching (below), the promise for a killed
// process is the one for power cuts instead.
//
// Power cuts. While syncing (the default), Flush, Close and Create return success only when
// what they promise is on stable storage, and every change is ordered by syncs so that a
// power cut at any moment leaves a file whose next read-write Open succeeds, with this
// promise: every block that was in the file at the last successful Flush or Close and was
// not changed since reads back exactly; a block written or deleted since reads with its old
// bytes, its new bytes, or (for an ID it did not have) is absent; no block ever reads bytes
// that were never written under its ID. To keep it the class departs from the format's
// plain rules in four ways: the first change after a flush waits for the cut of the index
// area to reach the disk before any data lands where the index was; a new copy's header
// names its block only once the data is synced; every rewrite, also one with the exact
// length, writes the new copy where a new block would go and frees the old one once the new
// one is synced, so even a rewrite of the same length leaves a clean file changed; and Flush
// syncs the index before it writes the trailer, and the trailer before it returns, so that a
// flushed file is clean after a power cut and a read-only Open accepts it.
// Create syncs the new file and its directory. The cost: a WriteBlock that changes the file
// waits for one sync, two when it replaces a block, and one more when its data would land
// on space freed or cut off since the last sync (as the first append after a flush does);
// DeleteBlock waits for none; Flush for two, or three after deletions alone; Close for none
// more; Compact for two or three per batch of blocks, five for a batch that goes by way of
// the end of the data. Four syncs make a changed block durable, about what a database
// commit costs (the block file benchmark compares them). A host that needs none of this
// (a cache, a test, a bulk load) turns syncing off with SetSyncing; turned on again, the
// promise holds from the next Flush or Close.
//
// Batching. A host that writes or deletes many blocks at a time (a bulk load, a purge) can
// turn batching on with SetBatching. The object then holds two kinds of writes back in
// memory and sends them together: appends at the end of the data (while not syncing), up to
// 64 KiB of them in one write, and the header writes of deletions (the flag that retires a
// slot, the header of the free slot that takes it in), up to 2,048, sorted by offset and
// merged into few writes. What is held is sent before any other write, cut or sync, by
// Flush, Close and Compact, and when syncing or batching is turned on or off, so the file
// ends up the same, byte for byte; reads find the blocks held as written. It saves the one
// or two system calls that each such append or delete makes otherwise (a microsecond or
// two each), most of what they cost without syncing. The price: a killed process keeps the
// promise for power cuts (above) instead of losing nothing it had written: every block that
// was in the file at the last successful Flush or Close and not changed since reads back
// exactly; a block written or deleted since reads its old bytes, its new bytes, or (for an
// ID it did not have) is absent; no block reads bytes never written under its ID. (Without
// syncing, a rewrite with the block's exact length is made in place and may leave part of
// each, batching or not.) While syncing, the promise for power cuts stays as it is. What
// the object itself reads back is the same either way; only what a killed process leaves
// behind differs. A held write that fails is reported by the call that sends it (a
// WriteBlock or DeleteBlock then returns -1 for it), at the latest by Flush or Close in
// IOError(); after an I/O error, what is held is never written. Batching takes 128 KiB of
// memory; without it, every write goes out at once.
//
// A damaged file. A rebuild keeps every slot whose header checks out. Its scan accepts a
// header when it names its own offset, covers at least itself and ends within the file; at
// a header it refuses, it does not stop, as the format's plain rule would, but searches on
// for the next header it accepts and goes on from there, writing one free slot over the
// bytes between. Where the refused header did not even name its own offset, the length of
// the slot before it is in doubt: the search begins inside that slot, and a header found
// there shows its length wrong, so it goes into the free slot too. Only what follows the
// last slot accepted is cut. A length damaged so that it ends exactly on a later header
// cannot be told from a real one, and the slots it spans go with it. A read-write Open of a
// file whose trailer looks intact but whose index fails the checks rebuilds it instead of
// failing (a write cut short can leave block bytes that read "AavE" where the trailer would
// be); a read-only Open still fails. XBlockFileCheck predicts a rebuild with the same scan.
//
// I/O errors. A file call that fails while the object changes the file (a write, a cut, a
// sync, or a read that Compact needs) is reported: WriteBlock and DeleteBlock return -1,
// and for Flush, Compact and Close, which have no result, IOError() gives the error number.
// The object then changes the file no more: WriteBlock and DeleteBlock return -1 at once,
// Compact and Flush do nothing, and Close closes the file without writing an index, so that
// the next read-write Open rebuilds the index from the slot headers. Until then reads go on:
// every block that the failed call did not change reads as before, and the block it was
// changing reads with its old or its new contents (after a rewrite in place with its exact
// length, possibly part of each), never with bytes that the file does not hold for it. A
// reopened file is whole in the same way as after a crash (above). Calls interrupted by a
// signal, and transfers the system cuts short, are retried, not reported.
//
// Files are treated as untrusted input. Open accepts an index only when its records are
// sorted, unique, aligned, inside the data, at least 16 bytes long and free of overlaps.
//
// Reads come from a read-only memory mapping of the file (from plain reads where the file
// cannot be mapped), so a read costs a lookup and a copy; the mapping follows the file as
// this object's writes grow it. Like any memory-mapped store, the file must not be cut
// short by anyone else while it is open, and a disk error under the mapping is not a
// failed read: in both cases the system raises SIGBUS.
//
// Costs. The index and the free list are held in memory in balanced trees rather than in
// the sorted arrays that the format describes: finding a block by ID or by position, and
// the bookkeeping of a write or a delete (placing the record, choosing the best-fitting
// free slot, merging freed neighbours), cost O(log n) in the number of blocks and free
// slots, however the IDs come and go; walking the blocks by position costs O(1) per step.
// The file is the same, byte for byte, and every slot is chosen exactly as before. Open,
// Flush, Rebuild and Compact handle the whole index, in O(n) or O(n log n).
//
// Path names are portable paths (brindle/blockfile/PortablePath.h). The class has no lock:
// an object and its file belong to one thread at a time. Objects cannot be copied, so a
// descriptor or an array is never released twice.
#ifndef BRINDLE_BLOCKFILE_XBLOCKFILE_H_
#define BRINDLE_BLOCKFILE_XBLOCKFILE_H_

#include <stddef.h>
#include <stdint.h>

#include "brindle/Export.h"

namespace brindle {
namespace blockfile {
class BlockIndex;
class FreeSpace;
class WriteBehind;
}  // namespace blockfile
}  // namespace brindle

// The 16-byte record that is, unchanged, a slot header on disk, a record of the index area
// and an element of the in-memory index and free list.
struct _XBlockFile_BlockRec {
    uint32_t offset;    // file offset of the slot (of this header)
    uint32_t id;        // the block's ID; 0 for a free slot
    uint32_t len;       // used: data length + 16; free: the slot's size, a multiple of 16
    uint32_t freeFlag;  // 0 for a used slot; non-zero (0xFFFFFFFF when written) for a free one
};

class BRINDLE_API XBlockFile {
  public:
    // A closed object.
    XBlockFile();
    XBlockFile(const XBlockFile&) = delete;
    XBlockFile& operator=(const XBlockFile&) = delete;
    // Closes the object if it is open. Runs XBlockFile's own hooks only: a derived class
    // whose OnFlush must run at the last flush calls Close in its own destructor.
    virtual ~XBlockFile();

    // Creates a new, empty block file readable and writable by its owner, and syncs it and
    // its directory entry. Never replaces an existing file. 0 on success; -1 if the name
    // exists or `path` is null; ENAMETOOLONG if the path does not fit kPortablePathSize
    // bytes; otherwise the errno of the failing call (-1 if that is 0). A file whose writing
    // failed is left behind, without write permission if it failed before that was given.
    static int32_t Create(const char* path);

    // Opens an existing file, taking its lock (see "One writer at a time" above). 0 on
    // success, also after a rebuild. -1 if this object is already open (the open file is left
    // as it was), for a null path, for a file that is not a block file, and, read-only, for
    // one without trailer or whose index fails the checks above (read-write rebuilds those);
    // EAGAIN when another object or program holds a conflicting lock; ENAMETOOLONG for an
    // over-long path; ENOMEM when memory runs out; otherwise the errno of the failing call
    // (-1 if that is 0), be it a read, a write or a sync of the rebuild (the file is then left
    // for the next read-write Open to rebuild). Failure leaves the object closed and a
    // read-only open never changes the file. Clears IOError().
    virtual int32_t Open(const char* path, bool readOnly);

    // Flushes (which syncs what is left to sync), closes the descriptor, which releases the
    // lock, and frees the index and free list; BlockCount is then 0. Does nothing on a
    // closed object. After an I/O error it writes no index. A failure of the flush, the
    // sync or of closing the descriptor is left in IOError(), which stays readable after
    // Close until the next Open.
    virtual void Close();

    // 0 while every file call that changed the file since Open succeeded; else the error
    // number of the first that failed (EIO when the system gave none). The object then
    // changes the file no more (see "I/O errors" above).
    int32_t IOError() const;

    // Writes `len` bytes from `data` as block `id`, replacing any block of that ID. 0 on
    // success; -1 when a file call fails (the block then reads as before, or with its new
    // contents if they reached the file whole; a rewrite in place with the old length may
    // have changed part of the bytes); -1 with nothing changed when the object is closed or
    // read-only, has met an I/O error, `data` is null while `len` is not 0, `len` exceeds
    // 0x7FFFFFEF, the data (or the copy that a rewrite into the block's own space first
    // makes at the end of the data) would not fit below 4 GiB, or memory runs out. Without
    // syncing, rewriting a block with its old length on a clean file leaves the file clean.
    int32_t WriteBlock(uint32_t id, const void* data, uint32_t len);

    // Reads the first bytes of block `id` into `buf`: returns how many, the smaller of the
    // block's length and `bufLen` (fewer if the file ends early). -1 if the object is
    // closed, there is no such block, `buf` is null while bytes are wanted, or the read fails
    // (a read error is not recorded in IOError()).
    int32_t ReadBlock(uint32_t id, void* buf, uint32_t bufLen) const;
    // ReadBlock for the block at position `pos` in ascending ID order; -1 if `pos` is not
    // below BlockCount().
    int32_t ReadIndBlock(uint32_t pos, void* buf, uint32_t bufLen) const;

    // The whole of block `id` in a new malloc buffer that the caller frees with free, with
    // its length in `*len` (when `len` is not null). Null if the object is closed, there is
    // no such block, memory runs out or the block cannot be read in full; `*len` is set in
    // the last two cases too. A block of 0 bytes gives a non-null buffer.
    void* ReadBlock_NF(uint32_t id, uint32_t* len) const;
    // ReadBlock_NF for the block at position `pos`; null if `pos` is not below BlockCount().
    void* ReadIndBlock_NF(uint32_t pos, uint32_t* len) const;

    // The data length of block `id`; -1 if the object is closed or there is no such block.
    int32_t BlockLen(uint32_t id) const;
    // The data length of the block at position `pos`; -1 if closed or out of range.
    int32_t IndBlockLen(uint32_t pos) const;
    // Stores the ID at position `pos` in `*id` and returns 0; -1 if closed, out of range or
    // `id` is null. Position 0 holds the smallest ID (unsigned order).
    int32_t GetIndBlockID(uint32_t pos, uint32_t* id) const;
    // True when block `id` exists.
    bool BlockExists(uint32_t id) const;

    // Deletes block `id`: 1 on success; -1 if closed, read-only, after an I/O error, when
    // there is no such block or memory runs out (nothing is then changed), and when a file
    // call fails (the block then still reads as before; reopened, the file may hold it or
    // not).
    int32_t DeleteBlock(uint32_t id);

    // An ID that no block of the file has, drawn from rand(). On a closed object, the first
    // candidate drawn.
    uint32_t UniqueID() const;
    // True when no block has `id`; true on a closed object.
    bool IsUnique(uint32_t id) const;
    // The number of blocks; 0 on a closed object.
    uint32_t BlockCount() const;
    bool IsReadOnly() const;

    // Whether this object makes its changes durable (see "Power cuts" above); on by default,
    // kept across Close and Open. With syncing off, nothing is synced and the promise is the
    // one for a killed process only; a host that turns it back on has the promise for power
    // cuts again from its next Flush or Close.
    void SetSyncing(bool on);
    bool IsSyncing() const;

    // Whether this object holds writes back in memory and sends them together (see
    // "Batching" above); off by default, kept across Close and Open. Turned off, it sends
    // what is held first; a failure of that is left in IOError().
    void SetBatching(bool on);
    bool IsBatching() const;

    // Writes the index area and trailer if the file changed since it was opened or last
    // flushed, calling OnFlush first; while syncing, it returns once every block is on
    // stable storage (see "Power cuts" above), and on a file that did not change it syncs
    // what was written since the last sync. Does nothing on a closed or read-only object, or
    // after an I/O error. A failed write or sync is left in IOError(), and the file stays
    // without trailer.
    void Flush();

    // Moves every block down over the free space before it and cuts the file after the last
    // block, keeping IDs, lengths and contents; the free list is then empty and the file
    // clean. Does nothing on a closed or read-only object or one without free slots. The
    // argument has no effect.
    //
    // A crash or a power cut at any moment of the pass loses nothing: the next read-write
    // Open finds every block whole, at its old place or its new one. Blocks move in batches:
    // blocks whose new places all lie in the free space before them are copied there, and
    // once the copies are on disk (synced, while syncing) the old ones are retired; a run of
    // blocks whose new places overlap their old ones first goes by way of copies behind the
    // data (the file grows by at most 4 MiB, or one block, meanwhile, and the blocks are
    // written twice). Data moves through a fixed buffer; the pass needs memory only for a
    // list of the blocks in file order (8 bytes per block), and does nothing when that
    // cannot be had. If a file call fails (the error is left in IOError()), or a block would
    // have to pass the largest data end (4 GiB) on its way, the pass ends there and the
    // blocks from there on stay where they are. Does nothing after an I/O error.
    void Compact(bool);

  protected:
    // Rebuilds the index and free list from the slot headers of a file opened read-write
    // whose trailer is missing or whose index fails the checks, as "A damaged file" above
    // tells: writes a free header over each stretch the scan skipped, cuts the file behind
    // the last slot accepted, calls OnRebuild and flushes. Of used slots that share an ID the
    // one nearest the start of the file is kept and the others become free space. Such
    // twins are what a crash leaves between writing a block's new copy and retiring its old
    // one; a copy's header names it only once its data is written, so both are whole, and
    // they hold the same bytes (compaction) or the block's old and new contents (an
    // interrupted rewrite): either is a right choice. 0 on success; ENOMEM when memory runs
    // out, or the errno of a failed read (the file untouched), or of a failed write or sync
    // (the file can be rebuilt again). Called on an object whose arrays are empty, as Open
    // leaves them.
    int32_t Rebuild();
    // Called at the end of every Rebuild, with the index built and sorted, before it is
    // flushed. Does nothing by default.
    virtual void OnRebuild();
    // Called at the start of every Flush that writes. A derived class may write blocks of
    // its own here. Does nothing by default.
    virtual void OnFlush();

    // Marks the object changed and cuts the index area and trailer off the file (a file
    // without slots keeps 16 bytes, the least that Open reads); does nothing if already
    // changed, closed or read-only. False if the cut failed.
    bool Modify();
    // Binary search for `id`: true with its position in `*pos`, or false with the position
    // at which it would be inserted. False with `*pos` untouched on a closed object.
    bool FindIndex(uint32_t id, uint32_t* pos) const;
    // Turns the slot of the used record `rec` into free space, merges it with the free slots
    // that touch it and writes the merged header. If the free list cannot grow, the header
    // is written as free but the space stays unused until the next compaction. Does nothing
    // on a closed or read-only object.
    void DestroyBlock(_XBlockFile_BlockRec* rec);
    // Writes `rec` as the header of its slot.
    void WriteBlockHeader(_XBlockFile_BlockRec* rec);

  private:
    // Sets the members for an Open.
    void Reset(bool readOnlyOpen);
    // Frees the index and the free space, closes the descriptor and marks the object closed.
    void Discard();
    // Steps 4 to 7 of Open: checks the header, loads the index or rebuilds it.
    int32_t Load();
    int32_t LoadIndexArea(uint32_t indexOffset, uint64_t length);
    // The record of block `id`, or of the block at position `pos`; null when there is none
    // or the object is closed.
    _XBlockFile_BlockRec* Lookup(uint32_t id) const;
    _XBlockFile_BlockRec* RecordAt(uint32_t pos) const;
    // Reads exactly `size` bytes at `offset`: 0, or the errno (-1 for a short read).
    int32_t ReadExactly(void* buf, size_t size, uint64_t offset) const;

    int32_t ReadData(const _XBlockFile_BlockRec& rec, void* buf, uint32_t bufLen) const;
    // Maps the clean file just opened; without a mapping, reads use the file calls.
    void MapWhole();
    // Allocates `held`, while batching on a file open read-write, if it is not; leaves it null
    // when memory runs out.
    void TakeWriteBehind();
    // Lets the mapping cover the first `end` bytes if the file holds them now, growing it
    // when needed; false if it cannot (the read then goes to the file), -1 if the file's
    // length cannot be learned.
    int32_t MapThrough(uint64_t end) const;
    void* ReadData_NF(const _XBlockFile_BlockRec& rec, uint32_t* len) const;

    // Rewrites the block of the index record `rec`, whose slot already has the right size, in
    // its own place.
    int32_t RewriteInPlace(_XBlockFile_BlockRec* rec, const void* data, uint32_t len);
    // Writes a new copy of the block of the index record `rec` where a new block of its size
    // would go and frees the old one only once the new one is on disk: the way every rewrite
    // goes while syncing.
    int32_t RewriteElsewhere(_XBlockFile_BlockRec* rec, const void* data, uint32_t len);
    // Takes a slot of `size` bytes from the free list or the end of the data and stores its
    // offset; true when it was appended, else `*freeEnd` is where the free slot it was
    // taken from ended.
    bool TakeSlot(uint32_t size, uint32_t* offset, uint32_t* freeEnd);
    // Adds the slot of the used record `rec` to the free space, merged with the free slots
    // that touch it, and returns the merged record. Writes nothing; needs the free space's
    // Reserve.
    _XBlockFile_BlockRec ReleaseSlot(const _XBlockFile_BlockRec& rec);
    // DestroyBlock, with a result: retires the slot on disk and writes the merged header.
    bool FreeSlot(const _XBlockFile_BlockRec& rec);

    // The ways a block's new copy reaches the disk. Each writes the data first and makes
    // the slot's header say so only after a sync (when syncing), and sets `*live` to the copy
    // it made whole and visible. Appends the slot `rec` at the end of the data.
    bool AppendSlot(const _XBlockFile_BlockRec& rec, const void* data, uint32_t len,
                    _XBlockFile_BlockRec* live);
    // Writes the slot `rec` at the front of a free slot on disk that ends at `freeEnd`.
    bool WriteIntoFree(const _XBlockFile_BlockRec& rec, const void* data, uint32_t len,
                       _XBlockFile_BlockRec* live, uint32_t freeEnd);
    // Writes the slot `rec` over the block's old slot `*live` and the free space around it
    // (up to `freeEnd`), going by way of a copy at the end of the data.
    bool WriteOverOld(const _XBlockFile_BlockRec& rec, const void* data, uint32_t len,
                      _XBlockFile_BlockRec* live, uint32_t freeEnd);
    // Writes the header of the free record whose slot holds `offset`, if there is one.
    bool WriteFreeSlotCovering(uint32_t offset);

    // The file calls, in the order that makes a crash or a power cut harmless.
    //
    // Records the errno of a failed file call (EIO if it has none) as the object's I/O
    // error, unless one is recorded already; returns false.
    bool Failed();
    // Makes everything written so far durable, when syncing; false if that fails.
    bool Barrier();
    // Notes that the bytes from `start` to `end` held a slot that a power cut before the
    // next sync could still bring back: nothing is written there before that sync.
    void MarkFreed(uint64_t start, uint64_t end);
    // Whether a write may wait in memory while batching: only the appends of AppendSlot and
    // the header writes of FreeSlot may (see WriteBehind.h for why), the flags that retire a
    // slot going out before the others; every other write goes out at once, after what is
    // held.
    enum WriteTiming : uint32_t { kWriteNow, kMayHold, kMayHoldFirst };
    // Sends what is held, if anything; false, with the error recorded, if that fails or an
    // error was recorded before.
    bool SendHeld();
    // Holds a write through `tryHold`, which returns whether the write was held, sending what
    // is held first when it was not; false when the write is to go out at once.
    template <class TryHold>
    bool Hold(const TryHold& tryHold);
    // Sends what is held, then makes the file call `call` (which returns whether it
    // succeeded), unless an error was recorded before; false, with the error recorded, when
    // it fails or is not made.
    template <class FileCall>
    bool Change(const FileCall& call);
    // Writes `size` bytes at `offset`, or cuts the file to `length`; false, with the error
    // recorded, if the call fails or an error was recorded before (nothing is then written).
    // Either sends what is held first, unless the write itself may wait and does.
    bool Put(const void* data, size_t size, uint64_t offset, WriteTiming timing = kWriteNow);
    bool Cut(uint64_t length);
    // Syncs first when the bytes from `start` to `end` overlap space freed since the last
    // sync: nothing lands in a slot before the disk holds it free.
    bool SyncBeforeWriting(uint64_t start, uint64_t end);
    // One piece of the bytes that PutContent writes.
    struct Piece {
        const void* data;
        size_t size;
    };
    // Writes the `count` pieces (at most 8) one after another from `offset` on, as new
    // contents of the file: after SyncBeforeWriting.
    bool PutContent(const Piece* pieces, int count, uint64_t offset,
                    WriteTiming timing = kWriteNow);
    // Writes a slot's first header half (offset and ID) or second half (length and flag).
    // Each half is 8 aligned bytes, which no crash or power cut tears.
    bool WriteHeaderFront(uint32_t offset, uint32_t id);
    bool WriteHeaderBack(uint32_t offset, uint32_t len, uint32_t freeFlag,
                         WriteTiming timing = kWriteNow);
    // Writes `rec` as the whole header at its offset.
    bool WriteRecord(const _XBlockFile_BlockRec& rec, WriteTiming timing = kWriteNow);
    // Writes the header of a free slot of `size` bytes at `offset`, which holds the header of
    // a free slot, or of a used one already retired: with ID 0, as the format has it, where
    // no power cut can tear the write; else only its second half.
    bool WriteFreeRecord(uint32_t offset, uint32_t size, WriteTiming timing = kWriteNow);
    // Turns the used slot at `offset` into a free one of the same size by setting its flag.
    bool RetireSlot(uint32_t offset, WriteTiming timing = kWriteNow);
    // Writes the end marker at dataEnd and cuts the file just after it.
    bool WriteEndMarker();

    // Writes the headers of the gaps a rebuild found, over bytes no scan accepted.
    bool WriteGapHeaders(const _XBlockFile_BlockRec* gaps, uint32_t count);
    // Copies the data of the slot `from` into the slot at `to`, through a fixed buffer, and
    // clears the rest of that slot.
    bool CopyData(const _XBlockFile_BlockRec& from, uint64_t to);
    // Writes copies of the `count` blocks whose records `blocks` lists (in file order), one
    // after another from `to`, inside a free slot from `to` to `freeEnd` that holds none of
    // them: the copies become slots of their own, and the records name them, only once they
    // are whole on disk; the rest of the free slot stays free.
    bool PlaceCopies(_XBlockFile_BlockRec* const* blocks, uint32_t count, uint32_t to,
                     uint32_t freeEnd);
    // Moves a batch of blocks down to `to` when their new places lie before their old ones
    // (directly), or when they overlap (by way of copies at the end of the data).
    bool MoveDirectly(_XBlockFile_BlockRec* const* blocks, uint32_t count, uint32_t to);
    bool MoveByWayOfEnd(_XBlockFile_BlockRec* const* blocks, uint32_t count, uint32_t to,
                        uint32_t total);
    // After a compaction that stopped at the block at `next`: the free list keeps the slots
    // from there on, and the space from `gapStart` to `next` becomes one free slot.
    void KeepFreeSpaceFrom(uint32_t gapStart, uint32_t next);

    // The records of the blocks by ID, and the free slots; both allocated by Open and freed
    // by Close, null while the object is closed. Each change to them costs O(log n).
    brindle::blockfile::BlockIndex* index;
    brindle::blockfile::FreeSpace* freeSpace;
    int32_t fd;
    uint32_t dataEnd;
    bool modified;
    bool readOnly;
    int32_t ioError;  // IOError()
    // Reads come from a read-only shared mapping of the file, which grows as reads reach
    // past it. At most `mapReadable` bytes of it are read, never more than the file held
    // when last looked at: the length of the clean file at Open, the length found when a
    // read reached further, lowered before every cut. Null: reads use the file calls.
    mutable const uint8_t* map;
    mutable uint64_t mapSize;
    mutable uint64_t mapReadable;
    bool syncing;   // IsSyncing()
    bool unsynced;  // written to or cut since the last sync
    // Space freed since the last sync (see MarkFreed); `freedAll` when there was more than
    // the ranges hold, or when syncing was just turned on.
    static constexpr int kFreedRanges = 8;
    int freedCount;
    bool freedAll;
    struct {
        uint64_t start;
        uint64_t end;
    } freed[kFreedRanges];
    bool batching;  // IsBatching()
    // The writes held back while batching; null while not, or when its memory could not be
    // had (everything is then written at once).
    brindle::blockfile::WriteBehind* held;
};

#endif  // BRINDLE_BLOCKFILE_XBLOCKFILE_H_
