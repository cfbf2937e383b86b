// SPDX-License-Identifier: MIT
// Opening, closing, reading and looking up blocks.
#include "brindle/blockfile/XBlockFile.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/FreeSpace.h"
#include "blockfile/PathConversion.h"
#include "blockfile/WriteBehind.h"
#include "brindle/blockfile/PortablePath.h"
#include "platform/Alloc.h"

using brindle::blockfile::BlockIndex;
using brindle::blockfile::FreeSpace;
using brindle::blockfile::kFirstSlot;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMagic;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::Record;
using brindle::blockfile::SlotSize;

namespace {

// The errno of a failed call, or -1 where it is 0.
int32_t LastError() {
    return errno != 0 ? errno : -1;
}

// 0 when the used records (`usedCount` of them) and the free records of an index area agree:
// used records sorted by unique ID, free records by offset, every slot aligned, at least 16
// bytes long, inside the data and overlapping no other; -1 when not; ENOMEM.
int32_t CheckIndex(const Record* used, uint32_t usedCount, const Record* freeRecords,
                   uint32_t freeCount, uint32_t dataEnd) {
    for (uint32_t i = 0; i < usedCount; ++i) {
        const Record& rec = used[i];
        if (rec.freeFlag != 0 || rec.len < kHeaderSize ||
            rec.len > brindle::blockfile::kMaxUsedLen || (i > 0 && rec.id <= used[i - 1].id))
            return -1;
    }
    for (uint32_t i = 0; i < freeCount; ++i) {
        const Record& rec = freeRecords[i];
        if (rec.freeFlag == 0 || rec.len < kHeaderSize || rec.len % 16 != 0)
            return -1;
    }
    // Every slot must lie inside the data, and no two may overlap: walk all of them in
    // offset order, the used ones sorted through a table of (offset, index position) pairs.
    uint64_t* order = nullptr;
    if (usedCount != 0) {
        order = static_cast<uint64_t*>(brindle::Malloc(size_t{usedCount} * sizeof(uint64_t)));
        if (order == nullptr)
            return ENOMEM;
        for (uint32_t i = 0; i < usedCount; ++i)
            order[i] = uint64_t{used[i].offset} << 32 | i;
        std::sort(order, order + usedCount);
    }
    uint64_t covered = kFirstSlot;
    bool consistent = true;
    for (uint32_t u = 0, f = 0; consistent && (u < usedCount || f < freeCount);) {
        bool takeFree = u == usedCount || (f < freeCount && freeRecords[f].offset < order[u] >> 32);
        const Record& rec = takeFree ? freeRecords[f++] : used[static_cast<uint32_t>(order[u++])];
        consistent = rec.offset >= covered && brindle::blockfile::IsSlotOffset(rec.offset);
        covered = rec.offset + SlotSize(rec.len);
    }
    free(order);
    return consistent && covered <= dataEnd ? 0 : -1;
}

}  // namespace

namespace brindle {
namespace blockfile {

bool ReserveRecord(Record** records, uint32_t count, uint32_t* capacity) {
    if (count < *capacity)
        return true;
    if (*capacity > kNoRecord - kGrowth)
        return false;
    const uint32_t step = std::max(kGrowth, std::min(*capacity / 2, kNoRecord - *capacity));
    const uint32_t grown = *capacity + step;
    void* block = Realloc(*records, size_t{grown} * kRecordSize);
    if (block == nullptr)
        return false;
    *records = static_cast<Record*>(block);
    *capacity = grown;
    return true;
}

}  // namespace blockfile
}  // namespace brindle

XBlockFile::XBlockFile()
    : index(nullptr),
      freeSpace(nullptr),
      fd(-1),
      dataEnd(0),
      modified(false),
      readOnly(false),
      ioError(0),
      map(nullptr),
      mapSize(0),
      mapReadable(0),
      syncing(true),
      unsynced(false),
      freedCount(0),
      freedAll(false),
      freed(),
      batching(false),
      held(nullptr) {}

XBlockFile::~XBlockFile() {
    Close();
    delete held;
}

