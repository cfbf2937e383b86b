// SPDX-License-Identifier: MIT

#include "TextDump.h"

#include <ctype.h>
#include <math.h>
#include <string.h>

#include <string>

#include <brindle/serialization/XAKeyBlob.h>
#include <brindle/serialization/XStoreEntry.h>
#include <brindle/serialization/XStoreReader.h>

#include "Cli.h"
#include "Json.h"

namespace cli {
namespace {

// Whether `bytes` hold a store that a reader takes: the magic in either byte order, a total
// size that is the bytes' own, and an entry table and a strings offset inside them. Beyond
// its header such a store may be damaged; XStoreReader::IsValidData tells whether it is not.
bool HasStoreHeader(const std::vector<uint8_t>& bytes) {
    constexpr uint32_t kMagic = 0x73746F72;
    if (bytes.size() < 20 || bytes.size() >= 0xFFFFFFFF)
        return false;
    uint32_t header[5];
    memcpy(header, bytes.data(), sizeof header);
    const bool swapped = header[0] == __builtin_bswap32(kMagic);
    if (header[0] != kMagic && !swapped)
        return false;
    for (uint32_t& word : header)
        word = swapped ? __builtin_bswap32(word) : word;
    const uint64_t tableEnd = 20 + uint64_t{header[4]} * sizeof(XStoreEntry);
    const uint32_t strings = header[3];
    return header[2] == bytes.size() && tableEnd <= bytes.size() &&
           (strings == 0 || (strings >= tableEnd && strings <= bytes.size()));
}

const char* TypeName(XStoreType type) {
    static const char* const kNames[] = {"int",  "float",  "bool",  "string",
                                         "blob", "locstr", "movstr"};
    return type >= XStoreTypeInt && type < XStoreTypeNone ? kNames[type] : nullptr;
}

// A float as text that reads back to the same value: nine significant digits, with a point
// so that it is not taken for an integer. Non-finite values are words: nan, inf, -inf.
std::string FloatText(float value) {
    if (isnan(value))
        return "nan";
    if (isinf(value))
        return value < 0 ? "-inf" : "inf";
    char text[32];
    snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    if (strpbrk(text, ".e") == nullptr)
        strcat(text, ".0");
    return text;
}

// A store buffer that a reader has checked and converted to this machine's byte order, read
// straight from its entry table in one pass (finding each value by name, as the reader
// does, would compare the name and walk the values before it every time). Nothing outside
// the buffer is read. Names and values lie behind the table, and a sound store never uses a
// byte twice: the bytes shown are counted against those behind the table, so that the
// entries of a damaged store cannot show the same bytes over and over.
class StoreBytes {
  public:
    StoreBytes(const uint8_t* data, uint32_t size, bool swapped)
        : data_(data),
          size_(size),
          swapped_(swapped),
          stringsOffset_(Word(12)),
          valueArea_(20 + uint64_t{Word(16)} * sizeof(XStoreEntry)),
          unshown_(size - valueArea_) {}

    bool Swapped() const { return swapped_; }
    bool Detached() const { return stringsOffset_ == 0; }
    // Record `index`, which must be below the entry count.
    XStoreEntry Entry(uint32_t index) const {
        XStoreEntry entry;
        memcpy(&entry, data_ + 20 + uint64_t{index} * sizeof entry, sizeof entry);
        return entry;
    }
    const char* Name(const XStoreEntry& entry, size_t* length) {
        return Text(valueArea_ + entry.nameOffset, length);
    }
    uint64_t ValuesStart(const XStoreEntry& entry) const { return valueArea_ + entry.valuesOffset; }

    // Counts the `length` bytes at `at` as shown; false when they do not lie inside the
    // buffer or more bytes would be shown than lie behind the table.
    bool Take(uint64_t at, uint64_t length) {
        if (at > size_ || length > size_ - at || length > unshown_)
            return false;
        unshown_ -= length;
        return true;
    }
    // The word at `at`, which must lie inside the buffer.
    uint32_t Word(uint64_t at) const {
        uint32_t word;
        memcpy(&word, data_ + at, 4);
        return word;
    }
    const uint8_t* At(uint64_t at) const { return data_ + at; }
    // Takes the NUL-terminated text at `at`; null when it does not end inside the buffer or
    // cannot be taken.
    const char* Text(uint64_t at, size_t* length) {
        const void* end = at < size_ ? memchr(data_ + at, 0, size_ - at) : nullptr;
        if (end == nullptr)
            return nullptr;
        *length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data_ + at));
        return Take(at, *length + 1) ? reinterpret_cast<const char*>(data_ + at) : nullptr;
    }
    // Takes the text of a LocStr or MovStr slot from the strings area, which must be
    // attached. Slots keep the writer's byte order.
    const char* SeparatedText(uint32_t slot, size_t* length) {
        return Text(uint64_t{stringsOffset_} + (swapped_ ? __builtin_bswap32(slot) : slot), length);
    }

