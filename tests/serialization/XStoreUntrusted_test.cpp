// How XStore deals with buffers it cannot trust, and with running out of memory.
#include <brindle/Debg.h>
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "StoreBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using storetest::StoreBytes;

Bytes Flatten(XStore& store) {
    uint32_t size = 0;
    void* data = store.GetData_NF(&size);
    if (data == nullptr)
        return {};
    Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    free(data);
    return bytes;
}

void PutWord(Bytes& bytes, size_t at, uint32_t word) {
    memcpy(&bytes[at], &word, 4);
}

// Offset of word `field` of entry record `index`.
size_t EntryField(uint32_t index, uint32_t field) {
    return 20 + 16 * index + 4 * field;
}

// A store with entries of every type, several of them multi-valued.
StoreBytes EveryType() {
    StoreBytes bytes;
    bytes.Int("int", {1, 0xFFFFFFFF, 3});
    bytes.Words("float", StoreBytes::kFloat, {0x3FC00000});
    bytes.Words("bool", StoreBytes::kBool, {1, 0});
    bytes.Pieces("string", StoreBytes::kString, {"one", "", "three"});
    bytes.Pieces("blob", StoreBytes::kBlob, {std::string("\0\1\2", 3), ""});
    bytes.Pieces("loc", StoreBytes::kLocStr, {"here", "there"});
    bytes.Pieces("mov", StoreBytes::kMovStr, {"moved"});
    return bytes;
}

TEST(XStoreUntrusted, EntryWithoutValuesIsLeftOut) {
    Bytes buffer = StoreBytes().Int("a", {1}).Int("z", {}).Build();
    XStore store(buffer.data());
    EXPECT_EQ(store.EntryCount(), 2u);
    ASSERT_TRUE(store.AddInt("n", 2));
    EXPECT_EQ(store.EntryType("z"), XStoreTypeNone);
    EXPECT_EQ(store.EntryCount(), 2u);
    EXPECT_EQ(Flatten(store), StoreBytes().Int("a", {1}).Int("n", {2}).Build());
}

TEST(XStoreUntrusted, EntryTypedAsNoEntryIsLeftOut) {
    Bytes buffer = StoreBytes().Words("none", XStoreTypeNone, {1}).Build();
    XStore store(buffer.data());
    ASSERT_TRUE(store.AddInt("none", 2));
    EXPECT_EQ(store.ValueCount("none"), 1u);
    EXPECT_EQ(store.EntryCount(), 1u);
}

TEST(XStoreUntrusted, UnknownTypeKeepsItsCountAndNoValues) {
    Bytes buffer = StoreBytes().Words("u", 9, {1, 2, 3}).Int("v", {4}).Build();
    XStore store(buffer.data());
    ASSERT_TRUE(store.AddInt("v", 5));
    EXPECT_EQ(store.EntryType("u"), static_cast<XStoreType>(9));
    EXPECT_EQ(store.ValueCount("u"), 3u);
    EXPECT_FALSE(store.GetInt("u", nullptr, 0));
    EXPECT_FALSE(store.SetInt("u", 1, 0));
    EXPECT_FALSE(store.AddInt("u", 1));
    EXPECT_TRUE(store.RemoveValue("u", 2));
    EXPECT_EQ(store.ValueCount("u"), 2u);
    // Flattened, the entry keeps its type and count and no value bytes.
    Bytes flat = Flatten(store);
    XStoreReader reader(flat.data());
    EXPECT_EQ(reader.EntryType("u"), static_cast<XStoreType>(9));
    EXPECT_EQ(reader.ValueCount("u"), 2u);
    EXPECT_EQ(reader.ReadInt("v", 0, 1), 5);
    EXPECT_EQ(flat.size(), 20u + 32u + 4u + 4u + 8u);
    EXPECT_TRUE(store.RemoveValue("u", 0));
    EXPECT_TRUE(store.RemoveValue("u", 0));
    EXPECT_EQ(store.EntryType("u"), XStoreTypeNone);
}

TEST(XStoreUntrusted, RepeatedNamesKeepTheFirst) {
    // Entries "d" 1, "d" 2 and "e" 3: the table is sorted but names repeat.
    Bytes buffer = StoreBytes().Int("d", {1}).Int("e", {3}).Build();
    Bytes twin = StoreBytes().Int("d", {2}).Int("d", {2}).Int("e", {3}).Build();
    ASSERT_EQ(twin.size(), buffer.size() + 16 + 8);
    XStore store(twin.data());
    ASSERT_TRUE(store.AddInt("f", 4));
    EXPECT_EQ(store.EntryCount(), 3u);
    EXPECT_EQ(store.ValueCount("d"), 1u);
    EXPECT_EQ(store.ReadInt("d", 0, 0), 2);
    EXPECT_TRUE(store.RemoveEntry("d"));
    EXPECT_EQ(store.EntryType("d"), XStoreTypeNone);
}

