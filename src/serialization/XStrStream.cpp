// SPDX-License-Identifier: MIT

#include "brindle/serialization/XStrStream.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"

namespace {

// Smallest capacity: one character of text and its NUL.
constexpr uint32_t kMinimumSize = 2;

// Room for any float in fixed notation: 39 integer digits, a sign, the point, six decimals.
constexpr size_t kNumberText = 64;

}  // namespace

XStrStream::XStrStream(uint32_t initSize)
    : initSize(initSize < kMinimumSize ? kMinimumSize : initSize),
      length(0),
      capacity(0),
      buffer(nullptr) {
    StartOver();
}

XStrStream::XStrStream(const XStrStream& other)
    : initSize(other.initSize), length(0), capacity(0), buffer(nullptr) {
    *this = other;
}

XStrStream& XStrStream::operator=(const XStrStream& other) {
    if (this == &other)
        return *this;
    char* copy = nullptr;
    if (other.capacity != 0) {
        copy = static_cast<char*>(brindle::Malloc(other.capacity));
        if (copy != nullptr)
            memcpy(copy, other.buffer, other.length);
    }
    free(buffer);
    buffer = copy;
    initSize = other.initSize;
    capacity = copy == nullptr ? 0 : other.capacity;
    length = copy == nullptr ? 0 : other.length;
    return *this;
}

XStrStream::~XStrStream() {
    free(buffer);
}

void XStrStream::StartOver() {
    length = 0;
    buffer = static_cast<char*>(brindle::Malloc(initSize));
    capacity = buffer == nullptr ? 0 : initSize;
}

const char* XStrStream::Buffer(uint32_t* len) {
    if (len != nullptr)
        *len = length;
    if (buffer == nullptr)
        return "";
    buffer[length] = '\0';
    return buffer;
}

char* XStrStream::RetreiveBuffer_NF(uint32_t* len) {
    if (len != nullptr)
        *len = length;
    char* text = buffer;
    if (text != nullptr)
        text[length] = '\0';
    StartOver();
    return text;
}

void XStrStream::Reset() {
    length = 0;
    void* block = brindle::Realloc(buffer, initSize);
    if (block == nullptr)
        return;
    buffer = static_cast<char*>(block);
    capacity = initSize;
}

int32_t XStrStream::Write(const char* text, uint32_t n) {
    if (text == nullptr && n != 0)
        return -1;
    uint64_t needed = uint64_t{length} + n + 1;
    if (needed >= capacity) {
        uint64_t step = (capacity & ~uint32_t{3}) < 4096 ? 1024 : capacity / 4;
        uint64_t grown = (step + needed) / step * step;
        // Text taken from the stream's own buffer moves with it.
        uintptr_t offset = reinterpret_cast<uintptr_t>(text) - reinterpret_cast<uintptr_t>(buffer);
        bool own = buffer != nullptr && offset < capacity;
        void* block = grown > UINT32_MAX ? nullptr : brindle::Realloc(buffer, grown);
        if (block == nullptr)
            return -1;
        buffer = static_cast<char*>(block);
        capacity = static_cast<uint32_t>(grown);
        if (own)
            text = buffer + offset;
    }
    if (n != 0)
        memmove(buffer + length, text, n);
    length += n;
    return 0;
}

int32_t XStrStream::WriteStr(const char* str) {
    if (str == nullptr)
        return 0;
    size_t n = strlen(str);
    return n > UINT32_MAX ? -1 : Write(str, static_cast<uint32_t>(n));
}

int32_t XStrStream::WriteBool(bool b) {
    return b ? Write("true", 4) : Write("false", 5);
}

int32_t XStrStream::WriteInt(int32_t value) {
    char text[kNumberText];
    int n = snprintf(text, sizeof text, "%" PRId32, value);
    return Write(text, static_cast<uint32_t>(n));
}

int32_t XStrStream::WriteHex(int32_t value) {
    char text[kNumberText];
    int n = snprintf(text, sizeof text, "0x%" PRIX32, static_cast<uint32_t>(value));
    return Write(text, static_cast<uint32_t>(n));
}

int32_t XStrStream::WriteFloat(float value) {
    char text[kNumberText];
    int n = snprintf(text, sizeof text, "%f", static_cast<double>(value));
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return -1;
    return Write(text, static_cast<uint32_t>(n));
}
