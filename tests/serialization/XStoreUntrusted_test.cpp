// SPDX-License-Identifier: MIT
// Buffers that lie about their contents, one of each kind of lie (the fuzz targets try the
// rest): what the reader refuses, and how XStore reads but never changes what it cannot
// unflatten whole; and XStore running out of memory. Buffers given to a reader sit in a heap
// block of exactly their total size, so that AddressSanitizer reports any read past them.
#include <brindle/Debg.h>
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
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

// Header words and the fields of entry record i.
constexpr size_t kTotalSize = 8, kStringsOffset = 12, kEntryCount = 16;
// One entry of each kind, in this table order.
enum : size_t { kBlob, kInt, kLoc, kStr, kEntries };
const char* const kNames[] = {"blob", "int", "loc", "str"};
// Where the sample's pieces lie: the value area after four records; in it "blob\0" (8
// bytes), blobs of 5 and 1 bytes (12 and 8), "int\0" and two words, "loc\0" and its slot,
// "str\0" with "abc" and "de"; then the strings area with "attached" (12 bytes).
constexpr uint32_t kValueArea = 20 + 16 * kEntries;
constexpr uint32_t kSecondBlob = kValueArea + 8 + 12;
constexpr uint32_t kLocSlot = kValueArea + 44;
constexpr uint32_t kStrings = kValueArea + 60;
constexpr uint32_t kSize = kStrings + 12;

// A reader over a private heap copy of `bytes` of exactly its size.
class Exact {
  public:
    explicit Exact(const Bytes& bytes) : memory_(new uint8_t[bytes.size()]) {
        memcpy(memory_.get(), bytes.data(), bytes.size());
        reader_.SetData(memory_.get(), false);
    }
    XStoreReader* operator->() { return &reader_; }

  private:
    std::unique_ptr<uint8_t[]> memory_;
    XStoreReader reader_;
};

class StoreUntrusted : public ::testing::TestWithParam<bool> {
  protected:
    StoreUntrusted() {
        StoreBytes store;
        store.Pieces("blob", StoreBytes::kBlob, {"12345", "6"});
        store.Int("int", {1, 2});
        store.Pieces("loc", StoreBytes::kLocStr, {"attached"});
        store.Pieces("str", StoreBytes::kString, {"abc", "de"});
        sample_ = store.Build(GetParam());
    }
    // The sample with the given words replaced.
    Bytes Patched(std::initializer_list<std::pair<size_t, uint32_t>> words) const {
        Bytes bytes = sample_;
        for (const auto& word : words)
            PatchWord(bytes, word.first, word.second, GetParam());
        return bytes;
    }

    Bytes sample_;
};

INSTANTIATE_TEST_SUITE_P(BothByteOrders, StoreUntrusted, ::testing::Bool());

TEST_P(StoreUntrusted, SampleReadsWhole) {
    ASSERT_EQ(sample_.size(), kSize);
    Exact reader(sample_);
    EXPECT_EQ(reader->EntryCount(), kEntries);
    EXPECT_EQ(reader->GetBlobLen("blob", 1), 1);
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "attached");
}

TEST_P(StoreUntrusted, HeaderThatDoesNotHoldTogetherIsRejectedUntouched) {
    const std::vector<std::pair<size_t, uint32_t>> lies = {
        {kTotalSize, 19},
        {kEntryCount, (kSize - 20) / 16 + 1},
        {kEntryCount, 0x10000000 + kEntries},  // 16 * count wraps around 32 bits
        {kStringsOffset, kSize + 1},
        {kStringsOffset, 20 + 16 * kEntries - 4},
    };
    for (const auto& lie : lies) {
        Bytes bytes = Patched({lie});
        const Bytes before = bytes;
        XStoreReader reader(bytes.data(), false);
        EXPECT_EQ(reader.EntryCount(), 0u) << lie.first << " = " << lie.second;
        EXPECT_EQ(bytes, before);
        EXPECT_FALSE(XStoreReader::IsValidData(bytes.data(), kSize));
    }
    // Only the first 12 bytes exist: a reader must not look at the rest of the header.
    Bytes head = Patched({{kTotalSize, 12}});
    head.resize(12);
    EXPECT_EQ(Exact(head)->EntryCount(), 0u);
    // The shortest sound buffer is the empty store.
    Exact empty(StoreBytes().Build(GetParam()));
    EXPECT_EQ(empty->EntryCount(), 0u);
    EXPECT_EQ(empty->MustSwap(), GetParam());
}

