// SPDX-License-Identifier: MIT
// Every file call of a representative set of operations, syncing and not, is made to fail in
// each way a disk or the system can fail it; the object, the file as a crash would leave it at that
// moment, and the file after Close must all hold every block as a model says. Compactions of files
// of every kind are cut short at every file call, by a crash or a torn write.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

constexpr uint32_t kDeleted = -1;

// Writes blocks into `file`, given as ID, length, ID, length..., and deletes `deleted`;
// returns what the file then holds.
State Fill(XBlockFile* file, const std::vector<uint32_t>& blocks,
           const std::vector<uint32_t>& deleted) {
    State state;
    for (size_t i = 0; i + 1 < blocks.size(); i += 2) {
        state[blocks[i]] = Pattern(blocks[i], 0, blocks[i + 1]);
        WriteBytes(file, blocks[i], state[blocks[i]]);
    }
    for (uint32_t id : deleted) {
        EXPECT_EQ(file->DeleteBlock(id), 1);
        state.erase(id);
    }
    return state;
}

// What the object is before the fault is armed.
enum Prep {
    kOpened,   // opened read-write on the start file
    kWritten,  // the same, after writing block 100 (500 bytes), not flushed
    kClosed,   // closed; the file is the start file
    kCrashed,  // closed; the file is what a crash leaves after kWritten
    kTorn,     // closed; the same, with the write of block 100 cut short where its bytes read
               // "AavE", which looks like a trailer
};

enum Operation { kCreate, kOpen, kRead, kWrite, kDelete, kFlush, kClose, kCompact };

struct Case {
    const char* name;
    Prep prep;
    Operation operation;
    uint32_t id;   // the block it changes, 0 for none
    uint32_t len;  // that block's new length, or kDeleted
};

const Case kCases[] = {
    {"create", kClosed, kCreate, 0, 0},
    {"open", kClosed, kOpen, 0, 0},
    {"rebuild", kCrashed, kOpen, 100, 500},
    {"rebuild under a false trailer", kTorn, kOpen, 0, 0},
    {"read", kOpened, kRead, 0, 0},
    {"append", kOpened, kWrite, 100, 500},
    {"exact fit", kOpened, kWrite, 101, 16},
    {"split", kOpened, kWrite, 102, 40},
    {"same length", kOpened, kWrite, 4, 100},
    {"same slot", kOpened, kWrite, 4, 110},
    {"move", kOpened, kWrite, 1, 60},
    {"over own slot", kOpened, kWrite, 5, 60},
    {"delete, merging back", kOpened, kDelete, 7, kDeleted},
    {"delete, merging on", kOpened, kDelete, 1, kDeleted},
    {"flush", kWritten, kFlush, 0, 0},
    {"close", kWritten, kClose, 0, 0},
    {"compact", kOpened, kCompact, 0, 0},
};

// Runs the operation of `c`; 0 when the library reports success.
int32_t RunCase(const Case& c, XBlockFile* file, const std::string& path) {
    uint8_t buf[64];
    void* whole = nullptr;
    const Bytes bytes = Pattern(c.id, 1, c.operation == kWrite ? c.len : 0);
    switch (c.operation) {
        case kCreate:  // a file reported created must open
            return XBlockFile::Create((path + "2").c_str()) != 0
                       ? -1
                       : file->Open((path + "2").c_str(), true);
        case kOpen:
            return file->Open(path.c_str(), false);
        case kRead:
            whole = file->ReadBlock_NF(4, nullptr);
            free(whole);
            return whole != nullptr && file->ReadBlock(7, buf, sizeof buf) == 50 ? 0 : -1;
        case kWrite:
            return file->WriteBlock(c.id, bytes.data(), c.len);
        case kDelete:
            return file->DeleteBlock(c.id) == 1 ? 0 : -1;
        case kFlush:
            file->Flush();
            break;
        case kClose:
            file->Close();
            break;
        case kCompact:
            file->Compact(false);
            break;
    }
    return file->IOError();
}

struct Fault {
    const char* name;
    int32_t error;
    uint32_t flags;
    bool reported;  // whether the operation must report failure
};

const Fault kFaults[] = {
    {"EIO", EIO, 0, true},
    {"ENOSPC", ENOSPC, 0, true},
    {"EINTR", EINTR, 0, false},
    {"short transfer", 0, DebgFilePartial, false},
    {"short transfer, then EIO", EIO, DebgFilePartial, true},
    {"crash", EIO, DebgFileSticky, true},
    {"torn write, then crash", EIO, DebgFileSticky | DebgFilePartial, true},
};

