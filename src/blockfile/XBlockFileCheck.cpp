// SPDX-License-Identifier: MIT
// The read-only structure check of a block file.
#include "brindle/blockfile/XBlockFileCheck.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "blockfile/BlockFormat.h"
#include "blockfile/FileCalls.h"
#include "blockfile/PathConversion.h"
#include "blockfile/SlotScan.h"
#include "brindle/blockfile/PortablePath.h"
#include "platform/Alloc.h"

using brindle::blockfile::IsSlotOffset;
using brindle::blockfile::kEndMarker;
using brindle::blockfile::kFirstSlot;
using brindle::blockfile::kHeaderSize;
using brindle::blockfile::kMagic;
using brindle::blockfile::kRecordSize;
using brindle::blockfile::LoadLittle32;
using brindle::blockfile::Record;
using brindle::blockfile::SlotSize;

namespace {

constexpr uint64_t kProgressStep = uint64_t{1} << 20;
// File reads go through a window of this size, so that walking slot headers costs one
// system call per window rather than one per header.
constexpr size_t kWindowSize = 65536;

Record DecodeRecord(const uint8_t* bytes) {
    return {LoadLittle32(bytes), LoadLittle32(bytes + 4), LoadLittle32(bytes + 8),
            LoadLittle32(bytes + 12)};
}

bool SameRecord(const Record& a, const Record& b) {
    return a.offset == b.offset && a.id == b.id && a.len == b.len && a.freeFlag == b.freeFlag;
}

// A free record's slot size is its `len`; a used record's is its `len` raised to 16.
uint64_t SlotBytes(const Record& rec) {
    return SlotSize(rec.len);
}

}  // namespace

