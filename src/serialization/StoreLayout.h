// SPDX-License-Identifier: MIT
// The flattened store format, and checked access to a buffer in it.
//
// Offsets below are in bytes from the start of the buffer unless said otherwise. Words are
// read and written with memcpy, so a buffer needs no particular alignment. Every accessor
// takes the header's total size as the end of the buffer and never touches a byte at or
// beyond it, whatever the offsets and counts inside the buffer claim.
#ifndef BRINDLE_SERIALIZATION_STORELAYOUT_H_
#define BRINDLE_SERIALIZATION_STORELAYOUT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "brindle/serialization/XStoreEntry.h"
#include "brindle/serialization/XStoreType.h"
#include "platform/Bytes.h"

namespace brindle {
namespace store {

// 's', 't', 'o', 'r' packed with 's' in the most significant byte; the second value is how
// a buffer of the other byte order shows it.
constexpr uint32_t kMagic = 0x73746F72;
constexpr uint32_t kSwappedMagic = 0x726F7473;

// The header: five words.
constexpr uint32_t kMagicAt = 0;
constexpr uint32_t kReservedAt = 4;
constexpr uint32_t kTotalSizeAt = 8;
constexpr uint32_t kStringsOffsetAt = 12;
constexpr uint32_t kEntryCountAt = 16;
constexpr uint32_t kHeaderSize = 20;
constexpr uint32_t kEntrySize = sizeof(XStoreEntry);

// The room a name or text of `length` bytes takes with its NUL and padding.
inline uint64_t TextFootprint(uint64_t length) {
    return (length + 4) & ~uint64_t{3};
}

// The room a blob of `length` bytes takes with its length word and padding.
inline uint64_t BlobFootprint(uint64_t length) {
    return (length + 7) & ~uint64_t{3};
}

// Int, Float, Bool, LocStr and MovStr values are one word each, found directly.
inline bool IsWordType(XStoreType type) {
    return type == XStoreTypeInt || type == XStoreTypeFloat || type == XStoreTypeBool ||
           type == XStoreTypeLocStr || type == XStoreTypeMovStr;
}

inline bool IsSeparatedType(XStoreType type) {
    return type == XStoreTypeLocStr || type == XStoreTypeMovStr;
}

// Whether a header with these fields describes a buffer that can be read safely: the total
// size covers the header and the entry table, and the strings offset is 0 (detached) or lies
// between the end of the entry table and the total size.
bool HeaderIsSound(uint32_t totalSize, uint32_t stringsOffset, uint32_t entryCount);

// A native-order buffer that passed HeaderIsSound, with its header read once.
class Layout {
  public:
    explicit Layout(const uint8_t* buffer)
        : buffer_(buffer),
          totalSize_(LoadWord(buffer + kTotalSizeAt)),
          stringsOffset_(LoadWord(buffer + kStringsOffsetAt)),
          entryCount_(LoadWord(buffer + kEntryCountAt)),
          valueArea_(kHeaderSize + entryCount_ * kEntrySize) {}

    uint32_t EntryCount() const { return entryCount_; }
    uint32_t TotalSize() const { return totalSize_; }
    uint32_t StringsOffset() const { return stringsOffset_; }
    // The byte at `at`, which the caller has checked to lie inside the buffer.
    const uint8_t* At(uint64_t at) const { return buffer_ + at; }

    // Entry record `index`, which must be below EntryCount.
    XStoreEntry EntryAt(uint32_t index) const {
        XStoreEntry entry;
        memcpy(&entry, buffer_ + kHeaderSize + index * kEntrySize, sizeof entry);
        return entry;
    }

    // Binary search of the entry table for `name`: true with its record index in `*index`.
    // Inline: it is the heart of every getter.
    bool Find(const char* name, uint32_t* index) const {
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
    // Whether entry record `index`, which must be below EntryCount, is named `name`. Needs no
    // length of `name` first, so a check that succeeds costs one pass over the name.
    bool IsNamed(uint32_t index, const char* name) const {
        const uint64_t at =
            uint64_t{valueArea_} + LoadWord(buffer_ + kHeaderSize + index * kEntrySize);
        for (uint64_t i = at; i < totalSize_; ++i, ++name) {
            if (buffer_[i] != static_cast<unsigned char>(*name))
                return false;
            if (*name == 0)
                return true;
        }
        return false;
    }
    // The entry's name, or null when it does not end inside the buffer.
    const char* Name(const XStoreEntry& entry) const;

    // The offset of value `index` of the entry, or 0 when the entry's type is not one of the
    // seven, `index` is not below its value count, or the value does not lie inside the
    // buffer. Word values count only when all of the entry's words lie inside; String and
    // Blob values need every value before them, and their own text or bytes, inside.
    uint64_t ValueAt(const XStoreEntry& entry, uint32_t index) const;
    // The room taken by the String or Blob value at `at`, or 0 when it does not lie inside
    // the buffer.
    uint64_t VariableFootprint(XStoreType type, uint64_t at) const;
    // The text at `offset` from the start of the strings area, or null when the strings are
    // detached or the text does not lie wholly inside the strings area.
    const char* AttachedText(uint32_t offset) const;

    // Whether `length` bytes from `at` lie inside the buffer.
    bool Inside(uint64_t at, uint64_t length) const { return at + length <= totalSize_; }
    // The NUL-terminated text at `at`, or null when its NUL is not inside the buffer.
    const char* TextAt(uint64_t at) const;
    // The buffer offset of the entry's first value.
    uint64_t ValuesStart(const XStoreEntry& entry) const {
        return uint64_t{valueArea_} + entry.valuesOffset;
    }

  private:
    // Compares `name`, of `nameSize` bytes with its NUL, with the name stored at `nameOffset`
    // in the value area, byte by byte as unsigned values: negative, 0 or positive as `name`
    // sorts before, equal to or after it. A stored name that does not end inside the buffer
    // matches nothing.
    int CompareName(const char* name, size_t nameSize, uint32_t nameOffset) const {
        const uint64_t at = uint64_t{valueArea_} + nameOffset;
        if (at >= totalSize_)
            return 1;
        // Comparing `name` with its NUL decides: a stored name that is shorter differs at its
        // NUL, a longer one at the key's. Bytes compare as unsigned values; four at a time,
        // read most significant first, compare in the same order as one by one.
        const uint64_t room = totalSize_ - at;
        const size_t length = nameSize < room ? nameSize : static_cast<size_t>(room);
        const unsigned char* key = reinterpret_cast<const unsigned char*>(name);
        const unsigned char* stored = buffer_ + at;
        size_t i = 0;
        for (; i + 4 <= length; i += 4) {
            const uint32_t a = LoadWord(key + i), b = LoadWord(stored + i);
            if (a != b)
                return BigEndianOrder(a) < BigEndianOrder(b) ? -1 : 1;
        }
        for (; i < length; ++i) {
            if (key[i] != stored[i])
                return key[i] < stored[i] ? -1 : 1;
        }
        return nameSize <= room ? 0 : 1;
    }

    // The word as a big-endian machine would read its bytes.
    static uint32_t BigEndianOrder(uint32_t word) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return ReverseWord(word);
#else
        return word;
#endif
    }

    const uint8_t* buffer_;
    uint32_t totalSize_;
    uint32_t stringsOffset_;
    uint32_t entryCount_;
    uint32_t valueArea_;
};

}  // namespace store
}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_STORELAYOUT_H_
