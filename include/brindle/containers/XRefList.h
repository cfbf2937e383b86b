// SPDX-License-Identifier: MIT
// XRefList: fixed-size items addressed by 32-bit references that carry a generation.
//
// Each item is a block of `ElelemSize()` caller bytes living in one array of slots. An item
// is handed out under a reference: its slot's generation in the high 16 bits and the slot
// index in the low 16 bits. A reference stays valid exactly as long as its item exists; once
// the item is removed the slot's generation advances (65535 wraps to 1, never 0), so the old
// reference finds nothing, even after the slot holds a new item. Reference 0 never names an
// item: slot 0 is never handed out.
//
// Slots: a header of three 16-bit fields (generation, next, prev) followed by the item bytes.
// The item bytes start at their natural alignment (the largest power of two dividing the
// element size, at most that of max_align_t), so pointer items are aligned.
//
// Free slots form a stack: the next item reuses the slot freed last. When no slot is free
// the array grows by an eighth of its size, at least 16 slots (or straight to the count set
// by Preallocate), up to 65,535 slots; with the default steps the last growth that fits
// reaches 64,247 slots. Live items are chained in creation order (the use list), which is
// the order of DoForEach and FindItem.
//
// Data pointers (from CreateItem, GetItem, GetFirstItem) point into the slot array and stay
// valid until the item is removed or the array next grows; references survive growth.
//
// Locking: a list built thread-safe owns a recursive XLocker that AddItem, RemoveItem,
// RemoveFirstItem, DoForEach and FindItem take. CreateItem, GetItem, GetFirstItem, IndexOf,
// IsEmpty and Count take no lock: a caller sharing the list brackets them, and its use of
// the data pointers they yield, with Lock and Unlock. A list built without a lock locks
// nothing. Not copyable.
#ifndef BRINDLE_CONTAINERS_XREFLIST_H_
#define BRINDLE_CONTAINERS_XREFLIST_H_

#include <stddef.h>
#include <stdint.h>

#include "brindle/Export.h"
#include "brindle/concurrency/XLocker.h"

class BRINDLE_API XRefList {
  public:
    // An empty list with no slots whose items are elementSize bytes each. threadSafe gives
    // the list its own lock.
    XRefList(uint32_t elementSize, bool threadSafe);
    // Frees the slot array and the lock. Item bytes are not otherwise released.
    virtual ~XRefList();

    XRefList(const XRefList&) = delete;
    XRefList& operator=(const XRefList&) = delete;

    // Makes the next growth go straight to `slots` slots when that is more than its usual
    // step (up to 65,535). Has no effect on a list that already has that many.
    void Preallocate(uint16_t slots);

    // Takes a free slot (growing the array when none is free), appends it to the use list,
    // stores its reference in *reference (when reference is not null) and returns its item
    // bytes, left as they were. Null, with the list unchanged, when the array is full or
    // cannot grow. Takes no lock.
    void* CreateItem(uint32_t* reference);
    // Locked CreateItem that copies ElelemSize() bytes from data into the new item (nothing
    // when data is null). Returns the new reference, or 0 when no item could be created.
    uint32_t AddItem(void* data);
    // AddItem for bytes the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    uint32_t AddItem(const T* data) {
        return AddItem(brindle::ReadOnlyBytes(data));
    }
    // Locked; removes the item the reference names and retires the reference. False when the
    // reference names no item.
    bool RemoveItem(uint32_t reference);
    // Locked; removes the oldest item. False on an empty list.
    bool RemoveFirstItem();

    // The bytes of the item the reference names, or null. Takes no lock.
    void* GetItem(uint32_t reference) const;
    // The bytes of the oldest item, or null on an empty list. Takes no lock.
    void* GetFirstItem() const;
    // The reference of the live item whose bytes start at data; 0 when data is not the data
    // pointer of a live item of this list. Takes no lock.
    uint32_t IndexOf(void* data) const;

    // Locked; calls fn(item, context) for every item, oldest first. fn may remove the item
    // it is given, or others, and add items (which are visited too); if it removes both its
    // own item and the one after it, the walk stops there. A null fn visits nothing.
    void DoForEach(void (*fn)(const void* data, void* context), void* context);
    // Locked; calls fn for the items, oldest first, and returns the reference of the first
    // for which it returns true; 0 if none (also for a null fn). fn may change the list as
    // in DoForEach.
    uint32_t FindItem(bool (*fn)(const void* data, void* context), void* context);

    // Unlocked reads of the item count.
    bool IsEmpty() const { return count_ == 0; }
    uint16_t Count() const { return count_; }
    // The element size given at construction.
    uint32_t ElelemSize() const { return elementSize_; }

    // Waits without limit for the list's lock; does nothing on a list without one.
    void Lock();
    // True when the lock was obtained within the time; false at once on a list without one.
    bool Lock(uint32_t milliseconds);
    // Releases one level of the list's lock, if it has one.
    void Unlock();

  private:
    struct Slot;

    Slot* SlotAt(uint16_t index) const;
    uint8_t* DataAt(uint16_t index) const;
    // Index of the live slot the reference names; 0 when it names none.
    uint16_t Find(uint32_t reference) const;
    uint32_t ReferenceOf(uint16_t index) const;
    // Adds slots to the free list; false, with nothing changed, when the array cannot grow.
    bool Grow();
    void Remove(uint16_t index);
    // Walks the use list, oldest first, until visit returns true; returns that item's
    // reference, or 0.
    uint32_t Walk(bool (*visit)(const void* data, void* context), void* context);

    XLocker lock_;
    const bool threadSafe_;
    const uint32_t elementSize_;
    uint16_t preallocate_;
    uint16_t capacity_;
    uint16_t count_;
    uint8_t* slots_;
    uint16_t head_;
    uint16_t tail_;
    uint16_t freeHead_;
    // Where the item bytes start in a slot, and the distance between slots.
    const size_t dataOffset_;
    const size_t slotSize_;
};

#endif  // BRINDLE_CONTAINERS_XREFLIST_H_