int32_t XBlockFile::Create(const char* path) {
    if (path == nullptr)
        return -1;
    char native[kPortablePathSize];
    if (!brindle::ConvertPortableToNative(path, native))
        return ENAMETOOLONG;
    int handle = brindle::CreateNewFile(native);
    if (handle == -1)
        return errno == EEXIST ? -1 : LastError();
    uint8_t bytes[brindle::blockfile::kNewFileSize];
    const uint32_t words[] = {kMagic, 0, brindle::blockfile::kEndMarker, 0, 0, 12, kMagic};
    for (size_t i = 0; i < sizeof words / sizeof words[0]; ++i)
        brindle::blockfile::StoreLittle32(bytes + 4 * i, words[i]);
    // The file, its permissions and its name in the directory are durable before Create
    // reports success.
    errno = 0;
    if (!brindle::WriteAt(handle, bytes, sizeof bytes, 0) || !brindle::MakeOwnerReadWrite(handle) ||
        !brindle::SyncFile(handle, true)) {
        int32_t error = LastError();
        brindle::CloseFile(handle);
        return error;
    }
    return brindle::CloseFile(handle) && brindle::SyncDirectoryOf(native) ? 0 : LastError();
}

int32_t XBlockFile::Open(const char* path, bool readOnlyOpen) {
    if (fd != -1 || path == nullptr)
        return -1;
    char native[kPortablePathSize];
    if (!brindle::ConvertPortableToNative(path, native))
        return ENAMETOOLONG;
    Reset(readOnlyOpen);
    ioError = 0;
    index = brindle::New<BlockIndex>();
    freeSpace = brindle::New<FreeSpace>();
    fd = index != nullptr && freeSpace != nullptr ? brindle::OpenExistingFile(native, readOnlyOpen)
                                                  : -1;
    if (fd == -1) {
        const int32_t error = index != nullptr && freeSpace != nullptr ? LastError() : ENOMEM;
        Discard();
        return error;
    }
    // One writer or any number of readers: a conflicting lock refuses the open before
    // anything is read or written.
    errno = 0;
    int32_t result = brindle::LockFile(fd, !readOnlyOpen) ? Load() : LastError();
    if (result != 0) {
        Discard();
        return result;
    }
    MapWhole();
    TakeWriteBehind();
    return 0;
}

void XBlockFile::MapWhole() {
    // Open leaves the file clean: data, end marker, index area and trailer.
    const uint64_t length = uint64_t{dataEnd} + 4 + 4 + uint64_t{index->Count()} * kRecordSize + 4 +
                            uint64_t{freeSpace->Count()} * kRecordSize + 8;
    map = brindle::MapFile(fd, length);
    mapSize = mapReadable = map != nullptr ? length : 0;
}

int32_t XBlockFile::MapThrough(uint64_t end) const {
    if (map == nullptr)
        return 0;
    errno = 0;
    const int64_t length = brindle::FileLength(fd);
    if (length < 0)
        return -1;
    if (static_cast<uint64_t>(length) < end)
        return 0;
    if (static_cast<uint64_t>(length) > mapSize) {
        // Room to grow, so that a file growing block by block is not remapped at every read.
        const uint64_t size = std::max(static_cast<uint64_t>(length), 2 * mapSize);
        const uint8_t* moved = brindle::RemapFile(map, mapSize, size);
        if (moved == nullptr)
            return 0;
        map = moved;
        mapSize = size;
    }
    mapReadable = std::min(static_cast<uint64_t>(length), mapSize);
    return end <= mapReadable ? 1 : 0;
}

void XBlockFile::Reset(bool readOnlyOpen) {
    index = nullptr;
    freeSpace = nullptr;
    map = nullptr;
    mapSize = mapReadable = 0;
    dataEnd = 0;
    modified = false;
    readOnly = readOnlyOpen;
    unsynced = false;
    freedCount = 0;
    freedAll = false;
}

void XBlockFile::Discard() {
    if (map != nullptr)
        brindle::UnmapFile(map, mapSize);
    errno = 0;
    if (fd != -1 && !brindle::CloseFile(fd))
        Failed();
    if (held != nullptr)
        held->Drop();
    if (!batching) {
        delete held;  // kept by SetBatching(false) for the reads of a tail it could not send
        held = nullptr;
    }
    delete index;
    delete freeSpace;
    Reset(readOnly);
    fd = -1;
}

int32_t XBlockFile::ReadExactly(void* buf, size_t size, uint64_t offset) const {
    errno = 0;
    ssize_t got = brindle::ReadAt(fd, buf, size, offset);
    if (got == static_cast<ssize_t>(size))
        return 0;
    return got < 0 ? LastError() : -1;
}

