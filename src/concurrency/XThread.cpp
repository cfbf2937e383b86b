// SPDX-License-Identifier: MIT

#include "brindle/concurrency/XThread.h"

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/Alloc.h"

namespace {

// Nice values for the six priorities, lowest priority first.
constexpr int kNiceByPriority[] = {10, 5, 0, -5, -10, -15};

// The shared state of one spawned thread. Two references keep it alive: the handle, until
// KillXThread, and the thread itself, until it ends; the last one to let go frees it.
struct ThreadRecord {
    uint32_t (*start)(void*) = nullptr;
    void* arg = nullptr;
    int nice = 0;
    pthread_t thread{};

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed;
    // Guarded by mutex.
    bool ready = false;      // priority applied, waiting to be resumed for the first time
    bool started = false;    // the entry function has been allowed to run
    bool abandoned = false;  // the handle was released before the thread ever started
    bool finished = false;

    // Outstanding suspensions, 1 at creation. Guarded by mutex.
    uint32_t suspensions = 1;
    // Stops and resumes of the running thread: each time the suspensions go from 0 to 1 the
    // thread is sent a stop signal, and the next time they come back to 0 that stop's resume.
    // Numbered from 1, so stop k ends with resume k. Changed under mutex; the signal handler
    // reads resumes to know when its stop is over.
    uint64_t stops = 0;
    std::atomic<uint64_t> resumes{0};
    // The number of the last stop the thread has parked for; written by the signal handler.
    std::atomic<uint64_t> parkedStop{0};
    // Posted by the signal handler once the thread has parked.
    sem_t parked;
    std::atomic<int> references{2};
    int32_t exitCode = 0;

    ThreadRecord() {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&changed, &attributes);
        pthread_condattr_destroy(&attributes);
        sem_init(&parked, 0, 0);
    }
    ~ThreadRecord() {
        sem_destroy(&parked);
        pthread_cond_destroy(&changed);
        pthread_mutex_destroy(&mutex);
    }
};

// The record of the calling thread, when SpawnXThread made it. Initial-exec TLS, so that the
// signal handler reads it without calling into the dynamic loader.
__thread ThreadRecord* t_current __attribute__((tls_model("initial-exec"))) = nullptr;

void Release(ThreadRecord* record) {
    if (record->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete record;
}

int SuspendSignal() {
    return SIGRTMIN + 4;
}
int ResumeSignal() {
    return SIGRTMIN + 5;
}

// Runs on the thread being suspended, once for every stop sent to it and in the order they
// were sent: reports that it has parked for that stop, then sleeps with only the resume
// signal let through until the stop's own resume has been sent. A stop sent while the
// previous one is still parked stays pending (the stop signal is blocked in here) and parks
// the thread again as soon as this one returns, so stops and resumes pair up however closely
// they follow each other.
void OnSuspendSignal(int, siginfo_t*, void* context) {
    int savedErrno = errno;
    ThreadRecord* self = t_current;
    if (self != nullptr) {
        sigset_t waitMask = static_cast<ucontext_t*>(context)->uc_sigmask;
        sigaddset(&waitMask, SuspendSignal());
        sigdelset(&waitMask, ResumeSignal());
        uint64_t stop = self->parkedStop.load(std::memory_order_relaxed) + 1;
        self->parkedStop.store(stop, std::memory_order_release);
        sem_post(&self->parked);
        while (self->resumes.load(std::memory_order_acquire) < stop)
            sigsuspend(&waitMask);
    }
    errno = savedErrno;
}

void OnResumeSignal(int) {}

bool g_signalsInstalled = false;
pthread_once_t g_signalsOnce = PTHREAD_ONCE_INIT;

void InstallSignalHandlers() {
    struct sigaction suspend = {};
    suspend.sa_sigaction = OnSuspendSignal;
    suspend.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&suspend.sa_mask);
    // Held back while the handler decides to sleep, so a resume sent meanwhile stays pending
    // until sigsuspend lets it in.
    sigaddset(&suspend.sa_mask, ResumeSignal());

    struct sigaction resume = {};
    resume.sa_handler = OnResumeSignal;
    resume.sa_flags = SA_RESTART;
    sigemptyset(&resume.sa_mask);

    g_signalsInstalled = sigaction(SuspendSignal(), &suspend, nullptr) == 0 &&
                         sigaction(ResumeSignal(), &resume, nullptr) == 0;
}

// Sets the calling thread's nice value, or the nearest one toward its present value that the
// system allows.
void ApplyNice(int target) {
    pid_t tid = gettid();
    errno = 0;
    int current = getpriority(PRIO_PROCESS, tid);
    if (current == -1 && errno != 0)
        return;
    int step = target < current ? 1 : -1;
    for (int nice = target; nice != current; nice += step) {
        if (setpriority(PRIO_PROCESS, tid, nice) == 0)
            return;
    }
}

// Marks the thread finished however it leaves its entry function: by returning, or by
// ExitXThread unwinding it.
class FinishOnExit {
  public:
    explicit FinishOnExit(ThreadRecord* record) : record_(record) {}
    ~FinishOnExit() {
        pthread_mutex_lock(&record_->mutex);
        record_->finished = true;
        pthread_cond_broadcast(&record_->changed);
        pthread_mutex_unlock(&record_->mutex);
        t_current = nullptr;
        Release(record_);
    }
    FinishOnExit(const FinishOnExit&) = delete;
    FinishOnExit& operator=(const FinishOnExit&) = delete;

