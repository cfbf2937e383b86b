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
        FreeRecord(waiting_[i].record);
    free(waiting_);
    free(slots_);
}

XStoreRecord* EditableForm::Find(const char* name) {
    XStoreRecord* waiting = FindWaiting(name);
    if (waiting != nullptr)
        return waiting;
    return static_cast<XStoreRecord*>(list_.FindItem(const_cast<char*>(name), nullptr));
}

XStoreRecord* EditableForm::FindWaiting(const char* name) const {
    if (waitingCount_ == 0)
        return nullptr;
    const uint32_t hash = Hash(name);
    const uint32_t mask = 2 * waitingCapacity_ - 1;
    for (uint32_t slot = hash & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const Waiting& waiting = waiting_[slots_[slot] - 1];
        if (waiting.hash == hash && strcmp(NameOf(waiting.record), name) == 0)
            return waiting.record;
    }
    return nullptr;
}

bool EditableForm::Add(const char* name, const XStoreRecord& record) {
    // Room in the sorted list is made now, so that the batch always fits into it later.
    if (!Reserve(Count() + 1) || !MakeRoomToWait())
        return false;
    XStoreRecord* block = NewRecord(name, record);
    if (block == nullptr)
        return false;
    waiting_[waitingCount_] = {block, Hash(name)};
    Place(waitingCount_++);
    return true;
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

bool EditableForm::Append(const char* name, const XStoreRecord& record) {
    XStoreRecord* block = NewRecord(name, record);
    if (block == nullptr)
        return false;
    if (list_.TryAddItem(NameOf(block), block))
        return true;
    free(block);
    return false;
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
    if (2 * capacity > UINT32_MAX)
        return false;
    uint32_t* slots = static_cast<uint32_t*>(Malloc(2 * capacity * sizeof(uint32_t)));
    if (slots == nullptr)
        return false;
    void* grown = Realloc(waiting_, capacity * sizeof(Waiting));
    if (grown == nullptr) {
        free(slots);
        return false;
    }
    waiting_ = static_cast<Waiting*>(grown);
    waitingCapacity_ = static_cast<uint32_t>(capacity);
    free(slots_);
    slots_ = slots;
    memset(slots_, 0, 2 * capacity * sizeof(uint32_t));
    for (uint32_t i = 0; i < waitingCount_; ++i)
        Place(i);
    return true;
}

void EditableForm::Place(uint32_t index) {
    const uint32_t mask = 2 * waitingCapacity_ - 1;
    uint32_t slot = waiting_[index].hash & mask;
    while (slots_[slot] != 0)
        slot = (slot + 1) & mask;
    slots_[slot] = index + 1;
}

void EditableForm::Order() {
    if (waitingCount_ == 0)
        return;
    // Cannot fail: Add reserved the room, and the list copies nothing.
    for (uint32_t i = 0; i < waitingCount_; ++i)
        list_.TryAddItem(NameOf(waiting_[i].record), waiting_[i].record);
    free(waiting_);
    free(slots_);
    waiting_ = nullptr;
    slots_ = nullptr;
    waitingCount_ = waitingCapacity_ = 0;
}

bool EditableForm::Remove(const char* name) {
    Order();
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
