// SPDX-License-Identifier: MIT

#include "brindle/serialization/XStoreReader.h"

#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"
#include "serialization/StoreLayout.h"
#include "serialization/StoreShape.h"
#include "serialization/ValueIndex.h"

using brindle::LoadWord;
using brindle::ReverseWord;
using brindle::StoreWord;
using brindle::store::kEntryCountAt;
using brindle::store::kHeaderSize;
using brindle::store::kMagic;
using brindle::store::kStringsOffsetAt;
using brindle::store::kSwappedMagic;
using brindle::store::kTotalSizeAt;

namespace {

// Reads the header word at `at` of a buffer whose magic is native or reversed.
uint32_t HeaderWord(const void* data, uint32_t at, bool reversed) {
    const uint32_t word = LoadWord(static_cast<const uint8_t*>(data) + at);
    return reversed ? ReverseWord(word) : word;
}

// Whether `data`, whose magic is native or reversed and which holds at least `totalSize`
// bytes, has a header that the reader can rely on.
bool HeaderIsSound(const void* data, uint32_t totalSize, bool reversed) {
    if (totalSize < kHeaderSize)
        return false;
    return brindle::store::HeaderIsSound(totalSize, HeaderWord(data, kStringsOffsetAt, reversed),
                                         HeaderWord(data, kEntryCountAt, reversed));
}

// The buffer that the reader reads for `data`: `data` itself, or with `copy` a new malloc
// copy of it; null when `data` is null, has neither magic or an unsound header, or the copy
// cannot be allocated. `*reversed` tells whether the magic was the reversed one.
uint8_t* Take(const void* data, bool copy, bool* reversed) {
    if (data == nullptr)
        return nullptr;
    const uint32_t magic = LoadWord(data);
    *reversed = magic == kSwappedMagic;
    if (magic != kMagic && !*reversed)
        return nullptr;
    const uint32_t totalSize = HeaderWord(data, kTotalSizeAt, *reversed);
    if (!HeaderIsSound(data, totalSize, *reversed))
        return nullptr;
    if (!copy)
        return static_cast<uint8_t*>(const_cast<void*>(data));
    uint8_t* buffer = static_cast<uint8_t*>(brindle::Malloc(totalSize));
    if (buffer != nullptr)
        memcpy(buffer, data, totalSize);
    return buffer;
}

// Writes the header of an empty store, in the native byte order, at `header`.
void WriteEmptyStore(uint8_t* header) {
    StoreWord(header + brindle::store::kMagicAt, kMagic);
    StoreWord(header + brindle::store::kReservedAt, 0);
    StoreWord(header + kTotalSizeAt, kHeaderSize);
    StoreWord(header + kStringsOffsetAt, kHeaderSize);
    StoreWord(header + kEntryCountAt, 0);
}

}  // namespace

XStoreReader::XStoreReader(const void* data, bool copy)
    : buffer_(nullptr),
      valueArea_(nullptr),
      entryTable_(nullptr),
      locResolver_(nullptr),
      movResolver_(nullptr),
      ownsBuffer_(false),
      converted_(false),
      values_(nullptr) {
    SetData(data, copy);
}

XStoreReader::XStoreReader(const XStoreReader& other) : XStoreReader() {
    *this = other;
}

XStoreReader& XStoreReader::operator=(const XStoreReader& other) {
    if (this == &other)
        return *this;
    Release();
    locResolver_ = other.locResolver_;
    movResolver_ = other.movResolver_;
    if (other.buffer_ == nullptr)
        return *this;
    uint8_t* buffer = other.buffer_;
    if (other.ownsBuffer_) {
        const uint32_t size = LoadWord(other.buffer_ + kTotalSizeAt);
        buffer = static_cast<uint8_t*>(brindle::Malloc(size));
        if (buffer == nullptr)
            return *this;
        memcpy(buffer, other.buffer_, size);
    }
    Hold(buffer, other.ownsBuffer_);
    converted_ = other.converted_;
    return *this;
}

XStoreReader::~XStoreReader() {
    Release();
}

void XStoreReader::Release() {
    ForgetValues();
    if (ownsBuffer_)
        free(buffer_);
    buffer_ = nullptr;
    valueArea_ = nullptr;
    entryTable_ = nullptr;
    ownsBuffer_ = false;
    converted_ = false;
}

void XStoreReader::ForgetValues() {
    delete values_.exchange(nullptr, std::memory_order_acq_rel);
}

void XStoreReader::Hold(uint8_t* buffer, bool owned) {
    buffer_ = buffer;
    ownsBuffer_ = owned;
    entryTable_ = buffer + kHeaderSize;
    valueArea_ = entryTable_ + LoadWord(buffer + kEntryCountAt) * brindle::store::kEntrySize;
}

void XStoreReader::SetData(const void* data, bool copy) {
    // The new buffer is taken before the old one is freed, so that `data` may lie in the
    // buffer held so far.
    uint8_t* const previous = ownsBuffer_ ? buffer_ : nullptr;
    ownsBuffer_ = false;
    Release();
    bool reversed = false;
    uint8_t* const taken = Take(data, copy, &reversed);
    // Borrowing the very buffer the reader owned keeps it owned.
    const bool keepsPrevious = previous != nullptr && taken == previous;
    if (!keepsPrevious)
        free(previous);
    if (taken == nullptr)
        return;
    Hold(taken, copy || keepsPrevious);
    if (reversed)
        Swap();
}

void XStoreReader::SetAllocatedData(void* data) {
    SetData(data, false);
    if (buffer_ != nullptr)
        ownsBuffer_ = true;
    else
        free(data);
}

void* XStoreReader::GetData_NF(uint32_t* size) {
    const uint32_t total = buffer_ == nullptr ? kHeaderSize : LoadWord(buffer_ + kTotalSizeAt);
    if (size != nullptr)
        *size = total;
    uint8_t* copy = static_cast<uint8_t*>(brindle::Malloc(total));
    if (copy == nullptr)
        return nullptr;
    if (buffer_ == nullptr)
        WriteEmptyStore(copy);
    else
        memcpy(copy, buffer_, total);
    return copy;
}

bool XStoreReader::IsValidData(const void* data, uint32_t length) {
    if (data == nullptr || (length != 0xFFFFFFFF && length < kHeaderSize))
        return false;
    const uint32_t magic = LoadWord(data);
    const bool reversed = magic == kSwappedMagic;
    if (magic != kMagic && !reversed)
        return false;
    if (length == 0xFFFFFFFF)
        return true;
    return HeaderWord(data, kTotalSizeAt, reversed) == length &&
           HeaderIsSound(data, length, reversed) &&
           brindle::store::CheckShape(static_cast<const uint8_t*>(data), reversed, reversed) ==
               brindle::store::Shape::kWellFormed;
}
