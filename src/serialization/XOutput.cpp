// SPDX-License-Identifier: MIT

#include "brindle/serialization/XOutput.h"

#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"
#include "serialization/FourByteAlign.h"

namespace {

constexpr uint32_t kMinimumSize = 1024;

}  // namespace

XOutput::XOutput(uint32_t initSize)
    : initSize(initSize < kMinimumSize ? kMinimumSize : initSize),
      writePos(0),
      capacity(0),
      buffer(nullptr),
      error(0),
      highWater(0) {
    Reset();
}

XOutput::XOutput(const XOutput& other)
    : initSize(other.initSize), writePos(0), capacity(0), buffer(nullptr), error(0), highWater(0) {
    *this = other;
}

XOutput& XOutput::operator=(const XOutput& other) {
    if (this == &other)
        return *this;
    initSize = other.initSize;
    if (other.error != 0) {
        Fail();
        return *this;
    }
    uint8_t* copy = static_cast<uint8_t*>(brindle::Malloc(other.capacity));
    if (copy == nullptr) {
        Fail();
        return *this;
    }
    memcpy(copy, other.buffer, other.highWater);
    free(buffer);
    buffer = copy;
    capacity = other.capacity;
    writePos = other.writePos;
    highWater = other.highWater;
    error = 0;
    return *this;
}

XOutput::~XOutput() {
    free(buffer);
}

void XOutput::Fail() {
    free(buffer);
    buffer = nullptr;
    capacity = writePos = highWater = 0;
    error = -1;
}

void* XOutput::GetData(uint32_t* len) {
    if (error != 0) {
        if (len != nullptr)
            *len = 0;
        return nullptr;
    }
    if (len != nullptr)
        *len = writePos;
    return buffer;
}

void XOutput::Reset() {
    free(buffer);
    buffer = static_cast<uint8_t*>(brindle::Malloc(initSize));
    if (buffer == nullptr) {
        Fail();
        return;
    }
    capacity = initSize;
    memcpy(buffer, &kMark, sizeof kMark);
    writePos = highWater = sizeof kMark;
}

bool XOutput::Reserve(uint64_t need) {
    if (need <= capacity)
        return true;
    // The smallest multiple of 1024 above the need; a stream cannot pass 4 GiB.
    const uint64_t grown = (need + 1024) & ~uint64_t{1023};
    void* block = grown > UINT32_MAX ? nullptr : brindle::Realloc(buffer, grown);
    if (block == nullptr) {
        Fail();
        return false;
    }
    buffer = static_cast<uint8_t*>(block);
    capacity = static_cast<uint32_t>(grown);
    return true;
}

void XOutput::Write(void* bytes, uint32_t len) {
    if (error != 0)
        return;
    if (bytes == nullptr && len != 0) {
        Fail();
        return;
    }
    const uint64_t need = uint64_t{writePos} + brindle::PaddedSize(len);
    // Bytes taken from the stream's own buffer move with it when it grows.
    const uintptr_t offset =
        reinterpret_cast<uintptr_t>(bytes) - reinterpret_cast<uintptr_t>(buffer);
    const bool own = offset < capacity;
    if (!Reserve(need))
        return;
    if (own)
        bytes = buffer + offset;
    if (len != 0)
        memmove(buffer + writePos, bytes, len);
    memset(buffer + writePos + len, 0, need - writePos - len);
    writePos = static_cast<uint32_t>(need);
    if (writePos > highWater)
        highWater = writePos;
}

void XOutput::WriteInt(uint32_t value) {
    Write(&value, sizeof value);
}

void XOutput::WriteBool(uint32_t value) {
    WriteInt(value);
}

void XOutput::WriteStr(const char* str) {
    char empty = '\0';
    char* text = str == nullptr ? &empty : const_cast<char*>(str);
    size_t length = strlen(text);
    if (length >= UINT32_MAX) {
        Fail();
        return;
    }
    Write(text, static_cast<uint32_t>(length + 1));
}

void XOutput::SetOffset(uint32_t offset) {
    if (error != 0)
        return;
    if (offset > highWater) {
        if (!Reserve(offset))
            return;
        memset(buffer + highWater, 0, offset - highWater);
        highWater = offset;
    }
    writePos = offset;
}
