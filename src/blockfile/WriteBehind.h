// SPDX-License-Identifier: MIT
// Writes that the block file holds back in memory while batching, and sends together.
//
// Two kinds of writes may wait, because neither a process killed before they are sent nor
// one killed while they are being sent (a kill stops a write at a page boundary) leaves a
// file less sound than the separate writes would:
//
// - The tail: appends at the end of the data, each beginning on the end marker that the one
//   before wrote. Gathered, they are exactly the bytes that the separate writes leave, and
//   they go out as one write at rising offsets. The file on disk ends just after the end
//   marker where the tail begins, so a write stopped at a page boundary leaves whole slots
//   and then one slot that runs past the end of the file, which no scan accepts: what a kill
//   between or during the separate writes leaves too.
// - Header writes of deletions: the flag that retires a slot, and the header of the free slot
//   that then covers it. Each alone leaves the deleted block as it was or gone, and a free
//   header only ever covers slots that are free or being retired, so any subset of them may
//   land, in any order, and every block that was not deleted reads as before. Sent, they are
//   sorted by offset and merged into few writes, the flags (held as `first`) before the
//   headers. Torn at a page (a kill) or a sector (a power cut), such a write leaves a subset
//   of whole held writes, since none is held that crosses such a boundary (a free header at
//   8 bytes before a page goes out at once, after what is held). Where the bytes between two
//   of them are written too, they are first read from the file and written back unchanged;
//   never while syncing, since a power cut during the rewrite of a synced block could damage
//   it. A failing disk may cut a write short at any byte: a flag cut short still reads free,
//   and since the flags have landed before, a header cut short reads as a free slot whose ID
//   does not matter and whose length, part old and part new, is a multiple of 16 that ends
//   inside the free space the new one covers (a free slot only grows while its header waits),
//   where a rebuild's search finds the next header. Were a header and the flag of its slot
//   in one write, one cut short between them would leave a used slot with a new ID.
//
// The block file sends what is held before any other write, cut or sync, so that apart from
// the merging the file sees its changes in the order they were made.
#ifndef BRINDLE_BLOCKFILE_WRITEBEHIND_H_
#define BRINDLE_BLOCKFILE_WRITEBEHIND_H_

#include <stddef.h>
#include <stdint.h>

#include "blockfile/FileCalls.h"

namespace brindle {
namespace blockfile {

class WriteBehind {
  public:
    // The tail's buffer, which also carries the merged header writes on their way out.
    static constexpr size_t kBufferSize = size_t{1} << 16;
    // Header writes held at most, and the most bytes of one.
    static constexpr uint32_t kMaxWrites = 2048;
    static constexpr size_t kMaxWriteSize = 16;
    // Without rewriting the bytes between, only writes that overlap or touch are merged;
    // with it, also those less than this many bytes apart.
    static constexpr uint64_t kNear = 4096;

    WriteBehind() = default;
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;
    ~WriteBehind();

    // Takes the memory; false when it cannot be had, and nothing is held then.
    bool Init();
    bool Empty() const { return tailSize_ == 0 && firstCount_ + laterCount_ == 0; }

    // Holds the pieces, written one after another from `offset`, as part of the tail: when the
    // tail is empty, or when they begin within it or at its end and reach at least its end
    // (the bytes they cover are replaced); never over or before a header write held. False,
    // with nothing held, when they do not qualify or do not fit the buffer.
    bool HoldAppend(const WriteSlice* pieces, int count, uint64_t offset);
    // Holds `size` bytes (1 to kMaxWriteSize) at `offset`, unless they cross a multiple of
    // `tearUnit`, overlap the tail, or kMaxWrites are held already: false then. Writes held as
    // `first` go out before the others; where one of them is made after another write to the
    // same bytes, it must write the bytes that one wrote (as a slot's flag and its free header
    // both write the free flag).
    bool HoldWrite(const void* data, size_t size, uint64_t offset, uint32_t tearUnit, bool first);

    // Copies into `buf` those of the `size` bytes at `offset` that lie in the tail, and
    // returns how many come before the tail's start (all of them when there is no tail),
    // which the caller reads from the file. Bytes past the tail's end are not touched. Header
    // writes held are not seen: they change only headers of slots being freed.
    size_t ReadTail(void* buf, size_t size, uint64_t offset) const;

    // Sends everything held to `fd`: the tail in one write, then the writes held as `first`,
    // then the others, merged, each byte as the last write made to it left it. With
    // `rewriteBetween`, writes less than kNear apart go out together, with the bytes between read
    // from the file and written back. True when all went out; false with errno set (or 0 for a
    // short read) when a file call fails: what may not have gone out whole stays held, and sending
    // it again writes the same bytes.
    bool Send(int fd, bool rewriteBetween);
    // Forgets everything held.
    void Drop();

  private:
    struct Held {
        uint64_t offset;
        uint32_t seq;  // the order in which the writes were made
        uint32_t size;
        uint8_t bytes[kMaxWriteSize];
    };

    // Sends the held writes [begin, end) of `held_`, sorting them by offset first unless
    // they are (as when blocks are deleted in the order of their places).
    bool SendRange(int fd, uint32_t begin, uint32_t end, bool rewriteBetween);
    // The index, at most `limit`, past the run of held writes, sorted by offset, that begins
    // at `first` and in which each overlaps the bytes of those before it; `*end` is where the
    // run ends.
    uint32_t RunAfter(uint32_t first, uint32_t limit, uint64_t* end) const;
    // Writes the held writes [first, last), which lie from `start` to `end`, as one write.
    bool SendGroup(int fd, uint32_t first, uint32_t last, uint64_t start, uint64_t end, bool gaps);

    uint8_t* buffer_ = nullptr;  // kBufferSize bytes
    // kMaxWrites of them: those held as `first` from the front, the others from the back
    // (so in the reverse of the order made).
    Held* held_ = nullptr;
    uint64_t tailStart_ = 0;
    size_t tailSize_ = 0;
    uint32_t firstCount_ = 0;
    uint32_t laterCount_ = 0;
    uint64_t heldEnd_ = 0;  // where the held header write that ends last ends
};

}  // namespace blockfile
}  // namespace brindle

#endif  // BRINDLE_BLOCKFILE_WRITEBEHIND_H_