TEST_P(StoreUntrusted, NamesOutsideTheBufferOrWithoutNulMatchNothing) {
    Bytes bytes = Patched({{EntryField(kInt, 0), 0xFFFFFFF0},
                           {EntryField(kBlob, 0), kSize - kValueArea},
                           {EntryField(kStr, 0), kSize - 1 - kValueArea}});
    bytes.back() = 'x';
    Exact reader(bytes);
    XStoreType type = XStoreTypeNone;
    for (size_t entry : {kBlob, kInt, kStr}) {
        EXPECT_EQ(reader->IndEntry(entry, &type), nullptr);
        EXPECT_EQ(type, XStoreTypeNone);
    }
    EXPECT_EQ(reader->EntryType("int"), XStoreTypeNone);
    EXPECT_EQ(reader->EntryType("x"), XStoreTypeNone);
    // The search still finds what its path does not cross a broken name to reach.
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "attached");
}

// A name whose NUL is the buffer's last byte is whole.
TEST_P(StoreUntrusted, NameEndingWithTheBufferIsFound) {
    Bytes bytes = Patched({{EntryField(kStr, 0), kSize - 2 - kValueArea}});
    bytes[kSize - 2] = 'q';
    Exact reader(bytes);
    EXPECT_EQ(reader->EntryType("q"), XStoreTypeString);
    EXPECT_STREQ(reader->ReadString("q", nullptr, 1), "de");
}

TEST_P(StoreUntrusted, ValuesRunningPastTheEndAreRefused) {
    Exact counted(Patched({{EntryField(kInt, 1), 0x40000000}}));
    EXPECT_EQ(counted->ValueCount("int"), 0x40000000u);
    EXPECT_FALSE(counted->GetInt("int", nullptr, 0));
    EXPECT_FALSE(counted->GetInt("int", nullptr, 0x3FFFFFFF));
    EXPECT_EQ(counted->ReadInt("str", 3, 0), 3);
    for (size_t entry : {kBlob, kInt, kLoc, kStr}) {
        Exact reader(Patched({{EntryField(entry, 3), 0xFFFFFFFC}}));
        EXPECT_EQ(reader->ValueCount(kNames[entry]), entry == kLoc ? 1u : 2u);
        EXPECT_FALSE(reader->GetBlob(kNames[entry], nullptr, nullptr, 0));
        EXPECT_FALSE(reader->GetInt(kNames[entry], nullptr, 0));
        EXPECT_FALSE(reader->GetString(kNames[entry], nullptr, 0));
    }
    // A blob length past the end, by far or by one byte, stops the walk.
    for (uint32_t length : {0xFFFFFFF0u, kSize - kSecondBlob - 3}) {
        Exact reader(Patched({{kSecondBlob, length}}));
        EXPECT_EQ(reader->GetBlobLen("blob", 0), 5);
        EXPECT_EQ(reader->GetBlobLen("blob", 1), -1);
        EXPECT_EQ(reader->ReadInt("int", 0, 0), 1);
    }
}

TEST_P(StoreUntrusted, TextsWithoutNulOrOutsideTheStringsAreRefused) {
    Bytes unterminated = Patched({{EntryField(kStr, 3), kSize - 1 - kValueArea}});
    unterminated.back() = 'x';
    EXPECT_FALSE(Exact(unterminated)->GetString("str", nullptr, 0));
    // A strings area ending without NUL.
    memset(&sample_[kStrings + 8], 'x', 4);
    EXPECT_FALSE(Exact(sample_)->GetString("loc", nullptr, 0));
    for (uint32_t slot : {12u, 0xFFFFFFFFu}) {
        Exact reader(Patched({{kLocSlot, slot}}));
        EXPECT_FALSE(reader->GetString("loc", nullptr, 0)) << slot;
    }
}

TEST_P(StoreUntrusted, DetachRecordsEmptyTextForSlotsOutsideTheStrings) {
    Exact reader(Patched({{kLocSlot, 0x7FFFFFFF}}));
    storetest::KeepingRecorder recorder(9);
    reader->DetachStrings(&recorder, nullptr);
    EXPECT_EQ(recorder.texts, (storetest::Texts{{9, ""}}));
    XSepStrResolver base;
    reader->SetStrResolver(&base, nullptr);
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "");
}

