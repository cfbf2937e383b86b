// Finding entries by name and position, and what each getter accepts.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::StoreBytes;

TEST(StoreLookup, EachGetterAcceptsOnlyItsTypesAndWritesNothingOnFailure) {
    StoreBytes store;
    store.Int("int", {7, 0xFFFFFFFF});
    store.Words("float", StoreBytes::kFloat, {0x40490FDB});
    store.Words("bool", StoreBytes::kBool, {0x00000100, 0});
    store.Pieces("str", StoreBytes::kString, {"one", "two"});
    store.Pieces("blob", StoreBytes::kBlob, {"", "abcde"});
    store.Pieces("loc", StoreBytes::kLocStr, {"l"});
    store.Pieces("mov", StoreBytes::kMovStr, {"m"});
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data(), false);
    for (const std::string n : {"int", "float", "bool", "str", "blob", "loc", "mov"}) {
        const char* name = n.c_str();
        EXPECT_EQ(reader.GetInt(name, nullptr, 0), n == "int") << name;
        EXPECT_EQ(reader.GetFloat(name, nullptr, 0), n == "float") << name;
        EXPECT_EQ(reader.GetBool(name, nullptr, 0), n == "bool") << name;
        EXPECT_EQ(reader.GetBlob(name, nullptr, nullptr, 0), n == "blob") << name;
        EXPECT_EQ(reader.GetString(name, nullptr, 0), n == "str" || n == "loc" || n == "mov")
            << name;
    }
    int32_t i = 11;
    EXPECT_FALSE(reader.GetInt("float", &i, 0));
    EXPECT_FALSE(reader.GetInt("int", &i, 2));
    EXPECT_FALSE(reader.GetInt("missing", &i, 0));
    EXPECT_EQ(i, 11);
    const void* data = &i;
    uint32_t length = 5;
    EXPECT_FALSE(reader.GetBlob("blob", &data, &length, 2));
    EXPECT_EQ(data, &i);
    EXPECT_EQ(reader.ReadBlob("int", &length, 0), nullptr);
    EXPECT_EQ(length, 5u);
    // Defaults stand in for missing values.
    EXPECT_EQ(reader.ReadInt("int", 9, 1), -1);
    EXPECT_EQ(reader.ReadInt("int", 9, 2), 9);
    EXPECT_EQ(reader.ReadFloat("int", 2.5f, 0), 2.5f);
    EXPECT_TRUE(reader.ReadBool("str", true, 0));
    EXPECT_TRUE(reader.ReadBool("bool", false, 0));  // Any nonzero word is true.
    EXPECT_STREQ(reader.ReadString("int", "dflt", 0), "dflt");
    EXPECT_EQ(reader.GetBlobLen("str", 0), -1);
    EXPECT_EQ(reader.GetBlobLen("blob", 2), -1);
    // Strings and blobs are found by walking past the ones before.
    EXPECT_STREQ(reader.ReadString("str", nullptr, 1), "two");
    ASSERT_TRUE(reader.GetBlob("blob", &data, &length, 0));
    EXPECT_EQ(length, 0u);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(memcmp(reader.ReadBlob("blob", &length, 1), "abcde", 5), 0);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(reader.ValueCount("int"), 2u);
    EXPECT_EQ(reader.EntryType("mov"), XStoreTypeMovStr);
    // Names match whole.
    for (const char* other : {"in", "intx", "INT", "nothing"}) {
        EXPECT_EQ(reader.EntryType(other), XStoreTypeNone);
        EXPECT_EQ(reader.ValueCount(other), 0u);
    }
    EXPECT_EQ(reader.EntryType(nullptr), XStoreTypeNone);
}

// Names that differ at each position of their first words and tails, with bytes on both sides
// of 0x80, names that are prefixes of others, and a thousand more.
TEST(StoreOrder, NamesSortByUnsignedBytesAndAreFoundWhereverTheyDiffer) {
    std::vector<std::string> names = {
        "",           "Name",       "nam",          "name",  "\xC3\xA9t\xC3\xA9", "abc",
        "abc\x7F",    "abc\x80",    "abcd",         "abcde", "abcdefgh",          "abcdefgi",
        "ab\xFF",     "\200abcdef", "abcdefgh\xFF", "\x7F",  "abcdefg",           "b",
        "abcdefghij", "a",          "abcdefgh\x01"};
    for (uint32_t i = 0; i < 1000; ++i)
        names.push_back("key" + std::to_string(i * 7919 % 1000));
    StoreBytes store;
    for (uint32_t i = 0; i < names.size(); ++i)
        store.Int(names[i], {i});
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data());
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());  // Compares chars as unsigned bytes.
    ASSERT_EQ(reader.EntryCount(), names.size());
    for (uint32_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(reader.IndEntry(i, nullptr), sorted[i]);
        EXPECT_EQ(reader.ReadInt(names[i].c_str(), -1, 0), static_cast<int32_t>(i)) << names[i];
        EXPECT_EQ(reader.EntryType((names[i] + "x").c_str()), XStoreTypeNone);
    }
    EXPECT_EQ(reader.IndEntry(static_cast<uint32_t>(names.size()), nullptr), nullptr);
    EXPECT_EQ(reader.EntryType("abcdefgh\x02"), XStoreTypeNone);
    EXPECT_EQ(reader.EntryType("abcdef"), XStoreTypeNone);
}

}  // namespace
