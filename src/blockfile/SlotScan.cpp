// SPDX-License-Identifier: MIT

#include "blockfile/SlotScan.h"

#include <algorithm>

namespace brindle {
namespace blockfile {
namespace {

// A search reads this many bytes at a time: 256 candidate headers.
constexpr size_t kSearchChunk = 4096;

Record DecodeHeader(const uint8_t* bytes) {
    return {LoadLittle32(bytes), LoadLittle32(bytes + 4), LoadLittle32(bytes + 8),
            LoadLittle32(bytes + 12)};
}

}  // namespace

bool AcceptHeader(uint64_t p, uint64_t length, Record* header) {
    // The end marker never names its own offset; a slot that wraps, runs past the end of the
    // file or past the largest data end is refused, as is a used block too long to report.
    const uint64_t end = p + SlotSize(header->len);
    if (header->offset != p || header->len < kHeaderSize || end > length || end > kMaxDataEnd ||
        (header->freeFlag == 0 && header->len > kMaxUsedLen))
        return false;
    if (header->freeFlag != 0)
        header->len = static_cast<uint32_t>(SlotSize(header->len));
    return true;
}

SlotScan::SlotScan(ScanSource* source, uint64_t length)
    : source_(source), length_(length), p_(kFirstSlot) {}

bool SlotScan::Dropped(Record* dropped) const {
    if (dropped_)
        *dropped = droppedSlot_;
    return dropped_;
}

bool SlotScan::ReadHeader(uint64_t p, Record* header) {
    uint8_t bytes[kHeaderSize];
    const int32_t result = source_->Read(p, bytes, sizeof bytes);
    if (result > 0)
        error_ = result;
    if (result != 0)
        return false;
    *header = DecodeHeader(bytes);
    return true;
}

uint64_t SlotScan::FindHeader(uint64_t from) {
    uint8_t chunk[kSearchChunk];
    // Slots begin at offsets 16k + 8; whole 16-byte candidates are read.
    for (uint64_t q = from + (24 - from % 16) % 16; q + kHeaderSize <= length_;) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(kSearchChunk, length_ - q)) &
                            ~size_t{kHeaderSize - 1};
        const int32_t result = source_->Read(q, chunk, size);
        if (result != 0) {
            error_ = result > 0 ? result : 0;
            return 0;
        }
        for (size_t at = 0; at < size; at += kHeaderSize) {
            Record header = DecodeHeader(chunk + at);
            if (AcceptHeader(q + at, length_, &header))
                return q + at;
        }
        q += size;
    }
    return 0;
}

void SlotScan::Resync(const Record& refused) {
    refusedAt_ = p_;
    dropped_ = false;
    const bool marker = refused.offset == kEndMarker;
    // The end marker with nothing but the index area behind it, or a header cut short by
    // the end of the file, ends the data.
    if ((marker && p_ + 4 >= length_) || p_ + kHeaderSize > length_) {
        ended_ = true;
        return;
    }
    // A header that names its own offset, or the end marker, shows that a slot does begin
    // here; any other refused header casts doubt on the length of the slot before it.
    const bool suspect = hasPending_ && !marker && refused.offset != p_;
    const uint64_t q =
        FindHeader(suspect ? uint64_t{pending_.offset} + kHeaderSize : p_ + kHeaderSize);
    if (q == 0) {
        ended_ = true;
        return;
    }
    uint64_t start = p_;
    if (q < p_) {
        droppedSlot_ = pending_;
        dropped_ = true;
        hasPending_ = false;
        start = pending_.offset;
    }
    gap_ = {static_cast<uint32_t>(start), 0, static_cast<uint32_t>(q - start), kFreeFlag};
    hasGap_ = true;
    p_ = q;
}

SlotScan::Step SlotScan::Next(Record* slot) {
    for (;;) {
        if (error_ != 0)
            return kError;
        // The slot before a gap comes first, then the gap, then what follows.
        if (hasGap_ && !hasPending_) {
            *slot = gap_;
            hasGap_ = false;
            return kGap;
        }
        if (ended_ || p_ >= length_) {
            ended_ = true;
            if (!hasPending_)
                return kEnd;
            *slot = pending_;
            hasPending_ = false;
            return kSlot;
        }
        Record header = {};
        const bool read = ReadHeader(p_, &header);
        if (error_ != 0)
            return kError;
        if (read && AcceptHeader(p_, length_, &header)) {
            p_ += SlotSize(header.len);
            const bool emit = hasPending_;
            *slot = pending_;
            pending_ = header;
            hasPending_ = true;
            if (emit)
                return kSlot;
            continue;
        }
        Resync(header);
        if (hasGap_ && hasPending_) {
            *slot = pending_;
            hasPending_ = false;
            return kSlot;
        }
    }
}

}  // namespace blockfile
}  // namespace brindle