TEST_P(StoreUntrusted, ValuesInTheCutStringsAreaAreGoneAfterDetach) {
    // Point "str" at the strings area: readable while attached, outside once detached.
    Exact reader(Patched({{EntryField(kStr, 3), kStrings - kValueArea}, {EntryField(kStr, 1), 1}}));
    EXPECT_STREQ(reader->ReadString("str", nullptr, 0), "attached");
    XSepStrRecorder recorder;
    reader->DetachStrings(&recorder, nullptr);
    EXPECT_FALSE(reader->GetString("str", nullptr, 0));
    // So are the far values of an entry, whose offsets the reader noted while attached.
    const std::vector<std::string> texts = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    Bytes bytes = StoreBytes()
                      .Pieces("loc", StoreBytes::kLocStr, texts)
                      .Pieces("str", StoreBytes::kString, {"x"})
                      .Build(GetParam());
    const uint32_t strings = storetest::LoadWordAt(bytes, kStringsOffset);
    PatchWord(bytes, EntryField(1, 3),
              (GetParam() ? storetest::Reverse(strings) : strings) - (20 + 2 * 16), GetParam());
    PatchWord(bytes, EntryField(1, 1), 10, GetParam());
    Exact far(bytes);
    EXPECT_STREQ(far->ReadString("str", nullptr, 9), "9");
    far->DetachStrings(&recorder, nullptr);
    EXPECT_FALSE(far->GetString("str", nullptr, 9));
}

TEST(StoreUntrustedConversion, SharedValuesAreConvertedOnce) {
    Bytes bytes = StoreBytes().Int("a", {0x01020304, 5}).Int("b", {6}).Build(true);
    // Let "b" claim the values of "a": its words must not be reversed a second time.
    PatchWord(bytes, EntryField(1, 3), 4, true);
    PatchWord(bytes, EntryField(1, 1), 2, true);
    Exact reader(bytes);
    EXPECT_EQ(reader->ReadInt("a", 0, 0), 0x01020304);
    EXPECT_EQ(reader->ReadInt("b", 0, 0), 0x01020304);
    EXPECT_EQ(reader->ReadInt("b", 0, 1), 5);
}

TEST(StoreUntrustedConversion, ManyEntriesClaimingTheWholeBufferConvertQuickly) {
    // 20,000 Int entries each claiming every word of a 320 KiB value area would cost
    // billions of word reversals if each were converted in full.
    const uint32_t n = 20000, words = 80000;
    Bytes bytes(20 + 16 * n + 4 * words, 0);
    const uint32_t header[] = {storetest::kMagic, 0, static_cast<uint32_t>(bytes.size()), 0, n};
    for (uint32_t i = 0; i < 5; ++i)
        PatchWord(bytes, 4 * i, header[i], true);
    for (uint32_t i = 0; i < n; ++i)
        PatchWord(bytes, EntryField(i, 1), words, true);  // Names and values at offset 0.
    Exact reader(bytes);
    EXPECT_EQ(reader->EntryCount(), n);
    EXPECT_EQ(reader->ReadInt("", 1, words - 1), 0);
}