int32_t XBlockFile::Load() {
    uint8_t head[16];
    if (int32_t error = ReadExactly(head, sizeof head, 0))
        return error;
    if (brindle::blockfile::LoadLittle32(head) != kMagic ||
        brindle::blockfile::LoadLittle32(head + 4) != 0)
        return -1;
    int64_t length = brindle::FileLength(fd);
    if (length < 0)
        return LastError();
    uint8_t trailer[8];
    if (int32_t error = ReadExactly(trailer, sizeof trailer, static_cast<uint64_t>(length) - 8))
        return error;
    if (brindle::blockfile::LoadLittle32(trailer + 4) == kMagic) {
        const int32_t result =
            LoadIndexArea(brindle::blockfile::LoadLittle32(trailer), static_cast<uint64_t>(length));
        if (result != -1 || readOnly)
            return result;
        // An intact trailer over an index that fails the checks, as a write cut short can
        // leave (its last bytes may read "AavE"): the slots are all there is to trust. The
        // index and free space are still empty: records enter them only once they pass.
    } else if (readOnly) {
        return -1;
    }
    return Rebuild();
}

int32_t XBlockFile::LoadIndexArea(uint32_t indexOffset, uint64_t length) {
    // Layout from the end marker on: marker, N, N records, M, M records, trailer (8 bytes).
    if (indexOffset < kFirstSlot + 4 || !brindle::blockfile::IsSlotOffset(indexOffset - 4) ||
        uint64_t{indexOffset} + 16 > length)
        return -1;
    uint8_t words[8];
    if (int32_t error = ReadExactly(words, sizeof words, indexOffset - 4))
        return error;
    if (brindle::blockfile::LoadLittle32(words) != brindle::blockfile::kEndMarker)
        return -1;
    uint32_t usedCount = brindle::blockfile::LoadLittle32(words + 4);
    uint64_t recordBytes = length - indexOffset - 16;  // room for both record arrays
    uint64_t usedBytes = uint64_t{usedCount} * kRecordSize;
    if (usedBytes > recordBytes)
        return -1;
    if (int32_t error = ReadExactly(words, 4, indexOffset + 4 + usedBytes))
        return error;
    uint32_t freeRecords = brindle::blockfile::LoadLittle32(words);
    // Slots are at least 16 bytes and do not overlap, which bounds the records (and what is
    // allocated for them) by the size of the data as well as by the file.
    uint64_t maxSlots = (uint64_t{indexOffset} - 4 - kFirstSlot) / 16;
    if (usedBytes + uint64_t{freeRecords} * kRecordSize != recordBytes ||
        uint64_t{usedCount} + freeRecords > maxSlots)
        return -1;
    // The records are read into arrays, checked there and then entered into the index and
    // the free space.
    Record* arrays[2] = {nullptr, nullptr};
    const uint32_t counts[2] = {usedCount, freeRecords};
    const uint64_t offsets[2] = {uint64_t{indexOffset} + 4, uint64_t{indexOffset} + 8 + usedBytes};
    int32_t result = 0;
    for (int i = 0; i < 2 && result == 0; ++i) {
        if (counts[i] == 0)
            continue;
        arrays[i] = static_cast<Record*>(brindle::Malloc(size_t{counts[i]} * kRecordSize));
        result = arrays[i] == nullptr
                     ? ENOMEM
                     : ReadExactly(arrays[i], size_t{counts[i]} * kRecordSize, offsets[i]);
        if (result == 0)
            brindle::blockfile::SwapRecordsForDisk(arrays[i], counts[i]);
    }
    dataEnd = indexOffset - 4;
    modified = false;
    if (result == 0)
        result = CheckIndex(arrays[0], usedCount, arrays[1], freeRecords, dataEnd);
    if (result == 0 &&
        (!index->Assign(arrays[0], usedCount) || !freeSpace->Assign(arrays[1], freeRecords)))
        result = ENOMEM;
    free(arrays[0]);
    free(arrays[1]);
    return result;
}

void XBlockFile::Close() {
    if (fd == -1)
        return;
    Flush();  // does nothing after a failure: the next read-write Open rebuilds the index
    Discard();
}

int32_t XBlockFile::IOError() const {
    return ioError;
}

bool XBlockFile::FindIndex(uint32_t id, uint32_t* pos) const {
    return fd != -1 && index->FindRank(id, pos) != nullptr;
}

Record* XBlockFile::Lookup(uint32_t id) const {
    return fd != -1 ? index->Find(id) : nullptr;
}

Record* XBlockFile::RecordAt(uint32_t pos) const {
    return fd != -1 && pos < index->Count() ? index->At(pos) : nullptr;
}

