// SPDX-License-Identifier: MIT

#include "serialization/ValueIndex.h"

#include <stdlib.h>

#include <new>

#include "platform/Alloc.h"

namespace brindle {
namespace store {

ValueIndex* ValueIndex::Create(const Layout& layout) {
    const uint32_t count = layout.EntryCount();
    void* memory = Malloc(size_t{count} * sizeof(std::atomic<uint32_t*>));
    if (memory == nullptr)
        return nullptr;
    auto* entries = static_cast<std::atomic<uint32_t*>*>(memory);
    for (uint32_t i = 0; i < count; ++i)
        new (entries + i) std::atomic<uint32_t*>(nullptr);
    ValueIndex* index = New<ValueIndex>(entries, count, layout.TotalSize() / 4);
    if (index == nullptr)
        free(memory);
    return index;
}

ValueIndex::ValueIndex(std::atomic<uint32_t*>* entries, uint32_t entryCount, uint32_t words)
    : entries_(entries), entryCount_(entryCount), allowance_(words), lastEntry_(0) {}

ValueIndex::~ValueIndex() {
    for (uint32_t i = 0; i < entryCount_; ++i)
        free(entries_[i].load(std::memory_order_relaxed));
    free(entries_);
}

bool ValueIndex::Allow(uint64_t words) {
    uint64_t left = allowance_.load(std::memory_order_relaxed);
    while (left >= words) {
        if (allowance_.compare_exchange_weak(left, left - words, std::memory_order_relaxed))
            return true;
    }
    return false;
}

void ValueIndex::GiveBack(uint64_t words) {
    allowance_.fetch_add(words, std::memory_order_relaxed);
}

uint32_t* ValueIndex::Walk(const Layout& layout, const XStoreEntry& entry) {
    // Every value takes at least a word, so the values that can lie inside the buffer are
    // bounded by the words left in it.
    const uint64_t start = layout.ValuesStart(entry);
    const uint64_t room = layout.Inside(start, 0) ? (layout.TotalSize() - start) / 4 : 0;
    const uint64_t most = entry.valueCount < room ? entry.valueCount : room;
    if (!Allow(most + 1))
        return nullptr;
    auto* offsets = static_cast<uint32_t*>(Malloc((most + 1) * sizeof(uint32_t)));
    if (offsets == nullptr) {
        GiveBack(most + 1);
        return nullptr;
    }
    uint32_t found = 0;
    for (uint64_t at = start; found < most; ++found) {
        const uint64_t footprint = layout.VariableFootprint(entry.type, at);
        if (footprint == 0)
            break;
        offsets[1 + found] = static_cast<uint32_t>(at);
        at += footprint;
    }
    offsets[0] = found;
    // What the walk did not need goes back, if the block can shrink.
    if (found < most) {
        void* smaller = Realloc(offsets, (found + size_t{1}) * sizeof(uint32_t));
        if (smaller != nullptr) {
            offsets = static_cast<uint32_t*>(smaller);
            GiveBack(most - found);
        }
    }
    return offsets;
}

uint64_t ValueIndex::ValueAt(const Layout& layout, uint32_t entryIndex, const XStoreEntry& entry,
                             uint32_t index) {
    std::atomic<uint32_t*>& slot = entries_[entryIndex];
    uint32_t* offsets = slot.load(std::memory_order_acquire);
    if (offsets == nullptr) {
        uint32_t* walked = Walk(layout, entry);
        if (walked == nullptr)
            return layout.ValueAt(entry, index);
        // Another thread may have walked the entry meanwhile: the first to publish wins.
        if (slot.compare_exchange_strong(offsets, walked, std::memory_order_acq_rel)) {
            offsets = walked;
        } else {
            GiveBack(walked[0] + 1);
            free(walked);
        }
    }
    return index < offsets[0] ? offsets[1 + index] : 0;
}

bool SearchEntryForValue(ValueIndex* known, const Layout& layout, const char* name,
                         uint32_t* entryIndex) {
    if (!layout.Find(name, entryIndex))
        return false;
    if (known != nullptr)
        known->NoteLastEntry(*entryIndex);
    return true;
}

uint64_t FindValueFirst(std::atomic<ValueIndex*>* values, const Layout& layout, uint32_t entryIndex,
                        const XStoreEntry& entry, uint32_t index) {
    if (index < ValueIndex::kFirstIndexed)
        return layout.ValueAt(entry, index);
    ValueIndex* known = values->load(std::memory_order_acquire);
    if (known == nullptr) {
        ValueIndex* made = ValueIndex::Create(layout);
        if (made == nullptr)
            return layout.ValueAt(entry, index);
        if (values->compare_exchange_strong(known, made, std::memory_order_acq_rel))
            known = made;
        else
            delete made;
    }
    return known->ValueAt(layout, entryIndex, entry, index);
}

}  // namespace store
}  // namespace brindle