  private:
    ThreadRecord* record_;
};

void* RunThread(void* argument) {
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    FinishOnExit finish(record);
    t_current = record;
    ApplyNice(record->nice);

    pthread_mutex_lock(&record->mutex);
    record->ready = true;
    pthread_cond_broadcast(&record->changed);
    while (!record->started && !record->abandoned) {
        pthread_cond_wait(&record->changed, &record->mutex);
    }
    bool run = record->started;
    pthread_mutex_unlock(&record->mutex);

    if (run)
        record->exitCode = static_cast<int32_t>(record->start(record->arg));
    return nullptr;
}

}  // namespace

void* SpawnXThread(const char* /*name*/, uint32_t (*start)(void*), void* arg,
                   ThreadPriority priority) {
    if (start == nullptr || priority < ThreadPriorityLowest ||
        priority > ThreadPriorityTimeCritical) {
        return nullptr;
    }
    ThreadRecord* record = brindle::New<ThreadRecord>();
    if (record == nullptr)
        return nullptr;
    record->start = start;
    record->arg = arg;
    record->nice = kNiceByPriority[priority];

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int created = pthread_create(&record->thread, &attributes, RunThread, record);
    pthread_attr_destroy(&attributes);
    if (created != 0) {
        delete record;
        return nullptr;
    }
    // Return only once the thread has its priority and waits to be resumed.
    pthread_mutex_lock(&record->mutex);
    while (!record->ready)
        pthread_cond_wait(&record->changed, &record->mutex);
    pthread_mutex_unlock(&record->mutex);
    return record;
}

int32_t ResumeXThread(void* thread) {
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    if (record == nullptr)
        return -1;
    int32_t result = 0;
    pthread_mutex_lock(&record->mutex);
    if (record->suspensions > 0 && --record->suspensions == 0) {
        if (!record->started) {
            record->started = true;
            pthread_cond_broadcast(&record->changed);
        } else {
            record->resumes.fetch_add(1, std::memory_order_release);
            if (!record->finished && pthread_kill(record->thread, ResumeSignal()) != 0)
                result = -1;
        }
    }
    pthread_mutex_unlock(&record->mutex);
    return result;
}

int32_t SuspendXThread(void* thread) {
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    if (record == nullptr)
        return -1;
    pthread_once(&g_signalsOnce, InstallSignalHandlers);
    if (!g_signalsInstalled)
        return -1;

    pthread_mutex_lock(&record->mutex);
    if (record->finished) {
        pthread_mutex_unlock(&record->mutex);
        return -1;
    }
    ++record->suspensions;
    if (!record->started) {
        pthread_mutex_unlock(&record->mutex);
        return 0;
    }
    bool mustStop = record->suspensions == 1;
    // Whether this call stops the thread or adds to a stop under way, it returns once the
    // thread has parked for that stop.
    uint64_t stop = record->stops + (mustStop ? 1 : 0);
    if (mustStop) {
        if (pthread_equal(record->thread, pthread_self())) {
            // The handler runs before pthread_kill returns and sleeps until resumed, so the
            // lock must be free for the resume.
            record->stops = stop;
            pthread_mutex_unlock(&record->mutex);
            return pthread_kill(record->thread, SuspendSignal()) == 0 ? 0 : -1;
        }
        if (pthread_kill(record->thread, SuspendSignal()) != 0) {
            --record->suspensions;
            pthread_mutex_unlock(&record->mutex);
            return -1;
        }
        record->stops = stop;
    }
    pthread_mutex_unlock(&record->mutex);

    // Wait until the thread has parked, or has ended before the signal reached it.
    while (record->parkedStop.load(std::memory_order_acquire) < stop) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 10 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        // The semaphore only wakes the wait; a post left by an earlier stop makes one more
        // round.
        if (sem_clockwait(&record->parked, CLOCK_MONOTONIC, &deadline) == 0)
            continue;
        pthread_mutex_lock(&record->mutex);
        bool finished = record->finished;
        pthread_mutex_unlock(&record->mutex);
        if (finished)
            return -1;
    }
    return 0;
}

int32_t KillXThread(void* thread) {
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    if (record == nullptr)
        return -1;
    pthread_mutex_lock(&record->mutex);
    if (!record->started) {
        record->abandoned = true;
        pthread_cond_broadcast(&record->changed);
    }
    pthread_mutex_unlock(&record->mutex);
    Release(record);
    return 0;
}

void WaitForXThread(void* thread) {
    ThreadRecord* record = static_cast<ThreadRecord*>(thread);
    if (record == nullptr)
        return;
    pthread_mutex_lock(&record->mutex);
    while (!record->finished)
        pthread_cond_wait(&record->changed, &record->mutex);
    pthread_mutex_unlock(&record->mutex);
}

void ExitXThread(int32_t code) {
    if (t_current != nullptr)
        t_current->exitCode = code;
    // Unwinds the thread, so FinishOnExit still marks a spawned thread finished.
    pthread_exit(nullptr);
}