// Written in the other byte order, so that the entries without values are converted too.
TEST(XStoreUntrusted, KeepsEveryEntryAndFlattensThoseWithoutValuesAsCountZero) {
    const Bytes buffer = StoreBytes()
                             .Int("a", {1})
                             .Words("n", XStoreTypeNone, {})
                             .Words("u", 9, {1, 2, 3})
                             .Int("z", {})
                             .Build(true);
    XStore store(buffer.data());
    EXPECT_EQ(store.ValueCount("u"), 3u);
    ASSERT_TRUE(store.AddInt("b", 0));
    // A type the library does not know keeps its count but has no values to read or set.
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
    XStore store(descending.data());
    ASSERT_TRUE(store.AddInt("n", 1));
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

// The offset of value `index` of the String or Blob entry at `entry` of a native buffer, found
// by stepping over the values before it; 0 when it does not lie inside the buffer.
uint64_t WalkTo(const Bytes& bytes, uint32_t entry, uint32_t index) {
    auto word = [&bytes](uint64_t at) { return storetest::LoadWordAt(bytes, at); };
    const uint64_t size = bytes.size();
    if (index >= word(EntryField(entry, 1)))
        return 0;
    uint64_t at = 20 + 16 * uint64_t{word(16)} + word(EntryField(entry, 3));
    for (uint32_t i = 0;; ++i) {
        uint64_t footprint;
        if (word(EntryField(entry, 2)) == StoreBytes::kString) {
            const void* nul = at < size ? memchr(&bytes[at], 0, size - at) : nullptr;
            if (nul == nullptr)
                return 0;
            footprint = (static_cast<const uint8_t*>(nul) - &bytes[at] + 4) & ~uint64_t{3};
        } else {
            if (at + 4 > size || at + 4 + word(at) > size)
                return 0;
            footprint = (uint64_t{word(at)} + 7) & ~uint64_t{3};
        }
        if (i == index)
            return at;
        at += footprint;
    }
}

// String and Blob values by index against a walk over the values before them, in buffers
// whose entries claim what they like: more values than there are, the values of other entries
// or of the table, offsets past the end, texts without NUL, the other of the two types. Read
// in random order, before and after the eighth value and past the count.
TEST(StoreUntrustedValues, ValuesByIndexAreWhatAWalkFinds) {
    std::mt19937 random(7);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        StoreBytes store;
        const uint32_t entries = 1 + below(12);
        for (uint32_t e = 0; e < entries; ++e) {
            std::vector<std::string> pieces(below(40));
            for (std::string& piece : pieces)
                piece = std::string(below(13), static_cast<char>('a' + below(26)));
            char name[4];
            snprintf(name, sizeof name, "e%02u", e);  // table order is creation order
            store.Pieces(name, below(2) ? StoreBytes::kString : StoreBytes::kBlob, pieces);
        }
        Bytes bytes = store.Build();
        const uint32_t valueArea = 20 + 16 * entries;
        for (uint32_t e = 0; e < entries; ++e) {
            const uint32_t count = storetest::LoadWordAt(bytes, EntryField(e, 1));
            switch (below(6)) {
                case 0:
                    PatchWord(bytes, EntryField(e, 1), count + below(100));
                    break;
                case 1:
                    PatchWord(bytes, EntryField(e, 1), 0x7FFFFFFF);
                    break;
                case 2:
                    PatchWord(bytes, EntryField(e, 3),
                              4 * below(static_cast<uint32_t>(bytes.size() - valueArea) / 4 + 4));
                    break;
                case 3:
                    PatchWord(bytes, EntryField(e, 2),
                              StoreBytes::kString + StoreBytes::kBlob -
                                  storetest::LoadWordAt(bytes, EntryField(e, 2)));
                    break;
                default:
                    break;
            }
        }
        if (below(2) == 0)
            bytes[bytes.size() - 1 - below(4)] = 'z';
        Exact reader(bytes);
        const char* base = reader->IndEntry(0, nullptr) - valueArea -
                           storetest::LoadWordAt(bytes, EntryField(0, 0));
        for (int read = 0; read < 300; ++read) {
            const uint32_t e = below(entries);
            const uint32_t count = storetest::LoadWordAt(bytes, EntryField(e, 1));
            const uint32_t index =
                below(4) == 0 ? static_cast<uint32_t>(random()) : below(std::min(count, 60u) + 2);
            const uint64_t at = WalkTo(bytes, e, index);
            const std::string name = reader->IndEntry(e, nullptr);
            const char* text = nullptr;
            const void* data = nullptr;
            uint32_t length = 0;
            if (storetest::LoadWordAt(bytes, EntryField(e, 2)) == StoreBytes::kString) {
                ASSERT_EQ(reader->GetString(name.c_str(), &text, index), at != 0)
                    << e << " " << index;
                ASSERT_EQ(text, at != 0 ? base + at : nullptr);
            } else {
                ASSERT_EQ(reader->GetBlob(name.c_str(), &data, &length, index), at != 0);
                ASSERT_EQ(data, at != 0 ? base + at + 4 : nullptr);
                ASSERT_EQ(length, at != 0 ? storetest::LoadWordAt(bytes, at) : 0u);
            }
            // A name one byte longer or shorter than the one just read names nothing, also
            // right after that entry's values were read by index.
            const std::string near = below(2) ? name + "x" : name.substr(0, name.size() - 1);
            ASSERT_FALSE(reader->GetString(near.c_str(), &text, 8 + below(8)));
            ASSERT_FALSE(reader->GetBlob(near.c_str(), &data, &length, 8 + below(8)));
        }
    }
}

