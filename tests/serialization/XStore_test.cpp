#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::Example;
using storetest::Flatten;
using storetest::StoreBytes;

// Adds one of the four example entries.
void AddExampleEntry(XStore& store, int which) {
    static const uint8_t kBlob[] = {1, 2, 3};
    const bool added = which == 0   ? store.AddInt("a", 5)
                       : which == 1 ? store.AddBlob("b", kBlob, 3)
                       : which == 2 ? store.AddString("s", "hi")
                                    : store.AddLocStr("t", "x");
    ASSERT_TRUE(added);
}

static_assert(!std::is_copy_constructible<XStore>::value, "copying a store is refused");
static_assert(!std::is_copy_assignable<XStore>::value, "copying a store is refused");

TEST(XStoreBasics, NewStoreIsEmptyAtVersionZero) {
    XStore store;
    EXPECT_EQ(store.EntryCount(), 0u);
    EXPECT_EQ(Flatten(store), StoreBytes().Build());
    // Reading and flattening do not build the editable form or count versions.
    EXPECT_EQ(store.ReadInt("a", 3, 0), 3);
    EXPECT_EQ(store.GetVersion(), 0u);
}

TEST(XStoreBasics, AddAppendsAndSetReplacesValuesOfOneType) {
    XStore store;
    EXPECT_TRUE(store.AddInt("a", 5));
    EXPECT_TRUE(store.AddInt("a", 6));
    EXPECT_EQ(store.ValueCount("a"), 2u);
    EXPECT_EQ(store.ReadInt("a", 0, 1), 6);
    EXPECT_FALSE(store.AddString("a", "x"));
    EXPECT_EQ(store.EntryType("a"), XStoreTypeInt);
    EXPECT_EQ(store.GetVersion(), 2u);
    // Set creates at index 0 only, and replaces any existing index.
    EXPECT_FALSE(store.SetInt("c", 1, 1));
    EXPECT_EQ(store.EntryType("c"), XStoreTypeNone);
    EXPECT_TRUE(store.SetInt("b", 7, 0));
    EXPECT_FALSE(store.SetInt("b", 8, 1));
    EXPECT_TRUE(store.SetInt("b", 8, 0));
    EXPECT_EQ(store.ReadInt("b", 0, 0), 8);
    EXPECT_EQ(store.GetVersion(), 4u);
    // Set never changes a type: SetString on a LocStr entry fails.
    EXPECT_TRUE(store.AddLocStr("l", "one"));
    EXPECT_FALSE(store.SetString("l", "two", 0));
    EXPECT_FALSE(store.AddString("l", "two"));
    for (const char* text : {"p", "q", "r"})
        ASSERT_TRUE(store.AddMovStr("m", text));
    EXPECT_TRUE(store.SetMovStr("m", "Q", 1));
    EXPECT_FALSE(store.SetMovStr("m", "S", 3));
    EXPECT_STREQ(store.ReadString("m", nullptr, 0), "p");
    EXPECT_STREQ(store.ReadString("m", nullptr, 1), "Q");
    EXPECT_STREQ(store.ReadString("m", nullptr, 2), "r");
    const uint8_t bytes[] = {9, 8};
    ASSERT_TRUE(store.AddBlob("b2", bytes, 1));
    ASSERT_TRUE(store.AddBlob("b2", bytes, 2));
    EXPECT_TRUE(store.SetBlob("b2", bytes + 1, 1, 0));
    EXPECT_EQ(store.GetBlobLen("b2", 0), 1);
    EXPECT_EQ(*static_cast<const uint8_t*>(store.ReadBlob("b2", nullptr, 0)), 8);
    EXPECT_EQ(store.GetBlobLen("b2", 1), 2);
}

TEST(XStoreBasics, RemovalShiftsValuesAndCountsVersions) {
    XStore store;
    for (int32_t value : {5, 6, 7})
        store.AddInt("a", value);
    EXPECT_TRUE(store.RemoveValue("a", 1));
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
    // RemoveEntry counts a version even when the entry is missing.
    store.AddString("s", "text");
    store.AddString("s", "more");
    EXPECT_FALSE(store.RemoveEntry("zz"));
    EXPECT_EQ(store.GetVersion(), version + 4);
    EXPECT_TRUE(store.RemoveEntry("s"));
    EXPECT_EQ(store.GetVersion(), version + 5);
    EXPECT_EQ(store.EntryCount(), 0u);
}

