// SPDX-License-Identifier: MIT

#include "brindle/net/SoftSignalMgr.h"

#include <stdlib.h>

#include "brindle/concurrency/OSBootTime.h"
#include "platform/Alloc.h"

namespace {

// Set in an entry's tag while its signal is pending.
constexpr uint32_t kPending = 0x10000;
constexpr uint32_t kSequenceMask = 0xFFFF;
// An entry's heap index while it waits in the queue of signals posted with delay 0.
constexpr uint32_t kInQueue = UINT32_MAX;

}  // namespace

// The firing order of pending signals: by due time, then by posting order.
struct SoftSignalMgr::Key {
    uint64_t due;
    uint64_t order;

    bool operator<(const Key& other) const {
        return due != other.due ? due < other.due : order < other.order;
    }
};

// What a signal calls.
struct SoftSignalMgr::Call {
    SoftSignalProc callback = nullptr;
    void* args[4] = {};
};

struct SoftSignalMgr::Entry {
    // The sequence number, plus kPending while the signal is pending. Written under the
    // lock; IsWaiting reads it without.
    std::atomic<uint32_t> tag{1};
    uint16_t slot = 0;
    // While pending: the entry's place in the heap, or kInQueue.
    uint32_t heapIndex = 0;
    Key key = {};
    Call call;
    // Queue: later entry. Free list: next free entry.
    Entry* next = nullptr;
    // Queue: earlier entry.
    Entry* prev = nullptr;
};

// A heap node keeps its entry's key beside the pointer, so that sifting compares without
// visiting the entries.
struct SoftSignalMgr::HeapNode {
    Key key;
    Entry* entry;
};

SoftSignalMgr::SoftSignalMgr() : free_(nullptr), pendingCount_(0), count_(0) {
    for (std::atomic<Entry*>& chunk : chunks_)
        chunk.store(nullptr, std::memory_order_relaxed);
}

SoftSignalMgr::~SoftSignalMgr() {
    for (std::atomic<Entry*>& chunk : chunks_)
        delete[] chunk.load(std::memory_order_relaxed);
    free(heap_);
}

SoftSignalMgr::Entry* SoftSignalMgr::EntryAt(uint32_t slot) const {
    return chunks_[slot / kGrowStep].load(std::memory_order_acquire) + slot % kGrowStep;
}

bool SoftSignalMgr::Grow() {
    uint32_t count = count_.load(std::memory_order_relaxed);
    if (count >= kMaxEntries)
        return false;
    Entry* chunk = brindle::NewArray<Entry>(kGrowStep);
    if (chunk == nullptr)
        return false;
    // Every entry may come to stand in the heap, so it grows with the table.
    void* heap = brindle::Realloc(heap_, (count + kGrowStep) * sizeof(HeapNode));
    if (heap == nullptr) {
        delete[] chunk;
        return false;
    }
    heap_ = static_cast<HeapNode*>(heap);
    // Pushed in ascending order, so the highest new slot is handed out first.
    Entry* freeHead = free_.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < kGrowStep; ++i) {
        chunk[i].slot = static_cast<uint16_t>(count + i);
        chunk[i].next = freeHead;
        freeHead = &chunk[i];
    }
    free_.store(freeHead, std::memory_order_relaxed);
    chunks_[count / kGrowStep].store(chunk, std::memory_order_release);
    count_.store(count + kGrowStep, std::memory_order_release);
    return true;
}

void SoftSignalMgr::Place(uint32_t index, const HeapNode& node) {
    heap_[index] = node;
    node.entry->heapIndex = index;
}

void SoftSignalMgr::SiftUp(uint32_t index, const HeapNode& node) {
    while (index > 0) {
        uint32_t parent = (index - 1) / 2;
        if (!(node.key < heap_[parent].key))
            break;
        Place(index, heap_[parent]);
        index = parent;
    }
    Place(index, node);
}

void SoftSignalMgr::SiftDown(uint32_t index, const HeapNode& node) {
    for (;;) {
        uint32_t child = 2 * index + 1;
        if (child >= heapSize_)
            break;
        if (child + 1 < heapSize_ && heap_[child + 1].key < heap_[child].key)
            ++child;
        if (!(heap_[child].key < node.key))
            break;
        Place(index, heap_[child]);
        index = child;
    }
    Place(index, node);
}

