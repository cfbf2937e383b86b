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

using storetest::PatchWord;
using storetest::StoreBytes;

// Header words and the fields of entry record i.
constexpr size_t kTotalSize = 8, kStringsOffset = 12, kEntryCount = 16;
constexpr size_t NameOffset(size_t i) {
    return 20 + 16 * i;
}
constexpr size_t ValueCount(size_t i) {
    return 24 + 16 * i;
}
constexpr size_t ValuesOffset(size_t i) {
    return 32 + 16 * i;
}

// One entry of each kind, in this table order.
enum : size_t { kBlob, kInt, kLoc, kStr, kEntries };
// Where the sample's pieces lie: the value area after four records; in it "blob\0" (8
// bytes), blobs of 5 and 1 bytes (12 and 8), "int\0" and two words, "loc\0" and its slot,
// "str\0" with "abc" and "de"; then the strings area with "attached" (12 bytes).
constexpr uint32_t kValueArea = 20 + 16 * kEntries;
constexpr uint32_t kSecondBlob = kValueArea + 8 + 12;
constexpr uint32_t kLocSlot = kValueArea + 44;
constexpr uint32_t kStrings = kValueArea + 60;
constexpr uint32_t kSize = kStrings + 12;

std::vector<uint8_t> Sample(bool reversed) {
    StoreBytes store;
    store.Pieces("blob", StoreBytes::kBlob, {"12345", "6"});
    store.Int("int", {1, 2});
    store.Pieces("loc", StoreBytes::kLocStr, {"attached"});
    store.Pieces("str", StoreBytes::kString, {"abc", "de"});
    return store.Build(reversed);
}

// A reader over a private heap copy of `bytes` of exactly its size.
class Exact {
  public:
    explicit Exact(const std::vector<uint8_t>& bytes, bool copy = false)
        : memory_(new uint8_t[bytes.size()]), reader_() {
        memcpy(memory_.get(), bytes.data(), bytes.size());
        reader_.SetData(memory_.get(), copy);
    }
    XStoreReader& operator*() { return reader_; }
    XStoreReader* operator->() { return &reader_; }

  private:
    std::unique_ptr<uint8_t[]> memory_;
    XStoreReader reader_;
};

// Reads everything the reader offers; with ASan any stray read fails the test.
void ReadEverything(XStoreReader& reader) {
    for (uint32_t i = 0; i < reader.EntryCount(); ++i) {
        const char* name = reader.IndEntry(i, nullptr);
        if (name == nullptr)
            continue;
        for (uint32_t k = 0; k < 4; ++k) {
            reader.ReadInt(name, 0, k);
            const char* text = reader.ReadString(name, "", k);
            EXPECT_NE(text, nullptr);
            EXPECT_LT(strlen(text), 100u);
            uint32_t length = 0;
            const void* data = reader.ReadBlob(name, &length, k);
            if (data != nullptr) {
                EXPECT_LE(length, 100u);
            }
        }
    }
}

class StoreUntrusted : public ::testing::TestWithParam<bool> {
  protected:
    bool reversed() const { return GetParam(); }
    std::vector<uint8_t> sample_ = Sample(GetParam());
    void Patch(size_t at, uint32_t word) { PatchWord(sample_, at, word, reversed()); }
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
    ReadEverything(*reader);
}

TEST_P(StoreUntrusted, HeaderThatDoesNotHoldTogetherIsRejectedUntouched) {
    const uint32_t total = kSize;
    const std::vector<std::pair<size_t, uint32_t>> lies = {
        {kTotalSize, 19},
        {kTotalSize, 0},
        {kEntryCount, 0xFFFFFFFF},
        {kEntryCount, (total - 20) / 16 + 1},
        {kEntryCount, 0x10000000 + kEntries},  // 16 * count wraps around 32 bits
        {kStringsOffset, total + 1},
        {kStringsOffset, 0xFFFFFFFF},
        {kStringsOffset, 20 + 16 * kEntries - 4},
    };
    for (const auto& lie : lies) {
        std::vector<uint8_t> bytes = sample_;
        PatchWord(bytes, lie.first, lie.second, reversed());
        const std::vector<uint8_t> before = bytes;
        XStoreReader reader(bytes.data(), false);
        EXPECT_EQ(reader.EntryCount(), 0u) << lie.first << " = " << lie.second;
        EXPECT_EQ(bytes, before);
        EXPECT_FALSE(XStoreReader::IsValidData(bytes.data(), total));
    }
}

