// SPDX-License-Identifier: MIT

#include "brindle/containers/XList.h"

#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"

XList::XList(uint32_t capacity) : capacity_(capacity), count_(0), items_(nullptr) {
    if (capacity_ != 0) {
        items_ = static_cast<void**>(brindle::Malloc(size_t{capacity_} * sizeof(void*)));
        if (items_ == nullptr)
            capacity_ = 0;
    }
}

XList::XList(const XList& other) : capacity_(0), count_(0), items_(nullptr) {
    *this = other;
}

XList& XList::operator=(const XList& other) {
    if (this == &other)
        return *this;
    void** copy = nullptr;
    if (other.count_ != 0) {
        copy = static_cast<void**>(brindle::Malloc(size_t{other.count_} * sizeof(void*)));
        if (copy == nullptr) {
            free(items_);
            items_ = nullptr;
            capacity_ = count_ = 0;
            return *this;
        }
        memcpy(copy, other.items_, size_t{other.count_} * sizeof(void*));
    }
    free(items_);
    items_ = copy;
    capacity_ = count_ = other.count_;
    return *this;
}

XList::~XList() {
    XList::Empty();
    free(items_);
}

void XList::Empty() {
    count_ = 0;
}

bool XList::Grow() {
    uint32_t step = capacity_ < 128 ? 16 : capacity_ / 8;
    if (capacity_ > kNoIndex - 1 - step)
        return false;
    uint32_t capacity = capacity_ + step;
    void* grown = brindle::Realloc(items_, size_t{capacity} * sizeof(void*));
    if (grown == nullptr)
        return false;
    items_ = static_cast<void**>(grown);
    capacity_ = capacity;
    return true;
}

uint32_t XList::AddItem(void* item) {
    if (count_ == capacity_ && !Grow())
        return kNoIndex;
    items_[count_] = item;
    return count_++;
}

uint32_t XList::InsertItem(void* item, uint32_t index) {
    if (index >= count_)
        return AddItem(item);
    if (count_ == capacity_ && !Grow())
        return kNoIndex;
    memmove(items_ + index + 1, items_ + index, size_t{count_ - index} * sizeof(void*));
    items_[index] = item;
    ++count_;
    return index;
}

bool XList::RemoveItem(uint32_t index) {
    if (index >= count_)
        return false;
    memmove(items_ + index, items_ + index + 1, size_t{count_ - index - 1} * sizeof(void*));
    --count_;
    return true;
}

bool XList::RemoveItemByValue(void* item) {
    return RemoveItem(IndexOf(item));
}

bool XList::RemoveFirstItem() {
    return RemoveItem(0);
}

uint32_t XList::IndexOf(void* item) const {
    for (uint32_t i = 0; i < count_; ++i) {
        if (items_[i] == item)
            return i;
    }
    return kNoIndex;
}

void XList::DoForEach(void (*fn)(const void* item, void* context), void* context) {
    for (uint32_t i = count_; i-- > 0;) {
        // An earlier callback may have removed items after this one.
        if (i >= count_)
            continue;
        fn(items_[i], context);
    }
}

uint32_t XList::FindItem(bool (*fn)(const void* item, void* context), void* context) {
    for (uint32_t i = 0; i < count_; ++i) {
        if (fn(items_[i], context))
            return i;
    }
    return kNoIndex;
}
