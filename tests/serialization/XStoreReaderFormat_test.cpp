// The reader against buffers laid out by hand: the four-entry example in both byte orders.
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::ByteWriter;
using storetest::StoreBytes;

// 'a' Int 5; 'b' Blob 01 02 03; 's' String "hi"; 't' LocStr "x": 124 bytes, word by word.
std::vector<uint8_t> Example(bool reversed) {
    ByteWriter w(reversed);
    w.Words({storetest::kMagic, 0, 124, 120, 4});
    w.Words({0, 1, 0, 4}).Words({8, 1, 4, 12}).Words({20, 1, 3, 24}).Words({28, 1, 5, 32});
    w.Text("a").Word(5);
    w.Text("b").Word(3).Padded("\x01\x02\x03");
    w.Text("s").Text("hi");
    w.Text("t").Word(0);
    w.Text("x");
    return w.Bytes();
}

void ExpectExampleAnswers(XStoreReader& reader) {
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
    EXPECT_EQ(reader.EntryType("c"), XStoreTypeNone);
    EXPECT_EQ(reader.ValueCount("c"), 0u);
    EXPECT_EQ(reader.EntryType("t"), XStoreTypeLocStr);
}

TEST(StoreFormat, HandLaidExampleMatchesTheHelper) {
    StoreBytes store;
    store.Pieces("t", StoreBytes::kLocStr, {"x"}).Int("a", {5});
    store.Pieces("s", StoreBytes::kString, {"hi"}).Pieces("b", StoreBytes::kBlob, {"\x01\x02\x03"});
    EXPECT_EQ(store.Build(false), Example(false));
    EXPECT_EQ(store.Build(true), Example(true));
}

TEST(StoreFormat, NativeExampleReadsAsWritten) {
    const std::vector<uint8_t> bytes = Example(false);
    XStoreReader reader(bytes.data());
    EXPECT_FALSE(reader.MustSwap());
    ExpectExampleAnswers(reader);
}

TEST(StoreFormat, OtherByteOrderReadsTheSameAfterConversion) {
    const std::vector<uint8_t> bytes = Example(true);
    XStoreReader reader(bytes.data());
    EXPECT_TRUE(reader.MustSwap());
    ExpectExampleAnswers(reader);

    uint32_t size = 0;
    void* out = reader.GetData_NF(&size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(size, 124u);
    // Only pad bytes could differ, and the helper zeroes them.
    EXPECT_EQ(memcmp(out, Example(false).data(), 124), 0);
    free(out);
}

TEST(StoreFormat, BorrowedBufferOfOtherOrderIsConvertedInPlace) {
    std::vector<uint8_t> bytes = Example(true);
    XStoreReader reader(bytes.data(), false);
    EXPECT_TRUE(reader.MustSwap());
    EXPECT_EQ(bytes, Example(false));
    ExpectExampleAnswers(reader);
}

TEST(StoreFormat, CopiedBufferLeavesTheCallersBytesAlone) {
    const std::vector<uint8_t> bytes = Example(true);
    const std::vector<uint8_t> before = bytes;
    XStoreReader reader(bytes.data(), true);
    EXPECT_EQ(bytes, before);
}

TEST(StoreFormat, SlotsOfConvertedBufferStillFindTheirTexts) {
    StoreBytes store;
    store.Pieces("loc", StoreBytes::kLocStr, {"first", "second text", "third"});
    store.Pieces("mov", StoreBytes::kMovStr, {"moving"});
    const std::vector<uint8_t> bytes = store.Build(true);
    XStoreReader reader(bytes.data());
    ASSERT_TRUE(reader.MustSwap());
    EXPECT_STREQ(reader.ReadString("loc", nullptr, 0), "first");
    EXPECT_STREQ(reader.ReadString("loc", nullptr, 1), "second text");
    EXPECT_STREQ(reader.ReadString("loc", nullptr, 2), "third");
    EXPECT_STREQ(reader.ReadString("mov", nullptr, 0), "moving");
}

TEST(StoreFormat, EveryTypeSurvivesConversion) {
    StoreBytes store;
    store.Int("i", {1, 0xFFFFFFFE, 0x01020304});
    store.Words("f", StoreBytes::kFloat, {0x3FC00000, 0x7FC00001});
    store.Words("k", StoreBytes::kBool, {0, 0x100});
    store.Pieces("s", StoreBytes::kString, {"", "abcd", "xyz"});
    store.Pieces("z", StoreBytes::kBlob, {"", std::string("\x00\x01\x02\x03\x04", 5), "q"});
    store.Words("u", 99, {0x11223344});
    for (bool reversed : {false, true}) {
        const std::vector<uint8_t> bytes = store.Build(reversed);
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
        EXPECT_EQ(length, 1u);
        EXPECT_EQ(*static_cast<const char*>(q), 'q');
        // An unknown type is carried, with its values left as stored.
        EXPECT_EQ(static_cast<int32_t>(reader.EntryType("u")), 99);
        EXPECT_EQ(reader.ValueCount("u"), 1u);
        EXPECT_FALSE(reader.GetInt("u", nullptr, 0));
    }
}

}  // namespace
