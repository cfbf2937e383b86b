// SPDX-License-Identifier: MIT

#include "brindle/serialization/XStore.h"

#include <stdlib.h>
#include <string.h>

#include "brindle/containers/XList.h"
#include "platform/Alloc.h"
#include "serialization/EditableForm.h"
#include "serialization/StoreLayout.h"
#include "serialization/StoreRecords.h"
#include "serialization/StoreShape.h"

using brindle::LoadWord;
using brindle::StoreWord;
using brindle::store::AppendValue;
using brindle::store::BlobFootprint;
using brindle::store::EditableForm;
using brindle::store::HoldsList;
using brindle::store::IsKnownType;
using brindle::store::kEntrySize;
using brindle::store::kHeaderSize;
using brindle::store::Layout;
using brindle::store::OwnsValues;
using brindle::store::ReleaseValue;
using brindle::store::ReleaseValues;
using brindle::store::TextFootprint;
using brindle::store::ValueList;
using brindle::store::ValueOf;
using brindle::store::WordOf;
using brindle::store::WordValue;

namespace {

// --- Values --------------------------------------------------------------------------------

// A malloc block holding `length` and then the bytes; null when memory runs out.
void* NewBlobBlock(const void* data, uint32_t length) {
    uint8_t* block = static_cast<uint8_t*>(brindle::Malloc(size_t{length} + 4));
    if (block != nullptr) {
        StoreWord(block, length);
        if (length != 0)
            memcpy(block + 4, data, length);
    }
    return block;
}

void* FloatValue(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return WordValue(bits);
}

// A blob block for the Add and Set functions; null for a length the length word cannot
// stand beside, for missing data, or when memory runs out.
void* BlobArgument(const void* data, uint32_t length) {
    if (length > 0xFFFFFFFF - 4 || (data == nullptr && length != 0))
        return nullptr;
    return NewBlobBlock(data, length);
}

// --- Flattening ----------------------------------------------------------------------------

// Lays the records of a sorted list out in the flattened format. The same walk measures
// (with no buffer) and writes, so the two passes cannot disagree. Every piece is written
// with its padding zeroed, so the bytes handed out never depend on what the allocation held.
class Flattener {
  public:
    // buffer: null to measure only; otherwise room for the measured size, with the strings
    // area starting at `stringsStart`.
    Flattener(uint8_t* buffer, uint32_t entryCount, uint64_t stringsStart)
        : buffer_(buffer),
          tableStart_(kHeaderSize),
          valueStart_(kHeaderSize + uint64_t{entryCount} * kEntrySize),
          stringsStart_(stringsStart) {}

    void Record(uint32_t index, const char* name, const XStoreRecord& record) {
        const uint64_t entry = tableStart_ + uint64_t{index} * kEntrySize;
        Word(entry, static_cast<uint32_t>(values_));
        // An entry kept without its values (of a type the library does not know) is written
        // with none, so that the count never promises bytes that are not there.
        Word(entry + 4, IsKnownType(record.type) ? record.valueCount : 0);
        Word(entry + 8, static_cast<uint32_t>(record.type));
        values_ += Text(valueStart_ + values_, name);
        Word(entry + 12, static_cast<uint32_t>(values_));
        if (!IsKnownType(record.type))
            return;
        for (uint32_t i = 0; i < record.valueCount; ++i) {
            const void* value = ValueOf(record, i);
            switch (record.type) {
                case XStoreTypeString:
                    values_ += Text(valueStart_ + values_, static_cast<const char*>(value));
                    break;
                case XStoreTypeBlob:
                    values_ += Blob(valueStart_ + values_, static_cast<const uint8_t*>(value));
                    break;
                case XStoreTypeLocStr:
                case XStoreTypeMovStr:
                    Word(valueStart_ + values_, static_cast<uint32_t>(strings_));
                    values_ += 4;
                    strings_ += Text(stringsStart_ + strings_, static_cast<const char*>(value));
                    break;
                default:
                    Word(valueStart_ + values_, WordOf(value));
                    values_ += 4;
                    break;
            }
        }
    }

