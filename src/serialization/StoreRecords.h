// SPDX-License-Identifier: MIT
// Access to the records of a store's editable form (XStoreRecord): their values, and the
// release of what they own.
#ifndef BRINDLE_SERIALIZATION_STORERECORDS_H_
#define BRINDLE_SERIALIZATION_STORERECORDS_H_

#include <stdint.h>

#include "brindle/containers/XList.h"
#include "brindle/serialization/XStoreRecord.h"

namespace brindle {
namespace store {

// The types whose values a record holds; a record of any other type number holds none.
inline bool IsKnownType(XStoreType type) {
    return type >= XStoreTypeInt && type <= XStoreTypeMovStr;
}

// Types whose values are malloc blocks (texts or blobs) owned by the record.
inline bool OwnsValues(XStoreType type) {
    return type == XStoreTypeString || type == XStoreTypeBlob || type == XStoreTypeLocStr ||
           type == XStoreTypeMovStr;
}

inline bool HoldsList(const XStoreRecord& record) {
    return record.valueCount > 1 && IsKnownType(record.type);
}

inline XList* ValueList(const XStoreRecord& record) {
    return static_cast<XList*>(record.value);
}

// Value `index`, which must be below the count of a record of a known type.
inline void* ValueOf(const XStoreRecord& record, uint32_t index) {
    return HoldsList(record) ? ValueList(record)->GetItem(index) : record.value;
}

inline void* WordValue(uint32_t word) {
    return reinterpret_cast<void*>(uintptr_t{word});
}

inline uint32_t WordOf(const void* value) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
}

// Frees one value of a record of `type`.
void ReleaseValue(XStoreType type, void* value);
// Frees what the record owns (not the record itself). A list is released item by item as
// far as it is filled, so a record still being built can be released too.
void ReleaseValues(const XStoreRecord& record);
// Appends `value` to a record of a known type; false, with the record unchanged, when
// memory runs out.
bool AppendValue(XStoreRecord* record, void* value);

}  // namespace store
}  // namespace brindle

#endif  // BRINDLE_SERIALIZATION_STORERECORDS_H_