// The bytes under examination: a file read through a window, or a buffer in memory.
class XBlockFileCheck::Source final : public brindle::blockfile::ScanSource {
  public:
    Source(const uint8_t* bytes, uint64_t size) : bytes_(bytes), size_(size) {}
    Source(int fd, uint64_t size)
        : fd_(fd), size_(size), window_(static_cast<uint8_t*>(brindle::Malloc(kWindowSize))) {}
    ~Source() { free(window_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    uint64_t Size() const { return size_; }
    bool OutOfMemory() const { return fd_ != -1 && window_ == nullptr; }

    // Reads `size` bytes at `offset`: 0, -1 when they are not all inside the file, or the
    // error number of a failed read.
    int32_t Read(uint64_t offset, void* out, size_t size) override {
        if (offset > size_ || size > size_ - offset)
            return -1;
        if (fd_ == -1) {
            memcpy(out, bytes_ + offset, size);
            return 0;
        }
        if (size > kWindowSize)
            return ReadDirect(offset, out, size);
        if (offset < windowStart_ || offset + size > windowStart_ + windowLength_) {
            uint64_t length = std::min<uint64_t>(kWindowSize, size_ - offset);
            if (int32_t error = ReadDirect(offset, window_, static_cast<size_t>(length)))
                return error;
            windowStart_ = offset;
            windowLength_ = length;
        }
        memcpy(out, window_ + (offset - windowStart_), size);
        return 0;
    }

  private:
    int32_t ReadDirect(uint64_t offset, void* out, size_t size) {
        errno = 0;
        ssize_t got = brindle::ReadAt(fd_, out, size, offset);
        if (got == static_cast<ssize_t>(size))
            return 0;
        // The file shrank under the check, or the disk failed.
        return got < 0 && errno != 0 ? errno : EIO;
    }

    const uint8_t* bytes_ = nullptr;
    int fd_ = -1;
    uint64_t size_;
    uint8_t* window_ = nullptr;
    uint64_t windowStart_ = 0;
    uint64_t windowLength_ = 0;
};

XBlockFileCheck::XBlockFileCheck()
    : blocks_(nullptr),
      blockCapacity_(0),
      free_(nullptr),
      freeCapacity_(0),
      findings_(nullptr),
      findingCapacity_(0),
      progress_(nullptr),
      progressContext_(nullptr) {
    Clear();
}

XBlockFileCheck::~XBlockFileCheck() {
    free(blocks_);
    free(free_);
    free(findings_);
}

void XBlockFileCheck::Clear() {
    state_ = XBlockFileUnreadable;
    indexUsable_ = false;
    fileSize_ = 0;
    dataEnd_ = 0;
    blockCount_ = 0;
    rebuildBlockCount_ = 0;
    freeCount_ = 0;
    findingCount_ = 0;
    nextProgress_ = kProgressStep;
    outOfMemory_ = false;
}

void XBlockFileCheck::SetProgress(XBlockFileProgress progress, void* context) {
    progress_ = progress;
    progressContext_ = context;
}

bool XBlockFileCheck::IsDamage(XBlockFileFault fault) {
    return fault != XBlockFileFaultNoTrailer && fault != XBlockFileFaultGap;
}

int32_t XBlockFileCheck::Examine(const char* path) {
    Clear();
    if (path == nullptr)
        return -1;
    char native[kPortablePathSize];
    if (!brindle::ConvertPortableToNative(path, native))
        return ENAMETOOLONG;
    errno = 0;
    int fd = brindle::OpenExistingFile(native, true);
    // A reader's lock: no writer changes the file under the check.
    int64_t length = fd == -1 || !brindle::LockFile(fd, false) ? -1 : brindle::FileLength(fd);
    int32_t error = errno != 0 ? errno : -1;
    if (length >= 0) {
        Source source(fd, static_cast<uint64_t>(length));
        if (!source.OutOfMemory())
            Run(&source);
        error = source.OutOfMemory() || outOfMemory_ ? ENOMEM : 0;
    }
    if (fd != -1)
        brindle::CloseFile(fd);
    if (error != 0)
        Clear();
    return error;
}

void XBlockFileCheck::ExamineBytes(const void* data, uint64_t size) {
    Clear();
    Source source(static_cast<const uint8_t*>(data), data == nullptr ? 0 : size);
    Run(&source);
    if (outOfMemory_)
        Clear();
}

void XBlockFileCheck::Run(Source* source) {
    fileSize_ = source->Size();
    if (!ReadHeader(source))
        return;
    uint8_t trailer[8];
    bool hasTrailer = false;
    if (int32_t error = source->Read(fileSize_ - 8, trailer, sizeof trailer)) {
        Note(XBlockFileFaultRead, fileSize_ - 8, static_cast<uint32_t>(error));
    } else if (LoadLittle32(trailer + 4) != kMagic) {
        Note(XBlockFileFaultNoTrailer, fileSize_ - 4, 0);
    } else {
        hasTrailer = true;
        indexUsable_ = LoadIndex(source, LoadLittle32(trailer));
    }
    if (!indexUsable_)
        Scan(source);
    state_ = hasTrailer ? XBlockFileClean : XBlockFileNeedsRebuild;
    for (uint32_t i = 0; i < findingCount_; ++i) {
        if (IsDamage(findings_[i].fault))
            state_ = XBlockFileDamaged;
    }
    rebuildBlockCount_ = indexUsable_ ? CountRebuildKeeps(source) : blockCount_;
}

uint32_t XBlockFileCheck::CountRebuildKeeps(Source* source) {
    // What a rebuild from the slots would keep of a file whose index opens is found by the
    // same scan, apart from the blocks the index lists (which it may disagree with).
    brindle::blockfile::SlotScan scan(source, fileSize_);
    Record* used = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
    Record rec;
    for (brindle::blockfile::SlotScan::Step step;
         (step = scan.Next(&rec)) == brindle::blockfile::SlotScan::kSlot ||
         step == brindle::blockfile::SlotScan::kGap;) {
        if (rec.freeFlag == 0 && !Append(&used, &count, &capacity, rec))
            break;
    }
    count = brindle::blockfile::KeepFirstOfEachId(used, count, [](const Record&) {});
    free(used);
    return count;
}

bool XBlockFileCheck::ReadHeader(Source* source) {
    uint8_t head[16];
    if (fileSize_ < sizeof head) {
        Note(XBlockFileFaultShort, 0, fileSize_);
        state_ = XBlockFileForeign;
        return false;
    }
    if (int32_t error = source->Read(0, head, sizeof head)) {
        Note(XBlockFileFaultRead, 0, static_cast<uint32_t>(error));
        return false;  // the state stays XBlockFileUnreadable
    }
    if (LoadLittle32(head) != kMagic)
        Note(XBlockFileFaultMagic, 0, LoadLittle32(head));
    else if (LoadLittle32(head + 4) != 0)
        Note(XBlockFileFaultReserved, 4, LoadLittle32(head + 4));
    else
        return true;
    state_ = XBlockFileForeign;
    return false;
}

bool XBlockFileCheck::LoadIndex(Source* source, uint32_t indexOffset) {
    // From the end marker on: marker, N, N records, M, M records, the 8-byte trailer.
    if (indexOffset < kFirstSlot + 4 || !IsSlotOffset(indexOffset - 4) ||
        uint64_t{indexOffset} + 16 > fileSize_) {
        Note(XBlockFileFaultIndexOffset, fileSize_ - 8, indexOffset);
        return false;
    }
    dataEnd_ = indexOffset - 4;
    uint8_t words[8];
    if (int32_t error = source->Read(dataEnd_, words, sizeof words)) {
        Note(XBlockFileFaultRead, dataEnd_, static_cast<uint32_t>(error));
        return false;
    }
    if (LoadLittle32(words) != kEndMarker) {
        Note(XBlockFileFaultEndMarker, dataEnd_, LoadLittle32(words));
        return false;
    }
    const uint32_t usedCount = LoadLittle32(words + 4);
    const uint64_t recordBytes = fileSize_ - indexOffset - 16;
    const uint64_t usedBytes = uint64_t{usedCount} * kRecordSize;
    uint32_t freeRecords = 0;
    if (usedBytes <= recordBytes) {
        if (int32_t error = source->Read(indexOffset + 4 + usedBytes, words, 4)) {
            Note(XBlockFileFaultRead, indexOffset + 4 + usedBytes, static_cast<uint32_t>(error));
            return false;
        }
        freeRecords = LoadLittle32(words);
    }
    // Slots take at least 16 bytes each, so the data bounds the number of records too.
    const uint64_t maxSlots = (dataEnd_ - kFirstSlot) / 16;
    if (usedBytes > recordBytes || usedBytes + uint64_t{freeRecords} * kRecordSize != recordBytes ||
        uint64_t{usedCount} + freeRecords > maxSlots) {
        Note(XBlockFileFaultIndexSize, indexOffset, usedCount);
        return false;
    }
    // The records are now known to lie in the file, so what is allocated for them is
    // bounded by its size.
    const struct {
        Record** records;
        uint32_t* count;
        uint32_t* capacity;
        uint32_t stored;
        uint64_t offset;
    } arrays[] = {{&blocks_, &blockCount_, &blockCapacity_, usedCount, uint64_t{indexOffset} + 4},
                  {&free_, &freeCount_, &freeCapacity_, freeRecords, indexOffset + 8 + usedBytes}};
    for (const auto& array : arrays) {
        for (uint32_t i = 0; i < array.stored; ++i) {
            uint8_t bytes[kRecordSize];
            uint64_t at = array.offset + uint64_t{i} * kRecordSize;
            if (int32_t error = source->Read(at, bytes, sizeof bytes)) {
                Note(XBlockFileFaultRead, at, static_cast<uint32_t>(error));
                return false;
            }
            if (!Append(array.records, array.count, array.capacity, DecodeRecord(bytes)))
                return false;
        }
    }
    return CheckRecords(source, indexOffset);
}

bool XBlockFileCheck::CheckRecords(Source* source, uint32_t indexOffset) {
    const uint32_t findingsBefore = findingCount_;
    const uint32_t total = blockCount_ + freeCount_;
    // The records that pass their own checks go, as (offset, record number) pairs, into a
    // table sorted by offset; records number at most 2^28, the slots a 4 GiB file holds.
    uint64_t* order = static_cast<uint64_t*>(brindle::Malloc((total + 1) * sizeof(uint64_t)));
    if (order == nullptr) {
        outOfMemory_ = true;
        return false;
    }
    uint32_t placed = 0;
    for (uint32_t i = 0; i < total; ++i) {
        const bool used = i < blockCount_;
        const Record& rec = used ? blocks_[i] : free_[i - blockCount_];
        const Record* previous = i == 0 || i == blockCount_ ? nullptr : &rec - 1;
        const uint64_t at = uint64_t{indexOffset} + 4 + uint64_t{i} * kRecordSize + (used ? 0 : 4);
        const uint64_t end = rec.offset + SlotBytes(rec);
        if (used && (rec.freeFlag != 0 || rec.len < kHeaderSize ||
                     rec.len > brindle::blockfile::kMaxUsedLen))
            Note(XBlockFileFaultUsedRecord, at, rec.id);
        else if (!used && (rec.freeFlag == 0 || rec.len < kHeaderSize || rec.len % 16 != 0))
            Note(XBlockFileFaultFreeRecord, at, rec.len);
        else if (!IsSlotOffset(rec.offset) || end > dataEnd_)
            Note(XBlockFileFaultSlotPlace, at, rec.offset);
        else
            order[placed++] = uint64_t{rec.offset} << 32 | i;
        if (used && previous != nullptr && rec.id <= previous->id)
            Note(XBlockFileFaultIdOrder, at, rec.id);
        if (!used && previous != nullptr && rec.offset <= previous->offset)
            Note(XBlockFileFaultFreeOrder, at, rec.offset);
    }
    // Each slot must begin at or after the end of the one before; the bytes up to the end
    // marker that no slot covers are reported as gaps.
    std::sort(order, order + placed);
    uint64_t covered = kFirstSlot;
    for (uint32_t k = 0; k < placed; ++k) {
        const uint32_t i = static_cast<uint32_t>(order[k]);
        const Record& rec = i < blockCount_ ? blocks_[i] : free_[i - blockCount_];
        if (rec.offset < covered)
            Note(XBlockFileFaultOverlap, rec.offset, covered - rec.offset);
        else if (rec.offset > covered)
            Note(XBlockFileFaultGap, covered, rec.offset - covered);
        covered = std::max(covered, rec.offset + SlotBytes(rec));
    }
    if (covered < dataEnd_)
        Note(XBlockFileFaultGap, covered, dataEnd_ - covered);
    bool usable = true;
    for (uint32_t i = findingsBefore; i < findingCount_; ++i)
        usable = usable && !IsDamage(findings_[i].fault);
    // Open accepts such an index; the slot headers must still say what it says.
    for (uint32_t k = 0; usable && k < placed; ++k) {
        const uint32_t i = static_cast<uint32_t>(order[k]);
        const Record& rec = i < blockCount_ ? blocks_[i] : free_[i - blockCount_];
        Progress(rec.offset);
        uint8_t bytes[kHeaderSize];
        if (int32_t error = source->Read(rec.offset, bytes, sizeof bytes)) {
            Note(XBlockFileFaultRead, rec.offset, static_cast<uint32_t>(error));
            break;
        }
        Record header = DecodeRecord(bytes);
        bool agrees = i < blockCount_ ? SameRecord(header, rec)
                                      : header.offset == rec.offset && header.freeFlag != 0 &&
                                            SlotSize(header.len) == rec.len;
        if (!agrees)
            Note(XBlockFileFaultHeader, rec.offset, rec.id);
    }
    free(order);
    if (!usable) {
        blockCount_ = 0;
        freeCount_ = 0;
    }
    return usable;
}

void XBlockFileCheck::Scan(Source* source) {
    blockCount_ = 0;
    freeCount_ = 0;
    // The scan of a rebuild itself, telling where it refuses a header and what it skips.
    brindle::blockfile::SlotScan scan(source, fileSize_);
    Record rec;
    for (brindle::blockfile::SlotScan::Step step; !outOfMemory_;) {
        step = scan.Next(&rec);
        if (step == brindle::blockfile::SlotScan::kEnd)
            break;
        if (step == brindle::blockfile::SlotScan::kError) {
            Note(XBlockFileFaultRead, scan.End(), static_cast<uint32_t>(scan.Error()));
            break;
        }
        Progress(rec.offset);
        if (step == brindle::blockfile::SlotScan::kGap) {
            Record dropped;
            Note(XBlockFileFaultBadSlot, scan.RefusedAt(), 0);
            if (scan.Dropped(&dropped) && dropped.freeFlag == 0)
                Note(XBlockFileFaultLostBlock, dropped.offset, dropped.id);
            Note(XBlockFileFaultSkipped, rec.offset, rec.len);
        }
        if (rec.freeFlag != 0)
            Append(&free_, &freeCount_, &freeCapacity_, rec);
        else
            Append(&blocks_, &blockCount_, &blockCapacity_, rec);
    }
    dataEnd_ = scan.End();
    if (dataEnd_ < fileSize_) {
        // A rebuild cuts the file behind the last slot it accepts. Behind an end marker that
        // is only the old index area; anywhere else it is data.
        uint8_t word[4];
        if (source->Read(dataEnd_, word, sizeof word) != 0 || LoadLittle32(word) != kEndMarker) {
            Note(XBlockFileFaultBadSlot, dataEnd_, 0);
            Note(XBlockFileFaultCutOff, dataEnd_, fileSize_ - dataEnd_);
        }
        FindLostBlocks(source, dataEnd_ + kHeaderSize);
    }
    KeepFirstOfEachId();
}

void XBlockFileCheck::FindLostBlocks(Source* source, uint64_t from) {
    // Headers that name their own offset behind the point where the scan stopped are blocks
    // that a rebuild will not reach. Step from slot offset to slot offset, over each block
    // found when it fits in the file.
    for (uint64_t q = from; q + kHeaderSize <= fileSize_ && !outOfMemory_;) {
        Progress(q);
        uint8_t bytes[kHeaderSize];
        if (source->Read(q, bytes, sizeof bytes) != 0)
            break;
        Record header = DecodeRecord(bytes);
        uint64_t next = q + kHeaderSize;
        if (header.offset == q && header.freeFlag == 0 && header.len >= kHeaderSize &&
            header.len <= brindle::blockfile::kMaxUsedLen) {
            Note(XBlockFileFaultLostBlock, q, header.id);
            if (q + SlotSize(header.len) <= fileSize_)
                next = q + SlotSize(header.len);
        }
        q = next;
    }
}

void XBlockFileCheck::KeepFirstOfEachId() {
    bool freed = false;
    blockCount_ =
        brindle::blockfile::KeepFirstOfEachId(blocks_, blockCount_, [&](const Record& rec) {
            Note(XBlockFileFaultDuplicate, rec.offset, rec.id);
            const Record slot = {rec.offset, 0, static_cast<uint32_t>(SlotSize(rec.len)),
                                 brindle::blockfile::kFreeFlag};
            freed = Append(&free_, &freeCount_, &freeCapacity_, slot) || freed;
        });
    if (freed) {
        std::sort(free_, free_ + freeCount_,
                  [](const Record& a, const Record& b) { return a.offset < b.offset; });
    }
}

void XBlockFileCheck::Note(XBlockFileFault fault, uint64_t offset, uint64_t value) {
    if (findingCount_ == findingCapacity_) {
        uint32_t grown = findingCapacity_ == 0 ? 16 : findingCapacity_ * 2;
        void* block = grown > findingCapacity_
                          ? brindle::Realloc(findings_, size_t{grown} * sizeof(XBlockFileFinding))
                          : nullptr;
        if (block == nullptr) {
            outOfMemory_ = true;
            return;
        }
        findings_ = static_cast<XBlockFileFinding*>(block);
        findingCapacity_ = grown;
    }
    findings_[findingCount_++] = {offset, value, fault};
}

bool XBlockFileCheck::Append(Record** array, uint32_t* count, uint32_t* capacity,
                             const Record& rec) {
    if (*count == *capacity) {
        uint32_t grown = *capacity == 0 ? 16 : *capacity * 2;
        void* block =
            grown > *capacity ? brindle::Realloc(*array, size_t{grown} * kRecordSize) : nullptr;
        if (block == nullptr) {
            outOfMemory_ = true;
            return false;
        }
        *array = static_cast<Record*>(block);
        *capacity = grown;
    }
    (*array)[(*count)++] = rec;
    return true;
}

void XBlockFileCheck::Progress(uint64_t done) {
    if (progress_ == nullptr || done < nextProgress_)
        return;
    nextProgress_ = done + kProgressStep;
    progress_(done, fileSize_, progressContext_);
}
