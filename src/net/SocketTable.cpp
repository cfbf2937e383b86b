// SPDX-License-Identifier: MIT

#include "net/SocketTable.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "platform/Alloc.h"

namespace brindle {

namespace {

uint64_t MakeWord(int socket, uint32_t tag) {
    return uint64_t{tag} << 32 | static_cast<uint32_t>(socket);
}

}  // namespace

SocketTable::~SocketTable() {
    free(entries_);
}

uint64_t SocketTable::Enter(int socket, Kind kind, void* owner) {
    uint32_t index = static_cast<uint32_t>(socket);
    if (index >= capacity_) {
        uint32_t capacity = std::max<uint32_t>(64, capacity_);
        while (capacity <= index && capacity <= UINT32_MAX / 2 / sizeof(Entry))
            capacity *= 2;
        if (capacity <= index)
            return kWakeWord;
        void* grown = brindle::Realloc(entries_, capacity * sizeof(Entry));
        if (grown == nullptr)
            return kWakeWord;
        entries_ = static_cast<Entry*>(grown);
        memset(entries_ + capacity_, 0, (capacity - capacity_) * sizeof(Entry));
        capacity_ = capacity;
    }
    // Tag 0 is never given: the wake descriptors' word is 0.
    if (++nextTag_ == 0)
        nextTag_ = 1;
    entries_[index] = Entry{nextTag_, kind, owner};
    return MakeWord(socket, nextTag_);
}

void SocketTable::Leave(int socket) {
    uint32_t index = static_cast<uint32_t>(socket);
    if (index < capacity_)
        entries_[index] = Entry{0, kNone, nullptr};
}

const SocketTable::Entry* SocketTable::Find(uint64_t word) const {
    uint32_t index = static_cast<uint32_t>(word);
    uint32_t tag = static_cast<uint32_t>(word >> 32);
    if (index >= capacity_ || tag == 0 || entries_[index].tag != tag)
        return nullptr;
    return &entries_[index];
}

}  // namespace brindle
