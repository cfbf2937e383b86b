// SPDX-License-Identifier: MIT
// XStoreReader over sound buffers: taking, copying and handing them out, the example in both
// byte orders, what getters accept, lookups by name and position, and threads reading at once.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::Example;
using storetest::Flatten;
using storetest::StoreBytes;

Bytes SmallStore(bool reversed = false) {
    return StoreBytes().Int("n", {42}).Pieces("s", StoreBytes::kString, {"text"}).Build(reversed);
}

void* MallocCopy(const Bytes& bytes) {
    void* block = malloc(bytes.size());
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

// What a derived reader reaches: the areas of the held buffer and its entry records.
class DerivedReader : public XStoreReader {
  public:
    using XStoreReader::XStoreReader;
    void ExpectAreas() {
        EXPECT_EQ(entryTable_, buffer_ + 20);
        EXPECT_EQ(valueArea_, buffer_ + 20 + 16 * 2);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(Entry("s")), entryTable_ + 16);
    }
};

TEST(StoreBuffer, SetDataReplacesNullEmptiesAndOwnedBuffersAreFreed) {
    const Bytes swapped = SmallStore(true);
    DerivedReader reader(swapped.data());
    EXPECT_TRUE(reader.MustSwap());
    reader.ExpectAreas();
    const Bytes native = SmallStore();
    reader.SetData(native.data(), false);
    EXPECT_FALSE(reader.MustSwap());
    reader.ExpectAreas();
    // An empty reader finds nothing, writes nothing and hands out the empty store.
    reader.SetData(nullptr, true);
    EXPECT_EQ(reader.EntryCount(), 0u);
    XStoreType type = XStoreTypeFloat;
    EXPECT_EQ(reader.IndEntry(0, &type), nullptr);
    EXPECT_EQ(type, XStoreTypeFloat);
    EXPECT_EQ(reader.ReadInt("n", 7, 0), 7);
    EXPECT_EQ(Flatten(reader), StoreBytes().Build());
    // Leak checking under AddressSanitizer shows whether both blocks are released.
    reader.SetAllocatedData(MallocCopy(swapped));
    EXPECT_TRUE(reader.MustSwap());
    EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "text");
    // Borrowing or copying the owned buffer itself keeps it owned and readable.
    void* buffer = const_cast<char*>(reader.IndEntry(0, nullptr)) - (20 + 16 * 2);
    reader.SetData(buffer, false);
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
    reader.SetData(buffer, true);
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
    Bytes bad = native;
    bad[3] = 'X';
    reader.SetAllocatedData(MallocCopy(bad));
    EXPECT_EQ(reader.EntryCount(), 0u);
    EXPECT_FALSE(reader.MustSwap());
}

TEST(StoreBuffer, IsValidDataChecksMagicAndLength) {
    const Bytes native = SmallStore();
    const uint32_t size = static_cast<uint32_t>(native.size());
    EXPECT_TRUE(XStoreReader::IsValidData(native.data(), 0xFFFFFFFF));
    EXPECT_FALSE(XStoreReader::IsValidData(native.data(), size - 1));
    EXPECT_FALSE(XStoreReader::IsValidData(native.data(), size + 1));
    EXPECT_FALSE(XStoreReader::IsValidData(nullptr, 0xFFFFFFFF));
    // A short known length is refused without reading the header.
    const char shortMagic[4] = {'r', 'o', 't', 's'};
    EXPECT_FALSE(XStoreReader::IsValidData(shortMagic, 4));
    Bytes bad = native;
    bad[1] ^= 1;
    EXPECT_FALSE(XStoreReader::IsValidData(bad.data(), 0xFFFFFFFF));
}

TEST(StoreCopy, CopiesOwnTheirBufferOrShareBorrowedMemory) {
    auto* original = new XStoreReader(SmallStore(true).data());
    XStoreReader copy(*original);
    delete original;
    EXPECT_TRUE(copy.MustSwap());
    EXPECT_EQ(copy.ReadInt("n", 0, 0), 42);
    Bytes bytes = SmallStore();
    XStoreReader borrowing(bytes.data(), false);
    XStoreReader sharing(borrowing);
    EXPECT_EQ(sharing.IndEntry(0, nullptr), borrowing.IndEntry(0, nullptr));
    // Assignment replaces buffer and resolvers, and survives self-assignment.
    XSepStrResolver resolver;
    borrowing.SetStrResolver(&resolver, nullptr);
    copy = borrowing;
    EXPECT_FALSE(copy.MustSwap());
    EXPECT_EQ(copy.ReadInt("n", 0, 0), 42);
    XStoreReader& alias = copy;
    copy = alias;
    EXPECT_EQ(copy.ReadInt("n", 0, 0), 42);
    copy = XStoreReader();
    EXPECT_EQ(copy.EntryCount(), 0u);
}

