#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "StoreBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Flattens the store and returns the bytes; checks that *size matches.
Bytes Flatten(XStore& store) {
    uint32_t size = 0;
    void* data = store.GetData_NF(&size);
    EXPECT_NE(data, nullptr);
    if (data == nullptr)
        return {};
    Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    free(data);
    return bytes;
}

uint32_t WordAt(const Bytes& bytes, size_t at) {
    uint32_t word;
    memcpy(&word, &bytes[at], 4);
    return word;
}

Bytes FromWords(std::initializer_list<uint32_t> words) {
    Bytes bytes(words.size() * 4);
    memcpy(bytes.data(), std::data(words), bytes.size());
    return bytes;
}

// The four-entry example buffer on a little-endian machine, pad bytes zero.
Bytes ExampleBytes() {
    return FromWords({0x73746F72, 0,      124,  120, 4,                     // header
                      0,          1,      0,    4,   8,          1, 4, 12,  // 'a', 'b'
                      20,         1,      3,    24,  28,         1, 5, 32,  // 's', 't'
                      0x61,       5,      0x62, 3,   0x00030201,            // a: 5; b: 01 02 03
                      0x73,       0x6968, 0x74, 0,   0x78});  // s: "hi"; t: slot 0; "x"
}

// Adds one of the four example entries.
void AddExampleEntry(XStore& store, int which) {
    static const uint8_t kBlob[] = {1, 2, 3};
    switch (which) {
        case 0:
            ASSERT_TRUE(store.AddInt("a", 5));
            break;
        case 1:
            ASSERT_TRUE(store.AddBlob("b", kBlob, 3));
            break;
        case 2:
            ASSERT_TRUE(store.AddString("s", "hi"));
            break;
        default:
            ASSERT_TRUE(store.AddLocStr("t", "x"));
            break;
    }
}

static_assert(!std::is_copy_constructible<XStore>::value, "copying a store is refused");
static_assert(!std::is_copy_assignable<XStore>::value, "copying a store is refused");

TEST(XStoreBasics, NewStoreIsEmptyAtVersionZero) {
    XStore store;
    EXPECT_EQ(store.EntryCount(), 0u);
    EXPECT_EQ(store.GetVersion(), 0u);
    EXPECT_EQ(Flatten(store), FromWords({0x73746F72, 0, 20, 20, 0}));
    // Reading and flattening do not build the editable form or count versions.
    EXPECT_EQ(store.ReadInt("a", 3, 0), 3);
    EXPECT_EQ(store.GetVersion(), 0u);
}

TEST(XStoreBasics, AddAppendsValuesOfOneType) {
    XStore store;
    EXPECT_TRUE(store.AddInt("a", 5));
    EXPECT_TRUE(store.AddInt("a", 6));
    EXPECT_EQ(store.ValueCount("a"), 2u);
    EXPECT_EQ(store.ReadInt("a", 0, 1), 6);
    EXPECT_EQ(store.GetVersion(), 2u);
    EXPECT_FALSE(store.AddString("a", "x"));
    EXPECT_EQ(store.GetVersion(), 2u);
    EXPECT_EQ(store.EntryType("a"), XStoreTypeInt);
}

TEST(XStoreBasics, SetReplacesOrCreatesAtIndexZero) {
    XStore store;
    EXPECT_TRUE(store.SetInt("b", 7, 0));
    EXPECT_EQ(store.ValueCount("b"), 1u);
    EXPECT_FALSE(store.SetInt("b", 8, 1));
    EXPECT_TRUE(store.SetInt("b", 8, 0));
    EXPECT_EQ(store.ReadInt("b", 0, 0), 8);
    EXPECT_FALSE(store.SetInt("c", 1, 1));
    EXPECT_EQ(store.EntryType("c"), XStoreTypeNone);
    EXPECT_EQ(store.GetVersion(), 2u);
    // Set never changes a type: SetString on a LocStr entry fails.
    EXPECT_TRUE(store.AddLocStr("l", "one"));
    EXPECT_FALSE(store.SetString("l", "two", 0));
    EXPECT_FALSE(store.AddString("l", "two"));
    EXPECT_TRUE(store.SetLocStr("l", "two", 0));
    EXPECT_STREQ(store.ReadString("l", nullptr, 0), "two");
}

