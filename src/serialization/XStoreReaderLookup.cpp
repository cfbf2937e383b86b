// SPDX-License-Identifier: MIT
// Lookups and getters of XStoreReader. Each reads the header afresh through a Layout, so a
// value is found only when it lies inside the buffer.
#include <string.h>

#include "brindle/serialization/XStoreReader.h"
#include "serialization/StoreLayout.h"

using brindle::LoadWord;
using brindle::store::Layout;

namespace {

// The record of `name` in `buffer` (null: empty reader), copied out; false when missing.
bool FindEntry(const uint8_t* buffer, const char* name, XStoreEntry* entry) {
    if (buffer == nullptr || name == nullptr)
        return false;
    const Layout layout(buffer);
    uint32_t index;
    if (!layout.Find(name, &index))
        return false;
    *entry = layout.EntryAt(index);
    return true;
}

// The word of value `index` of the entry `name`, which must have type `type`.
bool FindWord(const uint8_t* buffer, const char* name, XStoreType type, uint32_t index,
              uint32_t* word) {
    XStoreEntry entry;
    if (!FindEntry(buffer, name, &entry) || entry.type != type)
        return false;
    const uint64_t at = Layout(buffer).ValueAt(entry, index);
    if (at == 0)
        return false;
    *word = LoadWord(buffer + at);
    return true;
}

}  // namespace

XStoreEntry* XStoreReader::Entry(const char* name) {
    if (buffer_ == nullptr || name == nullptr)
        return nullptr;
    uint32_t index;
    if (!Layout(buffer_).Find(name, &index))
        return nullptr;
    return reinterpret_cast<XStoreEntry*>(entryTable_ + index * sizeof(XStoreEntry));
}

uint32_t XStoreReader::EntryCount() {
    return buffer_ == nullptr ? 0 : Layout(buffer_).EntryCount();
}

const char* XStoreReader::IndEntry(uint32_t index, XStoreType* type) {
    if (buffer_ == nullptr)
        return nullptr;
    const Layout layout(buffer_);
    if (index >= layout.EntryCount())
        return nullptr;
    const XStoreEntry entry = layout.EntryAt(index);
    const char* name = layout.Name(entry);
    if (name != nullptr && type != nullptr)
        *type = entry.type;
    return name;
}

uint32_t XStoreReader::ValueCount(const char* name) {
    XStoreEntry entry;
    return FindEntry(buffer_, name, &entry) ? entry.valueCount : 0;
}

XStoreType XStoreReader::EntryType(const char* name) {
    XStoreEntry entry;
    return FindEntry(buffer_, name, &entry) ? entry.type : XStoreTypeNone;
}

bool XStoreReader::GetInt(const char* name, int32_t* value, uint32_t index) {
    uint32_t word;
    if (!FindWord(buffer_, name, XStoreTypeInt, index, &word))
        return false;
    if (value != nullptr)
        *value = static_cast<int32_t>(word);
    return true;
}

bool XStoreReader::GetFloat(const char* name, float* value, uint32_t index) {
    uint32_t word;
    if (!FindWord(buffer_, name, XStoreTypeFloat, index, &word))
        return false;
    if (value != nullptr)
        memcpy(value, &word, sizeof word);
    return true;
}

bool XStoreReader::GetBool(const char* name, bool* value, uint32_t index) {
    uint32_t word;
    if (!FindWord(buffer_, name, XStoreTypeBool, index, &word))
        return false;
    if (value != nullptr)
        *value = word != 0;
    return true;
}

bool XStoreReader::GetString(const char* name, const char** value, uint32_t index) {
    return GetText(name, value, index, true);
}

bool XStoreReader::GetBufferString(const char* name, const char** value, uint32_t index) {
    return GetText(name, value, index, false);
}

bool XStoreReader::GetText(const char* name, const char** value, uint32_t index, bool resolve) {
    XStoreEntry entry;
    if (!FindEntry(buffer_, name, &entry))
        return false;
    const Layout layout(buffer_);
    const char* text = nullptr;
    if (entry.type == XStoreTypeString) {
        const uint64_t at = layout.ValueAt(entry, index);
        if (at == 0)
            return false;
        text = reinterpret_cast<const char*>(buffer_ + at);
    } else if (brindle::store::IsSeparatedType(entry.type)) {
        const uint64_t at = layout.ValueAt(entry, index);
        if (at == 0)
            return false;
        const uint32_t slot = LoadWord(buffer_ + at);
        XSepStrResolver* resolver = entry.type == XStoreTypeLocStr ? locResolver_ : movResolver_;
        if (resolve && resolver != nullptr) {
            text = resolver->Resolve(slot);
        } else if (layout.StringsOffset() == 0) {
            text = "";
        } else {
            // Slots of a converted buffer keep the writer's byte order.
            text = layout.AttachedText(converted_ ? brindle::ReverseWord(slot) : slot);
            if (text == nullptr)
                return false;
        }
    } else {
        return false;
    }
    if (value != nullptr)
        *value = text;
    return true;
}

bool XStoreReader::GetBlob(const char* name, const void** data, uint32_t* length, uint32_t index) {
    XStoreEntry entry;
    if (!FindEntry(buffer_, name, &entry) || entry.type != XStoreTypeBlob)
        return false;
    const uint64_t at = Layout(buffer_).ValueAt(entry, index);
    if (at == 0)
        return false;
    if (length != nullptr)
        *length = LoadWord(buffer_ + at);
    if (data != nullptr)
        *data = buffer_ + at + 4;
    return true;
}

int32_t XStoreReader::ReadInt(const char* name, int32_t defaultValue, uint32_t index) {
    int32_t value;
    return GetInt(name, &value, index) ? value : defaultValue;
}

bool XStoreReader::ReadBool(const char* name, bool defaultValue, uint32_t index) {
    bool value;
    return GetBool(name, &value, index) ? value : defaultValue;
}

float XStoreReader::ReadFloat(const char* name, float defaultValue, uint32_t index) {
    float value;
    return GetFloat(name, &value, index) ? value : defaultValue;
}

const char* XStoreReader::ReadString(const char* name, const char* defaultValue, uint32_t index) {
    const char* value;
    return GetString(name, &value, index) ? value : defaultValue;
}

const void* XStoreReader::ReadBlob(const char* name, uint32_t* length, uint32_t index) {
    const void* data;
    return GetBlob(name, &data, length, index) ? data : nullptr;
}

int32_t XStoreReader::GetBlobLen(const char* name, uint32_t index) {
    uint32_t length;
    return GetBlob(name, nullptr, &length, index) ? static_cast<int32_t>(length) : -1;
}
