// Files that lost their index are rebuilt from the slot headers on a read-write open;
// damaged or hostile files are refused or cut back, never trusted past what checks out.
#include <gtest/gtest.h>

#include <brindle/Debg.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

class RecoveryTest : public BlockFileTest {
  protected:
    // A file without trailer: the header, then each slot's header and pattern data (a slot
    // of `size` bytes when given, else the size its `len` calls for), then `tail`.
    struct Slot {
        _XBlockFile_BlockRec header;
        uint32_t size;
    };
    static Bytes Craft(const std::vector<Slot>& slots, const Bytes& tail) {
        Bytes bytes = {'A', 'a', 'v', 'E', 0, 0, 0, 0};
        for (const Slot& slot : slots) {
            size_t at = bytes.size();
            bytes.resize(at + slot.size);
            const _XBlockFile_BlockRec& h = slot.header;
            const uint32_t words[] = {h.offset, h.id, h.len, h.freeFlag};
            for (int i = 0; i < 4; ++i)
                PutLe32(&bytes, at + 4 * i, words[i]);
            Bytes data = Pattern(h.id, 0, static_cast<uint32_t>(slot.size - 16));
            std::copy(data.begin(), data.end(), bytes.begin() + at + 16);
        }
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    }
    static Slot Used(uint32_t offset, uint32_t id, uint32_t dataLen) {
        return {{offset, id, dataLen + 16, 0}, SlotSize(dataLen + 16)};
    }
    static Slot Free(uint32_t offset, uint32_t size) {
        return {{offset, 0, size, 0xFFFFFFFF}, size};
    }
    static Bytes EndMarker() { return Bytes(4, 0xFF); }

    // Opens `bytes` read-write and returns the layout of the file left after Close.
    DiskLayout OpenAndClose(const Bytes& bytes, std::vector<uint32_t> expectIds) {
        WriteFileBytes(Native("test.db"), bytes);
        XBlockFile file;
        EXPECT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        EXPECT_EQ(file.BlockCount(), expectIds.size());
        for (uint32_t pos = 0; pos < file.BlockCount() && pos < expectIds.size(); ++pos) {
            uint32_t id = 0;
            file.GetIndBlockID(pos, &id);
            EXPECT_EQ(id, expectIds[pos]);
            EXPECT_EQ(file.BlockLen(id) >= 0, true);
        }
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
        return layout;
    }

    void ExpectOpenFails(const Bytes& bytes) {
        WriteFileBytes(Native("test.db"), bytes);
        for (bool readOnly : {true, false}) {
            XBlockFile file;
            EXPECT_EQ(file.Open(Portable("test.db").c_str(), readOnly), -1);
            EXPECT_EQ(file.BlockCount(), 0u);
            EXPECT_EQ(file.BlockLen(1), -1);
        }
        EXPECT_EQ(FileBytes(), bytes) << "a refused file is left as it was";
    }
};

TEST_F(RecoveryTest, FileWithoutTrailerIsRebuiltReadWriteAndRefusedReadOnly) {
    XBlockFile writer;
    CreateAndOpen(&writer);
    for (uint32_t id = 1; id <= 20; ++id)
        WriteBytes(&writer, id * 3, Pattern(id, 0, id * 13));
    writer.Close();
    ASSERT_EQ(writer.Open(Portable("test.db").c_str(), false), 0);
    ASSERT_EQ(writer.DeleteBlock(30), 1);
    WriteBytes(&writer, 6, Pattern(2, 1, 100));
    WriteBytes(&writer, 1000, Pattern(1000, 0, 7));
    // The state a process leaves when it dies now, without Flush or Close.
    Bytes crashed = FileBytes();
    WriteFileBytes(Native("copy.db"), crashed);
    XBlockFile readOnly;
    EXPECT_EQ(readOnly.Open(Portable("copy.db").c_str(), true), -1);
    EXPECT_EQ(FileBytes("copy.db"), crashed);
    XBlockFile recovered;
    ASSERT_EQ(recovered.Open(Portable("copy.db").c_str(), false), 0);
    EXPECT_EQ(recovered.BlockCount(), writer.BlockCount());
    for (uint32_t pos = 0; pos < writer.BlockCount(); ++pos) {
        uint32_t id = 0;
        writer.GetIndBlockID(pos, &id);
        EXPECT_EQ(BlockBytes(recovered, id), BlockBytes(writer, id)) << "block " << id;
    }
    DiskLayout layout;
    EXPECT_EQ(CheckCleanFile(FileBytes("copy.db"), &layout), "")
        << "the rebuild writes a fresh index before Open returns";
}

TEST_F(RecoveryTest, OverwrittenTrailerMagicIsRebuiltFromTheSlots) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 20));
    WriteBytes(&file, 2, Pattern(2, 0, 20));
    file.Close();
    Bytes bytes = FileBytes();
    PutLe32(&bytes, bytes.size() - 4, 0x12345678);
    DiskLayout layout = OpenAndClose(bytes, {1, 2});
    EXPECT_EQ(layout.dataEnd, 104u);
}

