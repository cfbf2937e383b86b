// The bytes on disk: the new file, slot sizes, little-endian headers, and the index area
// that is cut off at the first change and written back by Flush and Close.
#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using FormatTest = BlockFileTest;

TEST_F(FormatTest, NewFileIsTheTwentyEightDocumentedBytes) {
    ASSERT_EQ(XBlockFile::Create(Portable("test.db").c_str()), 0);
    const Bytes expected = {'A', 'a', 'v', 'E', 0, 0, 0,  0, 0xFF, 0xFF, 0xFF, 0xFF, 0,   0,
                            0,   0,   0,   0,   0, 0, 12, 0, 0,    0,    'A',  'a',  'v', 'E'};
    EXPECT_EQ(FileBytes(), expected);
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
    EXPECT_EQ(file.BlockCount(), 0u);
}

TEST_F(FormatTest, SlotSizesFollowTheDataLength) {
    XBlockFile file;
    CreateAndOpen(&file);
    const uint32_t lengths[] = {0, 16, 17, 1, 32, 33};
    const uint32_t slots[] = {16, 32, 48, 32, 48, 64};
    uint32_t offset = 8;
    for (uint32_t i = 0; i < 6; ++i) {
        WriteBytes(&file, i + 1, Pattern(i, 0, lengths[i]));
        EXPECT_EQ(file.BlockLen(i + 1), static_cast<int32_t>(lengths[i]));
        Bytes bytes = FileBytes();
        EXPECT_EQ(bytes.size(), offset + slots[i] + 4u) << "the index area is cut off";
        _XBlockFile_BlockRec header = RecordAt(bytes, offset);
        EXPECT_EQ(header.offset, offset);
        EXPECT_EQ(header.id, i + 1);
        EXPECT_EQ(header.len, lengths[i] + 16);
        EXPECT_EQ(header.freeFlag, 0u);
        EXPECT_EQ(Bytes(bytes.begin() + offset + 16, bytes.begin() + offset + 16 + lengths[i]),
                  Pattern(i, 0, lengths[i]));
        offset += slots[i];
        EXPECT_EQ(Le32(bytes, offset), 0xFFFFFFFFu) << "end marker after the last slot";
    }
}

TEST_F(FormatTest, HeadersAreLittleEndian) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 0x01020304, Bytes(0x21, 7));
    Bytes bytes = FileBytes();
    const Bytes header = {8, 0, 0, 0, 4, 3, 2, 1, 0x31, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(bytes.begin() + 8, bytes.begin() + 24), header);
}

TEST_F(FormatTest, CloseWritesTheIndexAreaAndTrailer) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 7, Pattern(7, 0, 20));
    WriteBytes(&file, 3, Pattern(3, 0, 5));
    WriteBytes(&file, 9, Pattern(9, 0, 40));
    ASSERT_EQ(file.DeleteBlock(9), 1);
    file.Close();
    Bytes bytes = FileBytes();
    DiskLayout layout;
    ASSERT_EQ(CheckCleanFile(bytes, &layout), "");
    // 7 at 8 (48 bytes), 3 at 56 (32 bytes), the freed 64-byte slot of 9 at 88.
    EXPECT_EQ(layout.dataEnd, 152u);
    ASSERT_EQ(layout.used.size(), 2u);
    EXPECT_EQ(layout.used[0].id, 3u);
    EXPECT_EQ(layout.used[0].offset, 56u);
    EXPECT_EQ(layout.used[1].id, 7u);
    EXPECT_EQ(FreeSpans(layout), (Spans{{88, 64}}));
    EXPECT_EQ(layout.freeSlots[0].freeFlag, 0xFFFFFFFFu);
    EXPECT_EQ(Le32(bytes, bytes.size() - 8), 156u);
}

TEST_F(FormatTest, FlushRestoresTheTrailerAndTheNextChangeCutsItAgain) {
    XBlockFile file;
    CreateAndOpen(&file);
    DiskLayout layout;
    WriteBytes(&file, 1, Pattern(1, 0, 10));
    EXPECT_EQ(FileBytes().size(), 8 + 32 + 4u);
    file.Flush();
    EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    WriteBytes(&file, 5, Pattern(5, 0, 100));
    EXPECT_EQ(FileBytes().size(), 8 + 32 + 128 + 4u);
    file.Flush();
    Bytes before = FileBytes();
    EXPECT_EQ(CheckCleanFile(before, &layout), "");
    EXPECT_EQ(layout.used.size(), 2u);
    // A rewrite with the same length changes only the data and keeps the file clean.
    WriteBytes(&file, 5, Pattern(5, 1, 100));
    Bytes after = FileBytes();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(CheckCleanFile(after, &layout), "");
    EXPECT_EQ(BlockBytes(file, 5), Pattern(5, 1, 100));
    // Another length in the same slot updates the header and cuts the index area.
    WriteBytes(&file, 5, Pattern(5, 2, 110));  // slot of 128 bytes either way
    after = FileBytes();
    EXPECT_EQ(after.size(), 8 + 32 + 128 + 4u);
    EXPECT_EQ(RecordAt(after, 40).len, 126u);
    EXPECT_EQ(BlockBytes(file, 5), Pattern(5, 2, 110));
}

}  // namespace
}  // namespace blockfile_test
