// SPDX-License-Identifier: MIT
// The structure check, over clean and damaged files: what it finds, and that what it says a
// file holds is what XBlockFile then serves (after a rebuild where the index is unusable).
#include <stdint.h>

#include <functional>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/blockfile/XBlockFile.h>
#include <brindle/blockfile/XBlockFileCheck.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

// Blocks 1 (10 bytes), 2 (70,000 bytes, so that the check reads past its first window),
// 3 (40 bytes, deleted) and 4 (1 byte); the crash copy also has block 5 (20 bytes) and no
// index. Slots: 1 at 8, 2 at 40, free at 70056 (64 bytes), 4 at 70120, 5 at 70152.
constexpr uint32_t kFreeSlot = 70056;
constexpr uint32_t kBlock4 = 70120;
constexpr uint32_t kBlock5 = 70152;
constexpr uint32_t kDataEnd = 70152;  // of the clean file

using IdLens = std::vector<std::pair<uint32_t, uint32_t>>;
using Findings = std::vector<std::pair<XBlockFileFault, uint64_t>>;

Findings FindingsOf(const XBlockFileCheck& check) {
    Findings findings;
    for (uint32_t i = 0; i < check.FindingCount(); ++i)
        findings.emplace_back(check.Findings()[i].fault, check.Findings()[i].offset);
    return findings;
}

class XBlockFileCheckTest : public BlockFileTest {};

