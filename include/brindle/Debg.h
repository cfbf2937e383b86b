// Debugging hooks.
//
// These functions let tests steer what the library normally takes from the system: whether
// an allocation succeeds, and which tick the clock reads. A host never needs them; they are
// exported so that tests can drive the shared library exactly as a host links it.
#ifndef BRINDLE_DEBG_H_
#define BRINDLE_DEBG_H_

#include <stdint.h>

#include "brindle/Export.h"

// Makes the nth allocation that the library attempts from now on fail, counting 1 as the
// very next one; 0 disarms a pending failure. Every library allocation counts, from any
// thread, so tests that use this keep other threads of the library idle meanwhile.
BRINDLE_API void DebgFailAllocation(uint32_t nth);

// How many allocations remain until the armed failure fires; 0 once it has fired or when
// nothing is armed. A test sweeps every allocation of an operation by arming 1, 2, 3, ...
// until the operation completes with this still above 0.
BRINDLE_API uint32_t DebgPendingAllocationFailure();

// Replaces the system's 32-bit millisecond tick counter that OSBootTime reads; null restores
// the system counter.
BRINDLE_API void DebgSetTickSource(uint32_t (*tick)());

// Sets the last value OSBootTime returned, which it extends the next tick reading from.
BRINDLE_API void DebgSetLastBootTime(uint64_t last);

#endif  // BRINDLE_DEBG_H_
