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

using storetest::Bytes;
using storetest::EntryField;
using storetest::Flatten;
using storetest::PatchWord;
using storetest::StoreBytes;

// Reads `buffer` into a new store and makes one change, so that the editable form is built.
void Unflatten(XStore& store, const Bytes& buffer) {
    store.SetData(buffer.data(), true);
    ASSERT_TRUE(store.AddInt("n", 1));
}

TEST(XStoreUntrusted, EntriesWithoutValuesOrTypedAsNoEntryAreLeftOut) {
    Bytes buffer =
        StoreBytes().Int("a", {1}).Int("z", {}).Words("none", XStoreTypeNone, {1}).Build();
    XStore store(buffer.data());
    EXPECT_EQ(store.EntryCount(), 3u);
    Unflatten(store, buffer);
    EXPECT_EQ(store.EntryType("z"), XStoreTypeNone);
    EXPECT_EQ(store.EntryType("none"), XStoreTypeNone);
    EXPECT_EQ(Flatten(store), StoreBytes().Int("a", {1}).Int("n", {1}).Build());
}

TEST(XStoreUntrusted, UnknownTypeKeepsItsCountAndNoValues) {
    Bytes buffer = StoreBytes().Words("u", 9, {1, 2, 3}).Int("v", {4}).Build();
    XStore store;
    Unflatten(store, buffer);
    EXPECT_EQ(store.EntryType("u"), static_cast<XStoreType>(9));
    EXPECT_EQ(store.ValueCount("u"), 3u);
    EXPECT_FALSE(store.GetInt("u", nullptr, 0));
    EXPECT_FALSE(store.SetInt("u", 1, 0));
    EXPECT_FALSE(store.AddInt("u", 1));
    EXPECT_TRUE(store.RemoveValue("u", 2));
    // Flattened, the entry keeps its type and count and no value bytes.
    Bytes flat = Flatten(store);
    XStoreReader reader(flat.data());
    EXPECT_EQ(reader.EntryType("u"), static_cast<XStoreType>(9));
    EXPECT_EQ(reader.ValueCount("u"), 2u);
    EXPECT_EQ(reader.ReadInt("v", 0, 0), 4);
    EXPECT_EQ(flat.size(), 20u + 48u + 4u + 8u + 8u);
    EXPECT_TRUE(store.RemoveValue("u", 0));
    EXPECT_TRUE(store.RemoveValue("u", 0));
    EXPECT_EQ(store.EntryType("u"), XStoreTypeNone);
}

TEST(XStoreUntrusted, RepeatedNamesKeepTheFirstAndShuffledNamesAreSorted) {
    XStore store;
    Unflatten(store, StoreBytes().Int("d", {2}).Int("d", {3}).Int("e", {4}).Build());
    EXPECT_EQ(store.EntryCount(), 3u);
    EXPECT_EQ(store.ValueCount("d"), 1u);
    EXPECT_EQ(store.ReadInt("d", 0, 0), 2);
    EXPECT_TRUE(store.RemoveEntry("d"));
    EXPECT_EQ(store.EntryType("d"), XStoreTypeNone);

    Bytes sorted = StoreBytes().Int("a", {1}).Int("b", {2}).Int("c", {3}).Build();
    Bytes shuffled = sorted;
    // Swap the records of "a" and "c".
    memcpy(&shuffled[EntryField(0, 0)], &sorted[EntryField(2, 0)], 16);
    memcpy(&shuffled[EntryField(2, 0)], &sorted[EntryField(0, 0)], 16);
    Unflatten(store, shuffled);
    EXPECT_EQ(store.ReadInt("a", 0, 0), 1);
    EXPECT_EQ(store.ReadInt("c", 0, 0), 3);
    EXPECT_EQ(Flatten(store),
              StoreBytes().Int("a", {1}).Int("b", {2}).Int("c", {3}).Int("n", {1}).Build());
}

