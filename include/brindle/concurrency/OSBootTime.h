// SPDX-License-Identifier: MIT
// OSBootTime: the library's clock.
#ifndef BRINDLE_CONCURRENCY_OSBOOTTIME_H_
#define BRINDLE_CONCURRENCY_OSBOOTTIME_H_

#include <stdint.h>

#include "brindle/Export.h"

// Milliseconds since the system started, as unsigned 64 bits that never decrease. The
// system's 32-bit millisecond tick (from CLOCK_MONOTONIC) is extended across its wrap: the
// high half comes from the last value returned, and a tick below that value's low half
// counts as a wrap. This holds as long as the clock is read at least once every 2^32 ms
// (about 49.7 days). Safe from any thread: concurrent readers at the wrap agree on one
// extension and never see the clock go back.
BRINDLE_API uint64_t OSBootTime();

#endif  // BRINDLE_CONCURRENCY_OSBOOTTIME_H_