TEST_F(RecoveryTest, RebuildKeepsNeighbouringFreeSlotsApart) {
    Bytes bytes =
        Craft({Free(8, 48), Free(56, 48), Used(104, 3, 20), Used(152, 4, 20)}, EndMarker());
    DiskLayout layout = OpenAndClose(bytes, {3, 4});
    ASSERT_EQ(layout.freeSlots.size(), 2u);
    EXPECT_EQ(layout.freeSlots[0].offset, 8u);
    EXPECT_EQ(layout.freeSlots[1].offset, 56u);
    // Deleting block 3 merges it with the free slot it touches, not with the one before.
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
    ASSERT_EQ(file.DeleteBlock(3), 1);
    file.Close();
    ASSERT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    ASSERT_EQ(layout.freeSlots.size(), 2u);
    EXPECT_EQ(layout.freeSlots[0].len, 48u);
    EXPECT_EQ(layout.freeSlots[1].offset, 56u);
    EXPECT_EQ(layout.freeSlots[1].len, 96u);
}

TEST_F(RecoveryTest, FreeSlotsOfAnyNonZeroFlagAndOddLengthAreAccepted) {
    Slot odd = Free(8, 48);
    odd.header.len = 40;  // raised to 48 by the scan
    odd.header.freeFlag = 1;
    DiskLayout layout = OpenAndClose(Craft({odd, Used(56, 9, 5)}, EndMarker()), {9});
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].len, 48u);
}

TEST_F(RecoveryTest, RepeatedIdsKeepTheFirstSlot) {
    Bytes bytes = Craft({Used(8, 5, 20), Used(56, 5, 40), Used(120, 6, 1)}, EndMarker());
    DiskLayout layout = OpenAndClose(bytes, {5, 6});
    EXPECT_EQ(layout.used[0].offset, 8u);
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].offset, 56u);
    EXPECT_EQ(layout.freeSlots[0].len, 64u);
}

TEST_F(RecoveryTest, DamagedHeaderEndsTheScanAndTheFileIsCutBeforeIt) {
    const uint32_t badLens[] = {0, 1, 15, 0xFFFFFFF5, 0xFFFFFFFF, 0x80000000};
    for (uint32_t len : badLens) {
        Slot bad = Used(56, 8, 20);
        bad.header.len = len;
        DiskLayout layout =
            OpenAndClose(Craft({Used(8, 7, 20), bad, Used(104, 9, 20)}, EndMarker()), {7});
        EXPECT_EQ(layout.dataEnd, 56u) << "len " << len;
    }
    Slot misplaced = Used(56, 8, 20);
    misplaced.header.offset = 72;
    EXPECT_EQ(OpenAndClose(Craft({Used(8, 7, 20), misplaced}, EndMarker()), {7}).dataEnd, 56u);
}

TEST_F(RecoveryTest, LastSlotRunningPastTheEndIsDropped) {
    Bytes bytes = Craft({Used(8, 7, 20), Used(56, 8, 100)}, Bytes());
    bytes.resize(bytes.size() - 20);
    EXPECT_EQ(OpenAndClose(bytes, {7}).dataEnd, 56u);
}

TEST_F(RecoveryTest, LastSlotEndingAtTheEndOfTheFileKeepsItsData) {
    Bytes bytes = Craft({Used(8, 7, 20), Used(56, 8, 32)}, Bytes());
    DiskLayout layout = OpenAndClose(bytes, {7, 8});
    EXPECT_EQ(layout.dataEnd, 104u);
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
    EXPECT_EQ(BlockBytes(file, 8), Pattern(8, 0, 32));
}