  private:
    const uint8_t* data_;
    uint64_t size_;
    bool swapped_;
    uint32_t stringsOffset_;
    uint64_t valueArea_;
    uint64_t unshown_;
};

// Writes the value of `type` at `*at` as text or JSON and moves `*at` past it; false, with
// nothing written, when it cannot be read.
bool PutValue(StoreBytes* store, XStoreType type, bool json, uint64_t* at, FILE* out) {
    size_t length = 0;
    if (type == XStoreTypeString) {
        const char* text = store->Text(*at, &length);
        if (text == nullptr)
            return false;
        *at += (length + 4) & ~size_t{3};
        PutQuoted(text, length, out);
        return true;
    }
    const uint64_t from = *at;
    if (!store->Take(from, 4))
        return false;
    const uint32_t word = store->Word(from);
    *at += 4;
    switch (type) {
        case XStoreTypeInt:
            fprintf(out, "%d", static_cast<int32_t>(word));
            return true;
        case XStoreTypeFloat: {
            float value;
            memcpy(&value, &word, sizeof value);
            const std::string text = FloatText(value);
            fprintf(out, json && !isfinite(value) ? "{\"float\": \"%s\"}" : "%s", text.c_str());
            return true;
        }
        case XStoreTypeBool:
            fputs(word != 0 ? "true" : "false", out);
            return true;
        case XStoreTypeBlob:
            if (!store->Take(from + 4, word))
                return false;
            *at += (uint64_t{word} + 3) & ~uint64_t{3};
            fputs(json ? "{\"blob\": \"" : word == 0 ? "<empty>" : "", out);
            PutHex(store->At(from + 4), word, out);
            fputs(json ? "\"}" : "", out);
            return true;
        default: {
            if (store->Detached()) {
                // The slot holds the number that the writer's recorder gave its text.
                fprintf(out, "#%u", store->Swapped() ? __builtin_bswap32(word) : word);
                return true;
            }
            const char* text = store->SeparatedText(word, &length);
            if (text == nullptr)
                return false;
            if (json)
                fprintf(out, "{\"%s\": ", TypeName(type));
            PutQuoted(text, length, out);
            fputs(json ? "}" : "", out);
            return true;
        }
    }
}

// Why the entry's values cannot be shown, or null when they can.
const char* Unshowable(const XStoreEntry& entry, bool detached, bool json) {
    if (TypeName(entry.type) == nullptr)
        return "its type is unknown";
    if (json && entry.valueCount == 0)
        return "JSON cannot show an entry without values";
    if (json && detached && (entry.type == XStoreTypeLocStr || entry.type == XStoreTypeMovStr))
        return "JSON cannot show detached texts";
    return nullptr;
}

}  // namespace

void PutHex(const uint8_t* data, size_t size, FILE* out) {
    for (size_t i = 0; i < size; ++i)
        fprintf(out, "%02x", data[i]);
}

void PutQuoted(const char* text, size_t length, FILE* out) {
    fputc('"', out);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\')
            fprintf(out, "\\%c", c);
        else if (c == '\n')
            fputs("\\n", out);
        else if (c == '\t')
            fputs("\\t", out);
        else if (c < 0x20 || c == 0x7F)
            fprintf(out, "\\u%04x", c);
        else
            fputc(c, out);
    }
    fputc('"', out);
}

