// Compaction moves blocks down over free space, keeps them intact and shortens the file.
#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using CompactTest = BlockFileTest;

TEST_F(CompactTest, DeletingTheFirstOfThreeMovesTheOthersDown) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 40));  // slot of 64 at 8
    WriteBytes(&file, 2, Pattern(2, 0, 20));  // slot of 48 at 72
    WriteBytes(&file, 3, Pattern(3, 0, 0));   // slot of 16 at 120
    ASSERT_EQ(file.DeleteBlock(1), 1);
    file.Flush();
    size_t before = FileBytes().size();
    file.Compact(false);
    Bytes bytes = FileBytes();
    EXPECT_EQ(bytes.size(), before - 64 - 16) << "the slot and its free record are gone";
    DiskLayout layout;
    ASSERT_EQ(CheckCleanFile(bytes, &layout), "") << "Compact leaves the file clean";
    EXPECT_TRUE(layout.freeSlots.empty());
    ASSERT_EQ(layout.used.size(), 2u);
    EXPECT_EQ(layout.used[0].offset, 8u);
    EXPECT_EQ(layout.used[1].offset, 56u);
    EXPECT_EQ(BlockBytes(file, 2), Pattern(2, 0, 20));
    EXPECT_EQ(BlockBytes(file, 3), Bytes());
    file.Close();
    EXPECT_EQ(FileBytes(), bytes);
}

TEST_F(CompactTest, LargeBlocksMoveAcrossOverlappingRanges) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 16));
    WriteBytes(&file, 2, Pattern(2, 0, 100000));  // moved by less than its own length
    WriteBytes(&file, 3, Pattern(3, 0, 5000));
    ASSERT_EQ(file.DeleteBlock(1), 1);
    file.Compact(true);
    EXPECT_EQ(BlockBytes(file, 2), Pattern(2, 0, 100000));
    EXPECT_EQ(BlockBytes(file, 3), Pattern(3, 0, 5000));
    DiskLayout layout;
    ASSERT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    EXPECT_EQ(layout.dataEnd, 8u + SlotSize(100016) + SlotSize(5016));
}

TEST_F(CompactTest, FileWithoutFreeSlotsIsLeftUntouched) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 10));
    Bytes modified = FileBytes();
    file.Compact(false);
    EXPECT_EQ(FileBytes(), modified) << "not even flushed";
}

// A crash during compaction: the index is cut off before the first block moves.
TEST_F(CompactTest, IndexIsCutOffBeforeAnythingMoves) {
    class Watcher : public XBlockFile {
      public:
        std::string native;
        Bytes seen;

      protected:
        void OnFlush() override { seen = ReadFileBytes(native); }
    };
    Watcher file;
    file.native = Native("test.db");
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 10));
    WriteBytes(&file, 2, Pattern(2, 0, 10));
    ASSERT_EQ(file.DeleteBlock(1), 1);
    file.Flush();
    file.Compact(false);
    // At the flush that ends the pass the file had no trailer, as any moment of the pass.
    ASSERT_GE(file.seen.size(), 4u);
    EXPECT_EQ(Le32(file.seen, file.seen.size() - 4), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace blockfile_test
