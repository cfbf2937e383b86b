// Buffers with the right magic that lie about their contents. Every buffer here sits in a
// heap block of exactly its total size, so that AddressSanitizer reports any read past it.
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::EntryField;
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

// Reads everything the reader offers; with ASan any stray read fails the test.
void ReadEverything(Exact& reader) {
    for (uint32_t i = 0; i < reader->EntryCount(); ++i) {
        const char* name = reader->IndEntry(i, nullptr);
        for (uint32_t k = 0; name != nullptr && k < 4; ++k) {
            reader->ReadInt(name, 0, k);
            const char* text = reader->ReadString(name, "", k);
            EXPECT_NE(text, nullptr);
            EXPECT_LT(strlen(text), 100u);
            uint32_t length = 0;
            if (reader->ReadBlob(name, &length, k) != nullptr) {
                EXPECT_LE(length, 100u);
            }
        }
    }
}

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
    EXPECT_EQ(reader->ReadInt("int", 0, 1), 2);
    EXPECT_STREQ(reader->ReadString("str", nullptr, 1), "de");
    EXPECT_EQ(reader->GetBlobLen("blob", 1), 1);
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "attached");
    ReadEverything(reader);
}

TEST_P(StoreUntrusted, HeaderThatDoesNotHoldTogetherIsRejectedUntouched) {
    const std::vector<std::pair<size_t, uint32_t>> lies = {
        {kTotalSize, 19},
        {kTotalSize, 0},
        {kEntryCount, 0xFFFFFFFF},
        {kEntryCount, (kSize - 20) / 16 + 1},
        {kEntryCount, 0x10000000 + kEntries},  // 16 * count wraps around 32 bits
        {kStringsOffset, kSize + 1},
        {kStringsOffset, 0xFFFFFFFF},
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
    EXPECT_EQ(empty->IndEntry(0, nullptr), nullptr);
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
    ReadEverything(reader);
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
        ReadEverything(reader);
    }
    // A blob length past the end stops the walk.
    for (uint32_t length : {0xFFFFFFF0u, kSize}) {
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
    for (uint32_t slot : {12u, 0xFFFFFFFFu, 0x80000000u}) {
        Exact reader(Patched({{kLocSlot, slot}}));
        EXPECT_FALSE(reader->GetString("loc", nullptr, 0)) << slot;
        ReadEverything(reader);
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

}  // namespace