    // Sizes of header, table and value area together, and of the strings area.
    uint64_t MainSize() const { return valueStart_ + values_; }
    uint64_t StringsSize() const { return strings_; }

  private:
    // Writes a word at `offset`; measuring skips it.
    void Word(uint64_t offset, uint32_t word) {
        if (buffer_ != nullptr)
            StoreWord(buffer_ + offset, word);
    }
    // Writes a text, its NUL and zeroed padding at `offset`; returns the room taken.
    uint64_t Text(uint64_t offset, const char* text) {
        const size_t length = strlen(text);
        const uint64_t room = TextFootprint(length);
        if (buffer_ != nullptr) {
            StoreWord(buffer_ + offset + room - 4, 0);
            memcpy(buffer_ + offset, text, length + 1);
        }
        return room;
    }
    // Writes a blob block (length word and bytes) and zeroed padding; returns the room taken.
    uint64_t Blob(uint64_t offset, const uint8_t* block) {
        const uint32_t length = LoadWord(block);
        const uint64_t room = BlobFootprint(length);
        if (buffer_ != nullptr) {
            StoreWord(buffer_ + offset + room - 4, 0);
            memcpy(buffer_ + offset, block, size_t{length} + 4);
        }
        return room;
    }

    uint8_t* buffer_;
    uint64_t tableStart_;
    uint64_t valueStart_;
    uint64_t stringsStart_;
    uint64_t values_ = 0;
    uint64_t strings_ = 0;
};

// What the editable form holds for a LocStr or MovStr value of the buffer: the text in the
// strings area while attached (a slot of a converted buffer is reversed first, as the reader
// does); once detached, the resolver's text for the slot as stored, or "".
const char* SeparatedText(const Layout& layout, uint32_t storedSlot, bool converted,
                          XSepStrResolver* resolver) {
    if (layout.StringsOffset() != 0) {
        const uint32_t slot = converted ? brindle::ReverseWord(storedSlot) : storedSlot;
        const char* text = layout.AttachedText(slot);
        return text == nullptr ? "" : text;
    }
    const char* text = resolver == nullptr ? nullptr : resolver->Resolve(storedSlot);
    return text == nullptr ? "" : text;
}

// Copies the values of `entry` out of the buffer into `record`, whose count is above 0: one
// value itself, more into a list. LocStr and MovStr texts come from the strings area while
// attached, else from `resolver`. False, with nothing left allocated, when memory runs out.
bool CopyValues(const Layout& layout, const XStoreEntry& entry, bool converted,
                XSepStrResolver* resolver, XStoreRecord* record) {
    if (entry.valueCount > 1) {
        record->value = brindle::New<XList>(entry.valueCount);
        if (record->value == nullptr)
            return false;
    }
    uint64_t at = layout.ValuesStart(entry);
    for (uint32_t k = 0; k < entry.valueCount; ++k) {
        const uint8_t* raw = layout.At(at);
        void* value;
        switch (entry.type) {
            case XStoreTypeString:
                value = brindle::Strdup(reinterpret_cast<const char*>(raw));
                break;
            case XStoreTypeBlob:
                value = NewBlobBlock(raw + 4, LoadWord(raw));
                break;
            case XStoreTypeLocStr:
            case XStoreTypeMovStr:
                value = brindle::Strdup(SeparatedText(layout, LoadWord(raw), converted, resolver));
                break;
            default:
                value = WordValue(LoadWord(raw));
                break;
        }
        at += brindle::store::IsWordType(entry.type) ? 4 : layout.VariableFootprint(entry.type, at);
        if (value == nullptr && OwnsValues(entry.type)) {
            ReleaseValues(*record);
            return false;
        }
        if (entry.valueCount == 1) {
            record->value = value;
        } else if (ValueList(*record)->AddItem(value) == XList::kNoIndex) {
            ReleaseValue(entry.type, value);
            ReleaseValues(*record);
            return false;
        }
    }
    return true;
}

// Fills `form` with the entries of `buffer` (converted if `converted`), taking detached LocStr
// and MovStr texts from the resolvers; false when the buffer cannot be unflattened whole or
// memory runs out.
bool UnflattenInto(const uint8_t* buffer, bool converted, XSepStrResolver* locResolver,
                   XSepStrResolver* movResolver, EditableForm* form) {
    // Only a buffer whose every piece lies inside it once is taken: so each entry is kept
    // whole, and copying costs no more than the buffer's size.
    const brindle::store::Shape shape = brindle::store::CheckShape(buffer, false, converted);
    if (shape == brindle::store::Shape::kMalformed)
        return false;
    const Layout layout(buffer);
    if (!form->Reserve(layout.EntryCount()))
        return false;
    for (uint32_t i = 0; i < layout.EntryCount(); ++i) {
        const XStoreEntry entry = layout.EntryAt(i);
        XStoreRecord record = {entry.valueCount, entry.type, nullptr};
        XSepStrResolver* resolver = entry.type == XStoreTypeLocStr ? locResolver : movResolver;
        if (IsKnownType(entry.type) && entry.valueCount != 0 &&
            !CopyValues(layout, entry, converted, resolver, &record))
            return false;
        if (!form->Append(layout.Name(entry), record)) {
            ReleaseValues(record);
            return false;
        }
    }
    // Names out of order are sorted; a repeated name cannot be kept.
    return shape == brindle::store::Shape::kWellFormed || !form->HasRepeatedName();
}

}  // namespace

