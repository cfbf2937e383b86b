// SPDX-License-Identifier: MIT
// SoftSignalMgr: a queue of timed callbacks (soft signals).
//
// Post schedules a callback with four opaque arguments to run a delay from now; the manager
// keeps the pending signals ordered by due time (on the OSBootTime clock) and calls each
// one from a later Idle that finds it due. Nothing fires by itself: signals fire only
// inside Idle, on the thread that calls it, earliest first; among equal due times, in the
// order they were posted. A signal posted with delay 0 is due one millisecond in the past,
// so it fires before everything due at the present millisecond. A pending signal can be
// cancelled silently (Clear) or cancelled and called at once with a reason code (Abort).
// A callback's first argument is 0 when it fired from Idle and the reason code when it was
// aborted.
//
// Ids: the signal's slot in the upper 16 bits and the slot's sequence number in the lower
// 16. Sequence numbers start at 1 and advance (65535 wraps to 1) whenever a signal leaves
// the pending list, so an id names its signal only while it is pending and is never 0.
//
// The table grows by 32 entries, up to 32,768; the first signal of a fresh manager lives
// in slot 31, and each growth hands out its highest slot first. Entries never move, so
// growth keeps every pending signal, its id and its place in the order. Posting, clearing
// and aborting allocate only when the table grows.
//
// Cost, with N signals pending: Post, Clear, Abort and the firing of each signal take
// O(log N); those of a signal posted with delay 0 take constant time. IsWaiting is constant.
//
// Threads: every operation may be called from any thread. Post, Clear, Abort and Idle hold
// the manager's lock only while they change the pending signals, never while a callback
// runs, so a callback may call any operation on its own manager, and other threads may post
// or cancel between two callbacks of one Idle. IsWaiting takes no lock; its answer may be
// outdated by the time the caller acts on it. Not copyable.
#ifndef BRINDLE_NET_SOFTSIGNALMGR_H_
#define BRINDLE_NET_SOFTSIGNALMGR_H_

#include <stdint.h>

#include <atomic>

#include "brindle/Export.h"
#include "brindle/concurrency/XLocker.h"

// A soft signal's callback: the reason (0 when fired by Idle, the Abort reason code
// otherwise), then the four arguments given to Post.
typedef void (*SoftSignalProc)(int32_t reason, void* arg1, void* arg2, void* arg3, void* arg4);

// Told that a Post made a new earliest pending signal; gets the context given with it.
typedef void (*SoftSignalObserver)(void* context);

class BRINDLE_API SoftSignalMgr {
  public:
    // The most signals one manager holds, and the table's growth step.
    static constexpr uint32_t kMaxEntries = 32768;
    static constexpr uint32_t kGrowStep = 32;

    // An empty manager with an empty table.
    SoftSignalMgr();
    // Frees the table. Signals still pending are dropped without being called.
    ~SoftSignalMgr();

    SoftSignalMgr(const SoftSignalMgr&) = delete;
    SoftSignalMgr& operator=(const SoftSignalMgr&) = delete;

    // Schedules callback(0, arg1, arg2, arg3, arg4) to run `delay` milliseconds from now (a
    // due time beyond the clock's range is clamped to its end). Returns the signal's id; 0
    // when the table is full or cannot grow, or when callback is null.
    uint32_t Post(uint64_t delay, SoftSignalProc callback, void* arg1, void* arg2, void* arg3,
                  void* arg4);
    // True while the signal with this id is pending. Takes no lock.
    bool IsWaiting(uint32_t id);
    // Cancels the pending signal without calling it. 0, or -1 when the id names no pending
    // signal.
    int32_t Clear(uint32_t id);
    // Cancels the pending signal and calls its callback at once, on this thread, with the
    // reason code and its four arguments. 0 once the callback has returned, or -1 (calling
    // nothing) when the id names no pending signal.
    int32_t Abort(uint32_t id, int32_t reason);
    // Calls every signal that is due, earliest first, including those that callbacks post
    // already due; returns the milliseconds until the next pending signal is due, or 0 when
    // none is pending (or the next has become due meanwhile).
    uint64_t Idle();
    // Idle, returning whenNonePending instead of 0 when no signal is pending, so that a
    // caller can tell "nothing pending" from "the next is due now" (0).
    uint64_t Idle(uint64_t whenNonePending);

    // Sets the function that a Post calls, on the posting thread and with no lock held, after
    // it has made its signal the earliest pending one: the owner of a thread that sleeps
    // until the next due time learns that it must wake sooner. Null removes it. The observer
    // may run concurrently with this call when other threads post meanwhile.
    void SetPostObserver(SoftSignalObserver observer, void* context);

  private:
    struct Key;
    struct Call;
    struct Entry;
    struct HeapNode;

    // The entry in this slot; the slot must be below the table's size.
    Entry* EntryAt(uint32_t slot) const;
    // Adds kGrowStep free entries and room for them in the heap; false when the table is
    // full or memory runs out.
    bool Grow();
    // Makes a popped free entry pending: in the queue when it was posted with delay 0 and
    // sorts last there, else in the heap.
    void Insert(Entry* entry, bool delayZero);
    // The pending signal that fires first, or null.
    Entry* Earliest() const;
    // Takes the entry out of the queue or the heap, retires its id and frees it; returns its
    // call.
    Call Retire(Entry* entry);
    // Cancels the pending signal with this id; false when there is none. *call receives
    // what it would have called.
    bool Cancel(uint32_t id, Call* call);
    // Heap moves. Place puts a node at an index and tells its entry; SiftUp and SiftDown fill
    // the hole at index with the node, moving it toward the root or the leaves until it sorts
    // between its parent and its children.
    void Place(uint32_t index, const HeapNode& node);
    void SiftUp(uint32_t index, const HeapNode& node);
    void SiftDown(uint32_t index, const HeapNode& node);

    XLocker lock_;
    // Guarded by lock_.
    SoftSignalObserver observer_ = nullptr;
    void* observerContext_ = nullptr;
    // Pending signals, guarded by lock_. Those posted with delay 0 wait in a queue, oldest
    // first, since they come due in posting order; the others in a binary min-heap by due
    // time and posting order (nextOrder_ numbers the posts), whose nodes know their entries
    // and whose entries know their nodes' places. Both sorted by the same key, so the
    // earliest signal is the first of the two heads.
    Entry* queueHead_ = nullptr;
    Entry* queueTail_ = nullptr;
    HeapNode* heap_ = nullptr;
    uint32_t heapSize_ = 0;
    uint64_t nextOrder_ = 0;
    // Changed under lock_; atomic because the fast paths read them without it.
    std::atomic<Entry*> free_;
    std::atomic<uint32_t> pendingCount_;
    std::atomic<uint32_t> count_;
    // The table, in chunks of kGrowStep entries that never move once made, so the unlocked
    // IsWaiting never reads memory that growth frees.
    std::atomic<Entry*> chunks_[kMaxEntries / kGrowStep];
};

#endif  // BRINDLE_NET_SOFTSIGNALMGR_H_