void SoftSignalMgr::Insert(Entry* entry, bool delayZero) {
    // A signal posted with delay 0 is due one millisecond before the clock it read, so such
    // signals come due in the order they are posted: they join the tail of the queue in
    // constant time. One that would sort before the tail (only a clock set back by a test
    // hook can do that) goes to the heap instead.
    if (delayZero && (queueTail_ == nullptr || !(entry->key < queueTail_->key))) {
        entry->heapIndex = kInQueue;
        entry->prev = queueTail_;
        entry->next = nullptr;
        if (queueTail_ != nullptr)
            queueTail_->next = entry;
        else
            queueHead_ = entry;
        queueTail_ = entry;
    } else {
        SiftUp(heapSize_++, HeapNode{entry->key, entry});
    }
    pendingCount_.store(pendingCount_.load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
}

SoftSignalMgr::Entry* SoftSignalMgr::Earliest() const {
    if (heapSize_ == 0)
        return queueHead_;
    if (queueHead_ == nullptr || heap_[0].key < queueHead_->key)
        return heap_[0].entry;
    return queueHead_;
}

SoftSignalMgr::Call SoftSignalMgr::Retire(Entry* entry) {
    if (entry->heapIndex == kInQueue) {
        (entry->prev != nullptr ? entry->prev->next : queueHead_) = entry->next;
        (entry->next != nullptr ? entry->next->prev : queueTail_) = entry->prev;
    } else {
        // The last node fills the hole and moves whichever way its key calls for.
        uint32_t hole = entry->heapIndex;
        HeapNode last = heap_[--heapSize_];
        if (hole < heapSize_) {
            if (hole > 0 && last.key < heap_[(hole - 1) / 2].key)
                SiftUp(hole, last);
            else
                SiftDown(hole, last);
        }
    }
    pendingCount_.store(pendingCount_.load(std::memory_order_relaxed) - 1,
                        std::memory_order_relaxed);

    uint32_t sequence = entry->tag.load(std::memory_order_relaxed) & kSequenceMask;
    entry->tag.store(sequence == kSequenceMask ? 1 : sequence + 1, std::memory_order_release);
    entry->next = free_.load(std::memory_order_relaxed);
    free_.store(entry, std::memory_order_relaxed);
    return entry->call;
}

uint32_t SoftSignalMgr::Post(uint64_t delay, SoftSignalProc callback, void* arg1, void* arg2,
                             void* arg3, void* arg4) {
    if (callback == nullptr)
        return 0;
    if (free_.load(std::memory_order_relaxed) == nullptr &&
        count_.load(std::memory_order_relaxed) >= kMaxEntries) {
        return 0;
    }
    lock_.Lock();
    if (free_.load(std::memory_order_relaxed) == nullptr && !Grow()) {
        lock_.Unlock();
        return 0;
    }
    Entry* entry = free_.load(std::memory_order_relaxed);
    free_.store(entry->next, std::memory_order_relaxed);

    uint64_t now = OSBootTime();
    if (delay == 0)
        entry->key.due = now == 0 ? 0 : now - 1;
    else
        entry->key.due = delay > UINT64_MAX - now ? UINT64_MAX : now + delay;
    entry->key.order = nextOrder_++;
    entry->call.callback = callback;
    entry->call.args[0] = arg1;
    entry->call.args[1] = arg2;
    entry->call.args[2] = arg3;
    entry->call.args[3] = arg4;
    Insert(entry, delay == 0);

    uint32_t sequence = entry->tag.load(std::memory_order_relaxed);
    entry->tag.store(sequence | kPending, std::memory_order_release);
    uint32_t id = (uint32_t{entry->slot} << 16) | sequence;
    bool earliest = Earliest() == entry;
    SoftSignalObserver observer = observer_;
    void* observerContext = observerContext_;
    lock_.Unlock();
    if (earliest && observer != nullptr)
        observer(observerContext);
    return id;
}

bool SoftSignalMgr::IsWaiting(uint32_t id) {
    uint32_t slot = id >> 16;
    if (slot >= count_.load(std::memory_order_acquire))
        return false;
    return EntryAt(slot)->tag.load(std::memory_order_acquire) == ((id & kSequenceMask) | kPending);
}

bool SoftSignalMgr::Cancel(uint32_t id, Call* call) {
    uint32_t slot = id >> 16;
    if (slot >= count_.load(std::memory_order_acquire))
        return false;
    lock_.Lock();
    Entry* entry = EntryAt(slot);
    bool pending = entry->tag.load(std::memory_order_relaxed) == ((id & kSequenceMask) | kPending);
    if (pending)
        *call = Retire(entry);
    lock_.Unlock();
    return pending;
}

int32_t SoftSignalMgr::Clear(uint32_t id) {
    Call call;
    return Cancel(id, &call) ? 0 : -1;
}

int32_t SoftSignalMgr::Abort(uint32_t id, int32_t reason) {
    Call call;
    if (!Cancel(id, &call))
        return -1;
    call.callback(reason, call.args[0], call.args[1], call.args[2], call.args[3]);
    return 0;
}

void SoftSignalMgr::SetPostObserver(SoftSignalObserver observer, void* context) {
    lock_.Lock();
    observer_ = observer;
    observerContext_ = context;
    lock_.Unlock();
}

uint64_t SoftSignalMgr::Idle() {
    return Idle(0);
}

uint64_t SoftSignalMgr::Idle(uint64_t whenNonePending) {
    if (pendingCount_.load(std::memory_order_relaxed) == 0)
        return whenNonePending;
    for (;;) {
        lock_.Lock();
        Entry* earliest = Earliest();
        if (earliest == nullptr) {
            lock_.Unlock();
            return whenNonePending;
        }
        // The clock is read on every pass, so a signal that a callback posts already due
        // fires in this same call.
        uint64_t now = OSBootTime();
        if (earliest->key.due > now) {
            // Read under the lock: once it is released, another thread may fire or clear
            // the entry and post a new signal in it.
            uint64_t wait = earliest->key.due - now;
            lock_.Unlock();
            return wait;
        }
        Call call = Retire(earliest);
        lock_.Unlock();
        call.callback(0, call.args[0], call.args[1], call.args[2], call.args[3]);
    }
}
