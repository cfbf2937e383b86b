// SPDX-License-Identifier: MIT
// Taking and releasing slots in memory. The file is not touched here; the callers write the
// headers in an order that survives a crash.
#include "blockfile/BlockFormat.h"
#include "blockfile/FreeSpace.h"
#include "brindle/blockfile/XBlockFile.h"

using brindle::blockfile::Record;
using brindle::blockfile::SlotSize;

bool XBlockFile::TakeSlot(uint32_t size, uint32_t* offset, uint32_t* freeEnd) {
    if (freeSpace->Take(size, offset, freeEnd))
        return false;
    *offset = dataEnd;
    dataEnd += size;
    return true;
}

Record XBlockFile::ReleaseSlot(const Record& rec) {
    return freeSpace->Release(rec.offset, static_cast<uint32_t>(SlotSize(rec.len)));
}
