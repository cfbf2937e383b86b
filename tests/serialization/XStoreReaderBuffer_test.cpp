// Taking, handing over, copying and handing out buffers.
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::StoreBytes;

std::vector<uint8_t> SmallStore(bool reversed = false) {
    StoreBytes store;
    store.Int("n", {42}).Pieces("s", StoreBytes::kString, {"text"});
    return store.Build(reversed);
}

void* MallocCopy(const std::vector<uint8_t>& bytes) {
    void* block = malloc(bytes.size());
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

void ExpectEmptyStore(XStoreReader& reader) {
    uint32_t size = 0;
    void* out = reader.GetData_NF(&size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(size, 20u);
    const uint32_t expected[5] = {storetest::kMagic, 0, 20, 20, 0};
    EXPECT_EQ(memcmp(out, expected, 20), 0);
    free(out);
}

TEST(StoreBuffer, EmptyReaderFindsNothingAndHandsOutEmptyStore) {
    XStoreReader reader;
    EXPECT_EQ(reader.EntryCount(), 0u);
    EXPECT_FALSE(reader.MustSwap());
    XStoreType type = XStoreTypeFloat;
    EXPECT_EQ(reader.IndEntry(0, &type), nullptr);
    EXPECT_EQ(type, XStoreTypeFloat);
    EXPECT_EQ(reader.ReadInt("n", 7, 0), 7);
    ExpectEmptyStore(reader);
}

TEST(StoreBuffer, EmptyStoreBufferHasNoEntries) {
    XStoreReader source;
    void* empty = source.GetData_NF(nullptr);
    XStoreReader reader(empty);
    EXPECT_EQ(reader.EntryCount(), 0u);
    EXPECT_EQ(reader.IndEntry(0, nullptr), nullptr);
    EXPECT_EQ(reader.ValueCount(""), 0u);
    ExpectEmptyStore(reader);
    free(empty);
}

TEST(StoreBuffer, WrongMagicLeavesReaderEmpty) {
    std::vector<uint8_t> bytes = SmallStore();
    bytes[0] ^= 0x20;
    XStoreReader reader(bytes.data());
    EXPECT_EQ(reader.EntryCount(), 0u);
    ExpectEmptyStore(reader);
}

TEST(StoreBuffer, SetDataReplacesAndNullEmpties) {
    const std::vector<uint8_t> swapped = SmallStore(true);
    XStoreReader reader(swapped.data());
    EXPECT_TRUE(reader.MustSwap());
    const std::vector<uint8_t> native = SmallStore();
    reader.SetData(native.data(), false);
    EXPECT_FALSE(reader.MustSwap());
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
    reader.SetData(nullptr, true);
    EXPECT_EQ(reader.EntryCount(), 0u);
}

TEST(StoreBuffer, SetAllocatedDataOwnsGoodAndFreesRejectedBuffers) {
    // Leak checking under AddressSanitizer shows whether both blocks are released.
    XStoreReader reader;
    reader.SetAllocatedData(MallocCopy(SmallStore(true)));
    EXPECT_TRUE(reader.MustSwap());
    EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "text");
    std::vector<uint8_t> bad = SmallStore();
    bad[3] = 'X';
    reader.SetAllocatedData(MallocCopy(bad));
    EXPECT_EQ(reader.EntryCount(), 0u);
}

TEST(StoreBuffer, BorrowingTheOwnedBufferKeepsItOwned) {
    XStoreReader reader;
    reader.SetAllocatedData(MallocCopy(SmallStore()));
    const char* name = reader.IndEntry(0, nullptr);
    // The buffer starts 20 + 16 * 2 bytes before the first name.
    void* buffer = const_cast<char*>(name) - 52;
    reader.SetData(buffer, false);
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
    reader.SetData(buffer, true);
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
}

TEST(StoreBuffer, UnalignedBorrowedBufferReads) {
    for (bool reversed : {false, true}) {
        const std::vector<uint8_t> bytes = SmallStore(reversed);
        std::vector<uint8_t> shifted(bytes.size() + 1);
        memcpy(&shifted[1], bytes.data(), bytes.size());
        XStoreReader reader(&shifted[1], false);
        EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
        EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "text");
    }
}

