// SPDX-License-Identifier: MIT

#include "serialization/StoreLayout.h"

namespace brindle {
namespace store {

bool HeaderIsSound(uint32_t totalSize, uint32_t stringsOffset, uint32_t entryCount) {
    if (totalSize < kHeaderSize)
        return false;
    const uint64_t tableEnd = kHeaderSize + uint64_t{entryCount} * kEntrySize;
    if (tableEnd > totalSize)
        return false;
    return stringsOffset == 0 || (stringsOffset >= tableEnd && stringsOffset <= totalSize);
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
