#include "brindle/concurrency/XLocker.h"

#include <errno.h>
#include <time.h>

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

// Only the holder changes the depth, so a plain load and store (no read-modify-write) is
// enough; the atomic only makes the unlocked reads of IsLocked well defined.
void XLocker::Lock() {
    pthread_mutex_lock(&mutex_);
    depth_.store(depth_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

bool XLocker::Lock(uint32_t milliseconds) {
    int result;
    if (milliseconds == 0) {
        result = pthread_mutex_trylock(&mutex_);
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        result = pthread_mutex_clocklock(&mutex_, CLOCK_MONOTONIC, &deadline);
    }
    if (result != 0)
        return false;
    depth_.store(depth_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
}

void XLocker::Unlock() {
    depth_.store(depth_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);
}
