// SPDX-License-Identifier: MIT
// Files that lost their index, or whose index does not check out, are rebuilt from the slot
// headers on a read-write open; a damaged header costs its own slot, never those around it.
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

    // Opens `bytes` read-write, expecting blocks `expectIds` holding pattern data (and the
    // blocks XBlockFileCheck predicted), and returns the layout of the file left after Close.
    DiskLayout OpenAndClose(const Bytes& bytes, std::vector<uint32_t> expectIds) {
        WriteFileBytes(Native("test.db"), bytes);
        XBlockFile file;
        EXPECT_EQ(OpenAsPredicted(&file, Portable("test.db")), 0);
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

    // A read-only Open refuses `bytes` and leaves them as they were, and so does the
    // structure check; a read-write one rebuilds them into `expectIds` (none: fails too).
    void ExpectIndexRefused(const Bytes& bytes, const std::vector<uint32_t>& expectIds) {
        XBlockFileCheck check;
        check.ExamineBytes(bytes.data(), bytes.size());
        EXPECT_FALSE(check.IndexUsable());
        EXPECT_TRUE(check.State() == XBlockFileDamaged || check.State() == XBlockFileForeign);
        WriteFileBytes(Native("test.db"), bytes);
        XBlockFile file;
        EXPECT_EQ(file.Open(Portable("test.db").c_str(), true), -1);
        EXPECT_EQ(file.BlockCount(), 0u);
        EXPECT_EQ(file.BlockLen(1), -1);
        EXPECT_EQ(FileBytes(), bytes) << "a refused file is left as it was";
        if (!expectIds.empty())
            OpenAndClose(bytes, expectIds);
        else
            EXPECT_EQ(file.Open(Portable("test.db").c_str(), false), -1);
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
    // A damaged or misplaced header costs its own slot: the scan goes on at the next header
    // that names its own offset, and the bytes between become one free slot. Only what
    // follows the last slot accepted is cut.
    for (uint32_t len : {0u, 1u, 15u, 0xFFFFFFF5u, 0xFFFFFFFFu, 0x80000000u}) {
        Slot bad = With(Used(56, 8, 20), &Rec::len, len);
        layout = OpenAndClose(Craft({Used(8, 7, 20), bad, Used(104, 9, 20)}), {7, 9});
        EXPECT_EQ(FreeSpans(layout), (Spans{{56, 48}})) << "len " << len;
        EXPECT_EQ(layout.dataEnd, 152u);
    }
    Slot misplaced = With(Used(56, 8, 20), &Rec::offset, 72);
    EXPECT_EQ(OpenAndClose(Craft({Used(8, 7, 20), misplaced}), {7}).dataEnd, 56u);
    // A length that runs into the middle of the next slot: the slot whose header says so is
    // the damaged one, used or free, and the next slot is kept.
    for (Slot first : {Used(8, 7, 20), Free(8, 48)}) {
        Slot overlong = With(first, &Rec::len, first.header.freeFlag != 0 ? 80 : 68);
        layout = OpenAndClose(Craft({overlong, Used(56, 8, 20), Used(104, 9, 20)}), {8, 9});
        EXPECT_EQ(FreeSpans(layout), (Spans{{8, 48}}));
    }
    // A last slot running past the end is dropped; one ending at the end is kept.
    Bytes bytes = Craft({Used(8, 7, 20), Used(56, 8, 100)});
    bytes.resize(bytes.size() - 24);
    EXPECT_EQ(OpenAndClose(bytes, {7}).dataEnd, 56u);
    bytes = Craft({Used(8, 7, 20), Used(56, 8, 32)});
    bytes.resize(bytes.size() - 4);
    EXPECT_EQ(OpenAndClose(bytes, {7, 8}).dataEnd, 104u);
    bytes = {'A', 'a', 'v', 'E', 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(OpenAndClose(bytes, {}).dataEnd, 8u) << "a header alone rebuilds empty";
    // An append cut short whose last bytes read "AavE" looks like a trailer: read-only it is
    // refused, read-write rebuilt.
    bytes = Craft({Used(8, 7, 20), Used(56, 8, 100)});
    bytes.resize(bytes.size() - 40);
    std::copy_n("AavE", 4, bytes.end() - 4);
    ExpectIndexRefused(bytes, {7});
}

// The damage of an outside review: one flipped bit in the length of block 10's header of a
// clean file of 100 blocks, unnoticed while the index is trusted; then one write, and a
// crash. The rebuild keeps every block but block 10, whose header is wrong, except where the
// wrong length happens to end exactly at a later header: nothing then tells it from a real
// one, and the blocks it spans go with it.
TEST_F(RecoveryTest, OneFlippedBitInALengthCostsOnlyItsBlock) {
    State blocks;
    std::vector<uint32_t> offsets;  // of every slot, and the end of the data
    {
        XBlockFile file;
        CreateAndOpen(&file);
        for (uint32_t id = 1; id <= 100; ++id) {
            blocks[id] = Pattern(id, 0, id * 37 % 160);
            WriteBytes(&file, id, blocks[id]);
        }
    }
    const Bytes clean = FileBytes();
    for (uint32_t at = 8; Le32(clean, at) != 0xFFFFFFFF; at += SlotSize(Le32(clean, at + 8)))
        offsets.push_back(at);
    const uint32_t damaged = offsets[9];
    for (uint32_t bit = 0; bit < 32; ++bit) {
        SCOPED_TRACE("bit " + std::to_string(bit));
        Bytes bytes = clean;
        const uint32_t len = Le32(bytes, damaged + 8) ^ (1u << bit);
        PutLe32(&bytes, damaged + 8, len);
        WriteFileBytes(Native("test.db"), bytes);
        State expected = blocks;
        {
            XBlockFile file;
            ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
            expected[500] = Pattern(500, 0, 50);
            WriteBytes(&file, 500, expected[500]);
            WriteFileBytes(Native("crash.db"), FileBytes());
        }
        const uint64_t claimedEnd = uint64_t{damaged} + SlotSize(len);
        const bool consistent = std::count(offsets.begin(), offsets.end(), claimedEnd) != 0;
        for (uint32_t i = 10; consistent && offsets[i] < claimedEnd; ++i)
            expected.erase(i + 1);
        XBlockFile file;
        ASSERT_EQ(OpenAsPredicted(&file, Portable("crash.db")), 0);
        // Block 10 is gone, or reads as many of its bytes as its length says: fewer, or
        // more that are the zeros after its data in its slot.
        const std::optional<Bytes> ten = BlockBytes(file, 10);
        expected.erase(10);
        if (ten) {
            Bytes padded = blocks[10];
            padded.resize(std::max(padded.size(), ten->size()));
            EXPECT_TRUE(consistent || std::equal(ten->begin(), ten->end(), padded.begin()));
            expected[10] = *ten;
        }
        ExpectHolds(file, expected);
    }
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
// is no trailer. Either way a read-only open refuses the file and a read-write one rebuilds
// the index from the slots; a file that is no block file opens neither way.
TEST_F(DamagedIndexTest, AnIndexThatDoesNotCheckOutIsRebuiltFromTheSlots) {
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0) << "the untouched file opens";
    file.Close();
    DiskLayout layout = OpenAndClose(With(clean_.size() - 4, 0x12345678), {1, 3, 5});
    EXPECT_EQ(layout.dataEnd, layout_.dataEnd);
    EXPECT_EQ(FreeSpans(layout), FreeSpans(layout_));
    const uint32_t size = static_cast<uint32_t>(clean_.size());
    ExpectIndexRefused(With(0, 0x65766141), {});  // magic 'Aave'
    ExpectIndexRefused(With(4, 1), {});           // version 1
    const std::pair<Bytes, const char*> damaged[] = {
        {With(size - 8, 0), "trailer pointing at the magic"},
        {With(size - 8, 4), "trailer pointing at the version"},
        {With(size - 8, 28), "trailer pointing into the data"},
        {With(size - 8, 0xFFFFFFFF), "trailer pointing past the end"},
        {With(size - 8, 0x7FFFFFFC), "trailer pointing past the end"},
        {With(size - 8, size - 4), "trailer pointing at itself"},
        {With(indexAt_, 4), "used count too high"},
        {With(indexAt_, 0x10000000), "used count far too high"},
        {With(indexAt_, 0xFFFFFFFF), "used count overflowing"},
        {With(FreeField(0, 0) - 4, 3), "free count too high"},
        {With(UsedField(0, 1), 9), "IDs out of order"},
        {With(UsedField(1, 1), 1), "repeated ID"},
        {With(UsedField(0, 2), 15), "shorter than its header"},
        {With(UsedField(0, 2), 0x80000000), "too long to report"},
        {With(UsedField(2, 2), 200), "runs past the data"},
        {With(UsedField(0, 0), 12), "not a slot offset"},
        {With(UsedField(1, 0), 40), "overlaps the first block"},
        {With(UsedField(0, 3), 1), "used record flagged free"},
        {With(FreeField(0, 3), 0), "free record flagged used"},
        {With(FreeField(0, 2), 40), "free size not a multiple of 16"},
        {With(FreeField(0, 0), 8), "free slot overlapping the first block"},
        {With(FreeField(0, 2), 0), "empty free slot"},
        {With(FreeField(1, 0), 56), "free slots out of order"},
        {With(layout_.dataEnd, 0), "no end marker"},
    };
    for (const auto& [bytes, what] : damaged) {
        SCOPED_TRACE(what);
        ExpectIndexRefused(bytes, {1, 3, 5});
    }
    Bytes longer = clean_;
    longer.insert(longer.end() - 8, 16, 0);
    ExpectIndexRefused(longer, {1, 3, 5});
    ExpectIndexRefused(Bytes(clean_.begin(), clean_.begin() + 11), {});
    ExpectIndexRefused(Bytes(), {});
}

}  // namespace
}  // namespace blockfile_test
