// SPDX-License-Identifier: MIT
// ValueIndex: where the values of String and Blob entries begin, kept once per buffer.
//
// Value k of a String or Blob entry lies behind the k values before it, each as long as its
// text or bytes, so finding it means stepping over them; reading all n values of an entry one
// by one would cost O(n^2). The first time a value from the kFirstIndexed-th on is asked
// of an entry, one walk over the entry notes where each of its values begins (as far as they
// lie inside the buffer); every later value of that entry is then found in O(1).
//
// Lying buffers. A walk stops at the first value that does not lie inside the buffer, so it
// costs at most the buffer's size, and the offsets it keeps answer exactly as the walk would.
// Entries may claim the same values, so the offsets kept for all entries together are held to
// one per word of the buffer (4 bytes of memory per 4 bytes of buffer); past that, values are
// found by walking, as they are when memory runs out.
//
// Reading value after value of one entry by index repeats one name lookup: the index keeps
// the entry last found for such a read and checks the name against it before searching.
//
// Readers of one buffer may ask from several threads at once: each entry's offsets are built
// by whichever thread first needs them and published with one atomic exchange.
#ifndef BRINDLE_SERIALIZATION_VALUEINDEX_H_
#define BRINDLE_SERIALIZATION_VALUEINDEX_H_

#include <stdint.h>

#include <atomic>

#include "brindle/serialization/XStoreEntry.h"
#include "serialization/StoreLayout.h"

namespace brindle {
namespace store {

class ValueIndex {
  public:
    // Values below this index are found by walking: a short walk costs less than an index.
    static constexpr uint32_t kFirstIndexed = 8;

    // An index for the buffer of `layout`; null when memory runs out.
    static ValueIndex* Create(const Layout& layout);
    // Takes over `entries`, a malloc array of `entryCount` null pointers, and allows
    // `words` offsets to be kept; Create makes both.
    ValueIndex(std::atomic<uint32_t*>* entries, uint32_t entryCount, uint32_t words);
    ~ValueIndex();
    ValueIndex(const ValueIndex&) = delete;
    ValueIndex& operator=(const ValueIndex&) = delete;

    // Layout::ValueAt for value `index` of `entry`, the record at `entryIndex` of the table,
    // whose type is String or Blob. Walks the entry the first time.
    uint64_t ValueAt(const Layout& layout, uint32_t entryIndex, const XStoreEntry& entry,
                     uint32_t index);
    // The offsets noted for the entry at `entryIndex`, their number first; null until the
    // entry has been walked.
    const uint32_t* Noted(uint32_t entryIndex) const {
        return entries_[entryIndex].load(std::memory_order_acquire);
    }

    // The entry last found for a read by index, which may be stale or out of range: a hint
    // to check, never to trust.
    uint32_t LastEntry() const { return lastEntry_.load(std::memory_order_relaxed); }
    void NoteLastEntry(uint32_t entryIndex) {
        if (lastEntry_.load(std::memory_order_relaxed) != entryIndex)
            lastEntry_.store(entryIndex, std::memory_order_relaxed);
    }

  private:
    // Walks the values of `entry`; the offsets found (the first word: how many), or null.
    uint32_t* Walk(const Layout& layout, const XStoreEntry& entry);
    // Takes `words` from the allowance (false when not that many are left), or gives them
    // back.
    bool Allow(uint64_t words);
    void GiveBack(uint64_t words);

    // Per entry of the table: its offsets once walked, else null.
    std::atomic<uint32_t*>* entries_;
    uint32_t entryCount_;
    // The words of offsets that may still be kept.
    std::atomic<uint64_t> allowance_;
    std::atomic<uint32_t> lastEntry_;
};

// FindEntryForValue when the entry last found does not answer: searches the table, and notes
// what it found in `known` (null: no index yet).
bool SearchEntryForValue(ValueIndex* known, const Layout& layout, const char* name,
                         uint32_t* entryIndex);

// Layout::Find of `name` for a read of value `index`: reads from the kFirstIndexed-th value
// on try the entry last found for such a read first, once the buffer has an index.
inline bool FindEntryForValue(std::atomic<ValueIndex*>* values, const Layout& layout,
                              const char* name, uint32_t index, uint32_t* entryIndex) {
    ValueIndex* known = nullptr;
    if (index >= ValueIndex::kFirstIndexed) {
        known = values->load(std::memory_order_acquire);
        const uint32_t last = known != nullptr ? known->LastEntry() : UINT32_MAX;
        if (last < layout.EntryCount() && layout.IsNamed(last, name)) {
            *entryIndex = last;
            return true;
        }
    }
    return SearchEntryForValue(known, layout, name, entryIndex);
}

// FindValue when the entry's offsets are not noted yet.
uint64_t FindValueFirst(std::atomic<ValueIndex*>* values, const Layout& layout, uint32_t entryIndex,
                        const XStoreEntry& entry, uint32_t index);

// The offset of value `index` of `entry`, a String or Blob entry (the record at `entryIndex`),
// as Layout::ValueAt gives it: by a short walk, or through the index that `*values` holds
// for the buffer, which is made when first needed (without memory for it, by walking).
inline uint64_t FindValue(std::atomic<ValueIndex*>* values, const Layout& layout,
                          uint32_t entryIndex, const XStoreEntry& entry, uint32_t index) {
    if (index >= ValueIndex::kFirstIndexed) {
        const ValueIndex* known = values->load(std::memory_order_acquire);
        const uint32_t* offsets = known != nullptr ? known->Noted(entryIndex) : nullptr;
        if (offsets != nullptr)
            return index < offsets[0] ? offsets[1 + index] : 0;
    }
    return FindValueFirst(values, layout, entryIndex, entry, index);
}

}  // namespace store
}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_VALUEINDEX_H_
