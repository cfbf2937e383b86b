// SPDX-License-Identifier: MIT

#include "platform/FileFaults.h"

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "brindle/Debg.h"

namespace brindle {
namespace {

// The armed fault. `active` lets the common case, nothing armed, cost one relaxed load.
struct ArmedFault {
    std::atomic<bool> active{false};
    std::mutex lock;
    uint32_t countdown = 0;  // calls left until the fault fires; 0 once it has
    int error = 0;
    uint32_t flags = 0;
    bool failNext = false;  // a partial transfer fired: the next call fails with `error`
    bool dead = false;      // a sticky fault fired: every call fails with `error`
};

ArmedFault& Armed() {
    static ArmedFault armed;
    return armed;
}

// The watcher of DebgWatchFileCalls; `watching` keeps the common case to one relaxed load.
struct Watcher {
    std::atomic<bool> watching{false};
    std::mutex lock;
    DebgFileCallWatcher watcher = nullptr;
    void* context = nullptr;
};

Watcher& TheWatcher() {
    static Watcher watcher;
    return watcher;
}

}  // namespace

void TellFileCall(int fd, int call, uint64_t offset, const void* data, uint64_t size) {
    Watcher& watcher = TheWatcher();
    if (!watcher.watching.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> hold(watcher.lock);
    if (watcher.watcher != nullptr)
        watcher.watcher(fd, static_cast<DebgFileCall>(call), offset, data, size, watcher.context);
}

FileCallFault NextFileCallFault(bool transfers) {
    ArmedFault& armed = Armed();
    if (!armed.active.load(std::memory_order_relaxed))
        return {};
    std::lock_guard<std::mutex> hold(armed.lock);
    FileCallFault fault;
    if (armed.dead) {
        fault.error = armed.error;
    } else if (armed.failNext) {
        armed.failNext = false;
        fault.error = armed.error;
        armed.dead = (armed.flags & DebgFileSticky) != 0;
    } else if (armed.countdown != 0 && --armed.countdown == 0) {
        if ((armed.flags & DebgFilePartial) && transfers) {
            fault.partial = true;
            armed.failNext = armed.error != 0;
        } else {
            fault.error = armed.error;
            armed.dead = (armed.flags & DebgFileSticky) != 0;
        }
    }
    armed.active.store(armed.countdown != 0 || armed.failNext || armed.dead,
                       std::memory_order_relaxed);
    return fault;
}

}  // namespace brindle

void DebgFailFileCall(uint32_t nth, int32_t error, uint32_t flags) {
    brindle::ArmedFault& armed = brindle::Armed();
    std::lock_guard<std::mutex> hold(armed.lock);
    armed.countdown = nth;
    armed.error = error;
    armed.flags = flags;
    armed.failNext = false;
    armed.dead = false;
    armed.active.store(nth != 0, std::memory_order_relaxed);
}

uint32_t DebgPendingFileCallFailure() {
    brindle::ArmedFault& armed = brindle::Armed();
    std::lock_guard<std::mutex> hold(armed.lock);
    return armed.countdown;
}

void DebgWatchFileCalls(DebgFileCallWatcher watcher, void* context) {
    brindle::Watcher& watching = brindle::TheWatcher();
    std::lock_guard<std::mutex> hold(watching.lock);
    watching.watcher = watcher;
    watching.context = context;
    watching.watching.store(watcher != nullptr, std::memory_order_relaxed);
}
