// Compaction moves blocks down over free space, keeps them intact and shortens the file.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>

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

TEST_F(CompactTest, FileWithoutFreeSlotsIsLeftUntouched) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Pattern(1, 0, 10));
    Bytes modified = FileBytes();
    file.Compact(false);
    EXPECT_EQ(FileBytes(), modified) << "not even flushed";
}

// Files whose compaction the sweep below interrupts: each is built by writes and deletes
// and closed, and `state` gets the blocks it holds.
struct Layout {
    const char* name;
    void (*build)(XBlockFile* file, State* state);
};

void Put(XBlockFile* file, State* state, uint32_t id, uint32_t len) {
    (*state)[id] = Pattern(id, 0, len);
    WriteBytes(file, id, (*state)[id]);
}

void Drop(XBlockFile* file, State* state, uint32_t id) {
    ASSERT_EQ(file->DeleteBlock(id), 1);
    state->erase(id);
}

const Layout kLayouts[] = {
    // A hole smaller than the blocks behind it: each moves over its own old header.
    {"small hole",
     [](XBlockFile* file, State* state) {
         for (uint32_t len : {16u, 40u, 10u, 10u})
             Put(file, state, len + static_cast<uint32_t>(state->size()), len);
         Drop(file, state, 16);
     }},
    // Blocks larger than the buffer that moves them, moved by less than their length.
    {"large blocks",
     [](XBlockFile* file, State* state) {
         Put(file, state, 1, 16);
         Put(file, state, 2, 100000);
         Put(file, state, 3, 5000);
         Drop(file, state, 1);
     }},
    // Holes of every kind: merged neighbours, one exactly a slot long, empty blocks, free
    // space at the end.
    {"mixed holes",
     [](XBlockFile* file, State* state) {
         const uint32_t lens[] = {0, 30, 100, 0, 16, 200, 48, 5, 0, 64, 300, 20};
         for (uint32_t id = 1; id <= 12; ++id)
             Put(file, state, id, lens[id - 1]);
         for (uint32_t id : {2u, 3u, 5u, 9u, 11u, 12u})
             Drop(file, state, id);
     }},
    // Free space alone: the pass leaves no data at all.
    {"no blocks",
     [](XBlockFile* file, State* state) {
         Put(file, state, 1, 40);
         Drop(file, state, 1);
     }},
};

// A crash at every file call of a compaction, and a crash that tears that call's write in
// half: the next read-write open must find every block intact and the file consistent.
TEST_F(CompactTest, CrashAtAnyPointLosesNothing) {
    for (const Layout& layout : kLayouts) {
        for (uint32_t flags : {DebgFileSticky, DebgFileSticky | DebgFilePartial}) {
            SCOPED_TRACE(std::string(layout.name) + (flags & DebgFilePartial ? ", torn" : ""));
            State state;
            unlink(Native("test.db").c_str());
            {
                XBlockFile file;
                CreateAndOpen(&file);
                layout.build(&file, &state);
            }
            const Bytes before = FileBytes();
            for (uint32_t nth = 1;; ++nth) {
                SCOPED_TRACE("crash at file call " + std::to_string(nth));
                WriteFileBytes(Native("test.db"), before);
                bool fired;
                {
                    XBlockFile file;
                    ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
                    DebgFailFileCall(nth, EIO, flags);
                    file.Compact(false);
                    fired = DebgPendingFileCallFailure() == 0;
                }  // abandoned: with the fault sticky, nothing more reaches the file
                DebgFailFileCall(0, 0, 0);
                XBlockFile file;
                ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
                ExpectHolds(file, state);
                file.Close();
                DiskLayout disk;
                ASSERT_EQ(CheckCleanFile(FileBytes(), &disk), "");
                if (!fired) {
                    uint32_t packed = 8;
                    for (const auto& block : state)
                        packed += SlotSize(static_cast<uint32_t>(block.second.size()) + 16);
                    EXPECT_TRUE(disk.freeSlots.empty());
                    EXPECT_EQ(disk.dataEnd, packed);
                    break;
                }
            }
        }
    }
}

}  // namespace
}  // namespace blockfile_test
