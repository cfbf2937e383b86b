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

    Spans FreeSpans() { return blockfile_test::FreeSpans(Layout()); }

    XBlockFile file_;
};

TEST_F(AllocationTest, HoleIsTakenWhenItFitsExactlyOrLeavesAtLeastThirtyTwoBytes) {
    OpenWithBlocks(3, 48);  // slots of 64 at 8, 72, 136
    ASSERT_EQ(file_.DeleteBlock(1), 1);
    WriteBytes(&file_, 10, Pattern(10, 0, 20));  // slot of 48 would leave 16: appended
    EXPECT_EQ(OffsetOf(10), 200u);
    EXPECT_EQ(FreeSpans(), (Spans{{8, 64}}));
    WriteBytes(&file_, 11, Pattern(11, 0, 48));  // slot of 64: exact fit
    EXPECT_EQ(OffsetOf(11), 8u);
    EXPECT_EQ(FreeSpans(), Spans());
    ASSERT_EQ(file_.DeleteBlock(2), 1);
    WriteBytes(&file_, 12, Pattern(12, 0, 16));  // slot of 32 splits the hole
    EXPECT_EQ(OffsetOf(12), 72u);
    EXPECT_EQ(FreeSpans(), (Spans{{104, 32}}));
    EXPECT_EQ(BlockBytes(file_, 12), Pattern(12, 0, 16));
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
    for (uint32_t hole : {1, 3, 5})
        ASSERT_EQ(file_.DeleteBlock(hole), 1);
    Spans holes = FreeSpans();
    ASSERT_EQ(holes.size(), 3u);
    WriteBytes(&file_, 100, Pattern(100, 0, 10));  // slot of 32: remainders 96, 48, 48
    EXPECT_EQ(OffsetOf(100), holes[1].first);
}

TEST_F(AllocationTest, FreedSlotsMergeWithTheFreeSlotsTheyTouch) {
    OpenWithBlocks(5, 20);  // slots of 48 at 8, 56, 104, 152, 200
    ASSERT_EQ(file_.DeleteBlock(2), 1);
    ASSERT_EQ(file_.DeleteBlock(1), 1);  // touches the following free slot
    EXPECT_EQ(FreeSpans(), (Spans{{8, 96}}));
    ASSERT_EQ(file_.DeleteBlock(4), 1);
    ASSERT_EQ(file_.DeleteBlock(3), 1);  // touches both neighbours
    EXPECT_EQ(FreeSpans(), (Spans{{8, 192}}));
    _XBlockFile_BlockRec header = RecordAt(FileBytes(), 8);
    EXPECT_EQ(header.len, 192u);
    EXPECT_EQ(header.freeFlag, 0xFFFFFFFFu);
    EXPECT_EQ(BlockBytes(file_, 5), Pattern(5, 0, 20));
}

TEST_F(AllocationTest, GrowingABlockMovesItAndFreesItsOldSlot) {
    OpenWithBlocks(2, 20);
    WriteBytes(&file_, 1, Pattern(1, 1, 200));
    EXPECT_EQ(BlockBytes(file_, 1), Pattern(1, 1, 200));
    EXPECT_EQ(FreeSpans(), (Spans{{8, 48}}));
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
