// Taking, handing over, copying and handing out buffers.
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
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

const Bytes kEmptyStore = [] {
    const uint32_t words[5] = {storetest::kMagic, 0, 20, 20, 0};
    return Bytes(reinterpret_cast<const uint8_t*>(words),
                 reinterpret_cast<const uint8_t*>(words + 5));
}();

TEST(StoreBuffer, EmptyOrRejectedBufferFindsNothingAndHandsOutEmptyStore) {
    XStoreReader empty;
    EXPECT_FALSE(empty.MustSwap());
    XStoreType type = XStoreTypeFloat;
    EXPECT_EQ(empty.IndEntry(0, &type), nullptr);
    EXPECT_EQ(type, XStoreTypeFloat);
    EXPECT_EQ(empty.ReadInt("n", 7, 0), 7);
    Bytes wrongMagic = SmallStore();
    wrongMagic[0] ^= 0x20;
    const Bytes emptyBuffer = Flatten(empty);
    for (const Bytes& bytes : {emptyBuffer, wrongMagic}) {
        XStoreReader reader(bytes.data());
        EXPECT_EQ(reader.EntryCount(), 0u);
        EXPECT_EQ(reader.IndEntry(0, nullptr), nullptr);
        EXPECT_EQ(reader.ValueCount(""), 0u);
        EXPECT_EQ(Flatten(reader), kEmptyStore);
    }
    EXPECT_EQ(emptyBuffer, kEmptyStore);
}

TEST(StoreBuffer, SetDataReplacesNullEmptiesAndOwnedBuffersAreFreed) {
    const Bytes swapped = SmallStore(true);
    XStoreReader reader(swapped.data());
    EXPECT_TRUE(reader.MustSwap());
    const Bytes native = SmallStore();
    reader.SetData(native.data(), false);
    EXPECT_FALSE(reader.MustSwap());
    EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
    reader.SetData(nullptr, true);
    EXPECT_EQ(reader.EntryCount(), 0u);
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
}

TEST(StoreBuffer, UnalignedBorrowedBufferReads) {
    for (bool reversed : {false, true}) {
        const Bytes bytes = SmallStore(reversed);
        Bytes shifted(bytes.size() + 1);
        memcpy(&shifted[1], bytes.data(), bytes.size());
        XStoreReader reader(&shifted[1], false);
        EXPECT_EQ(reader.ReadInt("n", 0, 0), 42);
        EXPECT_STREQ(reader.ReadString("s", nullptr, 0), "text");
    }
}

TEST(StoreBuffer, IsValidDataChecksMagicAndLength) {
    const Bytes native = SmallStore();
    const uint32_t size = static_cast<uint32_t>(native.size());
    EXPECT_TRUE(XStoreReader::IsValidData(native.data(), size));
    EXPECT_TRUE(XStoreReader::IsValidData(SmallStore(true).data(), size));
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
    EXPECT_STREQ(copy.ReadString("s", nullptr, 0), "text");
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

TEST(StoreBufferNoTsan, OutOfMemoryInGetDataCopyOrSetData) {
    const Bytes bytes = SmallStore(true);
    const Bytes before = bytes;
    XStoreReader reader(SmallStore().data());
    // GetData_NF reports the size even when it cannot hand out a copy.
    SweepAllocationFailures([&] {
        uint32_t size = 0;
        void* out = reader.GetData_NF(&size);
        EXPECT_EQ(size, bytes.size());
        if (out != nullptr) {
            EXPECT_EQ(memcmp(out, SmallStore().data(), size), 0);
        }
        free(out);
        return out != nullptr;
    });
    // A copy that cannot allocate is empty.
    SweepAllocationFailures([&] {
        XStoreReader copy(reader);
        EXPECT_EQ(reader.EntryCount(), 2u);
        return copy.ReadInt("n", 0, 0) == 42;
    });
    // A failed copy leaves the reader empty and the caller's bytes alone.
    SweepAllocationFailures([&] {
        reader.SetData(bytes.data(), true);
        EXPECT_EQ(bytes, before);
        const bool took = reader.MustSwap();
        EXPECT_EQ(reader.EntryCount(), took ? 2u : 0u);
        return took;
    });
}

}  // namespace
