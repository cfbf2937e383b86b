// Where blocks go: exact fit, best fit leaving at least 32 bytes, append; and how freed
// slots merge with the free slots that touch them.
#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

class AllocationTest : public BlockFileTest {
  protected:
    // Opens a file holding, from offset 8, blocks 1 to `count` of `len` bytes each.
    void OpenWithBlocks(uint32_t count, uint32_t len) {
        CreateAndOpen(&file_);
        for (uint32_t id = 1; id <= count; ++id)
            WriteBytes(&file_, id, Pattern(id, 0, len));
    }

    DiskLayout Layout() {
        file_.Flush();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
        return layout;
    }

    uint32_t OffsetOf(uint32_t id) {
        for (const auto& rec : Layout().used) {
            if (rec.id == id)
                return rec.offset;
        }
        ADD_FAILURE() << "no block " << id;
        return 0;
    }

    XBlockFile file_;
};

// One free slot of 64 bytes at offset 8, followed by block 2 (48 bytes of data).
class SixtyFourByteHoleTest : public AllocationTest {
  protected:
    void SetUp() override {
        AllocationTest::SetUp();
        OpenWithBlocks(2, 48);
        ASSERT_EQ(file_.DeleteBlock(1), 1);
        DiskLayout layout = Layout();
        ASSERT_EQ(layout.freeSlots.size(), 1u);
        ASSERT_EQ(layout.freeSlots[0].len, 64u);
    }
};

TEST_F(SixtyFourByteHoleTest, SlotThatWouldLeaveSixteenBytesIsAppended) {
    WriteBytes(&file_, 10, Pattern(10, 0, 20));  // slot of 48
    EXPECT_EQ(OffsetOf(10), 8u + 64 + 64);
    EXPECT_EQ(Layout().freeSlots[0].len, 64u);
}

TEST_F(SixtyFourByteHoleTest, SmallerSlotSplitsTheHole) {
    WriteBytes(&file_, 10, Pattern(10, 0, 16));  // slot of 32
    EXPECT_EQ(OffsetOf(10), 8u);
    DiskLayout layout = Layout();
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].offset, 40u);
    EXPECT_EQ(layout.freeSlots[0].len, 32u);
    EXPECT_EQ(BlockBytes(file_, 10), Pattern(10, 0, 16));
}

TEST_F(SixtyFourByteHoleTest, ExactFitTakesTheWholeHole) {
    WriteBytes(&file_, 10, Pattern(10, 0, 48));  // slot of 64
    EXPECT_EQ(OffsetOf(10), 8u);
    EXPECT_TRUE(Layout().freeSlots.empty());
}

TEST_F(AllocationTest, ExactFitWinsOverAnEarlierLargerSlot) {
    OpenWithBlocks(4, 48);                     // four slots of 64 bytes at 8, 72, 136, 200
    WriteBytes(&file_, 5, Pattern(5, 0, 16));  // slot of 32 at 264
    WriteBytes(&file_, 6, Pattern(6, 0, 16));  // slot of 32 at 296, keeps 5 apart from the end
    ASSERT_EQ(file_.DeleteBlock(1), 1);        // 64 free at 8
    ASSERT_EQ(file_.DeleteBlock(5), 1);        // 32 free at 264
    WriteBytes(&file_, 7, Pattern(7, 0, 10));  // slot of 32
    EXPECT_EQ(OffsetOf(7), 264u);
}

TEST_F(AllocationTest, BestFitPicksTheSmallestRemainderAndTheFirstOnATie) {
    CreateAndOpen(&file_);
    // Holes of 128, 80 and 80 bytes, each kept apart by a small block.
    const uint32_t sizes[] = {112, 64, 64};
    uint32_t id = 1;
    for (uint32_t size : sizes) {
        WriteBytes(&file_, id, Pattern(id, 0, size - 16));
        WriteBytes(&file_, id + 1, Bytes());
        id += 2;
    }
    ASSERT_EQ(file_.DeleteBlock(1), 1);
    ASSERT_EQ(file_.DeleteBlock(3), 1);
    ASSERT_EQ(file_.DeleteBlock(5), 1);
    DiskLayout layout = Layout();
    ASSERT_EQ(layout.freeSlots.size(), 3u);
    WriteBytes(&file_, 100, Pattern(100, 0, 10));  // slot of 32: remainders 96, 48, 48
    EXPECT_EQ(OffsetOf(100), layout.freeSlots[1].offset);
}

TEST_F(AllocationTest, DeletingThreeNeighboursLeavesOneMergedSlot) {
    OpenWithBlocks(4, 20);  // slots of 48 at 8, 56, 104, 152
    ASSERT_EQ(file_.DeleteBlock(1), 1);
    ASSERT_EQ(file_.DeleteBlock(3), 1);
    ASSERT_EQ(file_.DeleteBlock(2), 1);  // touches both neighbours
    DiskLayout layout = Layout();
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].offset, 8u);
    EXPECT_EQ(layout.freeSlots[0].len, 144u);
    _XBlockFile_BlockRec header = RecordAt(FileBytes(), 8);
    EXPECT_EQ(header.len, 144u);
    EXPECT_EQ(header.freeFlag, 0xFFFFFFFFu);
    EXPECT_EQ(BlockBytes(file_, 4), Pattern(4, 0, 20));
}

TEST_F(AllocationTest, FreedSlotMergesWithTheFollowingFreeSlot) {
    OpenWithBlocks(3, 20);
    ASSERT_EQ(file_.DeleteBlock(2), 1);
    ASSERT_EQ(file_.DeleteBlock(1), 1);
    DiskLayout layout = Layout();
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].offset, 8u);
    EXPECT_EQ(layout.freeSlots[0].len, 96u);
}

TEST_F(AllocationTest, GrowingABlockMovesItAndFreesItsOldSlot) {
    OpenWithBlocks(2, 20);
    WriteBytes(&file_, 1, Pattern(1, 1, 200));
    EXPECT_EQ(BlockBytes(file_, 1), Pattern(1, 1, 200));
    DiskLayout layout = Layout();
    ASSERT_EQ(layout.freeSlots.size(), 1u);
    EXPECT_EQ(layout.freeSlots[0].offset, 8u);
    EXPECT_EQ(OffsetOf(1), 8u + 48 + 48);
    // Shrinking it back reuses the freed slot exactly.
    WriteBytes(&file_, 1, Pattern(1, 2, 20));
    EXPECT_EQ(OffsetOf(1), 8u);
}

TEST_F(AllocationTest, ManyBlocksGrowTheIndexAndKeepIdOrder) {
    CreateAndOpen(&file_);
    for (uint32_t i = 0; i < 100; ++i)
        WriteBytes(&file_, (i * 37) % 100 + 0xFFFFFF00u, Pattern(i, 0, i % 5));
    ASSERT_EQ(file_.BlockCount(), 100u);
    for (uint32_t pos = 0; pos < 100; ++pos) {
        uint32_t id = 0;
        ASSERT_EQ(file_.GetIndBlockID(pos, &id), 0);
        EXPECT_EQ(id, 0xFFFFFF00u + pos);
    }
}

}  // namespace
}  // namespace blockfile_test