TEST(XStoreUntrusted, NamesOutOfOrderAreSorted) {
    Bytes sorted = StoreBytes().Int("a", {1}).Int("b", {2}).Int("c", {3}).Build();
    Bytes shuffled = sorted;
    // Swap the records of "a" and "c".
    memcpy(&shuffled[EntryField(0, 0)], &sorted[EntryField(2, 0)], 16);
    memcpy(&shuffled[EntryField(2, 0)], &sorted[EntryField(0, 0)], 16);
    XStore store(shuffled.data());
    ASSERT_TRUE(store.AddInt("d", 4));
    EXPECT_EQ(store.ReadInt("a", 0, 0), 1);
    EXPECT_EQ(store.ReadInt("c", 0, 0), 3);
    XStoreReader reader;
    Bytes flat = Flatten(store);
    reader.SetData(flat.data(), false);
    EXPECT_STREQ(reader.IndEntry(0, nullptr), "a");
    EXPECT_STREQ(reader.IndEntry(3, nullptr), "d");
}

TEST(XStoreUntrusted, OtherByteOrderUnflattensToNativeBytes) {
    StoreBytes model = EveryType();
    Bytes reversed = model.Build(true);
    XStore store(reversed.data());
    EXPECT_TRUE(store.MustSwap());
    ASSERT_TRUE(store.AddInt("zz", 7));
    EXPECT_STREQ(store.ReadString("loc", nullptr, 1), "there");
    EXPECT_STREQ(store.ReadString("mov", nullptr, 0), "moved");
    ASSERT_TRUE(store.RemoveEntry("zz"));
    EXPECT_EQ(Flatten(store), model.Build(false));
}

class MapResolver : public XSepStrResolver {
  public:
    const char* Resolve(uint32_t id) override { return id == 77 ? "seventy-seven" : nullptr; }
};

class FixedRecorder : public XSepStrRecorder {
  public:
    uint32_t Record(const char*) override { return 77; }
};

TEST(XStoreUntrusted, DetachedTextsComeFromResolverElseEmpty) {
    Bytes attached = StoreBytes().Pieces("t", StoreBytes::kLocStr, {"x"}).Build();
    XStoreReader detacher(attached.data());
    FixedRecorder recorder;
    detacher.DetachStrings(&recorder, nullptr);
    uint32_t size = 0;
    void* detached = detacher.GetData_NF(&size);
    ASSERT_NE(detached, nullptr);

    MapResolver resolver;
    XStore resolved(detached);
    resolved.SetStrResolver(&resolver, nullptr);
    ASSERT_TRUE(resolved.AddInt("n", 1));
    EXPECT_STREQ(resolved.ReadString("t", nullptr, 0), "seventy-seven");
    // Flattening attaches the text again.
    Bytes flat = Flatten(resolved);
    XStoreReader reader(flat.data());
    EXPECT_STREQ(reader.ReadString("t", nullptr, 0), "seventy-seven");

    XStore bare(detached);
    ASSERT_TRUE(bare.AddInt("n", 1));
    EXPECT_STREQ(bare.ReadString("t", nullptr, 0), "");
    // A resolver that gives null for the id: the editable form holds "".
    class NullResolver : public XSepStrResolver {
      public:
        const char* Resolve(uint32_t) override { return nullptr; }
    } none;
    XStore unknown(detached);
    unknown.SetStrResolver(&none, nullptr);
    ASSERT_TRUE(unknown.AddInt("n", 1));
    EXPECT_STREQ(unknown.ReadString("t", nullptr, 0), "");
    free(detached);
}