TEST_F(RecoveryTest, HeaderOnlyFileRebuildsEmpty) {
    DiskLayout layout =
        OpenAndClose(Bytes{'A', 'a', 'v', 'E', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, {});
    EXPECT_EQ(layout.dataEnd, 8u);
}

TEST_F(RecoveryTest, OnRebuildSeesTheBuiltIndex) {
    class Hooked : public XBlockFile {
      public:
        uint32_t seen = 0xFFFFFFFF;

      protected:
        void OnRebuild() override { seen = BlockCount(); }
    };
    WriteFileBytes(Native("test.db"), Craft({Used(8, 1, 3), Used(40, 2, 3)}, EndMarker()));
    Hooked file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
    EXPECT_EQ(file.seen, 2u);
}

TEST_F(RecoveryTest, RebuildWithoutMemoryLeavesTheFileUntouched) {
    std::vector<Slot> slots;
    for (uint32_t i = 0; i < 10; ++i)
        slots.push_back(Used(8 + 32 * i, i + 1, 4));
    Bytes bytes = Craft(slots, EndMarker());
    WriteFileBytes(Native("test.db"), bytes);
    for (uint32_t nth = 1;; ++nth) {
        XBlockFile file;
        DebgFailAllocation(nth);
        int32_t result = file.Open(Portable("test.db").c_str(), false);
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (!fired) {
            ASSERT_EQ(result, 0);
            EXPECT_EQ(file.BlockCount(), 10u);
            break;
        }
        EXPECT_EQ(result, ENOMEM);
        EXPECT_EQ(FileBytes(), bytes);
    }
}

TEST_F(RecoveryTest, FilesThatAreNotBlockFilesAreRefused) {
    ExpectOpenFails(Bytes{'A', 'a', 'v', 'E', 0, 0, 0, 0, 'A', 'a', 'v'});
    ExpectOpenFails(Bytes{'A', 'a', 'v', 'e', 0, 0, 0,  0, 0xFF, 0xFF, 0xFF, 0xFF, 0,   0,
                          0,   0,   0,   0,   0, 0, 12, 0, 0,    0,    'A',  'a',  'v', 'E'});
    ExpectOpenFails(Bytes{'A', 'a', 'v', 'E', 1, 0, 0,  0, 0xFF, 0xFF, 0xFF, 0xFF, 0,   0,
                          0,   0,   0,   0,   0, 0, 12, 0, 0,    0,    'A',  'a',  'v', 'E'});
    ExpectOpenFails(Bytes());
}

// A clean file with two blocks and one free slot, whose index area the tests below damage.
class DamagedIndexTest : public RecoveryTest {
  protected:
    void SetUp() override {
        RecoveryTest::SetUp();
        XBlockFile file;
        CreateAndOpen(&file);
        WriteBytes(&file, 1, Pattern(1, 0, 20));
        WriteBytes(&file, 2, Pattern(2, 0, 20));
        WriteBytes(&file, 3, Pattern(3, 0, 20));
        ASSERT_EQ(file.DeleteBlock(2), 1);
        file.Close();
        clean_ = FileBytes();
        ASSERT_EQ(CheckCleanFile(clean_, &layout_), "");
        indexAt_ = layout_.dataEnd + 4;
    }
    // Offsets of fields of the index area: used record i, free record i.
    size_t UsedField(size_t i, size_t field) const { return indexAt_ + 4 + 16 * i + 4 * field; }
    size_t FreeField(size_t i, size_t field) const {
        return indexAt_ + 8 + 16 * layout_.used.size() + 16 * i + 4 * field;
    }
    Bytes With(size_t at, uint32_t value) const {
        Bytes bytes = clean_;
        PutLe32(&bytes, at, value);
        return bytes;
    }

    Bytes clean_;
    DiskLayout layout_;
    size_t indexAt_ = 0;
};

TEST_F(DamagedIndexTest, TrailerPointingAnywhereIsRefused) {
    for (uint32_t offset :
         {0u, 4u, 12u + 16u, 0xFFFFFFFFu, 0x7FFFFFFCu, static_cast<uint32_t>(clean_.size()) - 4u}) {
        ExpectOpenFails(With(clean_.size() - 8, offset));
    }
}

TEST_F(DamagedIndexTest, CountsThatDoNotMatchTheFileAreRefused) {
    ExpectOpenFails(With(indexAt_, 3));
    ExpectOpenFails(With(indexAt_, 0x10000000));
    ExpectOpenFails(With(indexAt_, 0xFFFFFFFF));
    ExpectOpenFails(With(indexAt_ + 4 + 16 * layout_.used.size(), 2));
    Bytes longer = clean_;
    longer.insert(longer.end() - 8, 16, 0);
    ExpectOpenFails(longer);
}

TEST_F(DamagedIndexTest, InconsistentRecordsAreRefused) {
    ExpectOpenFails(With(UsedField(0, 1), 9));           // IDs out of order
    ExpectOpenFails(With(UsedField(1, 1), 1));           // repeated ID
    ExpectOpenFails(With(UsedField(0, 2), 15));          // shorter than its header
    ExpectOpenFails(With(UsedField(0, 2), 0x80000000));  // too long to report
    ExpectOpenFails(With(UsedField(1, 2), 200));         // runs past the data
    ExpectOpenFails(With(UsedField(0, 0), 12));          // not a slot offset
    ExpectOpenFails(With(UsedField(1, 0), 40));          // overlaps the first block
    ExpectOpenFails(With(UsedField(0, 3), 1));           // used record flagged free
    ExpectOpenFails(With(FreeField(0, 3), 0));           // free record flagged used
    ExpectOpenFails(With(FreeField(0, 2), 40));          // not a multiple of 16
    ExpectOpenFails(With(FreeField(0, 0), 8));           // overlaps the first block
    ExpectOpenFails(With(FreeField(0, 2), 0));           // empty
    ExpectOpenFails(With(layout_.dataEnd, 0));           // no end marker
}

TEST_F(DamagedIndexTest, UntouchedIndexOpens) {
    WriteFileBytes(Native("test.db"), clean_);
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
    EXPECT_EQ(BlockBytes(file, 3), Pattern(3, 0, 20));
}

}  // namespace
}  // namespace blockfile_test
