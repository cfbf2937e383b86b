// SPDX-License-Identifier: MIT

#include "brindle/containers/XRefList.h"

#include <stdlib.h>
#include <string.h>

#include <cstddef>

#include "platform/Alloc.h"

// The header at the start of every slot.
struct XRefList::Slot {
    uint16_t generation;
    // Live: next newer item. Free: next free slot. 0 ends either chain.
    uint16_t next;
    // Live: next older item (0 at the head). Free: kFreeMark.
    uint16_t prev;
};

namespace {

constexpr uint16_t kFreeMark = 0xFFFF;
constexpr uint32_t kMaxSlots = 0xFFFF;
constexpr uint32_t kMinStep = 16;

// The alignment the item bytes get: the largest power of two dividing the element size,
// bounded by what malloc guarantees, and at least what the 16-bit header fields need.
size_t SlotAlignment(uint32_t elementSize) {
    size_t natural = elementSize == 0 ? 1 : (elementSize & (~elementSize + 1));
    if (natural > alignof(std::max_align_t))
        natural = alignof(std::max_align_t);
    return natural < alignof(uint16_t) ? alignof(uint16_t) : natural;
}

size_t RoundUp(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

size_t DataOffset(uint32_t elementSize) {
    return RoundUp(sizeof(uint16_t) * 3, SlotAlignment(elementSize));
}

size_t SlotSize(uint32_t elementSize) {
    return RoundUp(DataOffset(elementSize) + elementSize, SlotAlignment(elementSize));
}

uint16_t NextGeneration(uint16_t generation) {
    return generation == 0xFFFF ? 1 : static_cast<uint16_t>(generation + 1);
}

}  // namespace

XRefList::XRefList(uint32_t elementSize, bool threadSafe)
    : threadSafe_(threadSafe),
      elementSize_(elementSize),
      preallocate_(0),
      capacity_(0),
      count_(0),
      slots_(nullptr),
      head_(0),
      tail_(0),
      freeHead_(0),
      dataOffset_(DataOffset(elementSize)),
      slotSize_(SlotSize(elementSize)) {}

XRefList::~XRefList() {
    free(slots_);
}

XRefList::Slot* XRefList::SlotAt(uint16_t index) const {
    return reinterpret_cast<Slot*>(slots_ + size_t{index} * slotSize_);
}

uint8_t* XRefList::DataAt(uint16_t index) const {
    return slots_ + size_t{index} * slotSize_ + dataOffset_;
}

uint32_t XRefList::ReferenceOf(uint16_t index) const {
    return (uint32_t{SlotAt(index)->generation} << 16) | index;
}

uint16_t XRefList::Find(uint32_t reference) const {
    uint16_t index = static_cast<uint16_t>(reference & 0xFFFF);
    if (index == 0 || index >= capacity_)
        return 0;
    const Slot* slot = SlotAt(index);
    if (slot->prev == kFreeMark || slot->generation != reference >> 16)
        return 0;
    return index;
}

void XRefList::Preallocate(uint16_t slots) {
    preallocate_ = slots;
}

bool XRefList::Grow() {
    uint32_t step = capacity_ / 8;
    if (step < kMinStep)
        step = kMinStep;
    if (preallocate_ > capacity_ && step < uint32_t{preallocate_} - capacity_)
        step = uint32_t{preallocate_} - capacity_;
    uint32_t capacity = uint32_t{capacity_} + step;
    if (capacity > kMaxSlots)
        return false;
    void* grown = brindle::Realloc(slots_, size_t{capacity} * slotSize_);
    if (grown == nullptr)
        return false;
    slots_ = static_cast<uint8_t*>(grown);
    // Pushed in ascending order, so the highest new slot is handed out first. Slot 0 of the
    // first growth ends up behind the end of the free list and is never handed out.
    for (uint32_t index = capacity_; index < capacity; ++index) {
        Slot* slot = SlotAt(static_cast<uint16_t>(index));
        slot->generation = 1;
        slot->prev = kFreeMark;
        slot->next = freeHead_;
        freeHead_ = static_cast<uint16_t>(index);
    }
    capacity_ = static_cast<uint16_t>(capacity);
    return true;
}

void* XRefList::CreateItem(uint32_t* reference) {
    if (freeHead_ == 0 && !Grow())
        return nullptr;
    uint16_t index = freeHead_;
    Slot* slot = SlotAt(index);
    freeHead_ = slot->next;
    slot->next = 0;
    slot->prev = tail_;
    if (tail_ == 0)
        head_ = index;
    else
        SlotAt(tail_)->next = index;
    tail_ = index;
    ++count_;
    if (reference != nullptr)
        *reference = ReferenceOf(index);
    return DataAt(index);
}

uint32_t XRefList::AddItem(void* data) {
    Lock();
    uint32_t reference = 0;
    void* item = CreateItem(&reference);
    if (item != nullptr && data != nullptr)
        memcpy(item, data, elementSize_);
    Unlock();
    return item != nullptr ? reference : 0;
}

void XRefList::Remove(uint16_t index) {
    Slot* slot = SlotAt(index);
    if (slot->prev == 0)
        head_ = slot->next;
    else
        SlotAt(slot->prev)->next = slot->next;
    if (slot->next == 0)
        tail_ = slot->prev;
    else
        SlotAt(slot->next)->prev = slot->prev;
    slot->generation = NextGeneration(slot->generation);
    slot->prev = kFreeMark;
    slot->next = freeHead_;
    freeHead_ = index;
    --count_;
}

bool XRefList::RemoveItem(uint32_t reference) {
    Lock();
    uint16_t index = Find(reference);
    if (index != 0)
        Remove(index);
    Unlock();
    return index != 0;
}

bool XRefList::RemoveFirstItem() {
    Lock();
    uint16_t index = head_;
    if (index != 0)
        Remove(index);
    Unlock();
    return index != 0;
}

void* XRefList::GetItem(uint32_t reference) const {
    uint16_t index = Find(reference);
    return index != 0 ? DataAt(index) : nullptr;
}

void* XRefList::GetFirstItem() const {
    return head_ != 0 ? DataAt(head_) : nullptr;
}

uint32_t XRefList::IndexOf(void* data) const {
    uintptr_t address = reinterpret_cast<uintptr_t>(data);
    uintptr_t first = reinterpret_cast<uintptr_t>(slots_) + dataOffset_;
    if (slots_ == nullptr || address < first)
        return 0;
    uintptr_t offset = address - first;
    if (offset % slotSize_ != 0 || offset / slotSize_ >= capacity_)
        return 0;
    uint16_t index = static_cast<uint16_t>(offset / slotSize_);
    if (index == 0 || SlotAt(index)->prev == kFreeMark)
        return 0;
    return ReferenceOf(index);
}

uint32_t XRefList::Walk(bool (*visit)(const void* data, void* context), void* context) {
    if (visit == nullptr)
        return 0;
    Lock();
    uint32_t found = 0;
    uint16_t index = head_;
    while (index != 0) {
        // The callback may remove items and grow the array, so only references are carried
        // across it, and the walk resumes from whichever of this item and the next survived.
        uint32_t current = ReferenceOf(index);
        uint16_t nextIndex = SlotAt(index)->next;
        uint32_t next = nextIndex != 0 ? ReferenceOf(nextIndex) : 0;
        if (visit(DataAt(index), context)) {
            found = current;
            break;
        }
        if (Find(current) != 0)
            index = SlotAt(index)->next;
        else
            index = Find(next);
    }
    Unlock();
    return found;
}

void XRefList::DoForEach(void (*fn)(const void* data, void* context), void* context) {
    if (fn == nullptr)
        return;
    struct Visitor {
        void (*fn)(const void*, void*);
        void* context;
    } visitor{fn, context};
    Walk(
        [](const void* data, void* state) {
            Visitor* v = static_cast<Visitor*>(state);
            v->fn(data, v->context);
            return false;
        },
        &visitor);
}

uint32_t XRefList::FindItem(bool (*fn)(const void* data, void* context), void* context) {
    return Walk(fn, context);
}

void XRefList::Lock() {
    if (threadSafe_)
        lock_.Lock();
}

bool XRefList::Lock(uint32_t milliseconds) {
    return threadSafe_ && lock_.Lock(milliseconds);
}

void XRefList::Unlock() {
    if (threadSafe_)
        lock_.Unlock();
}
