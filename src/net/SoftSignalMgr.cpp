#include "brindle/net/SoftSignalMgr.h"

#include "brindle/concurrency/OSBootTime.h"
#include "platform/Alloc.h"

namespace {

// Set in an entry's tag while its signal is pending.
constexpr uint32_t kPending = 0x10000;
constexpr uint32_t kSequenceMask = 0xFFFF;

}  // namespace

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
    uint64_t due = 0;
    Call call;
    // Pending list: later entry. Free list: next free entry.
    Entry* next = nullptr;
    // Pending list: earlier entry.
    Entry* prev = nullptr;
};

SoftSignalMgr::SoftSignalMgr() : pending_(nullptr), free_(nullptr), count_(0) {
    for (std::atomic<Entry*>& chunk : chunks_)
        chunk.store(nullptr, std::memory_order_relaxed);
}

SoftSignalMgr::~SoftSignalMgr() {
    for (std::atomic<Entry*>& chunk : chunks_)
        delete[] chunk.load(std::memory_order_relaxed);
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

void SoftSignalMgr::Insert(Entry* entry) {
    Entry* head = pending_.load(std::memory_order_relaxed);
    if (head == nullptr || head->due > entry->due) {
        entry->prev = nullptr;
        entry->next = head;
        if (head != nullptr)
            head->prev = entry;
        pending_.store(entry, std::memory_order_relaxed);
        return;
    }
    Entry* at = head;
    while (at->next != nullptr && at->next->due <= entry->due)
        at = at->next;
    entry->prev = at;
    entry->next = at->next;
    if (at->next != nullptr)
        at->next->prev = entry;
    at->next = entry;
}

SoftSignalMgr::Call SoftSignalMgr::Retire(Entry* entry) {
    if (entry->prev != nullptr)
        entry->prev->next = entry->next;
    else
        pending_.store(entry->next, std::memory_order_relaxed);
    if (entry->next != nullptr)
        entry->next->prev = entry->prev;

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
        entry->due = now == 0 ? 0 : now - 1;
    else
        entry->due = delay > UINT64_MAX - now ? UINT64_MAX : now + delay;
    entry->call.callback = callback;
    entry->call.args[0] = arg1;
    entry->call.args[1] = arg2;
    entry->call.args[2] = arg3;
    entry->call.args[3] = arg4;
    Insert(entry);

    uint32_t sequence = entry->tag.load(std::memory_order_relaxed);
    entry->tag.store(sequence | kPending, std::memory_order_release);
    uint32_t id = (uint32_t{entry->slot} << 16) | sequence;
    bool earliest = pending_.load(std::memory_order_relaxed) == entry;
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
    if (pending_.load(std::memory_order_relaxed) == nullptr)
        return whenNonePending;
    for (;;) {
        lock_.Lock();
        Entry* head = pending_.load(std::memory_order_relaxed);
        if (head == nullptr) {
            lock_.Unlock();
            return whenNonePending;
        }
        if (head->due > OSBootTime()) {
            uint64_t now = OSBootTime();
            uint64_t wait = head->due > now ? head->due - now : 0;
            lock_.Unlock();
            return wait;
        }
        Call call = Retire(head);
        lock_.Unlock();
        call.callback(0, call.args[0], call.args[1], call.args[2], call.args[3]);
    }
}
