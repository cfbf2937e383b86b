// SPDX-License-Identifier: MIT
// Lookups and getters of XStoreReader. Each reads the header afresh through a Layout, so a
// value is found only when it lies inside the buffer.
#include <string.h>

#include "brindle/serialization/XStoreReader.h"
#include "serialization/StoreLayout.h"
#include "serialization/ValueIndex.h"

using brindle::LoadWord;
using brindle::store::Layout;

namespace {

// The record of `name` in the buffer of `layout`, copied out, with its place in the table;
// false when missing.
bool FindEntry(const Layout& layout, const char* name, XStoreEntry* entry, uint32_t* at) {
    if (name == nullptr || !layout.Find(name, at))
        return false;
    *entry = layout.EntryAt(*at);
    return true;
}

// The record of `name` in `buffer` (null: empty reader), copied out; false when missing.
bool FindEntry(const uint8_t* buffer, const char* name, XStoreEntry* entry) {
    uint32_t at;
    return buffer != nullptr && FindEntry(Layout(buffer), name, entry, &at);
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

// The reader's view of a held buffer, for finding texts.
struct TextSource {
    uint8_t* buffer;
    std::atomic<brindle::store::ValueIndex*>* values;
    XSepStrResolver* locResolver;  // null: texts from the strings area
    XSepStrResolver* movResolver;
    bool converted;
};

// The text of value `index` of `entry`, a LocStr or MovStr entry; false when there is none.
bool FindSeparatedText(const TextSource& source, const Layout& layout, const XStoreEntry& entry,
                       uint32_t index, const char** text) {
    const uint64_t at = layout.ValueAt(entry, index);
    if (at == 0)
        return false;
    const uint32_t slot = LoadWord(source.buffer + at);
    XSepStrResolver* resolver =
        entry.type == XStoreTypeLocStr ? source.locResolver : source.movResolver;
    if (resolver != nullptr) {
        *text = resolver->Resolve(slot);
        return true;
    }
    if (layout.StringsOffset() == 0) {
        *text = "";
        return true;
    }
    // Slots of a converted buffer keep the writer's byte order.
    *text = layout.AttachedText(source.converted ? brindle::ReverseWord(slot) : slot);
    return *text != nullptr;
}

// The text of value `index` of the String, LocStr or MovStr entry `name`; false when there
// is none. String values, the common case, are found here; the others out of line. Inlined
// into both getters: a loop reading value after value spends most of its time here.
__attribute__((always_inline)) inline bool FindText(const TextSource& source, const char* name,
                                                    uint32_t index, const char** value) {
    if (source.buffer == nullptr || name == nullptr)
        return false;
    const Layout layout(source.buffer);
    uint32_t entryIndex;
    if (!brindle::store::FindEntryForValue(source.values, layout, name, index, &entryIndex))
        return false;
    const XStoreEntry entry = layout.EntryAt(entryIndex);
    const char* text;
    if (entry.type == XStoreTypeString) {
        const uint64_t at =
            brindle::store::FindValue(source.values, layout, entryIndex, entry, index);
        if (at == 0)
            return false;
        text = reinterpret_cast<const char*>(source.buffer + at);
    } else if (!brindle::store::IsSeparatedType(entry.type) ||
               !FindSeparatedText(source, layout, entry, index, &text)) {
        return false;
    }
    if (value != nullptr)
        *value = text;
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
    return FindText({buffer_, &values_, locResolver_, movResolver_, converted_}, name, index,
                    value);
}

bool XStoreReader::GetBufferString(const char* name, const char** value, uint32_t index) {
    return FindText({buffer_, &values_, nullptr, nullptr, converted_}, name, index, value);
}

bool XStoreReader::GetBlob(const char* name, const void** data, uint32_t* length, uint32_t index) {
    if (buffer_ == nullptr)
        return false;
    const Layout layout(buffer_);
    uint32_t entryIndex;
    if (name == nullptr ||
        !brindle::store::FindEntryForValue(&values_, layout, name, index, &entryIndex))
        return false;
    const XStoreEntry entry = layout.EntryAt(entryIndex);
    if (entry.type != XStoreTypeBlob)
        return false;
    const uint64_t at = brindle::store::FindValue(&values_, layout, entryIndex, entry, index);
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