// Each of these makes one allocation: when it fails, GetData_NF still reports the size, a
// copy is empty, and SetData leaves the reader empty and the caller's bytes alone.
TEST(StoreBufferNoTsan, OutOfMemoryInGetDataCopyOrSetData) {
    const Bytes swapped = SmallStore(true), before = swapped;
    XStoreReader reader(SmallStore().data());
    uint32_t size = 0;
    DebgFailAllocation(1);
    EXPECT_EQ(reader.GetData_NF(&size), nullptr);
    EXPECT_EQ(size, swapped.size());
    DebgFailAllocation(1);
    XStoreReader copy(reader);
    EXPECT_EQ(copy.EntryCount(), 0u);
    EXPECT_EQ(reader.EntryCount(), 2u);
    DebgFailAllocation(1);
    reader.SetData(swapped.data(), true);
    EXPECT_EQ(reader.EntryCount(), 0u);
    EXPECT_EQ(swapped, before);
    // Without memory to note where the values of an entry begin, the reader steps over them.
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < 20; ++i)
        texts.push_back(std::string(i, 't'));
    const Bytes many = StoreBytes().Pieces("s", StoreBytes::kString, texts).Build();
    for (uint32_t nth = 1; nth <= 4; ++nth) {
        XStoreReader fresh(many.data(), false);
        DebgFailAllocation(nth);
        for (uint32_t i : {12u, 19u, 8u, 0u})
            EXPECT_EQ(fresh.ReadString("s", nullptr, i), texts[i]) << nth;
        DebgFailAllocation(0);
        for (uint32_t i = 0; i < 20; ++i)
            EXPECT_EQ(fresh.ReadString("s", nullptr, i), texts[i]) << nth;
    }
}

// Both byte orders, copied or borrowed, at an odd address: a borrowed buffer of the other
// order is converted in place, a copied one is left alone, and either hands out the native
// bytes.
TEST(StoreFormat, ExampleReadsAsWrittenInEitherByteOrder) {
    for (bool reversed : {false, true}) {
        for (bool copy : {false, true}) {
            Bytes bytes = Example(reversed);
            bytes.insert(bytes.begin(), 0);  // at an odd address, as a borrowed buffer may be
            XStoreReader reader(&bytes[1], copy);
            EXPECT_EQ(reader.MustSwap(), reversed);
            EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.end()), Example(reversed && copy));
            XStoreType type = XStoreTypeNone;
            EXPECT_STREQ(reader.IndEntry(3, &type), "t");
            EXPECT_EQ(type, XStoreTypeLocStr);
            EXPECT_EQ(reader.ReadInt("a", 9, 0), 5);
            uint32_t length = 0;
            const void* blob = reader.ReadBlob("b", &length, 0);
            ASSERT_EQ(length, 3u);
            EXPECT_EQ(memcmp(blob, "\x01\x02\x03", 3), 0);
            EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "hi");
            EXPECT_STREQ(reader.ReadString("t", nullptr, 0), "x");
            // Only pad bytes could differ, and the helper zeroes them.
            EXPECT_EQ(storetest::Flatten(reader), Example(false));
        }
    }
}

// Getters that fail write nothing, and the Read functions give their defaults instead.
TEST(StoreLookup, FailedGettersWriteNothingAndReadsFallBackOnDefaults) {
    const Bytes bytes = StoreBytes()
                            .Int("int", {7, 0xFFFFFFFF})
                            .Words("bool", StoreBytes::kBool, {0x00000100})
                            .Pieces("blob", StoreBytes::kBlob, {"abc"})
                            .Build();
    XStoreReader reader(bytes.data(), false);
    int32_t i = 11;
    EXPECT_FALSE(reader.GetInt("bool", &i, 0));
    EXPECT_FALSE(reader.GetInt("int", &i, 2));
    EXPECT_FALSE(reader.GetInt("missing", &i, 0));
    EXPECT_EQ(i, 11);
    const void* data = &i;
    uint32_t length = 5;
    EXPECT_FALSE(reader.GetBlob("blob", &data, &length, 1));
    EXPECT_EQ(data, &i);
    EXPECT_EQ(reader.ReadBlob("int", &length, 0), nullptr);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(reader.ReadInt("int", 9, 1), -1);
    EXPECT_EQ(reader.ReadInt("int", 9, 2), 9);
    EXPECT_EQ(reader.ReadFloat("int", 2.5f, 0), 2.5f);
    EXPECT_TRUE(reader.ReadBool("int", true, 0));
    EXPECT_TRUE(reader.ReadBool("bool", false, 0));  // Any nonzero word is true.
    EXPECT_STREQ(reader.ReadString("int", "dflt", 0), "dflt");
    EXPECT_EQ(reader.GetBlobLen("int", 0), -1);
    EXPECT_EQ(reader.GetBlobLen("blob", 0), 3);
    for (const char* other : {"in", "INT", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(reader.EntryType(other), XStoreTypeNone);
        EXPECT_EQ(reader.ValueCount(other), 0u);
    }
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

// Several threads may read one reader at once, also while the offsets of far values are
// first noted.
TEST(StoreThreads, ConcurrentReadersAgree) {
    StoreBytes store;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < 200; ++i) {
        store.Int("n" + std::to_string(i), {i, i * 2});
        store.Pieces("s" + std::to_string(i), StoreBytes::kLocStr, {"s" + std::to_string(i)});
        texts.push_back("text " + std::to_string(i));
    }
    store.Pieces("many", StoreBytes::kString, texts);
    // Converted once, then read by everyone.
    XStoreReader reader(store.Build(true).data());
    XSepStrResolver resolver;
    reader.SetStrResolver(nullptr, &resolver);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&reader, &mismatches, t] {
            for (uint32_t round = 0; round < 20; ++round) {
                for (uint32_t i = 0; i < 200; ++i) {
                    const uint32_t k = (i + 50 * t) % 200;
                    std::string name = "n" + std::to_string(k);
                    if (reader.ReadInt(name.c_str(), -1, 1) != static_cast<int32_t>(2 * k))
                        ++mismatches;
                    name[0] = 's';
                    if (strcmp(reader.ReadString(name.c_str(), "", 0), name.c_str()) != 0)
                        ++mismatches;
                    if (reader.ReadString("many", "", 199 - k) != "text " + std::to_string(199 - k))
                        ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
