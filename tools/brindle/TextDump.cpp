#include "TextDump.h"

#include <ctype.h>
#include <math.h>
#include <string.h>

#include <string>

#include <brindle/serialization/XAKeyBlob.h>
#include <brindle/serialization/XStoreReader.h>

#include "Cli.h"

namespace cli {
namespace {

bool IsStore(const std::vector<uint8_t>& bytes) {
    return bytes.size() < 0xFFFFFFFF &&
           XStoreReader::IsValidData(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

const char* TypeName(XStoreType type) {
    static const char* const kNames[] = {"int",  "float",  "bool",  "string",
                                         "blob", "locstr", "movstr"};
    return type >= XStoreTypeInt && type < XStoreTypeNone ? kNames[type] : nullptr;
}

void PutHex(const uint8_t* data, size_t size, FILE* out) {
    for (size_t i = 0; i < size; ++i)
        fprintf(out, "%02x", data[i]);
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

// Walks the values of one store entry through the reader. Int, Float, Bool and separated
// strings are found directly; the values of a String or Blob entry follow one another, so
// each is found from the one before (asking the reader for value k would walk k values).
class ValueWalker {
  public:
    ValueWalker(XStoreReader* reader, const uint8_t* buffer, uint32_t size, const char* name,
                XStoreType type)
        : reader_(reader), end_(buffer + size), name_(name), type_(type) {}

    // Writes value `k` (which follow in order) as text or JSON; false when it cannot be read.
    bool Put(uint32_t k, bool json, bool detached, FILE* out) {
        switch (type_) {
            case XStoreTypeInt: {
                int32_t value;
                return reader_->GetInt(name_, &value, k) && fprintf(out, "%d", value) > 0;
            }
            case XStoreTypeFloat: {
                float value;
                if (!reader_->GetFloat(name_, &value, k))
                    return false;
                std::string text = FloatText(value);
                fprintf(out, json && !isfinite(value) ? "{\"float\": \"%s\"}" : "%s", text.c_str());
                return true;
            }
            case XStoreTypeBool: {
                bool value;
                return reader_->GetBool(name_, &value, k) &&
                       fputs(value ? "true" : "false", out) >= 0;
            }
            case XStoreTypeString:
                return PutString(k, out);
            case XStoreTypeBlob:
                return PutBlob(k, json, out);
            default:
                return PutSeparated(k, json, detached, out);
        }
    }

  private:
    bool PutString(uint32_t k, FILE* out) {
        const char* text = nullptr;
        if (k == 0) {
            if (!reader_->GetString(name_, &text, 0))
                return false;
        } else {
            text = next_;
        }
        size_t length =
            strnlen(text, static_cast<size_t>(end_ - reinterpret_cast<const uint8_t*>(text)));
        if (reinterpret_cast<const uint8_t*>(text) + length >= end_)
            return false;
        next_ = text + ((length + 4) & ~size_t{3});
        PutQuoted(text, length, out);
        return true;
    }

    bool PutBlob(uint32_t k, bool json, FILE* out) {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        if (k == 0) {
            const void* first = nullptr;
            if (!reader_->GetBlob(name_, &first, &length, 0))
                return false;
            data = static_cast<const uint8_t*>(first);
        } else {
            const uint8_t* at = reinterpret_cast<const uint8_t*>(next_);
            if (end_ - at < 4)
                return false;
            memcpy(&length, at, 4);
            data = at + 4;
            if (static_cast<uint64_t>(end_ - data) < length)
                return false;
        }
        next_ = reinterpret_cast<const char*>(data + ((uint64_t{length} + 3) & ~uint64_t{3}));
        fputs(json ? "{\"blob\": \"" : "", out);
        PutHex(data, length, out);
        fputs(json ? "\"}" : "", out);
        return true;
    }

    bool PutSeparated(uint32_t k, bool json, bool detached, FILE* out) {
        const char* text = nullptr;
        if (!reader_->GetString(name_, &text, k))
            return false;
        if (detached) {
            fputs(text, out);  // the number that SlotNumbers made of the slot
            return true;
        }
        if (json)
            fprintf(out, "{\"%s\": ", TypeName(type_));
        PutQuoted(text, strlen(text), out);
        fputs(json ? "}" : "", out);
        return true;
    }

    XStoreReader* reader_;
    const uint8_t* end_;
    const char* name_;
    XStoreType type_;
    const char* next_ = nullptr;
};

// Once separated strings are detached, a slot holds the number that the writer's recorder
// gave for its text; this resolver shows that number as "#n".
class SlotNumbers : public XSepStrResolver {
  public:
    explicit SlotNumbers(bool swapped) : swapped_(swapped) {}
    const char* Resolve(uint32_t id) override {
        // Slots keep the writer's byte order.
        snprintf(text_, sizeof text_, "#%u", swapped_ ? __builtin_bswap32(id) : id);
        return text_;
    }

  private:
    bool swapped_;
    char text_[16];
};

}  // namespace

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
    const uint32_t size = static_cast<uint32_t>(bytes->size());
    if (!IsStore(*bytes))
        return kExitFailed;
    XStoreReader reader(bytes->data(), false);  // converts the bytes in place if need be
    uint32_t stringsOffset;
    memcpy(&stringsOffset, bytes->data() + 12, 4);
    const bool detached = stringsOffset == 0;
    SlotNumbers numbers(reader.MustSwap());
    if (detached)
        reader.SetStrResolver(&numbers, &numbers);
    const uint32_t count = reader.EntryCount();
    if (json)
        fputs(count == 0 ? "{}\n" : "{\n", out);
    else
        fprintf(out, "# store: %u entries, %u bytes, %s-endian%s\n", count, size,
                reader.MustSwap() == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) ? "big" : "little",
                detached ? ", separated strings detached" : "");
    // Each value takes at least 4 bytes of a sound store, so more values than that means
    // entries share their values: a damaged store, not worth printing twice.
    uint64_t budget = size / 4;
    int result = kExitOk;
    for (uint32_t i = 0; i < count; ++i) {
        XStoreType type = XStoreTypeNone;
        const char* name = reader.IndEntry(i, &type);
        if (name == nullptr) {
            Fail(kExitNo, "entry %u: its name lies outside the store", i);
            result = kExitNo;
            continue;
        }
        fputs(json ? "  " : "", out);
        PutQuoted(name, strlen(name), out);
        const uint32_t values = reader.ValueCount(name);
        const char* typeName = TypeName(type);
        if (typeName == nullptr ||
            (json && detached && (type == XStoreTypeLocStr || type == XStoreTypeMovStr))) {
            fprintf(out, json ? ": null" : ": type %d, %u values", static_cast<int>(type), values);
            fputs(json && i + 1 < count ? ",\n" : "\n", out);
            Fail(kExitNo, "entry %u: type %d cannot be shown%s", i, static_cast<int>(type),
                 json ? " as JSON" : "");
            result = kExitNo;
            continue;
        }
        fprintf(out, json ? ": " : ": %s ", typeName);
        fputs(json && values > 1 ? "[" : "", out);
        ValueWalker walker(&reader, bytes->data(), size, name, type);
        for (uint32_t k = 0; k < values; ++k) {
            fputs(k == 0 ? "" : ", ", out);
            if (budget == 0 || !walker.Put(k, json, detached, out)) {
                fputs(json ? "null" : "<damaged>", out);
                Fail(kExitNo, "entry %u: value %u of %u lies outside the store", i, k, values);
                result = kExitNo;
                break;
            }
            --budget;
        }
        fputs(json && values > 1 ? "]" : "", out);
        fputs(json && i + 1 < count ? ",\n" : "\n", out);
    }
    if (json && count != 0)
        fputs("}\n", out);
    return result;
}

int DumpBlobs(const std::vector<uint8_t>& bytes, FILE* out) {
    XAKeyBlob set;
    if (bytes.size() >= 0xFFFFFFFF ||
        !set.SetData(const_cast<uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())))
        return kExitFailed;
    for (uint32_t i = 0; i < set.BlobCount(); ++i) {
        uint32_t size = 0;
        const uint8_t* blob = static_cast<const uint8_t*>(set.GetIndBlob(i, &size));
        const char* name = set.GetIndBlobName(i);
        PutQuoted(name, strlen(name), out);
        fprintf(out, ": %u bytes ", size);
        PutHex(blob, size, out);
        fputc('\n', out);
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
    if (IsStore(bytes))
        return "store";
    if (bytes.size() < 0xFFFFFFFF &&
        set.SetData(const_cast<uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())))
        return "blob set";
    return "bytes";
}

int DumpAny(std::vector<uint8_t>* bytes, FILE* out) {
    if (IsStore(*bytes))
        return DumpStore(bytes, false, out);
    if (DumpBlobs(*bytes, out) != kExitOk)
        DumpHex(bytes->data(), bytes->size(), out);
    return kExitOk;
}

}  // namespace cli
