// Finding entries by name and position, and what each getter accepts.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::StoreBytes;

class StoreLookup : public ::testing::Test {
  protected:
    StoreLookup() {
        StoreBytes store;
        store.Int("int", {7, 0xFFFFFFFF});
        store.Words("float", StoreBytes::kFloat, {0x40490FDB});
        store.Words("bool", StoreBytes::kBool, {0x00000100, 0});
        store.Pieces("str", StoreBytes::kString, {"one", "two"});
        store.Pieces("blob", StoreBytes::kBlob, {"", "abcde"});
        store.Pieces("loc", StoreBytes::kLocStr, {"l"});
        store.Pieces("mov", StoreBytes::kMovStr, {"m"});
        bytes_ = store.Build();
        reader_.SetData(bytes_.data(), false);
    }

    std::vector<uint8_t> bytes_;
    XStoreReader reader_;
};

TEST_F(StoreLookup, EachGetterAcceptsOnlyItsTypes) {
    const char* names[] = {"int", "float", "bool", "str", "blob", "loc", "mov"};
    for (const char* name : names) {
        const std::string n = name;
        EXPECT_EQ(reader_.GetInt(name, nullptr, 0), n == "int") << name;
        EXPECT_EQ(reader_.GetFloat(name, nullptr, 0), n == "float") << name;
        EXPECT_EQ(reader_.GetBool(name, nullptr, 0), n == "bool") << name;
        EXPECT_EQ(reader_.GetBlob(name, nullptr, nullptr, 0), n == "blob") << name;
        EXPECT_EQ(reader_.GetString(name, nullptr, 0), n == "str" || n == "loc" || n == "mov")
            << name;
    }
}

TEST_F(StoreLookup, FailingGetterWritesNothing) {
    int32_t i = 11;
    EXPECT_FALSE(reader_.GetInt("float", &i, 0));
    EXPECT_FALSE(reader_.GetInt("int", &i, 2));
    EXPECT_FALSE(reader_.GetInt("missing", &i, 0));
    EXPECT_EQ(i, 11);
    const void* data = &i;
    uint32_t length = 5;
    EXPECT_FALSE(reader_.GetBlob("blob", &data, &length, 2));
    EXPECT_EQ(data, &i);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(reader_.ReadBlob("int", &length, 0), nullptr);
    EXPECT_EQ(length, 5u);
}

TEST_F(StoreLookup, DefaultsStandInForMissingValues) {
    EXPECT_EQ(reader_.ReadInt("int", 9, 1), -1);
    EXPECT_EQ(reader_.ReadInt("int", 9, 2), 9);
    EXPECT_EQ(reader_.ReadInt("nothing", 9, 0), 9);
    EXPECT_EQ(reader_.ReadFloat("int", 2.5f, 0), 2.5f);
    EXPECT_TRUE(reader_.ReadBool("str", true, 0));
    EXPECT_STREQ(reader_.ReadString("int", "dflt", 0), "dflt");
    EXPECT_EQ(reader_.GetBlobLen("str", 0), -1);
    EXPECT_EQ(reader_.GetBlobLen("blob", 2), -1);
}

TEST_F(StoreLookup, StringsAndBlobsAreFoundByWalking) {
    EXPECT_STREQ(reader_.ReadString("str", nullptr, 1), "two");
    const void* data = nullptr;
    uint32_t length = 9;
    ASSERT_TRUE(reader_.GetBlob("blob", &data, &length, 0));
    EXPECT_EQ(length, 0u);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(reader_.GetBlobLen("blob", 0), 0);
    EXPECT_EQ(memcmp(reader_.ReadBlob("blob", &length, 1), "abcde", 5), 0);
    EXPECT_EQ(length, 5u);
}

TEST_F(StoreLookup, CountsAndTypesByName) {
    EXPECT_EQ(reader_.ValueCount("int"), 2u);
    EXPECT_EQ(reader_.ValueCount("float"), 1u);
    EXPECT_EQ(reader_.EntryType("blob"), XStoreTypeBlob);
    EXPECT_EQ(reader_.EntryType("mov"), XStoreTypeMovStr);
    EXPECT_EQ(reader_.EntryType(nullptr), XStoreTypeNone);
}

TEST_F(StoreLookup, NamesMatchWhole) {
    EXPECT_EQ(reader_.EntryType("in"), XStoreTypeNone);
    EXPECT_EQ(reader_.EntryType("intx"), XStoreTypeNone);
    EXPECT_EQ(reader_.EntryType("INT"), XStoreTypeNone);
}

TEST(StoreOrder, NamesSortByUnsignedBytes) {
    StoreBytes store;
    store.Int("name", {1}).Int("Name", {2}).Int("\xC3\xA9t\xC3\xA9", {3}).Int("", {4});
    store.Int("nam", {5});
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data());
    const char* order[] = {"", "Name", "nam", "name", "\xC3\xA9t\xC3\xA9"};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_STREQ(reader.IndEntry(i, nullptr), order[i]);
    EXPECT_EQ(reader.IndEntry(5, nullptr), nullptr);
    EXPECT_EQ(reader.ReadInt("Name", 0, 0), 2);
    EXPECT_EQ(reader.ReadInt("name", 0, 0), 1);
    EXPECT_EQ(reader.ReadInt("", 0, 0), 4);
    EXPECT_EQ(reader.ReadInt("\xC3\xA9t\xC3\xA9", 0, 0), 3);
}

TEST(StoreOrder, LongNamesDifferingAnywhereAreFound) {
    // Names that differ at each position of their first words and tails, with bytes on both
    // sides of 0x80, and names that are prefixes of others.
    const std::vector<std::string> names = {"abc",
                                            "abc\x7F",
                                            "abc\x80",
                                            "abcd",
                                            "abcde",
                                            "abcdefgh",
                                            "abcdefgi",
                                            "abcdefgh\xFF",
                                            "ab\xFF",
                                            "\x80"
                                            "abcdef",
                                            "\x7F",
                                            "abcdefg",
                                            "b",
                                            "abcdefghij",
                                            "a",
                                            "abcdefgh\x01"};
    StoreBytes store;
    for (uint32_t i = 0; i < names.size(); ++i)
        store.Int(names[i], {i});
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data());
    for (uint32_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(reader.ReadInt(names[i].c_str(), -1, 0), static_cast<int32_t>(i)) << names[i];
    EXPECT_EQ(reader.EntryType("abcdefgh\x02"), XStoreTypeNone);
    EXPECT_EQ(reader.EntryType("abcdef"), XStoreTypeNone);
}

TEST(StoreOrder, EveryNameOfALargeStoreIsFound) {
    StoreBytes store;
    for (uint32_t i = 0; i < 1000; ++i) {
        char name[16];
        snprintf(name, sizeof name, "key%u", i * 7919 % 1000);
        store.Int(name, {i});
    }
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data());
    for (uint32_t i = 0; i < 1000; ++i) {
        char name[16];
        snprintf(name, sizeof name, "key%u", i * 7919 % 1000);
        EXPECT_EQ(reader.ReadInt(name, -1, 0), static_cast<int32_t>(i));
        char missing[20];
        snprintf(missing, sizeof missing, "%sx", name);
        EXPECT_EQ(reader.EntryType(missing), XStoreTypeNone);
    }
}

}  // namespace
