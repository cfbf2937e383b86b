// SPDX-License-Identifier: MIT

#include "serialization/StoreLayout.h"

namespace brindle {
namespace store {
namespace {

// The word as a big-endian machine would read its bytes.
uint32_t ToBigEndian(uint32_t word) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return ReverseWord(word);
#else
    return word;
#endif
}

}  // namespace

bool HeaderIsSound(uint32_t totalSize, uint32_t stringsOffset, uint32_t entryCount) {
    if (totalSize < kHeaderSize)
        return false;
    const uint64_t tableEnd = kHeaderSize + uint64_t{entryCount} * kEntrySize;
    if (tableEnd > totalSize)
        return false;
    return stringsOffset == 0 || (stringsOffset >= tableEnd && stringsOffset <= totalSize);
}

inline int Layout::CompareName(const char* name, size_t nameSize, uint32_t nameOffset) const {
    const uint64_t at = uint64_t{valueArea_} + nameOffset;
    if (at >= totalSize_)
        return 1;
    // Comparing `name` with its NUL decides: a stored name that is shorter differs at its
    // NUL, a longer one at the key's. Bytes compare as unsigned values; four at a time, read
    // most significant first, compare in the same order as one by one.
    const uint64_t room = totalSize_ - at;
    const size_t length = nameSize < room ? nameSize : static_cast<size_t>(room);
    const unsigned char* key = reinterpret_cast<const unsigned char*>(name);
    const unsigned char* stored = buffer_ + at;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const uint32_t a = LoadWord(key + i), b = LoadWord(stored + i);
        if (a != b)
            return ToBigEndian(a) < ToBigEndian(b) ? -1 : 1;
    }
    for (; i < length; ++i) {
        if (key[i] != stored[i])
            return key[i] < stored[i] ? -1 : 1;
    }
    return nameSize <= room ? 0 : 1;
}

bool Layout::Find(const char* name, uint32_t* index) const {
    const size_t nameSize = strlen(name) + 1;
    int64_t lo = -1;
    int64_t hi = entryCount_;
    while (hi - lo > 1) {
        const int64_t mid = (lo + hi) / 2;
        const int order =
            CompareName(name, nameSize, LoadWord(buffer_ + kHeaderSize + mid * kEntrySize));
        if (order == 0) {
            *index = static_cast<uint32_t>(mid);
            return true;
        }
        if (order < 0)
            hi = mid;
        else
            lo = mid;
    }
    return false;
}

const char* Layout::Name(const XStoreEntry& entry) const {
    return TextAt(uint64_t{valueArea_} + entry.nameOffset);
}

const char* Layout::TextAt(uint64_t at) const {
    if (at >= totalSize_ || memchr(buffer_ + at, 0, totalSize_ - at) == nullptr)
        return nullptr;
    return reinterpret_cast<const char*>(buffer_ + at);
}

uint64_t Layout::VariableFootprint(XStoreType type, uint64_t at) const {
    if (type == XStoreTypeString) {
        const char* text = TextAt(at);
        return text == nullptr ? 0 : TextFootprint(strlen(text));
    }
    if (!Inside(at, 4))
        return 0;
    const uint32_t length = LoadWord(buffer_ + at);
    return Inside(at + 4, length) ? BlobFootprint(length) : 0;
}

uint64_t Layout::ValueAt(const XStoreEntry& entry, uint32_t index) const {
    if (index >= entry.valueCount)
        return 0;
    uint64_t at = ValuesStart(entry);
    if (IsWordType(entry.type))
        return Inside(at, uint64_t{entry.valueCount} * 4) ? at + uint64_t{index} * 4 : 0;
    if (entry.type != XStoreTypeString && entry.type != XStoreTypeBlob)
        return 0;
    for (uint32_t i = 0;; ++i) {
        const uint64_t footprint = VariableFootprint(entry.type, at);
        if (footprint == 0)
            return 0;
        if (i == index)
            return at;
        at += footprint;
    }
}

const char* Layout::AttachedText(uint32_t offset) const {
    if (stringsOffset_ == 0)
        return nullptr;
    return TextAt(uint64_t{stringsOffset_} + offset);
}

}  // namespace store
}  // namespace brindle
