// SPDX-License-Identifier: MIT

#include "brindle/serialization/XAKeyBlob.h"

#include <stdlib.h>
#include <string.h>

#include "platform/Alloc.h"
#include "platform/Bytes.h"
#include "serialization/FourByteAlign.h"

namespace {

constexpr uint32_t kEntryStep = 16;
// Mark and count.
constexpr uint32_t kHeaderSize = 8;
// The least an entry takes: a padded empty name and a length word.
constexpr uint32_t kMinimumEntrySize = 8;

// Takes apart the entry that starts at *offset of a flat buffer of size bytes: points entry
// into the buffer and moves *offset past the entry. With swapLength the length word is first
// reversed in place. False when the name's NUL, the length word or the padded blob does not
// lie within size; *offset and the buffer are then as they were.
bool ReadEntry(uint8_t* flat, uint32_t size, uint32_t* offset, bool swapLength, BlobEntry* entry) {
    uint32_t at = *offset;
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(flat + at, 0, size - at));
    if (nul == nullptr)
        return false;
    uint64_t lengthAt = at + brindle::PaddedSize(static_cast<uint64_t>(nul - flat) - at + 1);
    if (lengthAt + sizeof(uint32_t) > size)
        return false;
    uint32_t length = brindle::LoadWord(flat + lengthAt);
    if (swapLength)
        length = brindle::ReverseWord(length);
    uint64_t dataAt = lengthAt + sizeof(uint32_t);
    uint64_t end = dataAt + brindle::PaddedSize(length);
    if (end > size)
        return false;
    if (swapLength)
        brindle::StoreWord(flat + lengthAt, length);
    *entry = BlobEntry{reinterpret_cast<char*>(flat + at), flat + dataAt, length, false, false};
    *offset = static_cast<uint32_t>(end);
    return true;
}

// Copies n bytes to out + *pos, zeroes the padding after them and moves *pos past both.
void PutPadded(uint8_t* out, uint32_t* pos, const void* bytes, uint32_t n) {
    uint32_t padded = static_cast<uint32_t>(brindle::PaddedSize(n));
    if (n != 0)
        memcpy(out + *pos, bytes, n);
    memset(out + *pos + n, 0, padded - n);
    *pos += padded;
}

void ReleaseOwned(BlobEntry* entry) {
    if (entry->ownsName)
        free(entry->blobName);
    if (entry->ownsData)
        free(entry->blobData);
    entry->ownsName = entry->ownsData = false;
}

}  // namespace

XAKeyBlob::XAKeyBlob()
    : flat(nullptr),
      flatSize(0),
      entryCapacity(0),
      entryCount(0),
      entries(static_cast<BlobEntry*>(brindle::Malloc(kEntryStep * sizeof(BlobEntry)))),
      flatValid(false) {
    if (entries != nullptr)
        entryCapacity = kEntryStep;
}

XAKeyBlob::XAKeyBlob(const XAKeyBlob& other) : XAKeyBlob() {
    *this = other;
}

XAKeyBlob& XAKeyBlob::operator=(const XAKeyBlob& other) {
    if (this == &other)
        return *this;
    FreeData();
    flatValid = false;
    for (uint32_t i = 0; i < other.entryCount; ++i) {
        const BlobEntry& entry = other.entries[i];
        if (!StoreBlob(entry.blobName, entry.blobData, entry.blobSize)) {
            FreeData();
            flatValid = false;
            break;
        }
    }
    return *this;
}

XAKeyBlob::~XAKeyBlob() {
    FreeData();
    free(entries);
}

void XAKeyBlob::FreeData() {
    for (uint32_t i = 0; i < entryCount; ++i)
        ReleaseOwned(&entries[i]);
    free(flat);
    flat = nullptr;
    flatSize = 0;
    entryCount = 0;
    flatValid = true;
}

bool XAKeyBlob::SetData(void* data, uint32_t size) {
    // The copy is made before anything is freed: data may lie inside this set.
    uint8_t* copy = nullptr;
    uint32_t mark = 0;
    if (data != nullptr && size >= kHeaderSize) {
        mark = brindle::LoadWord(static_cast<const uint8_t*>(data));
        if (mark == kMark || mark == brindle::ReverseWord(kMark))
            copy = static_cast<uint8_t*>(brindle::Malloc(size));
    }
    if (copy != nullptr)
        memcpy(copy, data, size);
    FreeData();
    if (copy == nullptr)
        return false;
    flat = copy;
    flatSize = size;
    if (mark != kMark)
        Swap();
    if (brindle::LoadWord(flat) != kMark || !ParseFlat()) {
        FreeData();
        return false;
    }
    return true;
}

void XAKeyBlob::Swap() {
    if (flat == nullptr || flatSize < kHeaderSize)
        return;
    brindle::ReverseWordAt(flat + 4);
    uint32_t count = brindle::LoadWord(flat + 4);
    uint32_t offset = kHeaderSize;
    BlobEntry scratch;
    uint32_t converted = 0;
    while (converted < count && ReadEntry(flat, flatSize, &offset, true, &scratch))
        ++converted;
    // The mark turns native only when every entry was converted.
    if (converted == count)
        brindle::ReverseWordAt(flat);
}