TEST_F(XBlockFileCheckTest, FindsEachFaultAndPredictsWhatTheLibraryServes) {
    Bytes fresh, clean, crashed;
    {
        XBlockFile file;
        CreateAndOpen(&file);
        fresh = FileBytes();
        WriteBytes(&file, 1, Pattern(1, 0, 10));
        WriteBytes(&file, 2, Pattern(2, 0, 70000));
        WriteBytes(&file, 3, Pattern(3, 0, 40));
        WriteBytes(&file, 4, Pattern(4, 0, 1));
        ASSERT_EQ(file.DeleteBlock(3), 1);
        file.Flush();
        clean = FileBytes();
        WriteBytes(&file, 5, Pattern(5, 0, 20));
        crashed = FileBytes();  // what a process killed now leaves behind
    }
    auto from = [](Bytes bytes, const std::function<void(Bytes*)>& change) {
        change(&bytes);
        return bytes;
    };
    const uint32_t firstUsed = kDataEnd + 8;  // the first record of the index area
    const IdLens kept = {{1, 10}, {2, 70000}, {4, 1}};
    const IdLens keptCrash = {{1, 10}, {2, 70000}, {4, 1}, {5, 20}};
    const struct {
        const char* name;
        Bytes bytes;
        XBlockFileState state;
        Findings findings;
        IdLens blocks;
    } cases[] = {
        {"new file", fresh, XBlockFileClean, {}, {}},
        {"clean", clean, XBlockFileClean, {}, kept},
        {"not flushed",
         crashed,
         XBlockFileNeedsRebuild,
         {{XBlockFileFaultNoTrailer, crashed.size() - 4}},
         keptCrash},
        {"short",
         Bytes(fresh.begin(), fresh.begin() + 10),
         XBlockFileForeign,
         {{XBlockFileFaultShort, 0}},
         {}},
        {"bad magic",
         from(clean, [](Bytes* b) { (*b)[1] = 'x'; }),
         XBlockFileForeign,
         {{XBlockFileFaultMagic, 0}},
         {}},
        {"bad index offset",
         from(clean, [](Bytes* b) { PutLe32(b, b->size() - 8, 13); }),
         XBlockFileDamaged,
         {{XBlockFileFaultIndexOffset, clean.size() - 8}},
         kept},
        {"used record too short",
         from(clean, [&](Bytes* b) { PutLe32(b, firstUsed + 8, 3); }),
         XBlockFileDamaged,
         {{XBlockFileFaultUsedRecord, firstUsed}, {XBlockFileFaultGap, 8}},
         kept},
        {"slot header disagrees",
         from(clean, [](Bytes* b) { PutLe32(b, kBlock4 + 4, 9); }),
         XBlockFileDamaged,
         {{XBlockFileFaultHeader, kBlock4}},
         kept},
        {"free record missing",  // M = 0 and its record cut out: the slot is lost space
         from(clean,
              [&](Bytes* b) {
                  PutLe32(b, firstUsed + 3 * 16, 0);
                  b->erase(b->begin() + firstUsed + 3 * 16 + 4,
                           b->begin() + firstUsed + 4 * 16 + 4);
              }),
         XBlockFileClean,
         {{XBlockFileFaultGap, kFreeSlot}},
         kept},
        {"crash and a broken header",  // the rebuild goes on at block 5
         from(crashed, [](Bytes* b) { PutLe32(b, kBlock4, 0); }),
         XBlockFileDamaged,
         {{XBlockFileFaultNoTrailer, crashed.size() - 4},
          {XBlockFileFaultBadSlot, kBlock4},
          {XBlockFileFaultSkipped, kBlock4}},
         {{1, 10}, {2, 70000}, {5, 20}}},
        {"crash and a length too long",  // block 4 runs into block 5: block 4 is lost
         from(crashed, [](Bytes* b) { PutLe32(b, kBlock4 + 8, 0x31); }),
         XBlockFileDamaged,
         {{XBlockFileFaultNoTrailer, crashed.size() - 4},
          {XBlockFileFaultBadSlot, kBlock4 + 64},
          {XBlockFileFaultLostBlock, kBlock4},
          {XBlockFileFaultSkipped, kBlock4}},
         {{1, 10}, {2, 70000}, {5, 20}}},
        {"crash and a repeated ID",
         from(crashed, [](Bytes* b) { PutLe32(b, kBlock4 + 4, 1); }),
         XBlockFileDamaged,
         {{XBlockFileFaultNoTrailer, crashed.size() - 4}, {XBlockFileFaultDuplicate, kBlock4}},
         {{1, 10}, {2, 70000}, {5, 20}}},
        {"crash and cut short",
         Bytes(crashed.begin(), crashed.begin() + 30000),
         XBlockFileDamaged,
         {{XBlockFileFaultNoTrailer, 30000 - 4},
          {XBlockFileFaultBadSlot, 40},
          {XBlockFileFaultCutOff, 40}},
         {{1, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        XBlockFileCheck inMemory, onDisk;
        inMemory.ExamineBytes(c.bytes.data(), c.bytes.size());
        WriteFileBytes(Native("case.db"), c.bytes);
        ASSERT_EQ(onDisk.Examine(Portable("case.db").c_str()), 0);
        EXPECT_EQ(onDisk.State(), c.state);
        EXPECT_EQ(inMemory.State(), c.state);
        EXPECT_EQ(FindingsOf(onDisk), c.findings);
        EXPECT_EQ(FindingsOf(inMemory), c.findings);
        EXPECT_EQ(CheckedBlocks(onDisk), c.blocks);
        EXPECT_EQ(CheckedBlocks(inMemory), c.blocks);
        if (c.state == XBlockFileForeign)
            continue;

        // A usable index is served as it stands; otherwise the rebuild that a read-write
        // Open makes serves what the check predicted.
        XBlockFile file;
        const bool usable = onDisk.IndexUsable();
        ASSERT_EQ(file.Open(Portable("case.db").c_str(), true) == 0, usable);
        if (!usable) {
            ASSERT_EQ(file.Open(Portable("case.db").c_str(), false), 0);
        }
        EXPECT_EQ(ServedBlocks(file), c.blocks);
        file.Close();
        // A rebuild forced on a file whose index opens keeps what the check counted.
        if (usable) {
            Bytes forced = c.bytes;
            PutLe32(&forced, forced.size() - 4, 0);
            WriteFileBytes(Native("forced.db"), forced);
            XBlockFile rebuilt;
            ASSERT_EQ(rebuilt.Open(Portable("forced.db").c_str(), false), 0);
            EXPECT_EQ(rebuilt.BlockCount(), onDisk.RebuildBlockCount());
        } else {
            EXPECT_EQ(onDisk.RebuildBlockCount(), onDisk.BlockCount());
        }
        XBlockFileCheck after;
        ASSERT_EQ(after.Examine(Portable("case.db").c_str()), 0);
        EXPECT_EQ(after.State(), usable ? c.state : XBlockFileClean);
    }
}

// Memory running out fails Examine. A file that cannot be opened, or whose first bytes cannot
// be read, is unreadable; any other failed read is damage.
TEST_F(XBlockFileCheckTest, FailuresOfMemoryAndOfReadsAreReported) {
    {
        XBlockFile file;
        CreateAndOpen(&file);
        WriteBytes(&file, 1, Pattern(1, 0, 70000));  // the trailer lies beyond the first window
    }
    const std::string path = Portable("test.db");
    for (uint32_t nth = 1;; ++nth) {
        XBlockFileCheck check;
        DebgFailAllocation(nth);
        const int32_t result = check.Examine(path.c_str());
        const bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        EXPECT_EQ(result, fired ? ENOMEM : 0);
        EXPECT_EQ(check.State(), fired ? XBlockFileUnreadable : XBlockFileClean);
        EXPECT_EQ(check.FindingCount(), 0u);
        if (!fired)
            break;
    }
    for (uint32_t nth = 1;; ++nth) {
        SCOPED_TRACE("file call " + std::to_string(nth));
        XBlockFileCheck check;
        DebgFailFileCall(nth, EIO, 0);
        const int32_t result = check.Examine(path.c_str());
        const bool fired = DebgPendingFileCallFailure() == 0;
        DebgFailFileCall(0, 0, 0);
        if (!fired)
            break;
        // Closing the file is no part of the check: its failure goes unseen.
        const XBlockFileFinding* read = check.FindingCount() != 0 ? check.Findings() : nullptr;
        if (read != nullptr) {
            EXPECT_EQ(read->fault, XBlockFileFaultRead);
            EXPECT_EQ(read->value, uint64_t{EIO});
        }
        EXPECT_EQ(check.State(), result == EIO || (read != nullptr && read->offset == 0)
                                     ? XBlockFileUnreadable
                                     : (read != nullptr ? XBlockFileDamaged : XBlockFileClean));
    }
}

}  // namespace
}  // namespace blockfile_test