// --- Construction and buffers --------------------------------------------------------------

XStore::XStore(const void* data, bool copy)
    : XStoreReader(data, copy), editable_(nullptr), version_(0) {}

XStore::~XStore() {
    XStore::SetData(nullptr, true);
}

void XStore::SetData(const void* data, bool copy) {
    delete editable_;
    editable_ = nullptr;
    XStoreReader::SetData(data, copy);
    ++version_;
}

void XStore::SetEmpty() {
    SetData(nullptr, true);
}

void XStore::DetachStrings(XSepStrRecorder*, XSepStrRecorder*) {}

void* XStore::GetData_NF(uint32_t* size) {
    if (editable_ == nullptr)
        return XStoreReader::GetData_NF(size);
    const uint32_t count = editable_->Count();
    Flattener measure(nullptr, count, 0);
    for (uint32_t i = 0; i < count; ++i)
        measure.Record(i, editable_->NameAt(i), *editable_->RecordAt(i));
    const uint64_t main = measure.MainSize();
    const uint64_t total = main + measure.StringsSize();
    if (total > 0xFFFFFFFF) {
        if (size != nullptr)
            *size = 0;
        return nullptr;
    }
    if (size != nullptr)
        *size = static_cast<uint32_t>(total);
    uint8_t* buffer = static_cast<uint8_t*>(brindle::Malloc(total));
    if (buffer == nullptr)
        return nullptr;
    StoreWord(buffer + brindle::store::kMagicAt, brindle::store::kMagic);
    StoreWord(buffer + brindle::store::kReservedAt, 0);
    StoreWord(buffer + brindle::store::kTotalSizeAt, static_cast<uint32_t>(total));
    StoreWord(buffer + brindle::store::kStringsOffsetAt, static_cast<uint32_t>(main));
    StoreWord(buffer + brindle::store::kEntryCountAt, count);
    Flattener write(buffer, count, main);
    for (uint32_t i = 0; i < count; ++i)
        write.Record(i, editable_->NameAt(i), *editable_->RecordAt(i));
    return buffer;
}

// --- Unflattening --------------------------------------------------------------------------

void XStore::Unflatten() {
    if (editable_ != nullptr)
        return;
    EditableForm* form = brindle::New<EditableForm>();
    if (form == nullptr)
        return;
    if (buffer_ != nullptr &&
        !UnflattenInto(buffer_, converted_, locResolver_, movResolver_, form)) {
        delete form;
        return;
    }
    editable_ = form;
}

bool XStore::MakeEditable() {
    if (editable_ == nullptr)
        Unflatten();
    return editable_ != nullptr;
}

// --- Reading -------------------------------------------------------------------------------

XStoreRecord* XStore::FindRecord(const char* name) {
    if (editable_ == nullptr || name == nullptr)
        return nullptr;
    return editable_->Find(name);
}

