// SPDX-License-Identifier: MIT
// Debugging hooks.
//
// These functions let tests steer what the library normally takes from the system: whether
// an allocation or a file call succeeds, and which tick the clock reads. A host never needs them;
// they are exported so that tests can drive the shared library exactly as a host links it.
#ifndef BRINDLE_DEBG_H_
#define BRINDLE_DEBG_H_

#include <stdint.h>

#include "brindle/Export.h"

// Makes the nth allocation that the library attempts from now on fail, counting 1 as the
// very next one; 0 disarms a pending failure. Every library allocation counts, from any
// thread, so tests that use this keep other threads of the library idle meanwhile. Mapping
// a file into memory counts as an allocation too.
BRINDLE_API void DebgFailAllocation(uint32_t nth);

// How many allocations remain until the armed failure fires; 0 once it has fired or when
// nothing is armed. A test sweeps every allocation of an operation by arming 1, 2, 3, ...
// until the operation completes with this still above 0.
BRINDLE_API uint32_t DebgPendingAllocationFailure();

// Flags of DebgFailFileCall.
//
// The failing call, if it reads or writes, first transfers the first half of its bytes
// (rounded up) and reports that much; the error then strikes the call that follows, which
// is the one retrying the rest. With error 0 the transfer is merely short, and the retry
// goes ahead. A call that transfers nothing fails outright.
constexpr uint32_t DebgFilePartial = 1;
// The failing call and every file call after it fail with the error, as when a disk goes
// away or the process dies at that call: the file keeps exactly what was written before.
// Needs an error other than EINTR, which the library retries.
constexpr uint32_t DebgFileSticky = 2;

// Makes the nth file call that the library makes from now on fail with errno `error`
// (EIO, ENOSPC, EINTR, ...), counting 1 as the very next one; 0 disarms any armed or
// sticky failure. Every system call on a file counts, each retry too (open, close, read,
// write, length, truncation, permissions), and so does every read of block data served
// from a memory mapping (mapping a file counts as an allocation instead). From any thread; tests
// that use this keep other threads of the library away from files meanwhile. `flags` is 0 or a
// combination of the flags above.
BRINDLE_API void DebgFailFileCall(uint32_t nth, int32_t error, uint32_t flags);

// How many file calls remain until the armed failure fires; 0 once it has fired or when
// nothing is armed. A test sweeps every file call of an operation by arming 1, 2, 3, ...
// until the operation completes with this still above 0.
BRINDLE_API uint32_t DebgPendingFileCallFailure();

// What a file call did, as DebgWatchFileCalls tells it.
enum DebgFileCall : int32_t {
    DebgFileCallWrite = 0,  // `size` bytes from `data` were written at `offset`
    DebgFileCallCut = 1,    // the file's length was set to `offset`
    DebgFileCallSync = 2,   // everything written to the file before is durable
};

// Told of one file call; `fd` is the descriptor it was made on.
typedef void (*DebgFileCallWatcher)(int32_t fd, DebgFileCall call, uint64_t offset,
                                    const void* data, uint64_t size, void* context);

// Tells `watcher` of every write, change of length and sync of a file that the library makes
// from now on and that succeeds, in order, on the thread that makes it (a write that the
// system transfers in parts, in its parts); null stops. A test replays them to learn what a
// power cut at any moment could leave of a file.
BRINDLE_API void DebgWatchFileCalls(DebgFileCallWatcher watcher, void* context);

// Replaces the system's 32-bit millisecond tick counter that OSBootTime reads; null restores
// the system counter.
BRINDLE_API void DebgSetTickSource(uint32_t (*tick)());

// Sets the last value OSBootTime returned, which it extends the next tick reading from.
BRINDLE_API void DebgSetLastBootTime(uint64_t last);

#endif  // BRINDLE_DEBG_H_