TEST(XStoreBasics, RefusesNullArgumentsAndOverlongBlobs) {
    XStore store;
    const uint8_t byte = 0;
    EXPECT_FALSE(store.AddInt(nullptr, 1));
    EXPECT_FALSE(store.AddString("s", nullptr));
    EXPECT_FALSE(store.SetLocStr("s", nullptr, 0));
    EXPECT_FALSE(store.AddBlob("b", nullptr, 4));
    // Refused before a byte is read: the block of length + 4 bytes cannot be described.
    EXPECT_FALSE(store.AddBlob("c", &byte, 0xFFFFFFFC));
    EXPECT_FALSE(store.SetBlob("c", &byte, 0xFFFFFFFF, 0));
    EXPECT_EQ(store.EntryType("c"), XStoreTypeNone);
    EXPECT_TRUE(store.AddBlob("b", nullptr, 0));
    EXPECT_EQ(store.GetVersion(), 1u);
}

TEST(XStoreBasics, ValuesReadBackExactly) {
    XStore store;
    uint32_t nanBits = 0x7FC01234;
    float nan;
    memcpy(&nan, &nanBits, 4);
    store.AddFloat("f", nan);
    float read = 0;
    ASSERT_TRUE(store.GetFloat("f", &read, 0));
    EXPECT_EQ(memcmp(&read, &nanBits, 4), 0);
    // Failing getters write nothing.
    int32_t untouched = 42;
    EXPECT_FALSE(store.GetInt("f", &untouched, 0));
    EXPECT_EQ(untouched, 42);
    const char* text = "keep";
    EXPECT_FALSE(store.GetString("f", &text, 0));
    EXPECT_STREQ(text, "keep");
}

TEST(XStoreFlatten, ExampleInEveryOrderGivesTheSameBytes) {
    int order[] = {0, 1, 2, 3};
    do {
        XStore store;
        for (int which : order)
            AddExampleEntry(store, which);
        EXPECT_EQ(Flatten(store), Example());
        EXPECT_EQ(store.GetVersion(), 4u);  // Flattening changes nothing.
        EXPECT_EQ(Flatten(store), Example());
    } while (std::next_permutation(std::begin(order), std::end(order)));
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

TEST(XStoreBuffer, AnswersFromBufferUntilFirstChange) {
    Bytes example = Example();
    XStore store(example.data(), false);
    EXPECT_EQ(store.GetVersion(), 0u);
    EXPECT_EQ(store.EntryCount(), 4u);
    // The buffer is read in place: a change to it shows until the store is changed.
    example[88] = 6;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    ASSERT_TRUE(store.AddInt("n", 1));
    example[88] = 7;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    EXPECT_EQ(store.EntryCount(), 5u);
    EXPECT_EQ(store.GetVersion(), 1u);
    // Reads through the base class reach the editable form.
    XStoreReader* asReader = &store;
    EXPECT_EQ(asReader->ReadInt("n", 0, 0), 1);
    EXPECT_EQ(asReader->GetBlobLen("n", 0), -1);
    StoreBytes expected;
    expected.Int("a", {6}).Pieces("b", StoreBytes::kBlob, {"\x01\x02\x03"}).Int("n", {1});
    expected.Pieces("s", StoreBytes::kString, {"hi"}).Pieces("t", StoreBytes::kLocStr, {"x"});
    EXPECT_EQ(Flatten(store), expected.Build());
    std::unique_ptr<XStoreReader> owned(new XStore);
    static_cast<XStore*>(owned.get())->AddString("s", "t");
    EXPECT_STREQ(owned->ReadString("s", nullptr, 0), "t");
}

TEST(XStoreBuffer, TakingABufferDiscardsChangesAndCountsAVersion) {
    Bytes example = Example();
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

// The editable form holds texts: resolvers are ignored once it exists, and detaching the
// separated strings does nothing before or after.
TEST(XStoreBuffer, EditableFormHoldsTextsAndIgnoresDetachAndResolvers) {
    Bytes example = Example();
    storetest::MapResolver resolver({{0, "resolved"}});
    storetest::KeepingRecorder recorder(1);
    XStore store(example.data());
    XStoreReader* asReader = &store;
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_EQ(Flatten(store), example);
    store.SetStrResolver(&resolver, &resolver);
    // Before the first change the buffer's reading asks the resolver.
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "resolved");
    ASSERT_TRUE(store.AddMovStr("u", "y"));
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_TRUE(recorder.texts.empty());
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "x");
    EXPECT_STREQ(store.ReadString("u", nullptr, 0), "y");
}

}  // namespace
