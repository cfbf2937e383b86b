// How XStore deals with buffers it cannot trust, and with running out of memory.
#include <brindle/Debg.h>
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <utility>
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

TEST(XStoreUntrusted, KeepsEveryEntryAndFlattensThoseWithoutValuesAsCountZero) {
    const Bytes buffer = StoreBytes()
                             .Int("a", {1})
                             .Words("n", XStoreTypeNone, {})
                             .Words("u", 9, {1, 2, 3})
                             .Int("z", {})
                             .Build();
    XStore store(buffer.data());
    ASSERT_TRUE(store.AddInt("b", 0));
    const std::pair<const char*, int32_t> entries[] = {
        {"a", 0}, {"b", 0}, {"n", 7}, {"u", 9}, {"z", 0}};
    ASSERT_EQ(store.EntryCount(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        XStoreType type = XStoreTypeInt;
        EXPECT_STREQ(store.IndEntry(i, &type), entries[i].first);
        EXPECT_EQ(type, entries[i].second);
    }
    // A type the library does not know keeps its count but has no values to read or set.
    EXPECT_EQ(store.ValueCount("u"), 3u);
    EXPECT_FALSE(store.GetInt("u", nullptr, 0));
    EXPECT_FALSE(store.SetInt("u", 1, 0));
    EXPECT_FALSE(store.AddInt("u", 1));
    EXPECT_FALSE(store.GetInt("z", nullptr, 0));
    EXPECT_FALSE(store.SetInt("z", 1, 0));
    EXPECT_FALSE(store.RemoveValue("z", 0));
    const Bytes flat = Flatten(store);
    EXPECT_EQ(flat, StoreBytes()
                        .Int("a", {1})
                        .Int("b", {0})
                        .Words("n", XStoreTypeNone, {})
                        .Words("u", 9, {})
                        .Int("z", {})
                        .Build());
    EXPECT_TRUE(XStoreReader::IsValidData(flat.data(), static_cast<uint32_t>(flat.size())));
    // An entry without values takes new ones; the others still go value by value.
    EXPECT_TRUE(store.AddInt("z", 5));
    EXPECT_EQ(store.ReadInt("z", 0, 0), 5);
    EXPECT_TRUE(store.RemoveValue("u", 2));
    EXPECT_EQ(store.ValueCount("u"), 2u);
    EXPECT_TRUE(store.RemoveEntry("n"));
    EXPECT_EQ(store.EntryCount(), 4u);
}

TEST(XStoreUntrusted, NamesOutOfOrderAreSorted) {
    const Bytes descending =
        StoreBytes().Int("c", {3}).Int("b", {2}).Int("a", {1}).InGivenOrder().Build();
    EXPECT_FALSE(
        XStoreReader::IsValidData(descending.data(), static_cast<uint32_t>(descending.size())));
    XStore store;
    Unflatten(store, descending);
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

// 2,000 entries that each claim as their values the one run of 4,000 texts after the names:
// 72 KB that would unflatten into 8 million copies.
Bytes SharedValueRun() {
    const uint32_t entries = 2000, texts = 4000, names = 12 * entries;
    const uint32_t total = 20 + 16 * entries + names + 4 * texts;
    storetest::ByteWriter w(false);
    w.Words({storetest::kMagic, 0, total, total, entries});
    for (uint32_t i = 0; i < entries; ++i)
        w.Words({12 * i, texts, XStoreTypeString, names});
    for (uint32_t i = 0; i < entries; ++i) {
        char name[12];
        snprintf(name, sizeof name, "n%07u", i);
        w.Text(name);
    }
    for (uint32_t k = 0; k < texts; ++k)
        w.Text("abc");
    return w.Bytes();
}

// Buffers that cannot be unflattened whole: the store goes on reading them as a reader does,
// and every change fails without counting a version.
TEST(XStoreUntrusted, MalformedBuffersAreReadButNeverChanged) {
    // "a" Int 1, "s" String "text", "t" LocStr "x" and "y": names and values from 68, the
    // slots of "t" at 92 and 96, the strings area from 100.
    const Bytes base = StoreBytes()
                           .Int("a", {1})
                           .Pieces("s", StoreBytes::kString, {"text"})
                           .Pieces("t", StoreBytes::kLocStr, {"x", "y"})
                           .Build();
    std::vector<Bytes> buffers = {SharedValueRun(),
                                  StoreBytes().Int("d", {2}).Int("d", {3}).Build()};
    const std::pair<size_t, uint32_t> lies[] = {
        {EntryField(0, 0), 0x7FFFFFF0},  // a name outside the buffer
        {EntryField(1, 3), 0xFFFFFFF0},  // values outside
        {EntryField(1, 1), 0x40000000},  // more values than the buffer holds
        {EntryField(1, 3), 4},           // the values of "s" over those of "a"
        {EntryField(1, 0), 1},           // the name of "s" inside that of "a"
        {92, 1000},                      // a slot outside the strings area
        {96, 0},                         // two slots sharing one text
    };
    for (const auto& lie : lies) {
        buffers.push_back(base);
        PatchWord(buffers.back(), lie.first, lie.second);
    }
    for (size_t i = 0; i < buffers.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& bytes = buffers[i];
        EXPECT_FALSE(XStoreReader::IsValidData(bytes.data(), static_cast<uint32_t>(bytes.size())));
        XStore store(bytes.data(), false);
        XStoreReader reader(bytes.data(), false);
        EXPECT_FALSE(store.AddInt("zzzz", 1));
        EXPECT_FALSE(store.RemoveEntry("a"));
        EXPECT_EQ(store.GetVersion(), 0u);
        EXPECT_EQ(Flatten(store), bytes);
        EXPECT_EQ(store.EntryCount(), reader.EntryCount());
        EXPECT_EQ(store.IndEntry(1, nullptr), reader.IndEntry(1, nullptr));
        EXPECT_EQ(store.ReadString("s", nullptr, 0), reader.ReadString("s", nullptr, 0));
    }
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