TEST(XStoreUntrusted, DetachedTextsComeFromResolverElseEmpty) {
    Bytes attached = StoreBytes().Pieces("t", StoreBytes::kLocStr, {"x"}).Build();
    XStoreReader detacher(attached.data());
    storetest::KeepingRecorder recorder(77);
    detacher.DetachStrings(&recorder, nullptr);
    const Bytes detached = Flatten(detacher);
    // A resolver's text, no resolver, and a resolver that gives null for the id.
    storetest::MapResolver seventySeven({{77, "seventy-seven"}}), none({});
    for (storetest::MapResolver* resolver :
         {&seventySeven, &none, static_cast<storetest::MapResolver*>(nullptr)}) {
        XStore store(detached.data());
        store.SetStrResolver(resolver, nullptr);
        ASSERT_TRUE(store.AddInt("n", 1));
        const char* expected = resolver == &seventySeven ? "seventy-seven" : "";
        EXPECT_STREQ(store.ReadString("t", nullptr, 0), expected);
        // Flattening attaches the text again.
        Bytes flat = Flatten(store);
        XStoreReader reader(flat.data());
        EXPECT_STREQ(reader.ReadString("t", nullptr, 0), expected);
    }
}

TEST(XStoreUntrusted, PiecesOutsideTheBufferAreLeftOut) {
    const Bytes base = StoreBytes()
                           .Int("a", {1})
                           .Pieces("s", StoreBytes::kString, {"text"})
                           .Pieces("t", StoreBytes::kLocStr, {"x"})
                           .Build();
    // A name offset far outside leaves out "a"; a values offset outside, or a value count
    // beyond the buffer, leaves out "s".
    struct Lie {
        size_t at;
        uint32_t word;
        const char* gone;
    } lies[] = {{EntryField(0, 0), 0x7FFFFFF0, "a"},
                {EntryField(1, 1), 0x40000000, "s"},
                {EntryField(1, 3), 0xFFFFFFF0, "s"}};
    for (const Lie& lie : lies) {
        Bytes bytes = base;
        PatchWord(bytes, lie.at, lie.word);
        XStore store;
        Unflatten(store, bytes);
        EXPECT_EQ(store.EntryType(lie.gone), XStoreTypeNone) << lie.at;
        EXPECT_EQ(store.EntryCount(), 3u);
        EXPECT_STREQ(store.ReadString("t", nullptr, 0), "x");
    }
    // A slot pointing outside the strings area: the text is "".
    Bytes badSlot = base;
    const uint32_t slotAt = 20 + 48 + 24;  // names and values of "a" and "s", name "t".
    ASSERT_EQ(badSlot[slotAt], 0);
    PatchWord(badSlot, slotAt, 1000);
    XStore slot;
    Unflatten(slot, badSlot);
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

TEST(XStoreOutOfMemory, EveryChange) {
    SweepAllocationFailures([](XStore&) {},
                            [](XStore& store) { return store.AddString("name", "text"); });
    SweepAllocationFailures([](XStore& store) { store.AddBlob("b", "xy", 2); },
                            [](XStore& store) { return store.AddBlob("b", "z", 1); });
    SweepAllocationFailures(
        [](XStore& store) {
            for (int i = 0; i < 8; ++i)
                store.AddLocStr("l", "v");
        },
        [](XStore& store) { return store.AddLocStr("l", "ninth"); });
    auto two = [](XStore& store) {
        store.AddMovStr("m", "a");
        store.AddMovStr("m", "b");
    };
    SweepAllocationFailures(two, [](XStore& store) { return store.SetMovStr("m", "c", 1); });
    SweepAllocationFailures(two, [](XStore& store) { return store.RemoveValue("m", 0); });
    SweepAllocationFailures(two, [](XStore& store) { return store.SetInt("new", 1, 0); });
}

TEST(XStoreOutOfMemory, UnflattenOfEveryType) {
    StoreBytes model;
    model.Int("int", {1, 0xFFFFFFFF, 3}).Words("float", StoreBytes::kFloat, {0x3FC00000});
    model.Words("bool", StoreBytes::kBool, {1, 0});
    model.Pieces("string", StoreBytes::kString, {"one", "", "three"});
    model.Pieces("blob", StoreBytes::kBlob, {std::string("\0\1\2", 3), ""});
    model.Pieces("loc", StoreBytes::kLocStr, {"here", "there"});
    model.Pieces("mov", StoreBytes::kMovStr, {"moved"});
    const Bytes buffer = model.Build();
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
