// SPDX-License-Identifier: MIT
#include "blockfile/WriteBehind.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/Alloc.h"

namespace brindle {
namespace blockfile {

// A run of overlapping writes always goes out in one piece, so it must fit the buffer.
static_assert(WriteBehind::kMaxWrites * WriteBehind::kMaxWriteSize <= WriteBehind::kBufferSize,
              "a run of held writes fits the buffer");

WriteBehind::~WriteBehind() {
    free(buffer_);
    free(held_);
}

bool WriteBehind::Init() {
    if (buffer_ == nullptr)
        buffer_ = static_cast<uint8_t*>(Malloc(kBufferSize));
    if (held_ == nullptr)
        held_ = static_cast<Held*>(Malloc(kMaxWrites * sizeof(Held)));
    return buffer_ != nullptr && held_ != nullptr;
}

bool WriteBehind::HoldAppend(const WriteSlice* pieces, int count, uint64_t offset) {
    size_t size = 0;
    for (int i = 0; i < count; ++i)
        size += pieces[i].size;
    const uint64_t tailEnd = tailStart_ + tailSize_;
    const uint64_t start = tailSize_ == 0 ? offset : tailStart_;
    if (buffer_ == nullptr || held_ == nullptr || offset < heldEnd_ ||
        (tailSize_ != 0 && (offset < tailStart_ || offset > tailEnd || offset + size < tailEnd)) ||
        offset + size - start > kBufferSize)
        return false;
    tailStart_ = start;
    uint8_t* at = buffer_ + (offset - start);
    for (int i = 0; i < count; ++i) {
        if (pieces[i].size != 0)
            memcpy(at, pieces[i].data, pieces[i].size);
        at += pieces[i].size;
    }
    tailSize_ = static_cast<size_t>(offset + size - start);
    return true;
}

bool WriteBehind::HoldWrite(const void* data, size_t size, uint64_t offset, uint32_t tearUnit,
                            bool first) {
    const uint32_t count = firstCount_ + laterCount_;
    if (buffer_ == nullptr || held_ == nullptr || count == kMaxWrites || size == 0 ||
        size > kMaxWriteSize || offset / tearUnit != (offset + size - 1) / tearUnit ||
        (tailSize_ != 0 && offset < tailStart_ + tailSize_ && tailStart_ < offset + size))
        return false;
    Held& write = first ? held_[firstCount_++] : held_[kMaxWrites - ++laterCount_];
    write.offset = offset;
    write.seq = count;
    write.size = static_cast<uint32_t>(size);
    memcpy(write.bytes, data, size);
    heldEnd_ = std::max(heldEnd_, offset + size);
    return true;
}

size_t WriteBehind::ReadTail(void* buf, size_t size, uint64_t offset) const {
    const uint64_t tailEnd = tailStart_ + tailSize_;
    if (tailSize_ == 0 || offset + size <= tailStart_ || offset >= tailEnd)
        return size;
    const uint64_t from = std::max(offset, tailStart_);
    const uint64_t to = std::min(offset + size, tailEnd);
    memcpy(static_cast<uint8_t*>(buf) + (from - offset), buffer_ + (from - tailStart_),
           static_cast<size_t>(to - from));
    return static_cast<size_t>(from - offset);
}

uint32_t WriteBehind::RunAfter(uint32_t first, uint32_t limit, uint64_t* end) const {
    *end = held_[first].offset + held_[first].size;
    uint32_t next = first + 1;
    for (; next < limit && held_[next].offset < *end; ++next)
        *end = std::max(*end, held_[next].offset + held_[next].size);
    return next;
}

bool WriteBehind::Send(int fd, bool rewriteBetween) {
    if (tailSize_ != 0) {
        if (!WriteAt(fd, buffer_, tailSize_, tailStart_))
            return false;
        tailSize_ = 0;
    }
    std::reverse(held_ + kMaxWrites - laterCount_, held_ + kMaxWrites);
    if (!SendRange(fd, 0, firstCount_, rewriteBetween) ||
        !SendRange(fd, kMaxWrites - laterCount_, kMaxWrites, rewriteBetween))
        return false;
    Drop();
    return true;
}

bool WriteBehind::SendRange(int fd, uint32_t begin, uint32_t end, bool rewriteBetween) {
    const auto placed = [](const Held& a, const Held& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.seq < b.seq;
    };
    if (!std::is_sorted(held_ + begin, held_ + end, placed))
        std::sort(held_ + begin, held_ + end, placed);
    // Runs of overlapping writes join a group while they touch it (or, rewriting the bytes
    // between, lie near it) and the group still fits the buffer, which the tail has left.
    for (uint32_t first = begin; first < end;) {
        const uint64_t start = held_[first].offset;
        uint64_t groupEnd = 0;
        uint32_t last = RunAfter(first, end, &groupEnd);
        bool gaps = false;
        while (last < end) {
            uint64_t runEnd = 0;
            const uint32_t after = RunAfter(last, end, &runEnd);
            const uint64_t gap = held_[last].offset - groupEnd;
            if ((gap != 0 && !(rewriteBetween && gap < kNear)) || runEnd - start > kBufferSize)
                break;
            gaps = gaps || gap != 0;
            groupEnd = runEnd;
            last = after;
        }
        if (!SendGroup(fd, first, last, start, groupEnd, gaps))
            return false;  // all stays held, to be sorted again
        first = last;
    }
    return true;
}

bool WriteBehind::SendGroup(int fd, uint32_t first, uint32_t last, uint64_t start, uint64_t end,
                            bool gaps) {
    const size_t size = static_cast<size_t>(end - start);
    if (gaps && ReadAt(fd, buffer_, size, start) != static_cast<ssize_t>(size))
        return false;
    // Applied in the order made, the last write to a byte wins.
    const auto made = [](const Held& a, const Held& b) { return a.seq < b.seq; };
    if (!std::is_sorted(held_ + first, held_ + last, made))
        std::sort(held_ + first, held_ + last, made);
    for (uint32_t i = first; i < last; ++i)
        memcpy(buffer_ + (held_[i].offset - start), held_[i].bytes, held_[i].size);
    return WriteAt(fd, buffer_, size, start);
}

void WriteBehind::Drop() {
    tailSize_ = 0;
    firstCount_ = 0;
    laterCount_ = 0;
    heldEnd_ = 0;
}

}  // namespace blockfile
}  // namespace brindle
