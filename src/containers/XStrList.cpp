// SPDX-License-Identifier: MIT

#include "brindle/containers/XStrList.h"

#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"

XStrList::XStrList(bool ownsStrings) : ownsStrings_(ownsStrings) {}

XStrList::XStrList(const XStrList& other) : XList(other.Count()), ownsStrings_(other.ownsStrings_) {
    CopyStrings(other);
}

XStrList& XStrList::operator=(const XStrList& other) {
    if (this == &other)
        return *this;
    Empty();
    ownsStrings_ = other.ownsStrings_;
    CopyStrings(other);
    return *this;
}

XStrList::~XStrList() {
    XStrList::Empty();
}

void XStrList::CopyStrings(const XStrList& other) {
    for (uint32_t i = 0; i < other.Count(); ++i) {
        char* s = static_cast<char*>(other.GetItem(i));
        uint32_t added = s == nullptr ? AddItem(nullptr) : AddStr(s, -1);
        if (added == kNoIndex) {
            Empty();
            return;
        }
    }
}

void XStrList::Empty() {
    if (!ownsStrings_) {
        XList::Empty();
        return;
    }
    while (Count() > 0) {
        char* last = static_cast<char*>(GetItem(Count() - 1));
        RemoveItem(Count() - 1);
        free(last);
    }
}

uint32_t XStrList::AddStr(const char* s, int32_t n) {
    if (s == nullptr)
        return kNoIndex;
    if (!ownsStrings_)
        return AddItem(const_cast<char*>(s));
    char* copy;
    if (n < 0) {
        copy = brindle::Strdup(s);
    } else {
        // Stop at a NUL among the n bytes, so a short text is never read past its end.
        size_t length = strnlen(s, static_cast<size_t>(n));
        copy = static_cast<char*>(brindle::Malloc(length + 1));
        if (copy != nullptr) {
            memcpy(copy, s, length);
            copy[length] = '\0';
        }
    }
    if (copy == nullptr)
        return kNoIndex;
    uint32_t index = AddItem(copy);
    if (index == kNoIndex)
        free(copy);
    return index;
}

uint32_t XStrList::AddAllocatedStr(const char* s) {
    return s != nullptr ? AddItem(const_cast<char*>(s)) : kNoIndex;
}

uint32_t XStrList::IndexOfStr(const char* s) const {
    if (s == nullptr)
        return kNoIndex;
    for (uint32_t i = 0; i < Count(); ++i) {
        const char* item = static_cast<const char*>(GetItem(i));
        if (item != nullptr && strcmp(item, s) == 0)
            return i;
    }
    return kNoIndex;
}

bool XStrList::RemoveStr(const char* s) {
    return RemoveStr(IndexOfStr(s));
}

bool XStrList::RemoveStr(uint32_t index) {
    if (index >= Count())
        return false;
    char* s = RemoveWithoutFreeingStr(index);
    if (ownsStrings_)
        free(s);
    return true;
}

char* XStrList::RemoveWithoutFreeingStr(uint32_t index) {
    if (index >= Count())
        return nullptr;
    char* s = static_cast<char*>(GetItem(index));
    RemoveItem(index);
    return s;
}

char* XStrList::GetStr(uint32_t index) const {
    return index < Count() ? static_cast<char*>(GetItem(index)) : nullptr;
}
