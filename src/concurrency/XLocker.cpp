// SPDX-License-Identifier: MIT

#include "brindle/concurrency/XLocker.h"

#include <errno.h>
#include <time.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// pthread_mutex_clocklock waits on the monotonic clock, so a wall-clock change cannot
// stretch or cut the wait. ThreadSanitizer does not intercept it; tell it about the
// acquisition so that it keeps track of the mutex.
int LockBefore(pthread_mutex_t* mutex, const timespec* deadline) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    int result = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
    __tsan_mutex_post_lock(
        mutex, __tsan_mutex_try_lock | (result != 0 ? __tsan_mutex_try_lock_failed : 0), 0);
    return result;
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, deadline);
#endif
}

}  // namespace

XLocker::XLocker() : depth_(0) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

XLocker::~XLocker() {
    pthread_mutex_destroy(&mutex_);
}

bool XLocker::Lock(uint32_t milliseconds) {
    // A free lock is taken without reading the clock.
    int result = pthread_mutex_trylock(&mutex_);
    if (result == EBUSY && milliseconds != 0) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        result = LockBefore(&mutex_, &deadline);
    }
    if (result != 0)
        return false;
    AddDepth(1);
    return true;
}
