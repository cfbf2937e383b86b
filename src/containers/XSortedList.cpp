// SPDX-License-Identifier: MIT

#include "brindle/containers/XSortedList.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/Alloc.h"

namespace {

// Holds the list's lock, if it has one, for the lifetime of the guard.
class ListGuard {
  public:
    explicit ListGuard(XSortedList* list) : list_(list) { list_->Lock(); }
    ~ListGuard() { list_->Unlock(); }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;

  private:
    XSortedList* list_;
};

// Tails up to this many entries are merged through scratch space on the stack.
constexpr uint32_t kStackTail = 32;

}  // namespace

XSortedList::XSortedList(CompareFn compare, CopyFn keyCopy, FreeFn keyFree, CopyFn valueCopy,
                         FreeFn valueFree)
    : XSortedList(false, compare, keyCopy, keyFree, valueCopy, valueFree) {}

XSortedList::XSortedList(bool threadSafe, CompareFn compare, CopyFn keyCopy, FreeFn keyFree,
                         CopyFn valueCopy, FreeFn valueFree)
    : compare_(compare),
      keyCopy_(keyCopy),
      valueCopy_(valueCopy),
      keyFree_(keyFree),
      valueFree_(valueFree) {
    // The lock lives inside the list, so a thread-safe list never ends up without one.
    if (threadSafe)
        locker_.emplace();
}

XSortedList::~XSortedList() {
    Empty();
    free(entries_);
}

void XSortedList::Lock() {
    if (locker_)
        locker_->Lock();
}

bool XSortedList::Lock(uint32_t milliseconds) {
    return locker_ ? locker_->Lock(milliseconds) : false;
}

void XSortedList::Unlock() {
    if (locker_)
        locker_->Unlock();
}

void XSortedList::AddItem(void* key, void* value) {
    TryAddItem(key, value);
}

bool XSortedList::Reserve(uint32_t count) {
    ListGuard guard(this);
    if (count <= capacity_)
        return true;
    // Whole growth steps, as far as an index can reach.
    const uint64_t wanted = (uint64_t{count} + kGrowth - 1) / kGrowth * kGrowth;
    if (wanted > kNoIndex)
        return false;
    void* grown = brindle::Realloc(entries_, static_cast<size_t>(wanted) * sizeof(Entry));
    if (grown == nullptr)
        return false;
    entries_ = static_cast<Entry*>(grown);
    capacity_ = static_cast<uint32_t>(wanted);
    return true;
}

bool XSortedList::TryAddItem(void* key, void* value) {
    ListGuard guard(this);
    if (!Reserve(count_ + 1))
        return false;
    void* storedKey = key;
    if (keyCopy_ != nullptr) {
        storedKey = keyCopy_(key);
        if (storedKey == nullptr && key != nullptr)
            return false;
    }
    void* storedValue = value;
    if (valueCopy_ != nullptr) {
        storedValue = valueCopy_(value);
        if (storedValue == nullptr && value != nullptr) {
            if (keyCopy_ != nullptr && keyFree_ != nullptr)
                keyFree_(storedKey);
            return false;
        }
    }
    entries_[count_].key = storedKey;
    entries_[count_].value = storedValue;
    ++count_;
    sorted_.store(false, std::memory_order_relaxed);
    return true;
}

void XSortedList::Sort() {
    ListGuard guard(this);
    if (sorted_.load(std::memory_order_relaxed))
        return;
    if (!MergeTail()) {
        // No scratch space: sort everything in place instead.
        CompareFn compare = compare_;
        std::sort(entries_, entries_ + count_,
                  [compare](const Entry& a, const Entry& b) { return compare(a.key, b.key) < 0; });
    }
    sortedCount_ = count_;
    // Release: a reader that sees the flag set also sees the sorted array.
    sorted_.store(true, std::memory_order_release);
}

bool XSortedList::MergeTail() {
    CompareFn compare = compare_;
    auto less = [compare](const Entry& a, const Entry& b) { return compare(a.key, b.key) < 0; };
    Entry* const tailStart = entries_ + sortedCount_;
    Entry* const end = entries_ + count_;
    // A tail appended in key order, or in reverse key order, costs one comparison per entry,
    // and one that follows the sorted front needs no merge at all.
    auto greater = [compare](const Entry& a, const Entry& b) { return compare(a.key, b.key) > 0; };
    if (std::is_sorted(tailStart, end, greater))
        std::reverse(tailStart, end);
    else if (!std::is_sorted(tailStart, end, less))
        std::sort(tailStart, end, less);
    if (sortedCount_ == 0 || !less(*tailStart, tailStart[-1]))
        return true;
    const uint32_t tail = count_ - sortedCount_;
    Entry stackScratch[kStackTail];
    Entry* scratch = stackScratch;
    if (tail > kStackTail) {
        scratch = static_cast<Entry*>(brindle::Malloc(size_t{tail} * sizeof(Entry)));
        if (scratch == nullptr)
            return false;
    }
    memcpy(scratch, tailStart, size_t{tail} * sizeof(Entry));
    // Merge from the back: take the tail entries from the greatest down, find where each goes
    // among the sorted front that is still unmoved, and shift the front entries above that
    // point up as one block.
    uint32_t front = sortedCount_;
    for (uint32_t left = tail; left > 0; --left) {
        const Entry& entry = scratch[left - 1];
        uint32_t at = static_cast<uint32_t>(
            std::upper_bound(entries_, entries_ + front, entry, less) - entries_);
        memmove(entries_ + at + left, entries_ + at, size_t{front - at} * sizeof(Entry));
        entries_[at + left - 1] = entry;
        front = at;
    }
    if (scratch != stackScratch)
        free(scratch);
    return true;
}

