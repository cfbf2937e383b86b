// Detaching separated strings and resolving them again.
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::Example;
using storetest::Flatten;
using storetest::KeepingRecorder;
using storetest::MapResolver;
using storetest::StoreBytes;
using storetest::Texts;

uint32_t WordAt(const Bytes& bytes, int index) {
    uint32_t word;
    memcpy(&word, &bytes[4 * index], 4);
    return word;
}

TEST(SepStrDetach, ExampleSlotBecomesTheRecordedIdOnce) {
    XStoreReader reader(Example().data());
    KeepingRecorder loc(77), again(1000);
    reader.DetachStrings(&loc, nullptr);
    EXPECT_EQ(loc.texts, (Texts{{77, "x"}}));
    // A second detach finds nothing left to do.
    reader.DetachStrings(&again, nullptr);
    EXPECT_TRUE(again.texts.empty());

    const Bytes detached = Flatten(reader);
    ASSERT_EQ(detached.size(), 120u);
    EXPECT_EQ(WordAt(detached, 2), 120u);
    EXPECT_EQ(WordAt(detached, 3), 0u);
    EXPECT_EQ(WordAt(detached, 29), 77u);  // the slot of 't', at offset 116

    XStoreReader second(detached.data());
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "");
    EXPECT_EQ(second.ReadInt("a", 0, 0), 5);
    MapResolver resolver(loc.texts);
    second.SetStrResolver(&resolver, nullptr);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "x");
    second.SetStrResolver(nullptr, nullptr);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "");
}

TEST(SepStrDetach, EachKindGoesToItsOwnRecorderInEitherByteOrder) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"one", "two", "one"});
    store.Pieces("m", StoreBytes::kMovStr, {"three"});
    for (bool reversed : {false, true}) {
        Bytes bytes = store.Build(reversed);
        XStoreReader reader(bytes.data(), false);
        KeepingRecorder loc(10), mov(500);
        reader.DetachStrings(&loc, &mov);
        // The same text in two values is recorded twice; in place, in the caller's memory.
        EXPECT_EQ(loc.texts, (Texts{{10, "one"}, {11, "two"}, {12, "one"}}));
        EXPECT_EQ(mov.texts, (Texts{{500, "three"}}));
        EXPECT_EQ(WordAt(bytes, 3), 0u);
        MapResolver locResolver(loc.texts), movResolver(mov.texts);
        reader.SetStrResolver(&locResolver, &movResolver);
        EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "two");
        EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "three");
        EXPECT_EQ(locResolver.asked, std::vector<uint32_t>{11});
    }
}

TEST(SepStrDetach, NothingToDetachOrNoRecorderForAPresentKind) {
    // Without separated strings the size stays and the buffer is marked detached.
    const Bytes plain = StoreBytes().Int("a", {1}).Build();
    XStoreReader reader(plain.data());
    reader.DetachStrings(nullptr, nullptr);
    const Bytes out = Flatten(reader);
    EXPECT_EQ(out.size(), plain.size());
    EXPECT_EQ(WordAt(out, 3), 0u);
    // A kind present without its recorder: nothing changes.
    const Bytes example = Example();
    Bytes bytes = example;
    XStoreReader borrowing(bytes.data(), false);
    KeepingRecorder recorder(1);
    borrowing.DetachStrings(nullptr, &recorder);
    EXPECT_EQ(bytes, example);
    EXPECT_STREQ(borrowing.ReadString("t", nullptr, 0), "x");
    XStoreReader empty;
    empty.DetachStrings(&recorder, &recorder);
    EXPECT_EQ(empty.EntryCount(), 0u);
    EXPECT_TRUE(recorder.texts.empty());
}

// While attached, the resolver is asked with the slot's offset as stored, converted or not.
TEST(SepStrResolve, ResolverIsAskedWhileAttachedWithTheStoredOffset) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"abc", "defgh"});
    store.Pieces("m", StoreBytes::kMovStr, {"z"});
    for (bool reversed : {false, true}) {
        const Bytes bytes = store.Build(reversed);
        XStoreReader reader(bytes.data());
        const uint32_t slot = reversed ? storetest::Reverse(4) : 4;
        MapResolver resolver({{slot, "from resolver"}});
        reader.SetStrResolver(&resolver, nullptr);
        EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "from resolver");
        // Whatever the resolver gives, null included, is handed on.
        const char* text = "untouched";
        EXPECT_TRUE(reader.GetString("l", &text, 0));
        EXPECT_EQ(text, nullptr);
        // The other kind has no resolver and reads the strings area.
        EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "z");
        EXPECT_EQ(resolver.asked, (std::vector<uint32_t>{slot, 0}));
    }
}

TEST(SepStrResolve, BaseClassesKnowNothingAndResolversOutliveBuffers) {
    XSepStrRecorder recorder;
    XSepStrResolver base;
    EXPECT_EQ(recorder.Record("anything"), 0u);
    EXPECT_STREQ(base.Resolve(0), "");
    EXPECT_STREQ(base.Resolve(123456), "");
    XSepStrRecorder copy(recorder);
    copy = recorder;
    EXPECT_EQ(copy.Record("x"), 0u);
    XStoreReader reader;
    reader.SetStrResolver(nullptr, &base);
    reader.SetData(StoreBytes().Pieces("m", StoreBytes::kMovStr, {"text"}).Build().data(), true);
    EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "");
}

}  // namespace
