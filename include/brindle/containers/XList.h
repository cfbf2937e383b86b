// SPDX-License-Identifier: MIT
// XList: a growable array of untyped pointers.
//
// The list keeps pointers in order, finds and removes them; it never looks at what they
// point to and never frees them. It has no lock: a list shared between threads is guarded
// by its owner.
//
// Indices are 32-bit unsigned; 0xFFFFFFFF (XList::kNoIndex) means "no index" wherever an
// index is returned or passed.
//
// Growth happens only when the array is full: by 16 slots while the capacity is below 128,
// then by an eighth of the capacity. The array never shrinks until the list is destroyed.
// When growth fails the operation returns kNoIndex and the list is exactly as it was.
//
// Copying a list copies its item array (the items themselves are shared pointers, as they
// were never owned). A copy whose array cannot be allocated is an empty list with capacity 0.
#ifndef BRINDLE_CONTAINERS_XLIST_H_
#define BRINDLE_CONTAINERS_XLIST_H_

#include <stdint.h>

#include "brindle/Export.h"

class BRINDLE_API XList {
  public:
    static constexpr uint32_t kNoIndex = 0xFFFFFFFF;

    // Allocates an array of `capacity` slots; capacity 0 is allowed. If that allocation fails
    // the list starts with capacity 0 and allocates on its first addition.
    explicit XList(uint32_t capacity = 256);
    XList(const XList& other);
    XList& operator=(const XList& other);
    // Frees the item array (not the items).
    virtual ~XList();

    // Forgets every item; the array keeps its capacity. Subclasses that own their items
    // free them here.
    virtual void Empty();

    // Appends item; returns its index, or kNoIndex when the array cannot grow.
    uint32_t AddItem(void* item);
    // Inserts item before index, moving the items at and above it up, and returns index. An
    // index at or beyond Count() appends and returns the new item's index. kNoIndex when the
    // array cannot grow.
    uint32_t InsertItem(void* item, uint32_t index);
    // Removes the item at index, moving the items above it down. False, with nothing changed,
    // for kNoIndex or an index at or beyond Count().
    bool RemoveItem(uint32_t index);
    // Removes the first slot holding exactly this pointer; false if there is none.
    bool RemoveItemByValue(void* item);
    // Removes the item at index 0; false on an empty list.
    bool RemoveFirstItem();
    // Index of the first slot, from 0 up, holding exactly this pointer; kNoIndex if none.
    uint32_t IndexOf(void* item) const;

    // Calls fn(item, context) for every item from the last down to the first. The array is
    // read afresh before each call, so fn may remove the item it is given or any after it.
    void DoForEach(void (*fn)(const void* item, void* context), void* context);
    // Calls fn for the items from the first up and returns the index of the first for which
    // it returns true; kNoIndex if none. The count is read afresh before each step.
    uint32_t FindItem(bool (*fn)(const void* item, void* context), void* context);

    // Unchecked access: valid only for an index below Count().
    void* GetItem(uint32_t index) const { return items_[index]; }
    void* GetFirstItem() const { return items_[0]; }
    void SetItem(uint32_t index, void* item) { items_[index] = item; }

    uint32_t Count() const { return count_; }

  private:
    // Makes room for one more item; false (list unchanged) when realloc fails.
    bool Grow();

    uint32_t capacity_;
    uint32_t count_;
    void** items_;
};

#endif  // BRINDLE_CONTAINERS_XLIST_H_
