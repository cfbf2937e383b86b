// SPDX-License-Identifier: MIT
// Files that lost their index are rebuilt from the slot headers on a read-write open;
// damaged or hostile files are refused or cut back, never trusted past what checks out.
#include <gtest/gtest.h>

#include <brindle/blockfile/XBlockFileCheck.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using Rec = _XBlockFile_BlockRec;

class RecoveryTest : public BlockFileTest {
  protected:
    // A file without trailer: the header, then each slot's header and `size` bytes of
    // pattern data in all, then the end marker.
    struct Slot {
        Rec header;
        uint32_t size;
    };
    static Bytes Craft(const std::vector<Slot>& slots) {
        Bytes bytes = {'A', 'a', 'v', 'E', 0, 0, 0, 0};
        for (const Slot& slot : slots) {
            size_t at = bytes.size();
            bytes.resize(at + slot.size);
            const Rec& h = slot.header;
            const uint32_t words[] = {h.offset, h.id, h.len, h.freeFlag};
            for (int i = 0; i < 4; ++i)
                PutLe32(&bytes, at + 4 * i, words[i]);
            Bytes data = Pattern(h.id, 0, static_cast<uint32_t>(slot.size - 16));
            std::copy(data.begin(), data.end(), bytes.begin() + at + 16);
        }
        bytes.insert(bytes.end(), 4, 0xFF);
        return bytes;
    }
    static Slot Used(uint32_t offset, uint32_t id, uint32_t dataLen) {
        return {{offset, id, dataLen + 16, 0}, SlotSize(dataLen + 16)};
    }
    static Slot Free(uint32_t offset, uint32_t size) {
        return {{offset, 0, size, 0xFFFFFFFF}, size};
    }
    static Slot With(Slot slot, uint32_t Rec::*field, uint32_t value) {
        slot.header.*field = value;
        return slot;
    }

    // Opens `bytes` read-write, expecting blocks `expectIds` holding pattern data, and
    // returns the layout of the file left after Close.
    DiskLayout OpenAndClose(const Bytes& bytes, std::vector<uint32_t> expectIds) {
        WriteFileBytes(Native("test.db"), bytes);
        XBlockFile file;
        EXPECT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        std::vector<uint32_t> ids(file.BlockCount());
        for (uint32_t pos = 0; pos < ids.size(); ++pos)
            EXPECT_EQ(file.GetIndBlockID(pos, &ids[pos]), 0);
        EXPECT_EQ(ids, expectIds);
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
        EXPECT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
        for (uint32_t id : ids) {
            EXPECT_EQ(BlockBytes(file, id),
                      Pattern(id, 0, static_cast<uint32_t>(file.BlockLen(id))));
        }
        return layout;
    }

