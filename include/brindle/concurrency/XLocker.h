// SPDX-License-Identifier: MIT
// XLocker: a recursive mutex with an optional time-out.
//
// The thread that holds the lock may lock it again; other threads get it only after the
// holder has called Unlock as often as it locked. The lock depth counts every level of the
// present holder and can be read by anyone through IsLocked. Every lock in the library is an
// XLocker. Not copyable: a lock is one object.
#ifndef BRINDLE_CONCURRENCY_XLOCKER_H_
#define BRINDLE_CONCURRENCY_XLOCKER_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "brindle/Export.h"

class BRINDLE_API XLocker {
  public:
    XLocker();
    // Destroys the mutex; it must not be held.
    virtual ~XLocker();

    XLocker(const XLocker&) = delete;
    XLocker& operator=(const XLocker&) = delete;

    // Waits without limit until the calling thread holds the lock.
    void Lock() {
        pthread_mutex_lock(&mutex_);
        AddDepth(1);
    }
    // Waits at most `milliseconds` (measured on the monotonic clock) for the lock. True when
    // the calling thread now holds it; false on time-out or failure, with nothing changed.
    // Lock(0) only tries.
    bool Lock(uint32_t milliseconds);
    // Releases one level of the lock. Only the holder may call it.
    void Unlock() {
        AddDepth(-1);
        pthread_mutex_unlock(&mutex_);
    }
    // True while any thread holds the lock, not necessarily the caller. A hint: read without
    // taking the lock.
    bool IsLocked() const { return depth_.load(std::memory_order_relaxed) > 0; }

    // The standard library's names for the same operations, so that std::lock_guard,
    // std::unique_lock and std::scoped_lock take an XLocker: lock() is Lock(), unlock() is
    // Unlock() and try_lock() is Lock(0), which succeeds for the holder as for a free lock.
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return Lock(0); }

  private:
    // Only the holder changes the depth, so a plain load and store (no read-modify-write)
    // is enough; the atomic only makes the unlocked reads of IsLocked well defined.
    void AddDepth(int32_t delta) {
        depth_.store(depth_.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
    }

    pthread_mutex_t mutex_;
    // Changed only by the holder, read by anyone.
    std::atomic<int32_t> depth_;
};

#endif  // BRINDLE_CONCURRENCY_XLOCKER_H_