TEST(XStoreBasics, SetReplacesOneValueOfMany) {
    XStore store;
    for (const char* text : {"p", "q", "r"})
        ASSERT_TRUE(store.AddMovStr("m", text));
    EXPECT_TRUE(store.SetMovStr("m", "Q", 1));
    EXPECT_FALSE(store.SetMovStr("m", "S", 3));
    EXPECT_STREQ(store.ReadString("m", nullptr, 0), "p");
    EXPECT_STREQ(store.ReadString("m", nullptr, 1), "Q");
    EXPECT_STREQ(store.ReadString("m", nullptr, 2), "r");
    const uint8_t bytes[] = {9, 8};
    ASSERT_TRUE(store.AddBlob("b", bytes, 1));
    ASSERT_TRUE(store.AddBlob("b", bytes, 2));
    EXPECT_TRUE(store.SetBlob("b", bytes + 1, 1, 0));
    EXPECT_EQ(store.GetBlobLen("b", 0), 1);
    EXPECT_EQ(*static_cast<const uint8_t*>(store.ReadBlob("b", nullptr, 0)), 8);
    EXPECT_EQ(store.GetBlobLen("b", 1), 2);
}

TEST(XStoreBasics, RemoveValueShiftsAndLastValueRemovesEntry) {
    XStore store;
    store.AddInt("a", 5);
    store.AddInt("a", 6);
    store.AddInt("a", 7);
    EXPECT_TRUE(store.RemoveValue("a", 1));
    EXPECT_EQ(store.ValueCount("a"), 2u);
    EXPECT_EQ(store.ReadInt("a", 0, 1), 7);
    EXPECT_TRUE(store.RemoveValue("a", 0));
    EXPECT_EQ(store.ValueCount("a"), 1u);
    EXPECT_EQ(store.ReadInt("a", 0, 0), 7);
    EXPECT_FALSE(store.RemoveValue("a", 1));
    EXPECT_FALSE(store.RemoveValue("b", 0));
    const uint32_t version = store.GetVersion();
    EXPECT_TRUE(store.RemoveValue("a", 0));
    EXPECT_EQ(store.GetVersion(), version + 1);
    EXPECT_EQ(store.EntryType("a"), XStoreTypeNone);
    EXPECT_EQ(store.EntryCount(), 0u);
}

TEST(XStoreBasics, RemoveEntryCountsAVersionEvenWhenMissing) {
    XStore store;
    store.AddString("s", "text");
    store.AddString("s", "more");
    EXPECT_FALSE(store.RemoveEntry("zz"));
    EXPECT_EQ(store.GetVersion(), 3u);
    EXPECT_TRUE(store.RemoveEntry("s"));
    EXPECT_EQ(store.GetVersion(), 4u);
    EXPECT_EQ(store.EntryCount(), 0u);
}

TEST(XStoreBasics, RefusesNullArguments) {
    XStore store;
    EXPECT_FALSE(store.AddInt(nullptr, 1));
    EXPECT_FALSE(store.AddString("s", nullptr));
    EXPECT_FALSE(store.SetLocStr("s", nullptr, 0));
    EXPECT_FALSE(store.AddBlob("b", nullptr, 4));
    EXPECT_TRUE(store.AddBlob("b", nullptr, 0));
    EXPECT_EQ(store.GetVersion(), 1u);
}

TEST(XStoreBasics, RefusesBlobWhoseLengthWordWouldOverflow) {
    XStore store;
    const uint8_t byte = 0;
    // Refused before a byte is read: the block of length + 4 bytes cannot be described.
    EXPECT_FALSE(store.AddBlob("b", &byte, 0xFFFFFFFC));
    EXPECT_FALSE(store.SetBlob("b", &byte, 0xFFFFFFFF, 0));
    EXPECT_EQ(store.EntryType("b"), XStoreTypeNone);
}

TEST(XStoreBasics, ValuesReadBackExactly) {
    XStore store;
    uint32_t nanBits = 0x7FC01234;
    float nan;
    memcpy(&nan, &nanBits, 4);
    store.AddFloat("f", nan);
    store.AddFloat("f", -2.5f);
    store.AddBool("t", true);
    store.AddBool("t", false);
    float read = 0;
    ASSERT_TRUE(store.GetFloat("f", &read, 0));
    EXPECT_EQ(memcmp(&read, &nanBits, 4), 0);
    EXPECT_EQ(store.ReadFloat("f", 0, 1), -2.5f);
    EXPECT_TRUE(store.ReadBool("t", false, 0));
    EXPECT_FALSE(store.ReadBool("t", true, 1));
    int32_t untouched = 42;
    EXPECT_FALSE(store.GetInt("f", &untouched, 0));
    EXPECT_EQ(untouched, 42);
    const char* text = "keep";
    EXPECT_FALSE(store.GetString("f", &text, 0));
    EXPECT_STREQ(text, "keep");
    Bytes flat = Flatten(store);
    XStoreReader reader(flat.data());
    ASSERT_TRUE(reader.GetFloat("f", &read, 0));
    EXPECT_EQ(memcmp(&read, &nanBits, 4), 0);
}

