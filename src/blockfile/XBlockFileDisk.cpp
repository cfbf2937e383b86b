// SPDX-License-Identifier: MIT
// The block file's writes to disk: recording failures, syncing, and writing headers so that
// neither a killed process nor a power cut leaves one that misleads a scan.
//
// A power cut keeps what was synced, and of what was written after the last sync any part,
// in 512-byte sectors, in any order. Three rules make that harmless, given that every
// change is ordered by syncs (Barrier) where it matters:
// - Space is written over only when it is free on disk: space freed since the last sync
//   (a retired slot, a cut) is written over only after the next one (MarkFreed, PutContent).
// - A header names a block only once its data is on disk: a new slot's header is written
//   in two 8-byte halves, which no sector boundary divides. The first half (offset and ID)
//   goes with the data, over a header that still reads as free or refused; the second
//   (length and used flag) follows after a sync.
// - A header is never half written over bytes that could read as a used slot: free
//   headers over unknown bytes go second half first.
// While batching, some writes wait in memory (WriteBehind.h); they are sent before any other
// write, cut or sync, so every rule above holds for them as for the writes made at once.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/WriteBehind.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::kFreeFlag;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::Record;

bool XBlockFile::Failed() {
    if (ioError == 0)
        ioError = errno != 0 && errno != EINTR ? errno : EIO;
    return false;
}

bool XBlockFile::Barrier() {
    if (!SendHeld() || ioError != 0)
        return false;
    if (!syncing || !unsynced)
        return true;
    errno = 0;
    if (!brindle::SyncFile(fd, false))
        return Failed();
    unsynced = false;
    freedCount = 0;
    freedAll = false;
    return true;
}

void XBlockFile::MarkFreed(uint64_t start, uint64_t end) {
    if (!syncing)
        return;
    if (freedCount == kFreedRanges) {
        freedAll = true;
        return;
    }
    freed[freedCount++] = {start, end};
}

bool XBlockFile::SendHeld() {
    if (held == nullptr || held->Empty())
        return true;
    // After a failure nothing more is written; the tail stays held, so that its blocks still
    // read, until the file is closed.
    if (ioError != 0)
        return false;
    errno = 0;
    unsynced = true;
    return held->Send(fd, !syncing) || Failed();
}

template <class TryHold>
bool XBlockFile::Hold(const TryHold& tryHold) {
    if (!batching || held == nullptr || ioError != 0 || !(tryHold() || (SendHeld() && tryHold())))
        return false;
    unsynced = true;
    return true;
}

template <class FileCall>
bool XBlockFile::Change(const FileCall& call) {
    SendHeld();
    // After a failure nothing more is written: the file stays as the failure left it.
    errno = 0;
    unsynced = true;
    return (ioError == 0 && call()) || Failed();
}

bool XBlockFile::Put(const void* data, size_t size, uint64_t offset, WriteTiming timing) {
    // Held, a write must not be torn where a kill (at a page) or a power cut (at a sector)
    // could tear it.
    const uint32_t tearUnit = syncing ? 512 : 4096;
    const bool first = timing == kMayHoldFirst;
    if (timing != kWriteNow &&
        Hold([&] { return held->HoldWrite(data, size, offset, tearUnit, first); }))
        return true;
    return Change([&] { return brindle::WriteAt(fd, data, size, offset); });
}

bool XBlockFile::Cut(uint64_t length) {
    // Bytes cut off must not be read through the mapping (the system would raise SIGBUS).
    mapReadable = std::min(mapReadable, length);
    MarkFreed(length, UINT64_MAX);
    return Change([&] { return brindle::SetFileLength(fd, length); });
}

bool XBlockFile::SyncBeforeWriting(uint64_t start, uint64_t end) {
    bool overlaps = freedAll;
    for (int i = 0; i < freedCount && !overlaps; ++i)
        overlaps = freed[i].start < end && start < freed[i].end;
    return !overlaps || Barrier();
}

bool XBlockFile::PutContent(const Piece* pieces, int count, uint64_t offset, WriteTiming timing) {
    brindle::WriteSlice slices[8];
    uint64_t end = offset;
    for (int i = 0; i < count && i < 8; ++i) {
        slices[i] = {pieces[i].data, pieces[i].size};
        end += pieces[i].size;
    }
    if (!SyncBeforeWriting(offset, end))
        return false;
    if (timing != kWriteNow && Hold([&] { return held->HoldAppend(slices, count, offset); }))
        return true;
    return Change([&] { return brindle::WriteSlicesAt(fd, slices, count, offset); });
}

bool XBlockFile::WriteHeaderFront(uint32_t offset, uint32_t id) {
    uint8_t half[8];
    brindle::blockfile::StoreLittle32(half, offset);
    brindle::blockfile::StoreLittle32(half + 4, id);
    return Put(half, sizeof half, offset);
}

bool XBlockFile::WriteHeaderBack(uint32_t offset, uint32_t len, uint32_t freeFlag,
                                 WriteTiming timing) {
    uint8_t half[8];
    brindle::blockfile::StoreLittle32(half, len);
    brindle::blockfile::StoreLittle32(half + 4, freeFlag);
    return Put(half, sizeof half, uint64_t{offset} + 8, timing);
}

bool XBlockFile::WriteFreeRecord(uint32_t offset, uint32_t size, WriteTiming timing) {
    // The header already reads as free: after a kill the first half of the record may have
    // landed alone, which still reads so. A power cut may keep either sector of a header
    // that straddles two; while syncing, such a header keeps its first half, ID and all.
    if (syncing && offset % 512 == 512 - 8)
        return WriteHeaderBack(offset, size, kFreeFlag, timing);
    return WriteRecord({offset, 0, size, kFreeFlag}, timing);
}

bool XBlockFile::WriteRecord(const Record& rec, WriteTiming timing) {
    Record header = rec;
    brindle::blockfile::SwapRecordsForDisk(&header, 1);
    return Put(&header, kHeaderSize, rec.offset, timing);
}

bool XBlockFile::RetireSlot(uint32_t offset, WriteTiming timing) {
    // Only the flag changes: whether the write lands or not, the header reads as the used
    // slot it was or as a free slot of the same size.
    uint8_t flag[4];
    brindle::blockfile::StoreLittle32(flag, kFreeFlag);
    return Put(flag, sizeof flag, uint64_t{offset} + 12, timing);
}

bool XBlockFile::WriteEndMarker() {
    uint8_t marker[4];
    brindle::blockfile::StoreLittle32(marker, brindle::blockfile::kEndMarker);
    return Put(marker, sizeof marker, dataEnd) && Cut(brindle::blockfile::CutLength(dataEnd));
}