uint32_t XStore::EntryCount() {
    return editable_ == nullptr ? XStoreReader::EntryCount() : editable_->Count();
}

const char* XStore::IndEntry(uint32_t index, XStoreType* type) {
    if (editable_ == nullptr)
        return XStoreReader::IndEntry(index, type);
    if (index >= editable_->Count())
        return nullptr;
    if (type != nullptr)
        *type = editable_->RecordAt(index)->type;
    return editable_->NameAt(index);
}

uint32_t XStore::ValueCount(const char* name) {
    if (editable_ == nullptr)
        return XStoreReader::ValueCount(name);
    const XStoreRecord* record = FindRecord(name);
    return record == nullptr ? 0 : record->valueCount;
}

XStoreType XStore::EntryType(const char* name) {
    if (editable_ == nullptr)
        return XStoreReader::EntryType(name);
    const XStoreRecord* record = FindRecord(name);
    return record == nullptr ? XStoreTypeNone : record->type;
}

bool XStore::GetVal(const char* name, XStoreType type, void** value, uint32_t index) {
    const XStoreRecord* record = FindRecord(name);
    if (record == nullptr || record->type != type || index >= record->valueCount ||
        !IsKnownType(type))
        return false;
    *value = ValueOf(*record, index);
    return true;
}

bool XStore::GetWord(const char* name, XStoreType type, uint32_t* word, uint32_t index) {
    void* value;
    if (!GetVal(name, type, &value, index))
        return false;
    *word = WordOf(value);
    return true;
}

bool XStore::GetInt(const char* name, int32_t* value, uint32_t index) {
    uint32_t word;
    if (editable_ == nullptr)
        return XStoreReader::GetInt(name, value, index);
    if (!GetWord(name, XStoreTypeInt, &word, index))
        return false;
    if (value != nullptr)
        *value = static_cast<int32_t>(word);
    return true;
}

bool XStore::GetFloat(const char* name, float* value, uint32_t index) {
    uint32_t word;
    if (editable_ == nullptr)
        return XStoreReader::GetFloat(name, value, index);
    if (!GetWord(name, XStoreTypeFloat, &word, index))
        return false;
    if (value != nullptr)
        memcpy(value, &word, sizeof word);
    return true;
}

bool XStore::GetBool(const char* name, bool* value, uint32_t index) {
    uint32_t word;
    if (editable_ == nullptr)
        return XStoreReader::GetBool(name, value, index);
    if (!GetWord(name, XStoreTypeBool, &word, index))
        return false;
    if (value != nullptr)
        *value = word != 0;
    return true;
}

bool XStore::GetString(const char* name, const char** value, uint32_t index) {
    if (editable_ == nullptr)
        return XStoreReader::GetString(name, value, index);
    const XStoreType type = EntryType(name);
    if (type != XStoreTypeString && type != XStoreTypeLocStr && type != XStoreTypeMovStr)
        return false;
    void* text;
    if (!GetVal(name, type, &text, index))
        return false;
    if (value != nullptr)
        *value = static_cast<const char*>(text);
    return true;
}

bool XStore::GetBlob(const char* name, const void** data, uint32_t* length, uint32_t index) {
    if (editable_ == nullptr)
        return XStoreReader::GetBlob(name, data, length, index);
    void* block;
    if (!GetVal(name, XStoreTypeBlob, &block, index))
        return false;
    if (length != nullptr)
        *length = LoadWord(block);
    if (data != nullptr)
        *data = static_cast<const uint8_t*>(block) + 4;
    return true;
}

// --- Changing ------------------------------------------------------------------------------

bool XStore::AddVal(const char* name, XStoreType type, void* value) {
    if (name == nullptr || !MakeEditable())
        return false;
    XStoreRecord* record = FindRecord(name);
    if (record != nullptr) {
        if (record->type != type || !AppendValue(record, value))
            return false;
    } else {
        if (!editable_->Add(name, XStoreRecord{1, type, value}))
            return false;
    }
    ++version_;
    return true;
}