TEST(XStoreFlatten, NamesFlattenInByteOrder) {
    XStore store;
    store.AddInt("b", 1);
    store.AddInt("a", 2);
    store.AddInt("B", 3);
    XStoreType type = XStoreTypeNone;
    EXPECT_STREQ(store.IndEntry(0, &type), "B");
    EXPECT_EQ(type, XStoreTypeInt);
    EXPECT_EQ(store.IndEntry(3, &type), nullptr);
    Bytes flat = Flatten(store);
    XStoreReader reader(flat.data());
    ASSERT_EQ(reader.EntryCount(), 3u);
    EXPECT_STREQ(reader.IndEntry(0, nullptr), "B");
    EXPECT_STREQ(reader.IndEntry(1, nullptr), "a");
    EXPECT_STREQ(reader.IndEntry(2, nullptr), "b");
}

TEST(XStoreFlatten, ExampleInEveryOrderGivesTheSameBytes) {
    int order[] = {0, 1, 2, 3};
    do {
        XStore store;
        for (int which : order)
            AddExampleEntry(store, which);
        uint32_t size = 0;
        void* data = store.GetData_NF(&size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(size, 124u);
        Bytes flat(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        free(data);
        EXPECT_EQ(flat, ExampleBytes());
    } while (std::next_permutation(std::begin(order), std::end(order)));
}

TEST(XStoreFlatten, FlattenedStoreTakenBackFlattensTheSame) {
    XStore store;
    for (int which = 0; which < 4; ++which)
        AddExampleEntry(store, which);
    store.AddString("s", "a longer second text");
    store.AddFloat("f", 1.5f);
    Bytes first = Flatten(store);
    XStore again(first.data());
    EXPECT_EQ(Flatten(again), first);
    // Changing and changing back goes through the editable form and still gives the same.
    ASSERT_TRUE(again.AddInt("zz", 1));
    ASSERT_TRUE(again.RemoveEntry("zz"));
    EXPECT_EQ(Flatten(again), first);
}

TEST(XStoreFlatten, EmptyBlobTakesOneWordAndBoolIsOne) {
    XStore store;
    const uint8_t byte = 7;
    ASSERT_TRUE(store.AddBlob("z", &byte, 0));
    const void* data = nullptr;
    uint32_t length = 9;
    ASSERT_TRUE(store.GetBlob("z", &data, &length, 0));
    EXPECT_EQ(length, 0u);
    EXPECT_NE(data, nullptr);
    ASSERT_TRUE(store.AddBool("f", true));
    Bytes flat = Flatten(store);
    // Header, two entries, 'f' + its word, 'z' + the length word.
    ASSERT_EQ(flat.size(), 20u + 32u + 8u + 8u);
    EXPECT_EQ(WordAt(flat, 52 + 4), 1u);
    EXPECT_EQ(WordAt(flat, 52 + 12), 0u);
}

TEST(XStoreFlatten, FlatteningChangesNothing) {
    XStore store;
    store.AddInt("a", 1);
    const uint32_t version = store.GetVersion();
    Bytes first = Flatten(store);
    EXPECT_EQ(Flatten(store), first);
    EXPECT_EQ(store.GetVersion(), version);
    free(store.GetData_NF(nullptr));
}

TEST(XStoreBuffer, AnswersFromBufferUntilFirstChange) {
    Bytes example = ExampleBytes();
    XStore store(example.data(), false);
    EXPECT_EQ(store.GetVersion(), 0u);
    EXPECT_EQ(store.EntryCount(), 4u);
    EXPECT_EQ(store.ReadInt("a", 0, 0), 5);
    // The buffer is read in place: a change to it shows until the store is changed.
    example[88] = 6;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    ASSERT_TRUE(store.AddInt("n", 1));
    example[88] = 7;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    EXPECT_EQ(store.EntryCount(), 5u);
    EXPECT_EQ(store.GetVersion(), 1u);
    Bytes flat = Flatten(store);
    XStoreReader reader(flat.data());
    EXPECT_EQ(reader.EntryCount(), 5u);
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 1);
    EXPECT_EQ(reader.GetBlobLen("b", 0), 3);
    EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "hi");
    EXPECT_STREQ(reader.ReadString("t", nullptr, 0), "x");
}