    // Open refuses `bytes` and leaves them as they were; the structure check agrees.
    void ExpectOpenFails(const Bytes& bytes) {
        XBlockFileCheck check;
        check.ExamineBytes(bytes.data(), bytes.size());
        EXPECT_FALSE(check.IndexUsable());
        EXPECT_TRUE(check.State() == XBlockFileDamaged || check.State() == XBlockFileForeign);
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

// Files crafted slot by slot: what the scan keeps, where it stops, what becomes free.
TEST_F(RecoveryTest, ScanKeepsWhatChecksOutAndCutsTheRest) {
    DiskLayout layout = OpenAndClose(
        Craft({Free(8, 48), Free(56, 48), Used(104, 3, 20), Used(152, 4, 20)}), {3, 4});
    EXPECT_EQ(FreeSpans(layout), (Spans{{8, 48}, {56, 48}})) << "neighbours stay apart";
    XBlockFile file;  // and a freed slot merges only with the one it touches
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
    ASSERT_EQ(file.DeleteBlock(3), 1);
    file.Close();
    ASSERT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    EXPECT_EQ(FreeSpans(layout), (Spans{{8, 48}, {56, 96}}));
    // A free slot of any non-zero flag and a length short of its size.
    Slot odd = With(With(Free(8, 48), &Rec::len, 40), &Rec::freeFlag, 1);
    EXPECT_EQ(FreeSpans(OpenAndClose(Craft({odd, Used(56, 9, 5)}), {9})), (Spans{{8, 48}}));
    // A repeated ID keeps the first slot.
    layout = OpenAndClose(Craft({Used(8, 5, 20), Used(56, 5, 40), Used(120, 6, 1)}), {5, 6});
    EXPECT_EQ(FreeSpans(layout), (Spans{{56, 64}}));
    // A damaged or misplaced header ends the scan and the file is cut before it.
    for (uint32_t len : {0u, 1u, 15u, 0xFFFFFFF5u, 0xFFFFFFFFu, 0x80000000u}) {
        Slot bad = With(Used(56, 8, 20), &Rec::len, len);
        EXPECT_EQ(OpenAndClose(Craft({Used(8, 7, 20), bad, Used(104, 9, 20)}), {7}).dataEnd, 56u)
            << "len " << len;
    }
    Slot misplaced = With(Used(56, 8, 20), &Rec::offset, 72);
    EXPECT_EQ(OpenAndClose(Craft({Used(8, 7, 20), misplaced}), {7}).dataEnd, 56u);
    // A last slot running past the end is dropped; one ending at the end is kept.
    Bytes bytes = Craft({Used(8, 7, 20), Used(56, 8, 100)});
    bytes.resize(bytes.size() - 24);
    EXPECT_EQ(OpenAndClose(bytes, {7}).dataEnd, 56u);
    bytes = Craft({Used(8, 7, 20), Used(56, 8, 32)});
    bytes.resize(bytes.size() - 4);
    EXPECT_EQ(OpenAndClose(bytes, {7, 8}).dataEnd, 104u);
    bytes = {'A', 'a', 'v', 'E', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(OpenAndClose(bytes, {}).dataEnd, 8u) << "a header alone rebuilds empty";
}

// A clean file with blocks 1, 3 and 5 and two free slots between them, whose index area
// the tests below damage.
class DamagedIndexTest : public RecoveryTest {
  protected:
    void SetUp() override {
        RecoveryTest::SetUp();
        XBlockFile file;
        CreateAndOpen(&file);
        for (uint32_t id = 1; id <= 5; ++id)
            WriteBytes(&file, id, Pattern(id, 0, 20));
        ASSERT_EQ(file.DeleteBlock(2), 1);
        ASSERT_EQ(file.DeleteBlock(4), 1);
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

// An index is trusted only when everything about it checks out; a trailer without its magic
// is no trailer, and the index is rebuilt from the slots.
TEST_F(DamagedIndexTest, AnythingThatDoesNotCheckOutIsRefused) {
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0) << "the untouched file opens";
    file.Close();
    DiskLayout layout = OpenAndClose(With(clean_.size() - 4, 0x12345678), {1, 3, 5});
    EXPECT_EQ(layout.dataEnd, layout_.dataEnd);
    EXPECT_EQ(FreeSpans(layout), FreeSpans(layout_));
    const uint32_t size = static_cast<uint32_t>(clean_.size());
    ExpectOpenFails(With(0, 0x65766141));                // magic 'Aave'
    ExpectOpenFails(With(4, 1));                         // version 1
    ExpectOpenFails(With(size - 8, 0));                  // trailer pointing at the magic
    ExpectOpenFails(With(size - 8, 4));                  // trailer pointing at the version
    ExpectOpenFails(With(size - 8, 28));                 // trailer pointing into the data
    ExpectOpenFails(With(size - 8, 0xFFFFFFFF));         // trailer pointing past the end
    ExpectOpenFails(With(size - 8, 0x7FFFFFFC));         // trailer pointing past the end
    ExpectOpenFails(With(size - 8, size - 4));           // trailer pointing at itself
    ExpectOpenFails(With(indexAt_, 4));                  // used count too high
    ExpectOpenFails(With(indexAt_, 0x10000000));         // used count far too high
    ExpectOpenFails(With(indexAt_, 0xFFFFFFFF));         // used count overflowing
    ExpectOpenFails(With(FreeField(0, 0) - 4, 3));       // free count too high
    ExpectOpenFails(With(UsedField(0, 1), 9));           // IDs out of order
    ExpectOpenFails(With(UsedField(1, 1), 1));           // repeated ID
    ExpectOpenFails(With(UsedField(0, 2), 15));          // shorter than its header
    ExpectOpenFails(With(UsedField(0, 2), 0x80000000));  // too long to report
    ExpectOpenFails(With(UsedField(2, 2), 200));         // runs past the data
    ExpectOpenFails(With(UsedField(0, 0), 12));          // not a slot offset
    ExpectOpenFails(With(UsedField(1, 0), 40));          // overlaps the first block
    ExpectOpenFails(With(UsedField(0, 3), 1));           // used record flagged free
    ExpectOpenFails(With(FreeField(0, 3), 0));           // free record flagged used
    ExpectOpenFails(With(FreeField(0, 2), 40));          // free size not a multiple of 16
    ExpectOpenFails(With(FreeField(0, 0), 8));           // free slot overlapping the first block
    ExpectOpenFails(With(FreeField(0, 2), 0));           // empty free slot
    ExpectOpenFails(With(FreeField(1, 0), 56));          // free slots out of order
    ExpectOpenFails(With(layout_.dataEnd, 0));           // no end marker
    Bytes longer = clean_;
    longer.insert(longer.end() - 8, 16, 0);
    ExpectOpenFails(longer);
    ExpectOpenFails(Bytes(clean_.begin(), clean_.begin() + 11));
    ExpectOpenFails(Bytes());
}

}  // namespace
}  // namespace blockfile_test
