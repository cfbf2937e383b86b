// SPDX-License-Identifier: MIT
// Detaching separated strings and resolving them again.
#include <string.h>

#include <map>
#include <string>
#include <utility>
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

// The example detached: the slot of 't' holds the recorded id, the strings area is cut off.
TEST(SepStrDetach, ExampleSlotBecomesTheRecordedIdOnce) {
    XStoreReader reader(Example().data());
    KeepingRecorder loc(77), again(1000);
    reader.DetachStrings(&loc, nullptr);
    EXPECT_EQ(loc.texts, (Texts{{77, "x"}}));
    reader.DetachStrings(&again, nullptr);
    EXPECT_TRUE(again.texts.empty()) << "a second detach finds nothing left to do";
    Bytes expected = Example();
    expected.resize(120);
    for (auto [at, word] : {std::pair<size_t, uint32_t>{8, 120}, {12, 0}, {116, 77}})
        storetest::PatchWord(expected, at, word);
    const Bytes detached = Flatten(reader);
    EXPECT_EQ(detached, expected);
    XStoreReader second(detached.data());
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "");
    MapResolver resolver(loc.texts);
    second.SetStrResolver(&resolver, nullptr);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "x");
}

// In either byte order: while attached, a resolver is asked with the slot as stored and what
// it gives, null included, is handed on. Detaching records each value's text with its kind's
// recorder, in place in a borrowed buffer; a resolver is then asked for the value read only.
TEST(SepStrDetach, EachKindGoesToItsOwnRecorderAndResolverInEitherByteOrder) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"one", "two", "one"});
    store.Pieces("m", StoreBytes::kMovStr, {"three"});
    for (bool reversed : {false, true}) {
        Bytes bytes = store.Build(reversed);
        XStoreReader reader(bytes.data(), false);
        const uint32_t slot = reversed ? storetest::Reverse(4) : 4;  // that of "two"
        MapResolver attached({{slot, "from resolver"}});
        reader.SetStrResolver(&attached, nullptr);
        EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "from resolver");
        const char* text = "untouched";
        EXPECT_TRUE(reader.GetString("l", &text, 0));
        EXPECT_EQ(text, nullptr);
        EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "three") << "no resolver of its kind";
        EXPECT_EQ(attached.asked, (std::vector<uint32_t>{slot, 0}));
        KeepingRecorder loc(10), mov(500);
        reader.DetachStrings(&loc, &mov);
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
    EXPECT_TRUE(recorder.texts.empty());
    // Resolvers stay in force for later buffers; the base resolver knows no text.
    XSepStrResolver base;
    empty.SetStrResolver(nullptr, &base);
    empty.SetData(StoreBytes().Pieces("m", StoreBytes::kMovStr, {"text"}).Build().data(), true);
    EXPECT_STREQ(empty.ReadString("m", nullptr, 0), "");
}

}  // namespace
