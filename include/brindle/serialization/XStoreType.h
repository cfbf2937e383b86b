// SPDX-License-Identifier: MIT
// XStoreType: the type of every value of one store entry.
//
// The number is stored in a flattened store as a 32-bit word. The library writes only the
// numbers 0 to 6; an entry carrying any other number is kept by the reader, which reports the
// number through EntryType but hands out none of its values.
#ifndef BRINDLE_SERIALIZATION_XSTORETYPE_H_
#define BRINDLE_SERIALIZATION_XSTORETYPE_H_

#include <stdint.h>

enum XStoreType : int32_t {
    XStoreTypeInt = 0,     // 32-bit signed integer
    XStoreTypeFloat = 1,   // 32-bit IEEE 754 single, kept as its bit pattern
    XStoreTypeBool = 2,    // 32-bit word: 0 is false, anything else true
    XStoreTypeString = 3,  // NUL-terminated text stored among the values
    XStoreTypeBlob = 4,    // 32-bit length followed by that many bytes
    XStoreTypeLocStr = 5,  // separated text of the first kind (slot into the strings area)
    XStoreTypeMovStr = 6,  // separated text of the second kind (slot into the strings area)
    XStoreTypeNone = 7,    // never stored: the type of a name that is not in the store
};

#endif  // BRINDLE_SERIALIZATION_XSTORETYPE_H_
