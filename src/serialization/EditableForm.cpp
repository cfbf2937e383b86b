#include "serialization/EditableForm.h"

#include <stdlib.h>
#include <string.h>

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

void FreeName(const void* name) {
    free(const_cast<void*>(name));
}

void FreeRecord(const void* record) {
    ReleaseValues(*static_cast<const XStoreRecord*>(record));
    free(const_cast<void*>(record));
}

uint32_t Hash(const char* name) {
    return static_cast<uint32_t>(std::hash<std::string_view>{}(name));
}

}  // namespace

EditableForm::RecordList::RecordList()
    : XSortedList(CompareNames, nullptr, FreeName, nullptr, FreeRecord) {}

EditableForm::EditableForm() = default;

EditableForm::~EditableForm() {
    for (uint32_t i = 0; i < waitingCount_; ++i) {
        FreeName(waiting_[i].name);
        FreeRecord(waiting_[i].record);
    }
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
        if (waiting.hash == hash && strcmp(waiting.name, name) == 0)
            return waiting.record;
    }
    return nullptr;
}

bool EditableForm::Add(const char* name, const XStoreRecord& record) {
    // Room in the sorted list is made now, so that the batch always fits into it later.
    if (!list_.Reserve(Count() + 1) || !MakeRoomToWait())
        return false;
    char* ownName = Strdup(name);
    XStoreRecord* ownRecord = static_cast<XStoreRecord*>(Malloc(sizeof(XStoreRecord)));
    if (ownName == nullptr || ownRecord == nullptr) {
        free(ownName);
        free(ownRecord);
        return false;
    }
    *ownRecord = record;
    waiting_[waitingCount_] = {ownName, ownRecord, Hash(name)};
    Place(waitingCount_++);
    return true;
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
        list_.TryAddItem(waiting_[i].name, waiting_[i].record);
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