int DumpStore(std::vector<uint8_t>* bytes, bool json, FILE* out) {
    if (!HasStoreHeader(*bytes))
        return kExitFailed;
    const uint32_t size = static_cast<uint32_t>(bytes->size());
    const bool wellFormed = XStoreReader::IsValidData(bytes->data(), size);
    XStoreReader reader(bytes->data(), false);  // converts the bytes in place if need be
    StoreBytes store(bytes->data(), size, reader.MustSwap());
    const uint32_t count = reader.EntryCount();
    if (json)
        fputs(count == 0 ? "{}\n" : "{\n", out);
    else
        fprintf(out, "# store: %u entries, %u bytes, %s-endian%s\n", count, size,
                reader.MustSwap() == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? "big" : "little",
                store.Detached() ? ", separated strings detached" : "");
    int result = wellFormed ? kExitOk
                            : Fail(kExitNo,
                                   "not a well-formed store (pieces outside their areas or "
                                   "overlapping, or names out of order): showing what can be read");
    for (uint32_t i = 0; i < count; ++i) {
        const XStoreEntry entry = store.Entry(i);
        size_t length = 0;
        const char* name = store.Name(entry, &length);
        if (name == nullptr) {
            result = Fail(kExitNo,
                          "entry %u: its name lies outside the store or on bytes shown before", i);
            continue;
        }
        fputs(json ? "  " : "", out);
        PutQuoted(name, length, out);
        const char* const lineEnd = json && i + 1 < count ? ",\n" : "\n";
        if (const char* why = Unshowable(entry, store.Detached(), json)) {
            if (json)
                fprintf(out, ": null%s", lineEnd);
            else
                fprintf(out, ": type %d, %u values\n", static_cast<int>(entry.type),
                        entry.valueCount);
            result = Fail(kExitNo, "entry %u: %s", i, why);
            continue;
        }
        if (entry.valueCount == 0) {
            fprintf(out, ": %s, no values\n", TypeName(entry.type));
            continue;
        }
        const bool list = json && entry.valueCount > 1;
        if (json)
            fputs(list ? ": [" : ": ", out);
        else
            fprintf(out, ": %s ", TypeName(entry.type));
        uint64_t at = store.ValuesStart(entry);
        for (uint32_t k = 0; k < entry.valueCount; ++k) {
            fputs(k == 0 ? "" : ", ", out);
            if (!PutValue(&store, entry.type, json, &at, out)) {
                fputs(json ? "null" : "<damaged>", out);
                result =
                    Fail(kExitNo,
                         "entry %u: value %u of %u lies outside the store or on bytes shown before",
                         i, k, entry.valueCount);
                break;
            }
        }
        fprintf(out, "%s%s", list ? "]" : "", lineEnd);
    }
    if (json && count != 0)
        fputs("}\n", out);
    return result;
}

int DumpBlobs(const std::vector<uint8_t>& bytes, bool json, FILE* out) {
    XAKeyBlob set;
    if (bytes.size() >= 0xFFFFFFFF ||
        !set.SetData(bytes.data(), static_cast<uint32_t>(bytes.size())))
        return kExitFailed;
    JsonWriter writer(out);
    if (json) {
        writer.Open('{');
        writer.Key("blobs").Open('[');
    }
    for (uint32_t i = 0; i < set.BlobCount(); ++i) {
        uint32_t size = 0;
        const uint8_t* blob = static_cast<const uint8_t*>(set.GetIndBlob(i, &size));
        const char* name = set.GetIndBlobName(i);
        if (json) {
            writer.Open('{', true);
            writer.Key("name").String(name, strlen(name));
            writer.Key("size").Number(size);
            writer.Key("hex").Hex(blob, size);
            writer.Close();
            continue;
        }
        PutQuoted(name, strlen(name), out);
        fprintf(out, ": %u bytes ", size);
        PutHex(blob, size, out);
        fputc('\n', out);
    }
    if (json) {
        writer.Close();
        writer.Close();
    }
    return kExitOk;
}

void DumpHex(const uint8_t* data, size_t size, FILE* out) {
    for (size_t line = 0; line < size; line += 16) {
        fprintf(out, "%08zx ", line);
        for (size_t i = line; i < line + 16; ++i) {
            if (i < size)
                fprintf(out, " %02x", data[i]);
            else
                fputs("   ", out);
        }
        fputs("  |", out);
        for (size_t i = line; i < line + 16 && i < size; ++i)
            fputc(isprint(data[i]) ? data[i] : '.', out);
        fputs("|\n", out);
    }
}

const char* KindOf(const std::vector<uint8_t>& bytes) {
    XAKeyBlob set;
    if (HasStoreHeader(bytes))
        return "store";
    if (bytes.size() < 0xFFFFFFFF && set.SetData(bytes.data(), static_cast<uint32_t>(bytes.size())))
        return "blob set";
    return "bytes";
}

int DumpAny(std::vector<uint8_t>* bytes, FILE* out) {
    if (HasStoreHeader(*bytes))
        return DumpStore(bytes, false, out);
    if (DumpBlobs(*bytes, false, out) != kExitOk)
        DumpHex(bytes->data(), bytes->size(), out);
    return kExitOk;
}

}  // namespace cli
