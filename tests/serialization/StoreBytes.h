// SPDX-License-Identifier: MIT
// Test helper: lays out flattened store buffers by hand, independently of the library, in
// the native byte order or in the other one (every word reversed, texts and blob bytes as
// they are), as a writer on a machine of that order would.
#ifndef BRINDLE_TESTS_SERIALIZATION_STOREBYTES_H_
#define BRINDLE_TESTS_SERIALIZATION_STOREBYTES_H_

#include <brindle/serialization/XStoreReader.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace storetest {

constexpr uint32_t kMagic = 0x73746F72;

using Bytes = std::vector<uint8_t>;

// The buffer the reader or store hands out (empty if it hands out none).
inline Bytes Flatten(XStoreReader& reader) {
    uint32_t size = 0;
    void* data = reader.GetData_NF(&size);
    if (data == nullptr)
        return {};
    Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    free(data);
    return bytes;
}

// Offset of word `field` (name, count, type, values) of entry record `index`.
constexpr size_t EntryField(size_t index, size_t field) {
    return 20 + 16 * index + 4 * field;
}

inline uint32_t Reverse(uint32_t word) {
    return __builtin_bswap32(word);
}

// The native word at `at` of a buffer.
inline uint32_t LoadWordAt(const std::vector<uint8_t>& bytes, uint64_t at) {
    uint32_t word;
    memcpy(&word, &bytes[at], 4);
    return word;
}

// Overwrites the word at `at` of a built buffer, in the buffer's byte order.
inline void PatchWord(std::vector<uint8_t>& bytes, size_t at, uint32_t word,
                      bool reversed = false) {
    if (reversed)
        word = Reverse(word);
    memcpy(&bytes[at], &word, 4);
}

// Appends words and bytes to a buffer, words in the chosen byte order.
class ByteWriter {
  public:
    explicit ByteWriter(bool reversed) : reversed_(reversed) {}

    ByteWriter& Word(uint32_t word) {
        if (reversed_)
            word = Reverse(word);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&word);
        bytes_.insert(bytes_.end(), bytes, bytes + 4);
        return *this;
    }
    ByteWriter& Words(std::initializer_list<uint32_t> words) {
        for (uint32_t word : words)
            Word(word);
        return *this;
    }
    // Raw bytes followed by pad bytes up to a multiple of 4 (texts include their NUL).
    ByteWriter& Padded(const std::string& raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        bytes_.resize((bytes_.size() + 3) & ~size_t{3}, 0);
        return *this;
    }
    ByteWriter& Text(const std::string& text) { return Padded(text + '\0'); }
    size_t Size() const { return bytes_.size(); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    bool reversed_;
    std::vector<uint8_t> bytes_;
};

using Texts = std::map<uint32_t, std::string>;

// Keeps every text it is given and answers with a running id from `first`.
class KeepingRecorder : public XSepStrRecorder {
  public:
    explicit KeepingRecorder(uint32_t first) : next_(first) {}
    uint32_t Record(const char* text) override {
        texts[next_] = text;
        return next_++;
    }
    Texts texts;

  private:
    uint32_t next_;
};

// Resolves the ids it was given, others to null; records what it was asked.
class MapResolver : public XSepStrResolver {
  public:
    explicit MapResolver(const Texts& texts) : texts_(texts) {}
    const char* Resolve(uint32_t id) override {
        asked.push_back(id);
        auto it = texts_.find(id);
        return it == texts_.end() ? nullptr : it->second.c_str();
    }
    std::vector<uint32_t> asked;

  private:
    Texts texts_;
};

// The four-entry example laid out word by word: 'a' Int 5; 'b' Blob 01 02 03; 's' String
// "hi"; 't' LocStr "x", 124 bytes.
inline Bytes Example(bool reversed = false) {
    ByteWriter w(reversed);
    w.Words({kMagic, 0, 124, 120, 4});
    w.Words({0, 1, 0, 4}).Words({8, 1, 4, 12}).Words({20, 1, 3, 24}).Words({28, 1, 5, 32});
    w.Text("a").Word(5);
    w.Text("b").Word(3).Padded("\x01\x02\x03");
    w.Text("s").Text("hi");
    w.Text("t").Word(0);
    w.Text("x");
    return w.Bytes();
}

// Collects entries and lays them out as the format prescribes: header, table sorted by name
// (or in the order given), names and values, strings area.
class StoreBytes {
  public:
    enum Type : uint32_t { kInt, kFloat, kBool, kString, kBlob, kLocStr, kMovStr };

    StoreBytes& Words(const std::string& name, uint32_t type, std::vector<uint32_t> words) {
        entries_.push_back({name, type, std::move(words), {}});
        return *this;
    }
    StoreBytes& Int(const std::string& name, std::vector<uint32_t> values) {
        return Words(name, kInt, std::move(values));
    }
    // String, Blob, LocStr or MovStr values.
    StoreBytes& Pieces(const std::string& name, uint32_t type, std::vector<std::string> values) {
        entries_.push_back({name, type, {}, std::move(values)});
        return *this;
    }

    // Lays the table out in the order the entries were given instead of by name.
    StoreBytes& InGivenOrder() {
        sorted_ = false;
        return *this;
    }

    std::vector<uint8_t> Build(bool reversed = false) const {
        std::vector<Entry> sorted = entries_;
        if (sorted_) {
            std::stable_sort(sorted.begin(), sorted.end(),
                             [](const Entry& a, const Entry& b) { return a.name < b.name; });
        }
        const uint32_t n = static_cast<uint32_t>(sorted.size());
        const uint32_t valueArea = 20 + 16 * n;
        // Lay out the value area and the strings area first to learn their sizes.
        ByteWriter values(reversed), strings(reversed);
        std::vector<uint32_t> table;
        for (const Entry& e : sorted) {
            const uint32_t nameAt = static_cast<uint32_t>(values.Size());
            values.Text(e.name);
            table.insert(table.end(),
                         {nameAt, Count(e), e.type, static_cast<uint32_t>(values.Size())});
            for (uint32_t word : e.words)
                values.Word(word);
            for (const std::string& piece : e.pieces) {
                if (e.type == kString) {
                    values.Text(piece);
                } else if (e.type == kBlob) {
                    values.Word(static_cast<uint32_t>(piece.size())).Padded(piece);
                } else {
                    values.Word(static_cast<uint32_t>(strings.Size()));
                    strings.Text(piece);
                }
            }
        }
        const uint32_t main = valueArea + static_cast<uint32_t>(values.Size());
        ByteWriter out(reversed);
        out.Words({kMagic, 0, main + static_cast<uint32_t>(strings.Size()), main, n});
        for (uint32_t word : table)
            out.Word(word);
        std::vector<uint8_t> bytes = out.Bytes();
        bytes.insert(bytes.end(), values.Bytes().begin(), values.Bytes().end());
        bytes.insert(bytes.end(), strings.Bytes().begin(), strings.Bytes().end());
        return bytes;
    }

  private:
    struct Entry {
        std::string name;
        uint32_t type;
        std::vector<uint32_t> words;
        std::vector<std::string> pieces;
    };
    static uint32_t Count(const Entry& e) {
        return static_cast<uint32_t>(e.words.size() + e.pieces.size());
    }

    std::vector<Entry> entries_;
    bool sorted_ = true;
};

}  // namespace storetest

#endif  // BRINDLE_TESTS_SERIALIZATION_STOREBYTES_H_