class FaultTest : public BlockFileTest {
  protected:
    // The file every case starts from: blocks 1 to 10, of which 2, 3, 6 and 9 are deleted,
    // leaving free slots of 96 bytes at 56, 32 at 328 and 80 at 456.
    void SetUp() override {
        BlockFileTest::SetUp();
        XBlockFile file;
        CreateAndOpen(&file);
        start_ =
            Fill(&file, {1, 20, 2, 40, 3, 10, 4, 100, 5, 30, 6, 16, 7, 50, 8, 0, 9, 60, 10, 25},
                 {2, 3, 6, 9});
        file.Close();
        startBytes_ = FileBytes();
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        written_ = start_;
        written_[100] = Pattern(100, 1, 500);
        WriteBytes(&file, 100, written_[100]);
        crashedBytes_ = FileBytes();
        tornBytes_ = Bytes(crashedBytes_.begin(), crashedBytes_.end() - 200);
        std::copy_n("AavE", 4, tornBytes_.end() - 4);
    }

    // Brings `file` and test.db to the case's starting point.
    void Prepare(const Case& c, XBlockFile* file) {
        file->SetSyncing(syncing_);
        unlink(Native("test.db2").c_str());
        WriteFileBytes(Native("test.db"), c.prep == kCrashed ? crashedBytes_
                                          : c.prep == kTorn  ? tornBytes_
                                                             : startBytes_);
        if (c.prep == kOpened || c.prep == kWritten) {
            ASSERT_EQ(file->Open(Portable("test.db").c_str(), false), 0);
        }
        if (c.prep == kWritten)
            WriteBytes(file, 100, Pattern(100, 1, 500));
    }

    // Opens `name` read-write, checks its blocks (see ExpectHoldsButOne), closes it and
    // checks its structure, which it returns.
    DiskLayout ExpectReopened(const std::string& name, const State& state, uint32_t id = 0,
                              const std::set<Bytes>& versions = {}, bool mayBeAbsent = true) {
        XBlockFile file;
        DiskLayout layout;
        EXPECT_EQ(OpenAsPredicted(&file, Portable(name)), 0);
        ExpectHoldsButOne(file, state, id, versions, mayBeAbsent);
        file.Close();
        EXPECT_EQ(CheckCleanFile(FileBytes(name), &layout), "");
        return layout;
    }

    State start_;    // the blocks of the start file
    State written_;  // the same with block 100
    Bytes startBytes_;
    Bytes crashedBytes_;
    Bytes tornBytes_;
    bool syncing_ = true;  // of the objects under test
};

TEST_F(FaultTest, EveryFileCallFailingInEveryWayLosesNothing) {
    const std::string path = Portable("test.db");
    for (const Case& c : kCases) {
        for (bool syncing : {true, false}) {
            syncing_ = syncing;
            SCOPED_TRACE(std::string(c.name) + (syncing ? "" : ", without syncing"));
            const bool prepOpen = c.prep == kOpened || c.prep == kWritten;
            const State& before =
                c.prep == kOpened || c.prep == kClosed || c.prep == kTorn ? start_ : written_;
            State after = before;
            if (c.len == kDeleted)
                after.erase(c.id);
            else if (c.id != 0)
                after[c.id] = Pattern(c.id, 1, c.len);
            // What the changed block may hold after a reported failure: as before or as after.
            std::set<Bytes> versions;
            for (const State* state : {&before, static_cast<const State*>(&after)}) {
                if (state->count(c.id))
                    versions.insert(state->at(c.id));
            }
            // The file as a run without faults leaves it, which no retried call may change.
            Bytes reference;
            {
                XBlockFile file;
                Prepare(c, &file);
                ASSERT_EQ(RunCase(c, &file, path), 0);
                file.Close();
                reference = FileBytes();
            }
            for (const Fault& fault : kFaults) {
                SCOPED_TRACE(fault.name);
                for (uint32_t nth = 1;; ++nth) {
                    SCOPED_TRACE("file call " + std::to_string(nth));
                    XBlockFile file;
                    Prepare(c, &file);
                    DebgFailFileCall(nth, fault.error, fault.flags);
                    const int32_t result = RunCase(c, &file, path);
                    const bool fired = DebgPendingFileCallFailure() == 0;
                    DebgFailFileCall(0, 0, 0);
                    const bool failed = fired && fault.reported;
                    if (failed) {
                        EXPECT_TRUE(result != 0 || file.IOError() != 0) << "failure not reported";
                    } else {
                        ASSERT_EQ(result, 0);
                        ASSERT_EQ(file.IOError(), 0);
                    }
                    const std::set<Bytes> allowed =
                        failed ? versions
                               : (after.count(c.id) ? std::set<Bytes>{after.at(c.id)}
                                                    : std::set<Bytes>{});
                    const bool mayBeAbsent = !after.count(c.id) || (failed && !before.count(c.id));
                    if (c.operation != kCreate && c.operation != kClose &&
                        (prepOpen || result == 0))
                        ExpectHoldsButOne(file, after, c.id, allowed, mayBeAbsent);
                    // The file as a crash at this moment would leave it, and after Close.
                    WriteFileBytes(Native("crash.db"), FileBytes());
                    ExpectReopened("crash.db", after, c.id, allowed, mayBeAbsent);
                    file.Close();
                    if (!failed) {
                        EXPECT_EQ(FileBytes(), reference);
                    }
                    ExpectReopened("test.db", after, c.id, allowed, mayBeAbsent);
                    if (!fired)
                        break;
                }
            }
        }
    }
}

