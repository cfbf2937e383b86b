// SPDX-License-Identifier: MIT
// Thread functions: create suspended threads with a portable priority, resume, suspend,
// wait for, release and end them.
//
// A thread is known by the handle SpawnXThread returns. The handle stays valid until
// KillXThread releases it, whether the thread has ended or not, so a host may wait for a
// thread any number of times before releasing the handle; after KillXThread the handle must
// not be used again. Every handle must be released once with KillXThread, ended or not:
// that is what frees it.
#ifndef BRINDLE_CONCURRENCY_XTHREAD_H_
#define BRINDLE_CONCURRENCY_XTHREAD_H_

#include <stdint.h>

#include "brindle/Export.h"

// Portable thread priorities, lowest to highest. On Linux they map onto the thread's nice
// value (lower is more favoured): 10, 5, 0, -5, -10 and -15. Where the system refuses a
// value (raising priority needs CAP_SYS_NICE or RLIMIT_NICE), the thread gets the nearest
// value it allows, so the order is kept wherever the system lets it be.
enum ThreadPriority : int32_t {
    ThreadPriorityLowest = 0,
    ThreadPriorityBelowNormal = 1,
    ThreadPriorityNormal = 2,
    ThreadPriorityAboveNormal = 3,
    ThreadPriorityHighest = 4,
    ThreadPriorityTimeCritical = 5,
};

// Creates a thread that will run start(arg) at the given priority, with the default stack
// size, and returns its handle; null when no thread can be made or the priority is not one
// of the six. The thread is created suspended: start runs only after ResumeXThread. The name
// is not used.
BRINDLE_API void* SpawnXThread(const char* name, uint32_t (*start)(void*), void* arg,
                               ThreadPriority priority);

// Undoes one suspension (the initial one of SpawnXThread, or one SuspendXThread); when none
// remains, the thread runs. 0 on success, also for a thread that is not suspended; -1 for a
// null handle.
BRINDLE_API int32_t ResumeXThread(void* thread);

// Suspends the thread until a matching ResumeXThread; suspensions count, and suspensions and
// resumes pair up however closely they follow each other, from any threads. A running thread
// is stopped by a signal (SIGRTMIN + 4, with SIGRTMIN + 5 to wake it) whose handler waits for
// the resume; the call returns once the thread has stopped, also when another call is
// already stopping it. A thread that suspends itself returns from the call once resumed.
// 0 on success; -1 for a null handle, a thread that has ended, or when the signal cannot be
// delivered. A thread that blocks those signals cannot be suspended.
BRINDLE_API int32_t SuspendXThread(void* thread);

// Releases the handle and returns 0; the thread itself goes on running and cleans up after
// itself when it ends. A thread that was never resumed ends without running its entry
// function, since nothing could resume it any more.
BRINDLE_API int32_t KillXThread(void* thread);

// Waits without limit until the thread has ended (at once if it already has). May be called
// again, and from several threads.
BRINDLE_API void WaitForXThread(void* thread);

// Ends the calling thread with this exit code; does not return. For a thread made by
// SpawnXThread this is like returning the code from its entry function.
[[noreturn]] BRINDLE_API void ExitXThread(int32_t code);

#endif  // BRINDLE_CONCURRENCY_XTHREAD_H_
