// SPDX-License-Identifier: MIT
// XSortedList: a key/value list kept in key order under a caller-supplied compare function.
//
// Keys and values are untyped pointers. Five caller-supplied functions decide everything
// about them: `compare` orders keys (negative, 0 or positive, as strcmp does), the copy
// functions turn the caller's key or value into the one the list stores (null: the caller's
// pointer is stored as it is), and the free functions release a stored key or value when its
// entry leaves the list (null: nothing is called). Each stored key and value is freed exactly
// once: by RemoveItem for the entry removed, or by Empty and the destructor for all entries.
// Keys and values handed out by FindItem, GetItem and GetKey stay owned by the list.
//
// Sorting is lazy: AddItem appends at the end, and the first operation that needs the order
// (FindItem by key, GetItem, GetKey, DoForEach) sorts first. Only the entries appended since
// the last sort are sorted and then merged into the sorted part, so a list that grows by one
// entry between lookups pays a binary search and one block move per entry, and entries
// appended in key order (or in reverse key order) after the last one cost one comparison
// each. Entries with equal
// keys may end in any order. A key search remembers the position of its last hit and
// tries it first.
//
// A list made with threadSafe true owns an XLocker and takes it in AddItem, both RemoveItems,
// DoForEach, Empty and the sort; FindItem, GetItem, GetKey and Count take no lock beyond the
// sort they may call. Several threads may look up concurrently while no thread changes the
// list; a caller that needs a lookup and the use of its result to be atomic, or that reads
// while others change the list, brackets its calls with Lock and Unlock (the lock is
// recursive, and DoForEach callbacks may call the list's own operations). A list made without
// a lock does no locking at all.
//
// Not copyable: the list cannot know whether a stored key or value may be duplicated (its
// copy functions may be null while its free functions release what they are given).
#ifndef BRINDLE_CONTAINERS_XSORTEDLIST_H_
#define BRINDLE_CONTAINERS_XSORTEDLIST_H_

#include <stdint.h>

#include <atomic>
#include <optional>

#include "brindle/Export.h"
#include "brindle/concurrency/XLocker.h"

class BRINDLE_API XSortedList {
  public:
    typedef int (*CompareFn)(const void* a, const void* b);
    typedef void* (*CopyFn)(const void* item);
    typedef void (*FreeFn)(const void* item);

    // Index value meaning "no entry".
    static constexpr uint32_t kNoIndex = 0xFFFFFFFF;
    // The entry array grows by this many entries at a time.
    static constexpr uint32_t kGrowth = 256;

    // A list without a lock. `compare` must not be null; the other four may be.
    XSortedList(CompareFn compare, CopyFn keyCopy, FreeFn keyFree, CopyFn valueCopy,
                FreeFn valueFree);
    // threadSafe true: the list owns a lock (see above); false: as the first constructor.
    XSortedList(bool threadSafe, CompareFn compare, CopyFn keyCopy, FreeFn keyFree,
                CopyFn valueCopy, FreeFn valueFree);
    // Frees every stored key and value (as Empty does), then the entry array and the lock.
    virtual ~XSortedList();

    XSortedList(const XSortedList&) = delete;
    XSortedList& operator=(const XSortedList&) = delete;

    // Appends an entry holding keyCopy(key) (or key) and valueCopy(value) (or value); a key
    // already present is added again as a further entry. If the array cannot grow, or a copy
    // function returns null for a non-null argument, nothing is added and the copies made are
    // freed: the caller's pointers are never taken over then (compare Count() to tell).
    void AddItem(void* key, void* value);

    // The value of an entry whose key compares equal to `key`, or null. Sets *index (when
    // index is not null) to the entry's position in key order, or to -1 when none is found.
    // With duplicate keys, any one of the equal entries may be found.
    void* FindItem(void* key, int32_t* index);
    // FindItem for a key the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    void* FindItem(const T* key, int32_t* index) {
        return FindItem(brindle::ReadOnlyBytes(key), index);
    }
    // The value of the first entry, in the present array order (unsorted entries included),
    // for which fn returns true, or null; *index as above, in that order. Neither sorts nor
    // locks.
    void* FindItem(bool (*fn)(const void* key, const void* value, void* context), void* context,
                   int32_t* index);

    // Removes an entry whose key compares equal, freeing its key and value; false if none.
    bool RemoveItem(void* key);
    // RemoveItem for a key the caller may only read (see brindle::ReadOnlyBytes).
    template <typename T>
    bool RemoveItem(const T* key) {
        return RemoveItem(brindle::ReadOnlyBytes(key));
    }
    // Removes the entry whose key compares equal and whose stored value is exactly `value`
    // (a pointer compare: pass the stored pointer when the list copies values); false, with
    // nothing changed, if there is none.
    bool RemoveItem(void* key, void* value);

    // Sorts if needed, then calls fn for every entry from the last to the first, that is in
    // descending key order. fn may change the list; entries that have gone are skipped.
    void DoForEach(void (*fn)(const void* key, const void* value, void* context), void* context);

    // Sort if needed; the value or key at `index` in key order, or null for an index at or
    // beyond Count().
    void* GetItem(uint32_t index);
    void* GetKey(uint32_t index);

    uint32_t Count() const { return count_; }

    // Frees every key (index 0 up), then every value (index 0 up), and forgets all entries;
    // the array keeps its capacity.
    void Empty();

    // Without a lock these do nothing, and Lock(milliseconds) returns false at once. With
    // one, Lock waits without limit, Lock(milliseconds) reports whether the lock was obtained
    // in time, and Unlock releases one level.
    void Lock();
    bool Lock(uint32_t milliseconds);
    void Unlock();

  protected:
    // Sorts the entries by key and marks the list sorted.
    void Sort();
    // AddItem that reports whether the entry was added (false: nothing changed).
    bool TryAddItem(void* key, void* value);
    // Grows the entry array, in whole steps of kGrowth, to hold at least `count` entries, so
    // that adding up to that many needs no allocation; false when it cannot.
    bool Reserve(uint32_t count);

  private:
    struct Entry {
        void* key;
        void* value;
    };

    // Binary search (after the remembered position); sorts first if needed. The entry's
    // position, or kNoIndex.
    uint32_t Search(void* key);
    // Frees the stored key and value at index and closes the gap.
    void RemoveAt(uint32_t index);
    // Merges the unsorted tail into the sorted front; false if the scratch space for a long
    // tail cannot be allocated.
    bool MergeTail();
    void SortIfNeeded();

    std::optional<XLocker> locker_;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
    Entry* entries_ = nullptr;
    CompareFn compare_;
    CopyFn keyCopy_;
    CopyFn valueCopy_;
    FreeFn keyFree_;
    FreeFn valueFree_;
    // Position of the last key search hit; only a hint, checked before use.
    std::atomic<uint32_t> lastFound_{0};
    // Entries [0, sortedCount_) are in key order; the rest were appended since.
    uint32_t sortedCount_ = 0;
    // sortedCount_ == count_, readable without the lock.
    std::atomic<bool> sorted_{true};
};

#endif  // BRINDLE_CONTAINERS_XSORTEDLIST_H_