// A derived class writes a block of its own at every flush; when that write fails, no index
// may follow it onto the disk.
TEST_F(FaultTest, FailingWriteOfTheFlushHookStopsTheFlush) {
    class Hooked : public XBlockFile {
      protected:
        void OnFlush() override {
            Bytes bytes = Pattern(200, 0, 64);
            WriteBlock(200, bytes.data(), 64);
        }
    };
    WriteFileBytes(Native("test.db"), startBytes_);
    {
        Hooked file;
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        WriteBytes(&file, 100, Pattern(100, 1, 500));
        DebgFailFileCall(1, ENOSPC, 0);
        file.Flush();
        DebgFailFileCall(0, 0, 0);
        EXPECT_EQ(file.IOError(), ENOSPC);
    }
    ExpectReopened("test.db", written_, 200);
}

// While batching, a held write that fails is reported by the call that sends it, at the latest
// by Close: a run of deletions, new blocks (appended, or into a free slot, which sends what is
// held) and reads, then a Flush and a Close, with every file call failing in each way. The
// object reads every block as its calls left it; the file, as a crash leaves it at that moment
// and after Close, keeps the promise for power cuts: the blocks no call changed read exactly,
// the others as before or after, or not at all.
TEST_F(FaultTest, HeldWritesThatFailAreReportedAndLoseNothingFlushed) {
    struct Step {
        uint32_t id;
        uint32_t len;  // or kDeleted
    };
    const Step steps[] = {{1, kDeleted}, {4, kDeleted},   {200, 300}, {7, kDeleted},
                          {201, 40},     {200, kDeleted}, {202, 700}, {203, 20}};
    for (const bool syncing : {false, true}) {
        Bytes reference;
        for (const Fault& fault : kFaults) {
            SCOPED_TRACE(std::string(fault.name) + (syncing ? ", syncing" : ""));
            for (uint32_t nth = 1;; ++nth) {
                SCOPED_TRACE("file call " + std::to_string(nth));
                WriteFileBytes(Native("test.db"), startBytes_);
                XBlockFile file;
                file.SetSyncing(syncing);
                file.SetBatching(true);
                ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
                DebgFailFileCall(nth, fault.error, fault.flags);
                State model = start_;
                std::map<uint32_t, std::set<std::optional<Bytes>>> changed;
                bool reported = false;
                bool fired = false;
                // Reads are file calls too: they are made with the fault held back.
                auto read = [&](uint32_t id) {
                    const uint32_t pending = DebgPendingFileCallFailure();
                    fired = fired || pending == 0;
                    DebgFailFileCall(0, 0, 0);
                    const std::optional<Bytes> bytes = BlockBytes(file, id);
                    if (pending != 0)
                        DebgFailFileCall(pending, fault.error, fault.flags);
                    else if ((fault.flags & DebgFileSticky) != 0)
                        DebgFailFileCall(1, fault.error, DebgFileSticky);
                    return bytes;
                };
                for (const Step& step : steps) {
                    const Bytes bytes = Pattern(step.id, 1, step.len == kDeleted ? 0 : step.len);
                    const bool done = step.len == kDeleted
                                          ? file.DeleteBlock(step.id) == 1
                                          : file.WriteBlock(step.id, bytes.data(), step.len) == 0;
                    auto& versions = changed[step.id];
                    versions.insert(model.count(step.id) ? std::optional(model[step.id])
                                                         : std::nullopt);
                    versions.insert(step.len == kDeleted ? std::nullopt : std::optional(bytes));
                    // A failed call leaves its block as it was or, a write, as written; then
                    // no call changes anything.
                    if (done && step.len == kDeleted)
                        model.erase(step.id);
                    else if (done)
                        model[step.id] = bytes;
                    const std::optional<Bytes> bytesRead = read(step.id);
                    if (done) {
                        ASSERT_EQ(bytesRead, model.count(step.id) ? std::optional(model[step.id])
                                                                  : std::nullopt)
                            << "block " << step.id;
                    } else {
                        ASSERT_EQ(versions.count(bytesRead), 1u) << "block " << step.id;
                    }
                    reported = reported || !done;
                }
                file.Flush();
                WriteFileBytes(Native("crash.db"), FileBytes());
                file.Close();
                fired = fired || DebgPendingFileCallFailure() == 0;
                DebgFailFileCall(0, 0, 0);
                if (fired && fault.reported) {
                    EXPECT_TRUE(reported || file.IOError() != 0) << "failure not reported";
                } else {
                    ASSERT_FALSE(reported);
                    ASSERT_EQ(file.IOError(), 0);
                    // Retried calls write the same bytes.
                    if (reference.empty())
                        reference = FileBytes();
                    ASSERT_EQ(FileBytes(), reference);
                }
                for (const char* name : {"crash.db", "test.db"}) {
                    SCOPED_TRACE(name);
                    XBlockFile reopened;
                    ASSERT_EQ(OpenAsPredicted(&reopened, Portable(name)), 0);
                    for (const auto& [id, len] : ServedBlocks(reopened))
                        ASSERT_TRUE(start_.count(id) || changed.count(id)) << "block " << id;
                    for (const auto& [id, bytes] : start_) {
                        if (!changed.count(id)) {
                            ASSERT_EQ(BlockBytes(reopened, id), bytes) << "block " << id;
                        }
                    }
                    for (const auto& [id, versions] : changed)
                        ASSERT_EQ(versions.count(BlockBytes(reopened, id)), 1u) << "block " << id;
                }
                if (!fired)
                    break;
            }
        }
    }
}

