// SPDX-License-Identifier: MIT
// EditableForm: the records of a changed XStore, by name.
//
// Records live in a sorted list (XSortedList, in the byte order of names that strcmp gives,
// which is the order of a flattened store's entry table). A new name does not go into it
// straight away: it waits in a batch, and the whole batch joins the sorted list when name
// order is next needed (NameAt, RecordAt, Remove), sorted once and merged in. Adding N new
// names therefore costs O(N log N) in all, however additions and lookups interleave, rather
// than a shift of the sorted list per name.
//
// Lookups go through a hash index of every record, made at the first lookup or addition and
// kept up to date from then on; records loaded in bulk (Append) are indexed at the next
// lookup. Without memory for the index, a lookup falls back on a binary search.
//
// The form owns every record it holds (one block each, with its name), and what the records
// hold. A record does not move while it is in the form. No lock: the form belongs to one
// store.
#ifndef BRINDLE_SERIALIZATION_EDITABLEFORM_H_
#define BRINDLE_SERIALIZATION_EDITABLEFORM_H_

#include <stdint.h>

#include "brindle/containers/XSortedList.h"
#include "brindle/serialization/XStoreRecord.h"

namespace brindle {
namespace store {

class EditableForm {
  public:
    EditableForm();
    ~EditableForm();
    EditableForm(const EditableForm&) = delete;
    EditableForm& operator=(const EditableForm&) = delete;

    uint32_t Count() const { return list_.Count() + waitingCount_; }
    // The record of `name`, or null.
    XStoreRecord* Find(const char* name);
    // Adds a copy of `record` under a copy of `name`, which must not be in the form yet; the
    // values the record refers to pass to the form. False, with nothing changed and the
    // values still the caller's, when memory runs out.
    bool Add(const char* name, const XStoreRecord& record);
    // Makes room for `count` records in all, so that adding up to that many allocates only
    // the records (each with its name); the room grows at least twofold each time. False
    // when memory runs out.
    bool Reserve(uint32_t count);
    // Adds as Add does, but straight into the sorted list, for loading many names at once:
    // names appended in ascending or descending order are put in order in linear time.
    // Unlike Add, `name` may already be in the form (see HasRepeatedName).
    bool Append(const char* name, const XStoreRecord& record);
    // Whether two records have the same name; puts the names in order.
    bool HasRepeatedName();
    // Removes the record of `name` and everything it holds; false when there is none.
    bool Remove(const char* name);
    // The name and the record at `index` in name order; null when `index` is not below
    // Count.
    const char* NameAt(uint32_t index);
    XStoreRecord* RecordAt(uint32_t index);

  private:
    // A sorted list that owns the records it is given, each a block holding its name.
    class RecordList : public XSortedList {
      public:
        RecordList();
        using XSortedList::Reserve;
        using XSortedList::TryAddItem;
    };
    // A slot of the hash index: a record and the hash of its name; null when free.
    struct Slot {
        XStoreRecord* record;
        uint32_t hash;
    };

    // Moves the waiting names into the sorted list, which sorts them at its next use.
    void Order();
    // Makes room for one more waiting name; false when memory runs out.
    bool MakeRoomToWait();
    // Makes the index if there is none and lets it hold `count` records at under half load;
    // false when memory runs out (an index made before stays as it was).
    bool IndexRoomFor(uint32_t count);
    // The slot holding `name`, or the free slot where its probe ends.
    Slot* Probe(const char* name, uint32_t hash) const;
    void Enter(XStoreRecord* record, uint32_t hash);
    // Frees an occupied slot, moving later slots of its probe run back into the gap.
    void Erase(Slot* slot);

    RecordList list_;
    // Records the sorted list has room for, at least.
    uint32_t reserved_ = 0;
    XStoreRecord** waiting_ = nullptr;
    uint32_t waitingCount_ = 0;
    uint32_t waitingCapacity_ = 0;
    // Open-addressed (linear probing) index of every record, or null; its size is a power
    // of two, 0 without an index.
    Slot* index_ = nullptr;
    uint32_t indexSize_ = 0;
};

}  // namespace store
}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_EDITABLEFORM_H_
