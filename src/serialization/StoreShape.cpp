// SPDX-License-Identifier: MIT

#include "serialization/StoreShape.h"

#include <string.h>

#include "serialization/StoreLayout.h"

namespace brindle {
namespace store {
namespace {

// Reads the pieces of a buffer, each only when it ends before a given limit.
class Pieces {
  public:
    Pieces(const uint8_t* buffer, bool wordsReversed, bool slotsReversed)
        : buffer_(buffer), wordsReversed_(wordsReversed), slotsReversed_(slotsReversed) {}

    uint32_t Word(uint64_t at) const {
        const uint32_t word = LoadWord(buffer_ + at);
        return wordsReversed_ ? ReverseWord(word) : word;
    }
    uint32_t Slot(uint64_t at) const {
        const uint32_t slot = LoadWord(buffer_ + at);
        return slotsReversed_ ? ReverseWord(slot) : slot;
    }
    const char* Text(uint64_t at) const { return reinterpret_cast<const char*>(buffer_ + at); }

    // The end of the text at `at` with its NUL and padding, or 0 when that end is not at or
    // before `limit`.
    uint64_t TextEnd(uint64_t at, uint64_t limit) const {
        if (at >= limit)
            return 0;
        const void* nul = memchr(buffer_ + at, 0, limit - at);
        if (nul == nullptr)
            return 0;
        const uint64_t end = at + TextFootprint(static_cast<const uint8_t*>(nul) - (buffer_ + at));
        return end <= limit ? end : 0;
    }
    // The end of the blob at `at` with its length word and padding, or 0 as above.
    uint64_t BlobEnd(uint64_t at, uint64_t limit) const {
        if (at + 4 > limit)
            return 0;
        const uint64_t end = at + BlobFootprint(Word(at));
        return end <= limit ? end : 0;
    }

  private:
    const uint8_t* buffer_;
    bool wordsReversed_;
    bool slotsReversed_;
};

bool IsValueType(uint32_t type) {
    return type <= XStoreTypeMovStr;
}

}  // namespace

Shape CheckShape(const uint8_t* buffer, bool wordsReversed, bool slotsReversed) {
    const Pieces pieces(buffer, wordsReversed, slotsReversed);
    const uint32_t total = pieces.Word(kTotalSizeAt);
    const uint32_t strings = pieces.Word(kStringsOffsetAt);
    const uint32_t count = pieces.Word(kEntryCountAt);
    const uint64_t valueArea = kHeaderSize + uint64_t{count} * kEntrySize;
    const uint64_t valuesLimit = strings != 0 ? strings : total;
    // Where the next piece may begin, in the value area and in the strings area.
    uint64_t next = valueArea;
    uint64_t nextText = strings;
    const char* previousName = nullptr;
    bool ascending = true;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t record = kHeaderSize + uint64_t{i} * kEntrySize;
        const uint64_t nameAt = valueArea + pieces.Word(record);
        if (nameAt < next || (next = pieces.TextEnd(nameAt, valuesLimit)) == 0)
            return Shape::kMalformed;
        const char* name = pieces.Text(nameAt);
        if (previousName != nullptr && strcmp(previousName, name) >= 0)
            ascending = false;
        previousName = name;

        const uint32_t values = pieces.Word(record + 4);
        const uint32_t type = pieces.Word(record + 8);
        if (values == 0 || !IsValueType(type))
            continue;
        uint64_t at = valueArea + pieces.Word(record + 12);
        if (at < next)
            return Shape::kMalformed;
        if (IsWordType(static_cast<XStoreType>(type))) {
            const uint64_t end = at + uint64_t{values} * 4;
            if (end > valuesLimit)
                return Shape::kMalformed;
            for (; strings != 0 && IsSeparatedType(static_cast<XStoreType>(type)) && at < end;
                 at += 4) {
                const uint64_t textAt = uint64_t{strings} + pieces.Slot(at);
                if (textAt < nextText || (nextText = pieces.TextEnd(textAt, total)) == 0)
                    return Shape::kMalformed;
            }
            next = end;
            continue;
        }
        // String and Blob values, one after another; each takes at least four bytes, so a
        // lying count ends at the limit.
        for (uint32_t k = 0; k < values; ++k) {
            at = type == XStoreTypeString ? pieces.TextEnd(at, valuesLimit)
                                          : pieces.BlobEnd(at, valuesLimit);
            if (at == 0)
                return Shape::kMalformed;
        }
        next = at;
    }
    return ascending ? Shape::kWellFormed : Shape::kUnsorted;
}

}  // namespace store
}  // namespace brindle