TEST(StoreBuffer, IsValidDataChecksMagicAndLength) {
    const std::vector<uint8_t> native = SmallStore();
    const std::vector<uint8_t> swapped = SmallStore(true);
    const uint32_t size = static_cast<uint32_t>(native.size());
    EXPECT_TRUE(XStoreReader::IsValidData(native.data(), size));
    EXPECT_TRUE(XStoreReader::IsValidData(swapped.data(), size));
    EXPECT_TRUE(XStoreReader::IsValidData(native.data(), 0xFFFFFFFF));
    EXPECT_FALSE(XStoreReader::IsValidData(native.data(), size - 1));
    EXPECT_FALSE(XStoreReader::IsValidData(native.data(), size + 1));
    EXPECT_FALSE(XStoreReader::IsValidData(nullptr, 0xFFFFFFFF));
    // A short known length is refused without reading the header.
    const char shortMagic[4] = {'r', 'o', 't', 's'};
    EXPECT_FALSE(XStoreReader::IsValidData(shortMagic, 4));
    std::vector<uint8_t> bad = native;
    bad[1] ^= 1;
    EXPECT_FALSE(XStoreReader::IsValidData(bad.data(), 0xFFFFFFFF));
}

TEST(StoreBuffer, GetDataHandsOutSizedCopy) {
    const std::vector<uint8_t> bytes = SmallStore();
    XStoreReader reader(bytes.data(), false);
    uint32_t size = 0;
    void* out = reader.GetData_NF(&size);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(memcmp(out, bytes.data(), size), 0);
    EXPECT_NE(out, bytes.data());
    free(out);
}

// Runs `operation` with the nth library allocation failing, for n = 1, 2, ... until it
// completes without the failure firing. It returns whether it succeeded, which it must
// exactly when no allocation failed.
template <class Operation>
void SweepAllocationFailures(Operation operation) {
    for (uint32_t n = 1; n < 16; ++n) {
        DebgFailAllocation(n);
        const bool succeeded = operation();
        const bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        EXPECT_NE(succeeded, fired) << "failing allocation " << n;
        if (!fired)
            return;
    }
    ADD_FAILURE() << "the operation never completed";
}

TEST(StoreBufferNoTsan, GetDataReportsSizeEvenWhenMemoryRunsOut) {
    const std::vector<uint8_t> bytes = SmallStore();
    XStoreReader reader(bytes.data(), false);
    SweepAllocationFailures([&] {
        uint32_t size = 0;
        void* out = reader.GetData_NF(&size);
        EXPECT_EQ(size, bytes.size());
        free(out);
        return out != nullptr;
    });
}

TEST(StoreBufferNoTsan, FailedCopyLeavesReaderEmpty) {
    const std::vector<uint8_t> bytes = SmallStore(true);
    const std::vector<uint8_t> before = bytes;
    XStoreReader reader(SmallStore().data());
    SweepAllocationFailures([&] {
        reader.SetData(bytes.data(), true);
        EXPECT_EQ(bytes, before);
        const bool took = reader.MustSwap();
        EXPECT_EQ(reader.EntryCount(), took ? 2u : 0u);
        return took;
    });
}

TEST(StoreCopy, CopyOfOwningReaderOwnsItsOwnBuffer) {
    auto* original = new XStoreReader(SmallStore(true).data());
    XStoreReader copy(*original);
    delete original;
    EXPECT_TRUE(copy.MustSwap());
    EXPECT_EQ(copy.ReadInt("n", 0, 0), 42);
    EXPECT_STREQ(copy.ReadString("s", nullptr, 0), "text");
}

TEST(StoreCopy, CopyOfBorrowingReaderSharesTheMemory) {
    std::vector<uint8_t> bytes = SmallStore();
    XStoreReader original(bytes.data(), false);
    XStoreReader copy(original);
    EXPECT_EQ(copy.IndEntry(0, nullptr), original.IndEntry(0, nullptr));
}

TEST(StoreCopy, AssignmentReplacesBufferAndResolvers) {
    XSepStrResolver resolver;
    XStoreReader source(SmallStore().data());
    source.SetStrResolver(&resolver, nullptr);
    XStoreReader target(SmallStore(true).data());
    target = source;
    EXPECT_FALSE(target.MustSwap());
    EXPECT_EQ(target.ReadInt("n", 0, 0), 42);
    XStoreReader& alias = target;
    target = alias;
    EXPECT_EQ(target.ReadInt("n", 0, 0), 42);
    target = XStoreReader();
    EXPECT_EQ(target.EntryCount(), 0u);
}

TEST(StoreCopyNoTsan, CopyThatCannotAllocateIsEmpty) {
    XStoreReader source(SmallStore().data());
    SweepAllocationFailures([&] {
        XStoreReader copy(source);
        EXPECT_EQ(source.EntryCount(), 2u);
        return copy.ReadInt("n", 0, 0) == 42;
    });
}

}  // namespace