bool XStore::SetVal(const char* name, XStoreType type, void* value, uint32_t index) {
    if (name == nullptr || !MakeEditable())
        return false;
    XStoreRecord* record = FindRecord(name);
    if (record == nullptr)
        return index == 0 && AddVal(name, type, value);
    if (index >= record->valueCount || record->type != type || !IsKnownType(type))
        return false;
    if (HoldsList(*record)) {
        ReleaseValue(type, ValueList(*record)->GetItem(index));
        ValueList(*record)->SetItem(index, value);
    } else {
        ReleaseValue(type, record->value);
        record->value = value;
    }
    ++version_;
    return true;
}

bool XStore::StoreCopy(const char* name, XStoreType type, void* copy, bool append, uint32_t index) {
    if (copy == nullptr)
        return false;
    if (append ? AddVal(name, type, copy) : SetVal(name, type, copy, index))
        return true;
    free(copy);
    return false;
}

bool XStore::AddInt(const char* name, int32_t value) {
    return AddVal(name, XStoreTypeInt, WordValue(static_cast<uint32_t>(value)));
}

bool XStore::SetInt(const char* name, int32_t value, uint32_t index) {
    return SetVal(name, XStoreTypeInt, WordValue(static_cast<uint32_t>(value)), index);
}

bool XStore::AddFloat(const char* name, float value) {
    return AddVal(name, XStoreTypeFloat, FloatValue(value));
}

bool XStore::SetFloat(const char* name, float value, uint32_t index) {
    return SetVal(name, XStoreTypeFloat, FloatValue(value), index);
}

bool XStore::AddBool(const char* name, bool value) {
    return AddVal(name, XStoreTypeBool, WordValue(value ? 1 : 0));
}

bool XStore::SetBool(const char* name, bool value, uint32_t index) {
    return SetVal(name, XStoreTypeBool, WordValue(value ? 1 : 0), index);
}

bool XStore::AddString(const char* name, const char* text) {
    return StoreCopy(name, XStoreTypeString, brindle::Strdup(text), true, 0);
}

bool XStore::SetString(const char* name, const char* text, uint32_t index) {
    return StoreCopy(name, XStoreTypeString, brindle::Strdup(text), false, index);
}

bool XStore::AddLocStr(const char* name, const char* text) {
    return StoreCopy(name, XStoreTypeLocStr, brindle::Strdup(text), true, 0);
}

bool XStore::SetLocStr(const char* name, const char* text, uint32_t index) {
    return StoreCopy(name, XStoreTypeLocStr, brindle::Strdup(text), false, index);
}

bool XStore::AddMovStr(const char* name, const char* text) {
    return StoreCopy(name, XStoreTypeMovStr, brindle::Strdup(text), true, 0);
}

bool XStore::SetMovStr(const char* name, const char* text, uint32_t index) {
    return StoreCopy(name, XStoreTypeMovStr, brindle::Strdup(text), false, index);
}

bool XStore::AddBlob(const char* name, const void* data, uint32_t length) {
    return StoreCopy(name, XStoreTypeBlob, BlobArgument(data, length), true, 0);
}

bool XStore::SetBlob(const char* name, const void* data, uint32_t length, uint32_t index) {
    return StoreCopy(name, XStoreTypeBlob, BlobArgument(data, length), false, index);
}

bool XStore::RemoveEntry(const char* name) {
    if (!MakeEditable())
        return false;
    ++version_;
    return name != nullptr && editable_->Remove(name);
}

bool XStore::RemoveValue(const char* name, uint32_t index) {
    if (!MakeEditable())
        return false;
    XStoreRecord* record = FindRecord(name);
    if (record == nullptr || index >= record->valueCount)
        return false;
    if (record->valueCount == 1) {
        RemoveEntry(name);
        return true;
    }
    ++version_;
    --record->valueCount;
    if (!IsKnownType(record->type))
        return true;
    XList* list = ValueList(*record);
    ReleaseValue(record->type, list->GetItem(index));
    list->RemoveItem(index);
    if (record->valueCount == 1) {
        record->value = list->GetItem(0);
        delete list;
    }
    return true;
}