TEST_P(StoreUntrusted, TotalSizeBelowHeaderIsReadNoFurther) {
    // Only the first 12 bytes exist: a reader must not look at the rest of the header.
    std::vector<uint8_t> head(sample_.begin(), sample_.begin() + 12);
    PatchWord(head, kTotalSize, 12, reversed());
    Exact reader(head);
    EXPECT_EQ(reader->EntryCount(), 0u);
}

TEST_P(StoreUntrusted, ShortestSoundBufferIsTheEmptyStore) {
    std::vector<uint8_t> empty = StoreBytes().Build(reversed());
    Exact reader(empty);
    EXPECT_EQ(reader->EntryCount(), 0u);
    EXPECT_EQ(reader->MustSwap(), reversed());
    EXPECT_EQ(reader->IndEntry(0, nullptr), nullptr);
}

TEST_P(StoreUntrusted, NamesOutsideTheBufferMatchNothing) {
    Patch(NameOffset(kInt), 0xFFFFFFF0);
    Patch(NameOffset(kStr), kSize - kValueArea);
    Exact reader(sample_);
    XStoreType type = XStoreTypeNone;
    EXPECT_EQ(reader->IndEntry(kInt, &type), nullptr);
    EXPECT_EQ(type, XStoreTypeNone);
    EXPECT_EQ(reader->IndEntry(kStr, nullptr), nullptr);
    EXPECT_EQ(reader->EntryType("int"), XStoreTypeNone);
    // The search still finds what its path does not cross a broken name to reach.
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "attached");
    ReadEverything(*reader);
}

TEST_P(StoreUntrusted, NameWithoutNulBeforeTheEndIsRefused) {
    sample_.back() = 'x';
    Patch(NameOffset(kStr), kSize - 1 - kValueArea);
    Exact reader(sample_);
    EXPECT_EQ(reader->IndEntry(kStr, nullptr), nullptr);
    EXPECT_EQ(reader->EntryType("x"), XStoreTypeNone);
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "attached");
}

TEST_P(StoreUntrusted, WordValuesRunningPastTheEndAreAllRefused) {
    Patch(ValueCount(kInt), 0x40000000);
    Exact reader(sample_);
    EXPECT_EQ(reader->ValueCount("int"), 0x40000000u);
    EXPECT_FALSE(reader->GetInt("int", nullptr, 0));
    EXPECT_FALSE(reader->GetInt("int", nullptr, 0x3FFFFFFF));
    EXPECT_EQ(reader->ReadInt("str", 3, 0), 3);
}

TEST_P(StoreUntrusted, ValuesOffsetPastTheEndIsRefused) {
    for (size_t entry : {kBlob, kInt, kLoc, kStr}) {
        std::vector<uint8_t> bytes = sample_;
        PatchWord(bytes, ValuesOffset(entry), 0xFFFFFFFC, reversed());
        Exact reader(bytes);
        const char* names[] = {"blob", "int", "loc", "str"};
        EXPECT_EQ(reader->ValueCount(names[entry]), entry == kLoc ? 1u : 2u);
        EXPECT_FALSE(reader->GetBlob(names[entry], nullptr, nullptr, 0));
        EXPECT_FALSE(reader->GetInt(names[entry], nullptr, 0));
        EXPECT_FALSE(reader->GetString(names[entry], nullptr, 0));
        ReadEverything(*reader);
    }
}

TEST_P(StoreUntrusted, BlobLengthPastTheEndStopsTheWalk) {
    Patch(kSecondBlob, 0xFFFFFFF0);
    Exact reader(sample_);
    EXPECT_EQ(reader->GetBlobLen("blob", 0), 5);
    EXPECT_EQ(reader->GetBlobLen("blob", 1), -1);
    Patch(kSecondBlob, kSize);
    Exact again(sample_);
    EXPECT_EQ(again->GetBlobLen("blob", 1), -1);
    EXPECT_EQ(again->ReadInt("int", 0, 0), 1);
}

