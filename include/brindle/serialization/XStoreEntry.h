// SPDX-License-Identifier: MIT
// XStoreEntry: one record of the entry table of a flattened store.
//
// The table follows the 20-byte header and holds one 16-byte record per entry, in ascending
// byte order of the entry names. Both offsets count from the start of the value area, which
// follows the table. All four words are in the byte order of the machine that wrote the
// buffer until a reader has converted it.
#ifndef BRINDLE_SERIALIZATION_XSTOREENTRY_H_
#define BRINDLE_SERIALIZATION_XSTOREENTRY_H_

#include <stdint.h>

#include "brindle/serialization/XStoreType.h"

struct XStoreEntry {
    uint32_t nameOffset;    // where the NUL-terminated name starts
    uint32_t valueCount;    // number of values; at least 1 in what the library writes
    XStoreType type;        // the type of every value
    uint32_t valuesOffset;  // where the first value starts
};

static_assert(sizeof(XStoreEntry) == 16, "an entry record is four 32-bit words");

#endif  // BRINDLE_SERIALIZATION_XSTOREENTRY_H_