// Files whose compaction the sweep below interrupts: the blocks written, then those deleted.
const struct {
    const char* name;
    std::vector<uint32_t> blocks;  // ID, length, ID, length...
    std::vector<uint32_t> deleted;
} kLayouts[] = {
    // A hole smaller than the blocks behind it: each moves over its own old header.
    {"small hole", {16, 16, 41, 40, 12, 10, 13, 10}, {16}},
    // Blocks larger than the buffer that moves them, moved by less than their length.
    {"large blocks", {1, 16, 2, 100000, 3, 5000}, {1}},
    // Holes of every kind: merged neighbours, one exactly a slot long, empty blocks, free
    // space at the end.
    {"mixed holes",
     {1, 0, 2, 30, 3, 100, 4, 0, 5, 16, 6, 200, 7, 48, 8, 5, 9, 0, 10, 64, 11, 300, 12, 20},
     {2, 3, 5, 9, 11, 12}},
    // Free space alone: the pass leaves no data at all.
    {"no blocks", {1, 40}, {1}},
};

// A crash at every file call of a compaction, and a crash that tears that call's write in
// half, syncing at every other call number: the next read-write open must find every block
// intact and the file consistent.
TEST_F(FaultTest, CompactionCutShortAnywhereLosesNothing) {
    for (const auto& layout : kLayouts) {
        for (uint32_t flags : {DebgFileSticky, DebgFileSticky | DebgFilePartial}) {
            SCOPED_TRACE(std::string(layout.name) + (flags & DebgFilePartial ? ", torn" : ""));
            unlink(Native("test.db").c_str());
            State state;
            {
                XBlockFile file;
                CreateAndOpen(&file);
                state = Fill(&file, layout.blocks, layout.deleted);
            }
            const Bytes before = FileBytes();
            for (uint32_t nth = 1;; ++nth) {
                SCOPED_TRACE("crash at file call " + std::to_string(nth));
                WriteFileBytes(Native("test.db"), before);
                bool fired;
                {
                    XBlockFile file;
                    file.SetSyncing(nth % 2 == 0);
                    ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
                    DebgFailFileCall(nth, EIO, flags);
                    file.Compact(false);
                    fired = DebgPendingFileCallFailure() == 0;
                }  // abandoned: with the fault sticky, nothing more reaches the file
                DebgFailFileCall(0, 0, 0);
                const DiskLayout disk = ExpectReopened("test.db", state);
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
