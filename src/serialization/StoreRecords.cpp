// SPDX-License-Identifier: MIT

#include "serialization/StoreRecords.h"

#include <stdlib.h>

#include "platform/Alloc.h"

namespace brindle {
namespace store {

void ReleaseValue(XStoreType type, void* value) {
    if (OwnsValues(type))
        free(value);
}

void ReleaseValues(const XStoreRecord& record) {
    if (!IsKnownType(record.type))
        return;
    if (!HoldsList(record)) {
        ReleaseValue(record.type, record.value);
        return;
    }
    XList* list = ValueList(record);
    for (uint32_t i = 0; i < list->Count(); ++i)
        ReleaseValue(record.type, list->GetItem(i));
    delete list;
}

bool AppendValue(XStoreRecord* record, void* value) {
    if (record->valueCount == XList::kNoIndex)
        return false;
    if (record->valueCount == 0) {
        record->value = value;
    } else if (record->valueCount > 1) {
        if (ValueList(*record)->AddItem(value) == XList::kNoIndex)
            return false;
    } else {
        XList* list = New<XList>(8);
        if (list == nullptr || list->AddItem(record->value) == XList::kNoIndex ||
            list->AddItem(value) == XList::kNoIndex) {
            delete list;
            return false;
        }
        record->value = list;
    }
    ++record->valueCount;
    return true;
}

}  // namespace store
}  // namespace brindle
