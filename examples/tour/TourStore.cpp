// SPDX-License-Identifier: MIT

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <brindle/brindle.h>

#include "Tour.h"

namespace {

// Keeps detached texts in a table of its own; the id is the position in it.
class TextTable : public XSepStrRecorder, public XSepStrResolver {
  public:
    uint32_t Record(const char* text) override {
        texts_.push_back(text);
        printf("  recorded '%s' as id %zu\n", text, texts_.size() - 1);
        return static_cast<uint32_t>(texts_.size() - 1);
    }
    const char* Resolve(uint32_t id) override {
        return id < texts_.size() ? texts_[id].c_str() : "";
    }

  private:
    std::vector<std::string> texts_;
};

}  // namespace

void TourStore() {
    printf("\n== store ==\n");
    // A store written on a big-endian machine: 'a' Int 5, 'b' Blob 01 02 03, 's' String
    // "hi", 't' LocStr "x". Its words are in the other byte order here.
    // clang-format off
    static const uint8_t kBigEndianStore[124] = {
        's', 't', 'o', 'r',  0, 0, 0, 0,  0, 0, 0, 124,  0, 0, 0, 120,  0, 0, 0, 4,  // header
        0, 0, 0, 0,   0, 0, 0, 1,  0, 0, 0, 0,  0, 0, 0, 4,                         // entry 'a'
        0, 0, 0, 8,   0, 0, 0, 1,  0, 0, 0, 4,  0, 0, 0, 12,                        // entry 'b'
        0, 0, 0, 20,  0, 0, 0, 1,  0, 0, 0, 3,  0, 0, 0, 24,                        // entry 's'
        0, 0, 0, 28,  0, 0, 0, 1,  0, 0, 0, 5,  0, 0, 0, 32,                        // entry 't'
        'a', 0, 0, 0,  0, 0, 0, 5,                                                  // 'a': 5
        'b', 0, 0, 0,  0, 0, 0, 3,  1, 2, 3, 0,                                     // 'b': blob
        's', 0, 0, 0,  'h', 'i', 0, 0,                                              // 's': "hi"
        't', 0, 0, 0,  0, 0, 0, 0,                                                  // 't': slot 0
        'x', 0, 0, 0};                                                              // strings
    // clang-format on
    printf("valid with its length: %s\n",
           XStoreReader::IsValidData(kBigEndianStore, sizeof kBigEndianStore) ? "yes" : "no");

    XStoreReader reader(kBigEndianStore);
    printf("%u entries, converted from the other byte order: %s\n", reader.EntryCount(),
           reader.MustSwap() ? "yes" : "no");
    for (uint32_t i = 0; i < reader.EntryCount(); ++i) {
        XStoreType type;
        const char* name = reader.IndEntry(i, &type);
        printf("  '%s' type %d\n", name, static_cast<int>(type));
    }
    printf("a = %d, b has %d bytes, s = '%s', t = '%s'\n", reader.ReadInt("a", 0, 0),
           reader.GetBlobLen("b", 0), reader.ReadString("s", "?", 0),
           reader.ReadString("t", "?", 0));

    TextTable table;
    printf("detaching the separated strings:\n");
    reader.DetachStrings(&table, &table);
    uint32_t size = 0;
    void* detached = reader.GetData_NF(&size);
    printf("detached buffer: %u bytes; t without a resolver = '%s'\n", size,
           reader.ReadString("t", "?", 0));
    reader.SetStrResolver(&table, &table);
    printf("t through the resolver = '%s'\n", reader.ReadString("t", "?", 0));
    free(detached);
}