void XSortedList::SortIfNeeded() {
    if (!sorted_.load(std::memory_order_acquire))
        Sort();
}

uint32_t XSortedList::Search(void* key) {
    uint32_t last = lastFound_.load(std::memory_order_relaxed);
    if (sorted_.load(std::memory_order_acquire) && last < count_ &&
        compare_(key, entries_[last].key) == 0)
        return last;
    SortIfNeeded();
    int64_t low = -1;
    int64_t high = count_;
    while (high - low > 1) {
        int64_t middle = (low + high) / 2;
        int result = compare_(key, entries_[middle].key);
        if (result > 0) {
            low = middle;
        } else if (result < 0) {
            high = middle;
        } else {
            lastFound_.store(static_cast<uint32_t>(middle), std::memory_order_relaxed);
            return static_cast<uint32_t>(middle);
        }
    }
    return kNoIndex;
}

void* XSortedList::FindItem(void* key, int32_t* index) {
    uint32_t found = Search(key);
    if (index != nullptr)
        *index = static_cast<int32_t>(found);
    return found == kNoIndex ? nullptr : entries_[found].value;
}

void* XSortedList::FindItem(bool (*fn)(const void* key, const void* value, void* context),
                            void* context, int32_t* index) {
    for (uint32_t i = 0; i < count_; ++i) {
        if (fn(entries_[i].key, entries_[i].value, context)) {
            if (index != nullptr)
                *index = static_cast<int32_t>(i);
            return entries_[i].value;
        }
    }
    if (index != nullptr)
        *index = -1;
    return nullptr;
}

void XSortedList::RemoveAt(uint32_t index) {
    Entry removed = entries_[index];
    memmove(entries_ + index, entries_ + index + 1, size_t{count_ - index - 1} * sizeof(Entry));
    --count_;
    if (index < sortedCount_)
        --sortedCount_;
    if (keyFree_ != nullptr)
        keyFree_(removed.key);
    if (valueFree_ != nullptr)
        valueFree_(removed.value);
}

bool XSortedList::RemoveItem(void* key) {
    ListGuard guard(this);
    uint32_t found = Search(key);
    if (found == kNoIndex)
        return false;
    RemoveAt(found);
    return true;
}

bool XSortedList::RemoveItem(void* key, void* value) {
    ListGuard guard(this);
    uint32_t found = Search(key);
    if (found == kNoIndex)
        return false;
    // Look at the hit, then down, then up through the run of equal keys.
    uint32_t match = kNoIndex;
    if (entries_[found].value == value) {
        match = found;
    }
    for (uint32_t i = found; match == kNoIndex && i-- > 0 && compare_(key, entries_[i].key) == 0;) {
        if (entries_[i].value == value)
            match = i;
    }
    for (uint32_t i = found + 1;
         match == kNoIndex && i < count_ && compare_(key, entries_[i].key) == 0; ++i) {
        if (entries_[i].value == value)
            match = i;
    }
    if (match == kNoIndex)
        return false;
    RemoveAt(match);
    return true;
}

void XSortedList::DoForEach(void (*fn)(const void* key, const void* value, void* context),
                            void* context) {
    ListGuard guard(this);
    SortIfNeeded();
    for (uint32_t i = count_; i-- > 0;) {
        // An earlier callback may have removed entries.
        if (i >= count_)
            continue;
        fn(entries_[i].key, entries_[i].value, context);
    }
}

void* XSortedList::GetItem(uint32_t index) {
    SortIfNeeded();
    return index < count_ ? entries_[index].value : nullptr;
}

void* XSortedList::GetKey(uint32_t index) {
    SortIfNeeded();
    return index < count_ ? entries_[index].key : nullptr;
}

void XSortedList::Empty() {
    ListGuard guard(this);
    if (keyFree_ != nullptr) {
        for (uint32_t i = 0; i < count_; ++i)
            keyFree_(entries_[i].key);
    }
    if (valueFree_ != nullptr) {
        for (uint32_t i = 0; i < count_; ++i)
            valueFree_(entries_[i].value);
    }
    count_ = 0;
    sortedCount_ = 0;
}
