// Every file call of a representative set of operations is made to fail in each way a disk
// or the system can fail it; the object, the file as a crash would leave it at that moment,
// and the file after Close must all hold every block as a model says.
#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

// The file every case starts from: blocks 1 to 10 of these lengths, of which 2, 3, 6 and 9
// are deleted, leaving free slots of 96 bytes at 56, 32 at 328 and 80 at 456.
const uint32_t kLens[] = {20, 40, 10, 100, 30, 16, 50, 0, 60, 25};
constexpr uint32_t kDeleted = -1;

// What the object is before the fault is armed.
enum Prep {
    kOpened,   // opened read-write on the start file
    kWritten,  // the same, after writing block 100 (500 bytes), not flushed
    kClosed,   // closed; the file is the start file
    kCrashed,  // closed; the file is what a crash leaves after kWritten
};

struct Case {
    const char* name;
    Prep prep;
    // The operation; 0 when the library reports success.
    int32_t (*run)(XBlockFile* file, const std::string& path);
    uint32_t id;      // the block it changes, 0 for none
    uint32_t len;     // that block's new length, or kDeleted
    bool leavesOpen;  // whether the object is open after the operation succeeds
};

int32_t Write(XBlockFile* file, uint32_t id, uint32_t len) {
    Bytes bytes = Pattern(id, 1, len);
    return file->WriteBlock(id, bytes.data(), len);
}

const Case kCases[] = {
    {"create", kClosed,
     [](XBlockFile* f, const std::string& path) {
         // A file reported created must open.
         int32_t result = XBlockFile::Create((path + "2").c_str());
         return result != 0 ? result : f->Open((path + "2").c_str(), true);
     },
     0, 0, false},
    {"open", kClosed,
     [](XBlockFile* f, const std::string& path) { return f->Open(path.c_str(), false); }, 0, 0,
     true},
    {"rebuild", kCrashed,
     [](XBlockFile* f, const std::string& path) { return f->Open(path.c_str(), false); }, 100, 500,
     true},
    {"read", kOpened,
     [](XBlockFile* f, const std::string&) {
         uint8_t buf[64];
         void* whole = f->ReadBlock_NF(4, nullptr);
         free(whole);
         return whole != nullptr && f->ReadBlock(7, buf, sizeof buf) == 50 ? 0 : -1;
     },
     0, 0, true},
    {"append", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 100, 500); }, 100,
     500, true},
    {"exact fit", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 101, 16); }, 101,
     16, true},
    {"split", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 102, 40); }, 102, 40,
     true},
    {"same length", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 4, 100); }, 4,
     100, true},
    {"same slot", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 4, 110); }, 4,
     110, true},
    {"move", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 1, 60); }, 1, 60,
     true},
    {"over own slot", kOpened, [](XBlockFile* f, const std::string&) { return Write(f, 5, 60); }, 5,
     60, true},
    {"delete, merging back", kOpened,
     [](XBlockFile* f, const std::string&) { return f->DeleteBlock(7) == 1 ? 0 : -1; }, 7, kDeleted,
     true},
    {"delete, merging on", kOpened,
     [](XBlockFile* f, const std::string&) { return f->DeleteBlock(1) == 1 ? 0 : -1; }, 1, kDeleted,
     true},
    {"flush", kWritten,
     [](XBlockFile* f, const std::string&) { return (f->Flush(), f->IOError()); }, 0, 0, true},
    {"close", kWritten,
     [](XBlockFile* f, const std::string&) { return (f->Close(), f->IOError()); }, 0, 0, false},
    {"compact", kOpened,
     [](XBlockFile* f, const std::string&) { return (f->Compact(false), f->IOError()); }, 0, 0,
     true},
};

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
    void SetUp() override {
        BlockFileTest::SetUp();
        XBlockFile file;
        CreateAndOpen(&file);
        for (uint32_t id = 1; id <= 10; ++id)
            Put(&file, id, Pattern(id, 0, kLens[id - 1]));
        for (uint32_t id : {2u, 3u, 6u, 9u}) {
            ASSERT_EQ(file.DeleteBlock(id), 1);
            start_.erase(id);
        }
        file.Close();
        startBytes_ = FileBytes();
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        Put(&file, 100, Pattern(100, 1, 500));
        crashedBytes_ = FileBytes();
        written_ = start_;
        start_.erase(100);
    }

    void Put(XBlockFile* file, uint32_t id, const Bytes& bytes) {
        WriteBytes(file, id, bytes);
        start_[id] = bytes;
    }

    // Brings `file` and test.db to the case's starting point.
    void Prepare(const Case& c, XBlockFile* file) {
        unlink(Native("test.db2").c_str());
        WriteFileBytes(Native("test.db"), c.prep == kCrashed ? crashedBytes_ : startBytes_);
        if (c.prep == kOpened || c.prep == kWritten) {
            ASSERT_EQ(file->Open(Portable("test.db").c_str(), false), 0);
        }
        if (c.prep == kWritten)
            WriteBytes(file, 100, Pattern(100, 1, 500));
    }

    // Checks that `file` holds `state`, but for block `id`, which may hold any of
    // `versions` (or a mixture of two, front and back, for a rewrite in place) or be absent
    // when that is allowed; a read-write file is also left consistent after Close.
    void ExpectBlocks(XBlockFile* file, State state, uint32_t id, const std::set<Bytes>& versions,
                      bool mayBeAbsent) {
        state.erase(id);
        std::optional<Bytes> changed = BlockBytes(*file, id);
        const bool known = changed ? IsOneVersion(*changed, versions) : mayBeAbsent;
        EXPECT_TRUE(known) << "block " << id;
        if (changed)
            state[id] = *changed;
        ExpectHolds(*file, state);
    }

    // Opens `name` read-write, checks its blocks, closes it and checks its structure.
    void ExpectReopened(const std::string& name, const State& state, uint32_t id,
                        const std::set<Bytes>& versions, bool mayBeAbsent) {
        XBlockFile file;
        ASSERT_EQ(file.Open(Portable(name).c_str(), false), 0);
        ExpectBlocks(&file, state, id, versions, mayBeAbsent);
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(name), &layout), "");
    }

    State start_;    // the blocks of the start file
    State written_;  // the same with block 100
    Bytes startBytes_;
    Bytes crashedBytes_;
};

TEST_F(FaultTest, EveryFileCallFailingInEveryWayLosesNothing) {
    const std::string path = Portable("test.db");
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const bool prepOpen = c.prep == kOpened || c.prep == kWritten;
        const State& before = c.prep == kOpened || c.prep == kClosed ? start_ : written_;
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
            ASSERT_EQ(c.run(&file, path), 0);
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
                const int32_t result = c.run(&file, path);
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
                    failed
                        ? versions
                        : (after.count(c.id) ? std::set<Bytes>{after.at(c.id)} : std::set<Bytes>{});
                const bool mayBeAbsent = !after.count(c.id) || (failed && !before.count(c.id));
                if (c.leavesOpen && (prepOpen || result == 0))
                    ExpectBlocks(&file, after, c.id, allowed, mayBeAbsent);
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
    ExpectReopened("test.db", written_, 200, {}, true);
}

}  // namespace
}  // namespace blockfile_test
