// SPDX-License-Identifier: MIT
// XStoreRecord: one entry of a mutable store's editable form.
//
// With one value the record holds it directly: for Int, Float and Bool the 32-bit word (a
// Float's bit pattern, a Bool as 1 or 0) in the low bits of `value`; for String, LocStr and
// MovStr a malloc copy of the text; for Blob a malloc block of 4 + B bytes, the 32-bit length
// B followed by the bytes. With two or more values, `value` is an XList whose items are the
// values in index order, each in the one-value form. An entry of a type number the library
// does not know (kept from a buffer) holds no values at all, whatever its count says.
//
// A record made by an Add or Set function has at least one value; one kept from a buffer may
// have none (count 0, value null) until values are added. Texts, blocks and the list belong
// to the record.
#ifndef BRINDLE_SERIALIZATION_XSTORERECORD_H_
#define BRINDLE_SERIALIZATION_XSTORERECORD_H_

#include <stdint.h>

#include "brindle/serialization/XStoreType.h"

struct XStoreRecord {
    uint32_t valueCount;  // number of values
    XStoreType type;      // the type of every value
    void* value;          // the value itself, or an XList of the values
};

#endif  // BRINDLE_SERIALIZATION_XSTORERECORD_H_