bool XAKeyBlob::ParseFlat() {
    uint32_t count = brindle::LoadWord(flat + 4);
    if (count > (flatSize - kHeaderSize) / kMinimumEntrySize)
        return false;
    if (count > entryCapacity) {
        void* grown = brindle::Realloc(entries, size_t{count} * sizeof(BlobEntry));
        if (grown == nullptr)
            return false;
        entries = static_cast<BlobEntry*>(grown);
        entryCapacity = count;
    }
    uint32_t offset = kHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadEntry(flat, flatSize, &offset, false, &entries[i]))
            return false;
        if (i != 0 && strcmp(entries[i - 1].blobName, entries[i].blobName) >= 0)
            return false;
    }
    entryCount = count;
    return true;
}

void* XAKeyBlob::GetData(uint32_t* size) {
    if (size != nullptr)
        *size = 0;
    if (!flatValid) {
        uint64_t total = kHeaderSize;
        for (uint32_t i = 0; i < entryCount; ++i) {
            total += brindle::PaddedSize(strlen(entries[i].blobName) + 1) + sizeof(uint32_t) +
                     brindle::PaddedSize(entries[i].blobSize);
        }
        uint8_t* built =
            total > UINT32_MAX ? nullptr : static_cast<uint8_t*>(brindle::Malloc(total));
        if (built == nullptr)
            return nullptr;
        brindle::StoreWord(built, kMark);
        brindle::StoreWord(built + 4, entryCount);
        uint32_t pos = kHeaderSize;
        for (uint32_t i = 0; i < entryCount; ++i) {
            BlobEntry* entry = &entries[i];
            char* name = reinterpret_cast<char*>(built + pos);
            PutPadded(built, &pos, entry->blobName,
                      static_cast<uint32_t>(strlen(entry->blobName) + 1));
            brindle::StoreWord(built + pos, entry->blobSize);
            pos += sizeof(uint32_t);
            uint8_t* data = built + pos;
            PutPadded(built, &pos, entry->blobData, entry->blobSize);
            // Entries that own nothing point into the old flat buffer, freed only below.
            ReleaseOwned(entry);
            entry->blobName = name;
            entry->blobData = data;
        }
        free(flat);
        flat = built;
        flatSize = pos;
        flatValid = true;
    }
    if (size != nullptr)
        *size = flatSize;
    return flat;
}

bool XAKeyBlob::ReserveEntry() {
    if (entryCount < entryCapacity)
        return true;
    if (entryCapacity > UINT32_MAX - kEntryStep)
        return false;
    uint32_t capacity = entryCapacity + kEntryStep;
    void* grown = brindle::Realloc(entries, size_t{capacity} * sizeof(BlobEntry));
    if (grown == nullptr)
        return false;
    entries = static_cast<BlobEntry*>(grown);
    entryCapacity = capacity;
    return true;
}

bool XAKeyBlob::StoreBlob(const char* name, const void* data, uint32_t size) {
    if (name == nullptr || (data == nullptr && size != 0))
        return false;
    char* nameCopy = brindle::Strdup(name);
    // An empty blob still gets a block of its own, so that its pointer is never null.
    uint8_t* bytes = static_cast<uint8_t*>(brindle::Malloc(size != 0 ? size : 1));
    bool found = false;
    uint32_t pos = InsertPos(name, &found);
    if (nameCopy == nullptr || bytes == nullptr || (!found && !ReserveEntry())) {
        free(nameCopy);
        free(bytes);
        return false;
    }
    if (size != 0)
        memcpy(bytes, data, size);
    if (found) {
        ReleaseOwned(&entries[pos]);
    } else {
        memmove(&entries[pos + 1], &entries[pos], (entryCount - pos) * sizeof(BlobEntry));
        ++entryCount;
    }
    entries[pos] = BlobEntry{nameCopy, bytes, size, true, true};
    flatValid = false;
    return true;
}

void XAKeyBlob::SetBlob(const char* name, void* data, uint32_t size) {
    StoreBlob(name, data, size);
}

void* XAKeyBlob::GetBlob(const char* name, uint32_t* size) {
    bool found = false;
    uint32_t pos = name == nullptr ? 0 : InsertPos(name, &found);
    if (!found)
        return nullptr;
    if (size != nullptr)
        *size = entries[pos].blobSize;
    return entries[pos].blobData;
}

void XAKeyBlob::RemoveBlob(const char* name) {
    bool found = false;
    uint32_t pos = name == nullptr ? 0 : InsertPos(name, &found);
    if (found)
        RemoveIndBlob(pos);
}

const char* XAKeyBlob::GetIndBlobName(uint32_t pos) {
    return pos < entryCount ? entries[pos].blobName : nullptr;
}

const void* XAKeyBlob::GetIndBlob(uint32_t pos, uint32_t* size) {
    if (pos >= entryCount)
        return nullptr;
    if (size != nullptr)
        *size = entries[pos].blobSize;
    return entries[pos].blobData;
}

void XAKeyBlob::RemoveIndBlob(uint32_t pos) {
    if (pos >= entryCount)
        return;
    ReleaseOwned(&entries[pos]);
    --entryCount;
    memmove(&entries[pos], &entries[pos + 1], (entryCount - pos) * sizeof(BlobEntry));
    flatValid = false;
}

uint32_t XAKeyBlob::InsertPos(const char* name, bool* found) {
    // strcmp compares bytes as unsigned char: the order of the flat form.
    uint32_t lo = 0;
    uint32_t hi = entryCount;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        int order = strcmp(name, entries[mid].blobName);
        if (order == 0) {
            *found = true;
            return mid;
        }
        if (order < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    *found = false;
    return lo;
}
