// The reader against buffers laid out by hand: the four-entry example in both byte orders.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::Example;
using storetest::StoreBytes;

TEST(StoreFormat, HandLaidExampleMatchesTheHelper) {
    StoreBytes store;
    store.Pieces("t", StoreBytes::kLocStr, {"x"}).Int("a", {5});
    store.Pieces("s", StoreBytes::kString, {"hi"}).Pieces("b", StoreBytes::kBlob, {"\x01\x02\x03"});
    EXPECT_EQ(store.Build(false), Example(false));
    EXPECT_EQ(store.Build(true), Example(true));
}

// Both byte orders, copied or borrowed: a borrowed buffer of the other order is converted in
// place, a copied one is left alone, and either hands out the native bytes.
TEST(StoreFormat, ExampleReadsAsWrittenInEitherByteOrder) {
    for (bool reversed : {false, true}) {
        for (bool copy : {false, true}) {
            Bytes bytes = Example(reversed);
            XStoreReader reader(bytes.data(), copy);
            EXPECT_EQ(reader.MustSwap(), reversed);
            EXPECT_EQ(bytes, Example(reversed && copy));
            EXPECT_EQ(reader.EntryCount(), 4u);
            XStoreType type = XStoreTypeNone;
            EXPECT_STREQ(reader.IndEntry(0, &type), "a");
            EXPECT_EQ(type, XStoreTypeInt);
            EXPECT_EQ(reader.ReadInt("a", 9, 0), 5);
            EXPECT_EQ(reader.GetBlobLen("b", 0), 3);
            uint32_t length = 0;
            const void* blob = reader.ReadBlob("b", &length, 0);
            ASSERT_NE(blob, nullptr);
            EXPECT_EQ(memcmp(blob, "\x01\x02\x03", 3), 0);
            EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "hi");
            EXPECT_STREQ(reader.ReadString("t", nullptr, 0), "x");
            EXPECT_EQ(reader.EntryType("t"), XStoreTypeLocStr);
            // Only pad bytes could differ, and the helper zeroes them.
            EXPECT_EQ(storetest::Flatten(reader), Example(false));
        }
    }
}

TEST(StoreFormat, EveryTypeSurvivesConversion) {
    StoreBytes store;
    store.Int("i", {1, 0xFFFFFFFE, 0x01020304});
    store.Words("f", StoreBytes::kFloat, {0x3FC00000, 0x7FC00001});
    store.Words("k", StoreBytes::kBool, {0, 0x100});
    store.Pieces("s", StoreBytes::kString, {"", "abcd", "xyz"});
    store.Pieces("z", StoreBytes::kBlob, {"", std::string("\x00\x01\x02\x03\x04", 5), "q"});
    store.Pieces("loc", StoreBytes::kLocStr, {"first", "second text", "third"});
    store.Pieces("mov", StoreBytes::kMovStr, {"moving"});
    store.Words("u", 99, {0x11223344});
    for (bool reversed : {false, true}) {
        const Bytes bytes = store.Build(reversed);
        XStoreReader reader(bytes.data());
        EXPECT_EQ(reader.MustSwap(), reversed);
        EXPECT_EQ(reader.ReadInt("i", 0, 1), -2);
        EXPECT_EQ(reader.ReadInt("i", 0, 2), 0x01020304);
        float f = 0;
        uint32_t bits = 0;
        ASSERT_TRUE(reader.GetFloat("f", &f, 1));
        memcpy(&bits, &f, 4);
        EXPECT_EQ(bits, 0x7FC00001u);
        EXPECT_EQ(reader.ReadFloat("f", 0, 0), 1.5f);
        EXPECT_FALSE(reader.ReadBool("k", true, 0));
        EXPECT_TRUE(reader.ReadBool("k", false, 1));
        EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "");
        EXPECT_STREQ(reader.ReadString("s", nullptr, 2), "xyz");
        EXPECT_EQ(reader.GetBlobLen("z", 0), 0);
        EXPECT_EQ(reader.GetBlobLen("z", 1), 5);
        uint32_t length = 0;
        const void* q = reader.ReadBlob("z", &length, 2);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(q), length), "q");
        // Slots of a converted buffer still find their texts.
        EXPECT_STREQ(reader.ReadString("loc", nullptr, 1), "second text");
        EXPECT_STREQ(reader.ReadString("loc", nullptr, 2), "third");
        EXPECT_STREQ(reader.ReadString("mov", nullptr, 0), "moving");
        // An unknown type is carried, with its values left as stored.
        EXPECT_EQ(static_cast<int32_t>(reader.EntryType("u")), 99);
        EXPECT_EQ(reader.ValueCount("u"), 1u);
        EXPECT_FALSE(reader.GetInt("u", nullptr, 0));
    }
}

}  // namespace