// The entry a read by index tries before searching starts as the first; a broken name there
// must not answer for the bytes it starts with.
TEST(StoreUntrustedValues, BrokenFirstNameNeverAnswersAReadByIndex) {
    Bytes bytes = StoreBytes()
                      .Pieces("a", StoreBytes::kBlob, std::vector<std::string>(9, "p"))
                      .Pieces("z", StoreBytes::kString, {"x"})
                      .Build();
    const uint32_t valueArea = 20 + 16 * 2;
    // "z"'s text "x" ends the buffer with three NULs; its last two become the unterminated
    // name of "a", which still sorts before "z".
    PatchWord(bytes, EntryField(0, 0), static_cast<uint32_t>(bytes.size() - 2 - valueArea));
    bytes[bytes.size() - 2] = bytes[bytes.size() - 1] = 'q';
    Exact reader(bytes);
    const char* text = nullptr;
    ASSERT_TRUE(reader->GetString("z", &text, 0));
    EXPECT_STREQ(text, "x");
    EXPECT_FALSE(reader->GetString("z", &text, 8));  // makes the buffer's value index
    const void* data = nullptr;
    uint32_t length = 0;
    EXPECT_FALSE(reader->GetBlob("qq", &data, &length, 8));
}

// Entries that all claim the same long run of values: the offsets kept for reads by index
// stay within the buffer's size, however many entries are read.
TEST(StoreUntrustedValues, KeptOffsetsStayWithinTheBuffersSize) {
    constexpr uint32_t kEntriesSharing = 200;
    StoreBytes store;
    store.Pieces("e000", StoreBytes::kString, std::vector<std::string>(4000, ""));
    for (uint32_t e = 1; e < kEntriesSharing; ++e) {
        char name[8];
        snprintf(name, sizeof name, "e%03u", e);
        store.Pieces(name, StoreBytes::kString, {""});
    }
    Bytes bytes = store.Build();
    for (uint32_t e = 1; e < kEntriesSharing; ++e) {
        PatchWord(bytes, EntryField(e, 1), 0x7FFFFFFF);
        PatchWord(bytes, EntryField(e, 3), storetest::LoadWordAt(bytes, EntryField(0, 3)));
    }
    Exact reader(bytes);
    const size_t before = mallinfo2().uordblks;
    for (uint32_t e = 0; e < kEntriesSharing; ++e) {
        const std::string name = reader->IndEntry(e, nullptr);
        const char* text = nullptr;
        ASSERT_TRUE(reader->GetString(name.c_str(), &text, 3999)) << name;
        ASSERT_FALSE(reader->GetString(name.c_str(), &text, 1000000)) << name;
    }
    // Under a sanitizer's allocator glibc counts nothing, and the bound holds trivially.
    const size_t after = mallinfo2().uordblks;
    EXPECT_LE(after > before ? after - before : 0, 2 * bytes.size() + 16 * kEntriesSharing);
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
        {96, 1000},                      // a slot outside the strings area
        {96, 0},                         // two slots sharing one text
    };
    for (const auto& lie : lies) {
        buffers.push_back(base);
        PatchWord(buffers.back(), lie.first, lie.second);
    }
    // Entries that share values find them all, but the offsets the reader keeps are held to
    // the size of the buffer: once that is spent, reads allocate no more.
    {
        const Bytes& shared = buffers[0];
        Exact reader(shared);
        DebgFailAllocation(1000000000);
        for (uint32_t i = 0; i < 2000; ++i) {
            char name[12];
            snprintf(name, sizeof name, "n%07u", i);
            ASSERT_STREQ(reader->ReadString(name, nullptr, 3999), "abc");
        }
        const uint32_t allocations = 1000000000 - DebgPendingAllocationFailure();
        DebgFailAllocation(0);
        EXPECT_LE(allocations, 2u + shared.size() / (4 * 4001));
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