TEST_P(StoreUntrusted, StringWithoutNulIsRefused) {
    sample_.back() = 'x';
    Patch(ValuesOffset(kStr), kSize - 1 - kValueArea);
    Exact reader(sample_);
    EXPECT_FALSE(reader->GetString("str", nullptr, 0));
}

TEST_P(StoreUntrusted, SlotsOutsideTheStringsAreaAreRefused) {
    for (uint32_t slot : {12u, 0xFFFFFFFFu, 0x80000000u}) {
        std::vector<uint8_t> bytes = sample_;
        PatchWord(bytes, kLocSlot, slot, reversed());
        Exact reader(bytes);
        EXPECT_FALSE(reader->GetString("loc", nullptr, 0)) << slot;
        ReadEverything(*reader);
    }
}

TEST_P(StoreUntrusted, StringsAreaEndingWithoutNulIsRefused) {
    memset(&sample_[kStrings + 8], 'x', 4);
    Exact reader(sample_);
    EXPECT_FALSE(reader->GetString("loc", nullptr, 0));
}

TEST_P(StoreUntrusted, DetachRecordsEmptyTextForSlotsOutsideTheStrings) {
    Patch(kLocSlot, 0x7FFFFFFF);
    Exact reader(sample_);
    struct Recorder : XSepStrRecorder {
        uint32_t Record(const char* text) override {
            texts.push_back(text);
            return 9;
        }
        std::vector<std::string> texts;
    } recorder;
    reader->DetachStrings(&recorder, nullptr);
    EXPECT_EQ(recorder.texts, std::vector<std::string>{""});
    XSepStrResolver base;
    reader->SetStrResolver(&base, nullptr);
    EXPECT_STREQ(reader->ReadString("loc", nullptr, 0), "");
}

TEST_P(StoreUntrusted, ValuesInTheCutStringsAreaAreGoneAfterDetach) {
    // Point "str" at the strings area: readable while attached, outside once detached.
    Patch(ValuesOffset(kStr), kStrings - kValueArea);
    Patch(ValueCount(kStr), 1);
    Exact reader(sample_);
    EXPECT_STREQ(reader->ReadString("str", nullptr, 0), "attached");
    XSepStrRecorder recorder;
    reader->DetachStrings(&recorder, nullptr);
    EXPECT_FALSE(reader->GetString("str", nullptr, 0));
}

TEST(StoreUntrustedConversion, SharedValuesAreConvertedOnce) {
    StoreBytes store;
    store.Int("a", {0x01020304, 5}).Int("b", {6});
    std::vector<uint8_t> bytes = store.Build(true);
    // Let "b" claim the values of "a": its words must not be reversed a second time.
    PatchWord(bytes, ValuesOffset(1), 4, true);
    PatchWord(bytes, ValueCount(1), 2, true);
    Exact reader(bytes);
    EXPECT_EQ(reader->ReadInt("a", 0, 0), 0x01020304);
    EXPECT_EQ(reader->ReadInt("b", 0, 0), 0x01020304);
    EXPECT_EQ(reader->ReadInt("b", 0, 1), 5);
}

TEST(StoreUntrustedConversion, ManyEntriesClaimingTheWholeBufferConvertQuickly) {
    // 20,000 Int entries each claiming every word of a 320 KiB value area would cost
    // billions of word reversals if each were converted in full.
    const uint32_t n = 20000, words = 80000;
    std::vector<uint8_t> bytes(20 + 16 * n + 4 * words, 0);
    const uint32_t total = static_cast<uint32_t>(bytes.size());
    for (uint32_t i = 0; i < 5; ++i)
        PatchWord(bytes, 4 * i, std::vector<uint32_t>{storetest::kMagic, 0, total, 0, n}[i], true);
    for (uint32_t i = 0; i < n; ++i) {
        PatchWord(bytes, NameOffset(i), 0, true);
        PatchWord(bytes, ValueCount(i), words, true);
        PatchWord(bytes, ValuesOffset(i), 0, true);
    }
    Exact reader(bytes);
    EXPECT_EQ(reader->EntryCount(), n);
    EXPECT_EQ(reader->ReadInt("", 1, words - 1), 0);
}

}  // namespace
