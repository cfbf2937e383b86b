// SPDX-License-Identifier: MIT

#include "brindle/serialization/XInput.h"

#include <string.h>

#include "brindle/serialization/XOutput.h"
#include "platform/Bytes.h"
#include "serialization/FourByteAlign.h"

namespace {

constexpr uint32_t kSwappedMark = 0x4D525453;

}  // namespace

XInput::XInput() : readPos(0), dataLen(0), dataPtr(nullptr), swapBytes(false), overrun(true) {}

XInput::XInput(const void* data, uint32_t len) : XInput() {
    SetData(data, len);
}

XInput::~XInput() = default;

bool XInput::IsDataValid(const void* data) {
    if (data == nullptr)
        return false;
    uint32_t mark = brindle::LoadWord(data);
    return mark == XOutput::kMark || mark == kSwappedMark;
}

bool XInput::IsDataValid(const void* data, uint32_t len) {
    return len >= sizeof(uint32_t) && IsDataValid(data);
}

void XInput::SetData(const void* data, uint32_t len) {
    dataPtr = static_cast<const uint8_t*>(data);
    dataLen = len;
    readPos = sizeof(uint32_t);
    overrun = data == nullptr || len < sizeof(uint32_t);
    swapBytes = !overrun && brindle::LoadWord(data) == kSwappedMark;
}

uint32_t XInput::ReadInt() {
    if (overrun || dataLen - readPos < sizeof(uint32_t)) {
        Refuse();
        return 0;
    }
    uint32_t value = brindle::LoadWord(dataPtr + readPos);
    readPos += sizeof value;
    return swapBytes ? brindle::ReverseWord(value) : value;
}

const char* XInput::ReadStr() {
    const void* nul = overrun ? nullptr : memchr(dataPtr + readPos, 0, dataLen - readPos);
    if (nul == nullptr) {
        Refuse();
        return "";
    }
    const char* text = reinterpret_cast<const char*>(dataPtr + readPos);
    uint32_t length = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - dataPtr) - readPos;
    uint64_t next = readPos + brindle::PaddedSize(uint64_t{length} + 1);
    // A stream whose last string lacks its padding ends right after the NUL.
    readPos = next < dataLen ? static_cast<uint32_t>(next) : dataLen;
    return text;
}

void* XInput::ReadData(uint32_t len) {
    if (overrun || dataLen - readPos < len) {
        Refuse();
        return nullptr;
    }
    void* bytes = const_cast<uint8_t*>(dataPtr + readPos);
    uint64_t next = readPos + brindle::PaddedSize(len);
    readPos = next < dataLen ? static_cast<uint32_t>(next) : dataLen;
    return bytes;
}

bool XInput::ReadBool() {
    return ReadInt() != 0;
}
