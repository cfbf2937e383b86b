// SPDX-License-Identifier: MIT
// Hands arbitrary bytes to XStoreReader, in both copy modes, and reads back everything it
// offers: every entry and value through every getter, then detaches the separated strings,
// resolves them and copies the buffer out. Every entry of a buffer that IsValidData accepts
// must be found by name. Each buffer lives in a heap block of exactly its
// total size, so that any read beyond it is caught.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "brindle/serialization/XStoreReader.h"

namespace {

constexpr uint32_t kMagic = 0x73746F72;
// Values read per entry: enough to walk past the interesting ones without spending the
// run on a lying count of billions; then a few far ones, which the reader finds through the
// offsets it notes.
constexpr uint32_t kValuesPerEntry = 16;

// Reads every byte it is handed, so that a pointer past the buffer is noticed.
volatile uint32_t g_sink;

void Touch(const void* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum += static_cast<const uint8_t*>(data)[i];
    g_sink = sum;
}

void TouchText(const char* text) {
    if (text != nullptr)
        Touch(text, strlen(text));
}

class Recorder : public XSepStrRecorder {
  public:
    uint32_t Record(const char* text) override {
        TouchText(text);
        return next_++;
    }

  private:
    uint32_t next_ = 0;
};

// Knows one text, and null for every odd id.
class Resolver : public XSepStrResolver {
  public:
    const char* Resolve(uint32_t id) override { return (id & 1) ? nullptr : "resolved"; }
};

// Reads value `k` as a text and as a blob, touching what is handed out.
void ReadVariable(XStoreReader& reader, const char* name, uint32_t k) {
    const char* text = nullptr;
    if (reader.GetString(name, &text, k))
        TouchText(text);
    const void* data = nullptr;
    uint32_t length = 0;
    if (reader.GetBlob(name, &data, &length, k))
        Touch(data, length);
}

void ReadValues(XStoreReader& reader, const char* name) {
    const uint32_t count = reader.ValueCount(name);
    reader.EntryType(name);
    for (uint32_t k = 0; k <= count && k <= kValuesPerEntry; ++k) {
        int32_t i;
        float f;
        bool b;
        reader.GetInt(name, &i, k);
        reader.GetFloat(name, &f, k);
        reader.GetBool(name, &b, k);
        ReadVariable(reader, name, k);
        reader.ReadInt(name, 0, k);
        reader.ReadFloat(name, 0, k);
        reader.ReadBool(name, false, k);
        TouchText(reader.ReadString(name, "", k));
        uint32_t length = 0;
        reader.ReadBlob(name, &length, k);
        reader.GetBlobLen(name, k);
    }
    for (uint32_t k : {count - 1, count / 2, count - 9, count + 7})
        ReadVariable(reader, name, k);
}

void ReadEverything(XStoreReader& reader) {
    const uint32_t count = reader.EntryCount();
    for (uint32_t i = 0; i <= count; ++i) {
        XStoreType type;
        const char* name = reader.IndEntry(i, &type);
        if (name == nullptr)
            continue;
        TouchText(name);
        ReadValues(reader, name);
        const std::string longer = std::string(name) + "~";
        reader.EntryType(longer.c_str());
    }
    ReadValues(reader, "");
}

// Copies the reader's buffer out and reads the copy in place.
void CopyOut(XStoreReader& reader) {
    uint32_t size = 0;
    void* out = reader.GetData_NF(&size);
    if (out == nullptr)
        return;
    XStoreReader again(out, false);
    ReadEverything(again);
    free(out);
}

void Exercise(XStoreReader& reader) {
    Resolver resolver;
    ReadEverything(reader);
    reader.SetStrResolver(&resolver, nullptr);
    ReadEverything(reader);
    XStoreReader copy(reader);
    Recorder loc, mov;
    reader.DetachStrings(&loc, &mov);
    ReadEverything(reader);
    reader.SetStrResolver(nullptr, &resolver);
    reader.DetachStrings(&loc, &mov);
    CopyOut(reader);
    copy = reader;
    CopyOut(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XStoreReader::IsValidData(data, static_cast<uint32_t>(size));
    if (size < 20 || size > 0xFFFFFFFE)
        return 0;
    std::vector<uint8_t> bytes(data, data + size);
    // Give the buffer a magic, in the order the first byte's low bit picks, unless it has
    // one of its own; then a total size of at most the input length.
    uint32_t magic;
    memcpy(&magic, bytes.data(), 4);
    const bool hasMagic = magic == kMagic || magic == __builtin_bswap32(kMagic);
    const bool reversed = hasMagic ? magic != kMagic : (bytes[0] & 1) != 0;
    if (!hasMagic) {
        magic = reversed ? __builtin_bswap32(kMagic) : kMagic;
        memcpy(bytes.data(), &magic, 4);
    }
    uint32_t total;
    memcpy(&total, &bytes[8], 4);
    if (reversed)
        total = __builtin_bswap32(total);
    if (total < 20 || total > size) {
        total = static_cast<uint32_t>(size);
        const uint32_t stored = reversed ? __builtin_bswap32(total) : total;
        memcpy(&bytes[8], &stored, 4);
    }
    const bool valid = XStoreReader::IsValidData(bytes.data(), total);

    // Exactly `total` bytes, in a block of their own for each copy mode.
    uint8_t* copied = static_cast<uint8_t*>(malloc(total));
    memcpy(copied, bytes.data(), total);
    XStoreReader owning(copied, true);
    free(copied);
    // A well-formed buffer's lookup finds every entry of its table.
    for (uint32_t i = 0; valid && i < owning.EntryCount(); ++i) {
        XStoreType type = XStoreTypeNone;
        const char* name = owning.IndEntry(i, &type);
        if (name == nullptr || owning.EntryType(name) != type)
            abort();
    }
    Exercise(owning);

    uint8_t* lent = static_cast<uint8_t*>(malloc(total));
    memcpy(lent, bytes.data(), total);
    {
        XStoreReader borrowing(lent, false);
        Exercise(borrowing);
    }
    free(lent);
    return 0;
}
