// SPDX-License-Identifier: MIT
// Conversion of a buffer written on a machine of the other byte order.
#include "brindle/serialization/XStoreReader.h"
#include "serialization/StoreLayout.h"

using brindle::ReverseWordAt;
using brindle::store::kEntrySize;
using brindle::store::kHeaderSize;
using brindle::store::Layout;

namespace {

// Reverses each length word of the blobs of `entry` that lie inside the buffer, stepping by
// the converted lengths; returns the offset just past the last blob converted.
uint64_t SwapBlobs(uint8_t* buffer, const Layout& layout, const XStoreEntry& entry) {
    uint64_t at = layout.ValuesStart(entry);
    for (uint32_t i = 0; i < entry.valueCount && layout.Inside(at, 4); ++i) {
        ReverseWordAt(buffer + at);
        const uint64_t footprint = layout.VariableFootprint(XStoreTypeBlob, at);
        if (footprint == 0)
            break;
        at += footprint;
    }
    return at;
}

}  // namespace

void XStoreReader::Swap() {
    converted_ = true;
    for (uint32_t at = 0; at < kHeaderSize; at += 4)
        ReverseWordAt(buffer_ + at);
    const Layout layout(buffer_);
    valueArea_ = entryTable_ + layout.EntryCount() * kEntrySize;

    // The values of a well-formed buffer follow each other in table order. An entry whose
    // values start before the end of those already converted lies about its offset and is
    // left alone: so no word is reversed twice and the work stays linear in the size.
    uint64_t converted = 0;
    for (uint32_t i = 0; i < layout.EntryCount(); ++i) {
        uint8_t* record = entryTable_ + i * kEntrySize;
        for (uint32_t word = 0; word < kEntrySize; word += 4)
            ReverseWordAt(record + word);
        const XStoreEntry entry = layout.EntryAt(i);
        const uint64_t start = layout.ValuesStart(entry);
        if (start < converted)
            continue;
        if (entry.type == XStoreTypeBlob) {
            converted = SwapBlobs(buffer_, layout, entry);
        } else if (entry.type == XStoreTypeInt || entry.type == XStoreTypeFloat ||
                   entry.type == XStoreTypeBool) {
            const uint64_t length = uint64_t{entry.valueCount} * 4;
            if (!layout.Inside(start, length))
                continue;
            for (uint64_t at = start; at < start + length; at += 4)
                ReverseWordAt(buffer_ + at);
            converted = start + length;
        }
    }
}
