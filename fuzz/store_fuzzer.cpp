// SPDX-License-Identifier: MIT
// Drives XStore with arbitrary bytes that carry the store magic: unflattens them, changes
// the result, flattens it and reads the flattened buffer back. A buffer that IsValidData
// accepts must take changes, and one the store cannot unflatten must take none; unflattened
// as it is, a buffer must flatten to no more than its size (its separated texts attached).
// The flattened buffer must be valid, must read the same through a plain reader as through
// the store, and must flatten to the same bytes again once taken back. Each input buffer
// lives in a heap block of exactly its size, so that any read beyond it is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "brindle/serialization/XStore.h"

namespace {

constexpr uint32_t kMagic = 0x73746F72;
// Entries changed and values compared per entry: enough to reach the interesting ones
// without spending the run on a lying count.
constexpr uint32_t kEntriesChanged = 16;
constexpr uint32_t kValuesCompared = 16;

class Resolver : public XSepStrResolver {
  public:
    const char* Resolve(uint32_t id) override { return (id & 1) ? nullptr : "resolved"; }
};

void Check(bool condition) {
    if (!condition)
        abort();
}

// Makes a change fitting entry `name` of `type`, chosen by `choice`.
void Change(XStore& store, const std::string& name, XStoreType type, uint8_t choice) {
    const char* n = name.c_str();
    const uint32_t index = choice >> 4;
    switch (choice & 7) {
        case 0:
            store.RemoveValue(n, index);
            break;
        case 1:
            store.RemoveEntry(n);
            break;
        case 2:
            store.AddInt(n, choice);
            store.SetInt(n, -1, index);
            break;
        case 3:
            store.AddFloat(n, 0.5f);
            store.SetBool(n, true, index);
            break;
        case 4:
            store.AddBlob(n, n, static_cast<uint32_t>(name.size()));
            store.SetBlob(n, "", 0, index);
            break;
        default:
            // A value of the entry's own text kind, or a new String.
            if (type == XStoreTypeLocStr)
                store.SetLocStr(n, "loc", index);
            else if (type == XStoreTypeMovStr)
                store.AddMovStr(n, "mov");
            else
                store.AddString(n, "text");
            break;
    }
}

// Every value that `store` and `reader` give for `name` must agree. An entry of a type the
// library does not know has a count in the store but no values, and is flattened with none.
void CompareEntry(XStore& store, XStoreReader& reader, const char* name) {
    const XStoreType type = store.EntryType(name);
    Check(reader.EntryType(name) == type);
    const bool known = type >= XStoreTypeInt && type <= XStoreTypeMovStr;
    const uint32_t count = store.ValueCount(name);
    Check(reader.ValueCount(name) == (known ? count : 0));
    for (uint32_t k = 0; k < count && k < kValuesCompared; ++k) {
        int32_t i1 = 0, i2 = 0;
        Check(store.GetInt(name, &i1, k) == reader.GetInt(name, &i2, k) && i1 == i2);
        float f1 = 0, f2 = 0;
        Check(store.GetFloat(name, &f1, k) == reader.GetFloat(name, &f2, k) &&
              memcmp(&f1, &f2, sizeof f1) == 0);
        bool b1 = false, b2 = false;
        Check(store.GetBool(name, &b1, k) == reader.GetBool(name, &b2, k) && b1 == b2);
        const char* t1 = "";
        const char* t2 = "";
        Check(store.GetString(name, &t1, k) == reader.GetString(name, &t2, k) &&
              strcmp(t1, t2) == 0);
        const void* d1 = nullptr;
        const void* d2 = nullptr;
        uint32_t l1 = 0, l2 = 0;
        Check(store.GetBlob(name, &d1, &l1, k) == reader.GetBlob(name, &d2, &l2, k) && l1 == l2 &&
              (l1 == 0 || memcmp(d1, d2, l1) == 0));
    }
}

// A name that `store` does not hold: none of its entries has it, whatever their type.
std::string MissingName(XStore& store) {
    std::set<std::string> names;
    for (uint32_t i = 0; i < store.EntryCount(); ++i) {
        const char* name = store.IndEntry(i, nullptr);
        if (name != nullptr)
            names.insert(name);
    }
    std::string name = "\xff";
    while (names.count(name) != 0)
        name += '+';
    return name;
}

// Unflattens a copy of `buffer` and flattens it unchanged: no more than the buffer's size
// while its separated texts are attached (each detached one becomes a resolved text).
void CheckUnflattenedSize(const uint8_t* buffer, uint32_t length) {
    XStore store(buffer, true);
    store.RemoveEntry(MissingName(store).c_str());
    if (store.GetVersion() == 0)
        return;  // not unflattened
    uint32_t stringsOffset;
    memcpy(&stringsOffset, buffer + 12, 4);
    uint32_t size = 0;
    free(store.GetData_NF(&size));
    Check(size <= (stringsOffset != 0 ? length : 4 * uint64_t{length}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Layout of an input: one control byte, then the buffer. The control byte picks the byte
    // order of the magic, copying or borrowing, and whether resolvers are set.
    if (size < 21)
        return 0;
    const uint8_t control = data[0];
    const uint32_t length = static_cast<uint32_t>(size - 1);
    uint8_t* buffer = static_cast<uint8_t*>(malloc(length));
    memcpy(buffer, data + 1, length);
    const bool reversed = control & 1;
    uint32_t magic = reversed ? __builtin_bswap32(kMagic) : kMagic;
    uint32_t total = reversed ? __builtin_bswap32(length) : length;
    memcpy(buffer, &magic, 4);
    memcpy(buffer + 8, &total, 4);

    const bool valid = XStoreReader::IsValidData(buffer, length);
    CheckUnflattenedSize(buffer, length);
    Resolver resolver;
    XStore store(buffer, (control & 2) != 0);
    if (control & 4)
        store.SetStrResolver(&resolver, &resolver);

    // Change a few of the entries, then add one of our own.
    const uint32_t entries = store.EntryCount();
    for (uint32_t i = 0; i < entries && i < kEntriesChanged; ++i) {
        XStoreType type = XStoreTypeNone;
        const char* name = store.IndEntry(i, &type);
        if (name != nullptr)
            Change(store, name, type, data[1 + (i * 7) % length] ^ control);
    }
    // Removing a name the buffer's lookup cannot find unflattens, so that the name added
    // next is missing from the editable form as well.
    store.RemoveEntry(MissingName(store).c_str());
    const bool changed = store.AddInt(MissingName(store).c_str(), 1);
    Check(changed || !valid);
    if (!changed) {
        // Not unflattened: nothing was changed or counted.
        Check(store.GetVersion() == 0);
        store.SetEmpty();
        free(buffer);
        return 0;
    }

    uint32_t flatSize = 0;
    void* flat = store.GetData_NF(&flatSize);
    Check(flat != nullptr && XStoreReader::IsValidData(flat, flatSize));
    XStoreReader reader(flat, false);
    Check(reader.EntryCount() == store.EntryCount());
    for (uint32_t i = 0; i < reader.EntryCount(); ++i) {
        const char* name = reader.IndEntry(i, nullptr);
        Check(name != nullptr && strcmp(name, store.IndEntry(i, nullptr)) == 0);
        CompareEntry(store, reader, name);
    }

    // Taken back, unflattened (removing a missing name) and flattened again, the bytes are
    // the same.
    XStore again(flat);
    Check(!again.RemoveEntry(MissingName(again).c_str()) && again.GetVersion() == 1);
    uint32_t againSize = 0;
    void* second = again.GetData_NF(&againSize);
    Check(second != nullptr && againSize == flatSize && memcmp(second, flat, flatSize) == 0);

    free(second);
    free(flat);
    // The store may borrow `buffer`: drop it first.
    store.SetEmpty();
    free(buffer);
    return 0;
}
