// SPDX-License-Identifier: MIT

#include "serialization/EditableForm.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string_view>

#include "platform/Alloc.h"
#include "serialization/StoreRecords.h"

namespace brindle {
namespace store {
namespace {

// The first batch holds this many names; each later one twice as many as the one before.
constexpr uint64_t kFirstBatch = 16;
// The smallest index.
constexpr uint64_t kFirstIndexSize = 32;

int CompareNames(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

void FreeRecord(const void* record) {
    ReleaseValues(*static_cast<const XStoreRecord*>(record));
    free(const_cast<void*>(record));
}

uint32_t Hash(const char* name) {
    return static_cast<uint32_t>(std::hash<std::string_view>{}(name));
}

// A new block holding a copy of `record` and then `name`; null when memory runs out.
XStoreRecord* NewRecord(const char* name, const XStoreRecord& record) {
    const size_t nameSize = strlen(name) + 1;
    XStoreRecord* block = static_cast<XStoreRecord*>(Malloc(sizeof(XStoreRecord) + nameSize));
    if (block != nullptr) {
        *block = record;
        memcpy(block + 1, name, nameSize);
    }
    return block;
}

// The name held in a block made by NewRecord.
char* NameOf(XStoreRecord* block) {
    return reinterpret_cast<char*>(block + 1);
}

}  // namespace

EditableForm::RecordList::RecordList()
    : XSortedList(CompareNames, nullptr, nullptr, nullptr, FreeRecord) {}

EditableForm::EditableForm() = default;

EditableForm::~EditableForm() {
    for (uint32_t i = 0; i < waitingCount_; ++i)
        FreeRecord(waiting_[i]);
    free(waiting_);
    free(index_);
}

bool EditableForm::Reserve(uint32_t count) {
    if (count <= reserved_)
        return true;
    // At least twice the room held so far, as far as the list reaches, so that adding
    // records one by one copies the list only O(log N) times.
    const uint64_t doubled =
        std::min<uint64_t>(uint64_t{reserved_} * 2, XSortedList::kNoIndex - XSortedList::kGrowth);
    const uint32_t room = static_cast<uint32_t>(std::max<uint64_t>(count, doubled));
    if (!list_.Reserve(room))
        return false;
    reserved_ = room;
    return true;
}

XStoreRecord* EditableForm::Find(const char* name) {
    if (IndexRoomFor(Count()))
        return Probe(name, Hash(name))->record;
    Order();
    return static_cast<XStoreRecord*>(list_.FindItem(const_cast<char*>(name), nullptr));
}

bool EditableForm::Add(const char* name, const XStoreRecord& record) {
    // Room in the sorted list is made now, so that the batch always fits into it later.
    if (!Reserve(Count() + 1) || !MakeRoomToWait() || !IndexRoomFor(Count() + 1))
        return false;
    XStoreRecord* block = NewRecord(name, record);
    if (block == nullptr)
        return false;
    waiting_[waitingCount_++] = block;
    Enter(block, Hash(name));
    return true;
}

bool EditableForm::Append(const char* name, const XStoreRecord& record) {
    XStoreRecord* block = NewRecord(name, record);
    if (block == nullptr)
        return false;
    if (!list_.TryAddItem(NameOf(block), block)) {
        free(block);
        return false;
    }
    // Indexed again, all at once, at the next lookup.
    free(index_);
    index_ = nullptr;
    indexSize_ = 0;
    return true;
}

bool EditableForm::HasRepeatedName() {
    for (uint32_t i = 1; i < Count(); ++i) {
        if (strcmp(NameAt(i - 1), NameAt(i)) == 0)
            return true;
    }
    return false;
}

bool EditableForm::MakeRoomToWait() {
    if (waitingCount_ < waitingCapacity_)
        return true;
    const uint64_t capacity = waitingCapacity_ == 0 ? kFirstBatch : uint64_t{waitingCapacity_} * 2;
    if (capacity > UINT32_MAX)
        return false;
    void* grown = Realloc(waiting_, capacity * sizeof(XStoreRecord*));
    if (grown == nullptr)
        return false;
    waiting_ = static_cast<XStoreRecord**>(grown);
    waitingCapacity_ = static_cast<uint32_t>(capacity);
    return true;
}

bool EditableForm::IndexRoomFor(uint32_t count) {
    if (index_ != nullptr && uint64_t{count} * 2 < indexSize_)
        return true;
    uint64_t size = std::max<uint64_t>(kFirstIndexSize, uint64_t{indexSize_} * 2);
    while (size <= uint64_t{count} * 2)
        size *= 2;
    if (size > UINT32_MAX)
        return false;
    Slot* fresh = static_cast<Slot*>(Malloc(size * sizeof(Slot)));
    if (fresh == nullptr)
        return false;
    memset(fresh, 0, size * sizeof(Slot));
    Slot* old = index_;
    const uint32_t oldSize = indexSize_;
    index_ = fresh;
    indexSize_ = static_cast<uint32_t>(size);
    if (old != nullptr) {
        for (uint32_t i = 0; i < oldSize; ++i) {
            if (old[i].record != nullptr)
                Enter(old[i].record, old[i].hash);
        }
        free(old);
    } else {
        for (uint32_t i = 0; i < list_.Count(); ++i) {
            XStoreRecord* record = static_cast<XStoreRecord*>(list_.GetItem(i));
            Enter(record, Hash(NameOf(record)));
        }
        for (uint32_t i = 0; i < waitingCount_; ++i)
            Enter(waiting_[i], Hash(NameOf(waiting_[i])));
    }
    return true;
}

EditableForm::Slot* EditableForm::Probe(const char* name, uint32_t hash) const {
    const uint32_t mask = indexSize_ - 1;
    for (uint32_t at = hash & mask;; at = (at + 1) & mask) {
        Slot* slot = &index_[at];
        if (slot->record == nullptr ||
            (slot->hash == hash && strcmp(NameOf(slot->record), name) == 0))
            return slot;
    }
}

void EditableForm::Enter(XStoreRecord* record, uint32_t hash) {
    const uint32_t mask = indexSize_ - 1;
    uint32_t at = hash & mask;
    while (index_[at].record != nullptr)
        at = (at + 1) & mask;
    index_[at] = {record, hash};
}

void EditableForm::Erase(Slot* slot) {
    const uint32_t mask = indexSize_ - 1;
    uint32_t gap = static_cast<uint32_t>(slot - index_);
    for (uint32_t at = (gap + 1) & mask; index_[at].record != nullptr; at = (at + 1) & mask) {
        // A record may fill the gap when its home slot does not lie in (gap, at].
        const uint32_t home = index_[at].hash & mask;
        if (((at - home) & mask) >= ((at - gap) & mask)) {
            index_[gap] = index_[at];
            gap = at;
        }
    }
    index_[gap] = {nullptr, 0};
}

void EditableForm::Order() {
    if (waitingCount_ == 0)
        return;
    // Cannot fail: Add reserved the room, and the list copies nothing.
    for (uint32_t i = 0; i < waitingCount_; ++i)
        list_.TryAddItem(NameOf(waiting_[i]), waiting_[i]);
    waitingCount_ = 0;
}

bool EditableForm::Remove(const char* name) {
    Order();
    if (index_ != nullptr) {
        Slot* slot = Probe(name, Hash(name));
        if (slot->record == nullptr)
            return false;
        Erase(slot);
    }
    return list_.RemoveItem(const_cast<char*>(name));
}

const char* EditableForm::NameAt(uint32_t index) {
    Order();
    return static_cast<const char*>(list_.GetKey(index));
}

XStoreRecord* EditableForm::RecordAt(uint32_t index) {
    Order();
    return static_cast<XStoreRecord*>(list_.GetItem(index));
}

}  // namespace store
}  // namespace brindle