TEST(XStoreBuffer, TakingABufferDiscardsChangesAndCountsAVersion) {
    Bytes example = ExampleBytes();
    XStore store;
    store.AddInt("mine", 1);
    store.SetData(example.data(), true);
    EXPECT_EQ(store.GetVersion(), 2u);
    EXPECT_EQ(store.EntryType("mine"), XStoreTypeNone);
    EXPECT_EQ(store.EntryCount(), 4u);
    void* owned = malloc(example.size());
    memcpy(owned, example.data(), example.size());
    store.AddInt("mine", 1);
    store.SetAllocatedData(owned);
    EXPECT_EQ(store.GetVersion(), 4u);
    EXPECT_EQ(store.EntryType("mine"), XStoreTypeNone);
    EXPECT_EQ(Flatten(store), example);
    store.SetEmpty();
    EXPECT_EQ(store.GetVersion(), 5u);
    EXPECT_EQ(store.EntryCount(), 0u);
    store.ResetVersion();
    EXPECT_EQ(store.GetVersion(), 0u);
    // A rejected buffer leaves the store empty, and still counts.
    Bytes bad = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    store.SetData(bad.data(), true);
    EXPECT_EQ(store.GetVersion(), 1u);
    EXPECT_EQ(store.EntryCount(), 0u);
}

class FixedResolver : public XSepStrResolver {
  public:
    explicit FixedResolver(const char* text) : text_(text) {}
    const char* Resolve(uint32_t) override { return text_; }

  private:
    const char* text_;
};

TEST(XStoreBuffer, EditableFormHoldsTextsAndIgnoresResolvers) {
    Bytes example = ExampleBytes();
    FixedResolver resolver("resolved");
    XStore store(example.data());
    store.SetStrResolver(&resolver, &resolver);
    // Before the first change the buffer's reading asks the resolver.
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "resolved");
    ASSERT_TRUE(store.AddMovStr("u", "y"));
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "x");
    EXPECT_STREQ(store.ReadString("u", nullptr, 0), "y");
}

class CountingRecorder : public XSepStrRecorder {
  public:
    uint32_t Record(const char*) override { return ++calls; }
    uint32_t calls = 0;
};

TEST(XStoreBuffer, DetachStringsDoesNothing) {
    Bytes example = ExampleBytes();
    CountingRecorder recorder;
    XStore store(example.data());
    XStoreReader* asReader = &store;
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_EQ(recorder.calls, 0u);
    EXPECT_EQ(Flatten(store), example);
    store.AddInt("n", 1);
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_EQ(recorder.calls, 0u);
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "x");
}

TEST(XStoreBuffer, VirtualReadsReachTheEditableForm) {
    XStore store;
    store.AddInt("n", 3);
    XStoreReader* asReader = &store;
    EXPECT_EQ(asReader->EntryCount(), 1u);
    EXPECT_EQ(asReader->ReadInt("n", 0, 0), 3);
    EXPECT_EQ(asReader->GetBlobLen("n", 0), -1);
    EXPECT_EQ(asReader->EntryType("n"), XStoreTypeInt);
    std::unique_ptr<XStoreReader> owned(new XStore);
    static_cast<XStore*>(owned.get())->AddString("s", "t");
    EXPECT_STREQ(owned->ReadString("s", nullptr, 0), "t");
}

// Reaches the protected value path to plant a blob block whose length word claims nearly
// 4 GiB while the block itself is 4 bytes long.
class PlantingStore : public XStore {
  public:
    bool PlantBlob(const char* name, uint32_t claimedLength) {
        void* block = malloc(4);
        memcpy(block, &claimedLength, 4);
        if (AddVal(name, XStoreTypeBlob, block))
            return true;
        free(block);
        return false;
    }
};

TEST(XStoreFlatten, StoreBeyondFourGigabytesIsRefusedBeforeAnyWrite) {
    PlantingStore store;
    ASSERT_TRUE(store.AddInt("a", 1));
    ASSERT_TRUE(store.PlantBlob("huge", 0xFFFFFFF0));
    uint32_t size = 123;
    EXPECT_EQ(store.GetData_NF(&size), nullptr);
    EXPECT_EQ(size, 0u);
    // Two blobs that only overflow together.
    PlantingStore pair;
    ASSERT_TRUE(pair.PlantBlob("x", 0x80000000));
    ASSERT_TRUE(pair.PlantBlob("y", 0x80000000));
    EXPECT_EQ(pair.GetData_NF(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

}  // namespace