TEST(XStoreUntrusted, PiecesOutsideTheBufferAreLeftOut) {
    StoreBytes model = StoreBytes()
                           .Int("a", {1})
                           .Pieces("s", StoreBytes::kString, {"text"})
                           .Pieces("t", StoreBytes::kLocStr, {"x"});
    Bytes base = model.Build();
    // A name offset far outside: entry "a" is left out.
    Bytes badName = base;
    PutWord(badName, EntryField(0, 0), 0x7FFFFFF0);
    XStore first(badName.data());
    ASSERT_TRUE(first.AddInt("n", 1));
    EXPECT_EQ(first.EntryType("a"), XStoreTypeNone);
    EXPECT_STREQ(first.ReadString("s", nullptr, 0), "text");
    // A values offset outside, and a value count beyond the buffer: "s" is left out.
    for (uint32_t field : {1u, 3u}) {
        Bytes badValues = base;
        PutWord(badValues, EntryField(1, field), field == 1 ? 0x40000000 : 0xFFFFFFF0);
        XStore store(badValues.data());
        ASSERT_TRUE(store.AddInt("n", 1));
        EXPECT_EQ(store.EntryType("s"), XStoreTypeNone);
        EXPECT_EQ(store.ReadInt("a", 0, 0), 1);
    }
    // A slot pointing outside the strings area: the text is "".
    Bytes badSlot = base;
    const uint32_t slotAt = 20 + 48 + 24;  // names and values of "a" and "s", name "t".
    ASSERT_EQ(badSlot[slotAt], 0);
    PutWord(badSlot, slotAt, 1000);
    XStore slot(badSlot.data());
    ASSERT_TRUE(slot.AddInt("n", 1));
    EXPECT_EQ(slot.EntryType("t"), XStoreTypeLocStr);
    EXPECT_STREQ(slot.ReadString("t", nullptr, 0), "");
}

// Runs `change` on a store prepared by `setup` with the nth allocation failing, for n = 1,
// 2, ... until the change runs without the failure firing. Whenever the change reports
// failure, the store must be exactly as it was: same version, same contents.
void SweepAllocationFailures(const std::function<void(XStore&)>& setup,
                             const std::function<bool(XStore&)>& change) {
    for (uint32_t nth = 1; nth < 10000; ++nth) {
        XStore store;
        setup(store);
        const Bytes before = Flatten(store);
        const uint32_t version = store.GetVersion();
        DebgFailAllocation(nth);
        const bool changed = change(store);
        const bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (!fired) {
            EXPECT_TRUE(changed) << "without a failure, at n = " << nth;
            return;
        }
        if (!changed) {
            EXPECT_EQ(store.GetVersion(), version) << "n = " << nth;
            EXPECT_EQ(Flatten(store), before) << "n = " << nth;
        }
    }
    ADD_FAILURE() << "the change never ran without a failure";
}

TEST(XStoreOutOfMemory, AddToNewStore) {
    SweepAllocationFailures([](XStore&) {},
                            [](XStore& store) { return store.AddString("name", "text"); });
}

TEST(XStoreOutOfMemory, AddSecondAndNinthValue) {
    SweepAllocationFailures([](XStore& store) { store.AddBlob("b", "xy", 2); },
                            [](XStore& store) { return store.AddBlob("b", "z", 1); });
    SweepAllocationFailures(
        [](XStore& store) {
            for (int i = 0; i < 8; ++i)
                store.AddLocStr("l", "v");
        },
        [](XStore& store) { return store.AddLocStr("l", "ninth"); });
}

TEST(XStoreOutOfMemory, SetAndRemove) {
    auto setup = [](XStore& store) {
        store.AddMovStr("m", "a");
        store.AddMovStr("m", "b");
    };
    SweepAllocationFailures(setup, [](XStore& store) { return store.SetMovStr("m", "c", 1); });
    SweepAllocationFailures(setup, [](XStore& store) { return store.RemoveValue("m", 0); });
    SweepAllocationFailures(setup, [](XStore& store) { return store.SetInt("new", 1, 0); });
}

TEST(XStoreOutOfMemory, UnflattenOfEveryType) {
    const Bytes buffer = EveryType().Build();
    auto setup = [&buffer](XStore& store) { store.SetData(buffer.data(), true); };
    SweepAllocationFailures(setup, [](XStore& store) { return store.AddInt("int", 4); });
    SweepAllocationFailures(setup, [](XStore& store) { return store.RemoveEntry("blob"); });
}

TEST(XStoreOutOfMemory, FlattenReportsNull) {
    XStore store;
    store.AddString("s", "t");
    uint32_t size = 0;
    DebgFailAllocation(1);
    EXPECT_EQ(store.GetData_NF(&size), nullptr);
    DebgFailAllocation(0);
    EXPECT_EQ(size, 20u + 16u + 4u + 4u);
    EXPECT_EQ(store.GetVersion(), 1u);
}

}  // namespace