int32_t XBlockFile::ReadData(const Record& rec, void* buf, uint32_t bufLen) const {
    uint32_t size = std::min(rec.len - kHeaderSize, bufLen);
    if (size != 0 && buf == nullptr)
        return -1;
    const uint64_t at = uint64_t{rec.offset} + kHeaderSize;
    // Bytes of appends still held come from memory, the others from the file.
    const size_t front = held != nullptr ? held->ReadTail(buf, size, at) : size;
    if (front == 0)
        return static_cast<int32_t>(size);
    int32_t mapped = at + front <= mapReadable ? 1 : MapThrough(at + front);
    if (mapped < 0)
        return -1;
    ssize_t got = mapped != 0 ? brindle::ReadMapped(map, buf, front, at)
                              : brindle::ReadAt(fd, buf, front, at);
    if (got < 0)
        return -1;
    return static_cast<int32_t>(static_cast<size_t>(got) < front ? got : size);
}

void* XBlockFile::ReadData_NF(const Record& rec, uint32_t* len) const {
    uint32_t size = rec.len - kHeaderSize;
    if (len != nullptr)
        *len = size;
    void* buf = brindle::Malloc(size != 0 ? size : 1);
    if (buf != nullptr && ReadData(rec, buf, size) != static_cast<int32_t>(size)) {
        free(buf);
        buf = nullptr;
    }
    return buf;
}

int32_t XBlockFile::ReadBlock(uint32_t id, void* buf, uint32_t bufLen) const {
    const Record* rec = Lookup(id);
    return rec != nullptr ? ReadData(*rec, buf, bufLen) : -1;
}

int32_t XBlockFile::ReadIndBlock(uint32_t pos, void* buf, uint32_t bufLen) const {
    const Record* rec = RecordAt(pos);
    return rec != nullptr ? ReadData(*rec, buf, bufLen) : -1;
}

void* XBlockFile::ReadBlock_NF(uint32_t id, uint32_t* len) const {
    const Record* rec = Lookup(id);
    return rec != nullptr ? ReadData_NF(*rec, len) : nullptr;
}

void* XBlockFile::ReadIndBlock_NF(uint32_t pos, uint32_t* len) const {
    const Record* rec = RecordAt(pos);
    return rec != nullptr ? ReadData_NF(*rec, len) : nullptr;
}

int32_t XBlockFile::BlockLen(uint32_t id) const {
    const Record* rec = Lookup(id);
    return rec != nullptr ? static_cast<int32_t>(rec->len - kHeaderSize) : -1;
}

int32_t XBlockFile::IndBlockLen(uint32_t pos) const {
    const Record* rec = RecordAt(pos);
    return rec != nullptr ? static_cast<int32_t>(rec->len - kHeaderSize) : -1;
}

int32_t XBlockFile::GetIndBlockID(uint32_t pos, uint32_t* id) const {
    const Record* rec = RecordAt(pos);
    if (rec == nullptr || id == nullptr)
        return -1;
    *id = rec->id;
    return 0;
}

bool XBlockFile::BlockExists(uint32_t id) const {
    return Lookup(id) != nullptr;
}

uint32_t XBlockFile::UniqueID() const {
    uint32_t candidate = static_cast<uint32_t>(rand());
    do {
        candidate = static_cast<uint32_t>(rand()) + 8 * candidate;
    } while (Lookup(candidate) != nullptr);
    return candidate;
}

bool XBlockFile::IsUnique(uint32_t id) const {
    return Lookup(id) == nullptr;
}

uint32_t XBlockFile::BlockCount() const {
    return index != nullptr ? index->Count() : 0;
}

bool XBlockFile::IsReadOnly() const {
    return readOnly;
}

void XBlockFile::SetSyncing(bool on) {
    // What is held was held under the rules of the old setting.
    SendHeld();
    // Writes made without syncs may reach the disk in any order: until the next sync,
    // everything counts as freed space.
    if (on && !syncing)
        freedAll = unsynced = true;
    syncing = on;
}

bool XBlockFile::IsSyncing() const {
    return syncing;
}

void XBlockFile::SetBatching(bool on) {
    // What cannot be sent (after an I/O error) stays until Close, for reads of the tail.
    batching = on;
    if (SendHeld() && !on) {
        delete held;
        held = nullptr;
    } else if (on) {
        TakeWriteBehind();
    }
}

bool XBlockFile::IsBatching() const {
    return batching;
}

void XBlockFile::TakeWriteBehind() {
    // Without the memory, everything is written at once; the next Open tries again. A file
    // open read-only writes nothing.
    if (!batching || fd == -1 || readOnly)
        return;
    if (held == nullptr)
        held = brindle::New<brindle::blockfile::WriteBehind>();
    if (held != nullptr && !held->Init()) {
        delete held;
        held = nullptr;
    }
}
