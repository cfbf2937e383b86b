// The calls and their results: reads, lookups, closed and read-only objects, Create and
// Open failures, path limits, permissions, copies and running out of memory.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/blockfile/PortablePath.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using InterfaceTest = BlockFileTest;

TEST_F(InterfaceTest, ReadsReturnWhatWasWritten) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 42, Pattern(42, 0, 300));
    WriteBytes(&file, 7, Bytes());
    uint8_t buf[512];
    EXPECT_EQ(file.ReadBlock(42, buf, sizeof buf), 300);
    EXPECT_EQ(Bytes(buf, buf + 300), Pattern(42, 0, 300));
    EXPECT_EQ(file.ReadBlock(42, buf, 10), 10) << "a short buffer gets the first bytes";
    EXPECT_EQ(Bytes(buf, buf + 10), Pattern(42, 0, 10));
    EXPECT_EQ(file.ReadIndBlock(1, buf, sizeof buf), 300);
    EXPECT_EQ(file.ReadIndBlock(2, buf, sizeof buf), -1);
    EXPECT_EQ(file.ReadBlock(7, nullptr, 0), 0);
    EXPECT_EQ(file.ReadBlock(42, nullptr, 5), -1);
    EXPECT_EQ(file.ReadBlock(8, buf, sizeof buf), -1);
    EXPECT_EQ(BlockBytes(file, 7), Bytes());
    EXPECT_EQ(BlockBytes(file, 8), std::nullopt);
    uint32_t len = 99;
    void* whole = file.ReadIndBlock_NF(1, &len);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(Bytes(static_cast<uint8_t*>(whole), static_cast<uint8_t*>(whole) + len),
              Pattern(42, 0, 300));
    free(whole);
    EXPECT_EQ(file.ReadIndBlock_NF(2, &len), nullptr);
    // Writes that cannot be stored are refused.
    EXPECT_EQ(file.WriteBlock(1, nullptr, 4), -1);
    EXPECT_EQ(file.WriteBlock(1, "x", 0x7FFFFFF0), -1) << "longer than a result can report";
    EXPECT_EQ(file.WriteBlock(1, nullptr, 0), 0);
    EXPECT_EQ(file.BlockLen(1), 0);
}

// Reads come from a mapping of the file that must follow it as writes grow it (with the
// mapping's growth failing now and then) and compaction cuts it.
TEST_F(InterfaceTest, ReadsFollowTheFileAsItGrowsAndShrinks) {
    XBlockFile file;
    CreateAndOpen(&file);
    State state;
    std::vector<uint8_t> buf(4000);
    for (uint32_t id = 1; id <= 400; ++id) {
        state[id] = Pattern(id, 0, id * 37 % 4000);
        WriteBytes(&file, id, state[id]);
        DebgFailAllocation(id % 3 == 0 ? 1 : 0);
        ASSERT_EQ(file.ReadBlock(id, buf.data(), 4000), static_cast<int32_t>(state[id].size()));
        DebgFailAllocation(0);
        ASSERT_EQ(Bytes(buf.begin(), buf.begin() + state[id].size()), state[id]);
        if (id % 100 == 0) {
            for (uint32_t gone = id - 99; gone < id; gone += 2) {
                ASSERT_EQ(file.DeleteBlock(gone), 1);
                state.erase(gone);
            }
            file.Compact(false);
            ExpectHolds(file, state);
        }
    }
}

TEST_F(InterfaceTest, LookupsByIdAndPositionAndDeletion) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 0xFFFFFFFF, Bytes(3));
    WriteBytes(&file, 0, Bytes(1));
    WriteBytes(&file, 0x80000000, Bytes(2));
    EXPECT_EQ(file.BlockCount(), 3u);
    uint32_t id = 1;
    const uint32_t ids[] = {0, 0x80000000, 0xFFFFFFFF};
    for (uint32_t pos = 0; pos < 3; ++pos) {
        ASSERT_EQ(file.GetIndBlockID(pos, &id), 0);
        EXPECT_EQ(id, ids[pos]);
        EXPECT_EQ(file.IndBlockLen(pos), static_cast<int32_t>(pos + 1));
    }
    EXPECT_EQ(file.GetIndBlockID(3, &id), -1);
    EXPECT_EQ(file.GetIndBlockID(0, nullptr), -1);
    EXPECT_EQ(file.IndBlockLen(3), -1);
    EXPECT_EQ(file.BlockLen(0x80000000), 2);
    EXPECT_EQ(file.BlockLen(5), -1);
    EXPECT_TRUE(file.BlockExists(0));
    EXPECT_FALSE(file.BlockExists(5));
    EXPECT_FALSE(file.IsUnique(0xFFFFFFFF));
    EXPECT_TRUE(file.IsUnique(5));
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(file.IsUnique(file.UniqueID()));
    EXPECT_EQ(file.DeleteBlock(0), 1);
    EXPECT_EQ(file.DeleteBlock(0), -1);
    EXPECT_EQ(file.DeleteBlock(4), -1);
    EXPECT_EQ(file.BlockCount(), 2u);
}

TEST_F(InterfaceTest, ClosedObjectRefusesEverythingAndReopens) {
    XBlockFile file;
    CreateAndOpen(&file);
    WriteBytes(&file, 1, Bytes(4, 1));
    ASSERT_EQ(XBlockFile::Create(Portable("other.db").c_str()), 0);
    EXPECT_EQ(file.Open(Portable("other.db").c_str(), false), -1) << "already open";
    EXPECT_EQ(BlockBytes(file, 1), Bytes(4, 1));
    file.Close();
    uint8_t buf[8];
    uint32_t len = 77;
    uint32_t id = 77;
    for (int32_t result :
         {file.WriteBlock(1, buf, 8), file.ReadBlock(1, buf, 8), file.ReadIndBlock(0, buf, 8),
          file.BlockLen(1), file.IndBlockLen(0), file.GetIndBlockID(0, &id), file.DeleteBlock(1)})
        EXPECT_EQ(result, -1);
    EXPECT_EQ(file.ReadBlock_NF(1, &len), nullptr);
    EXPECT_EQ(file.ReadIndBlock_NF(0, &len), nullptr);
    EXPECT_EQ(len, 77u);
    EXPECT_FALSE(file.BlockExists(1));
    EXPECT_TRUE(file.IsUnique(1));
    EXPECT_EQ(file.BlockCount(), 0u);
    file.UniqueID();
    file.Flush();
    file.Compact(true);
    file.Close();
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
    EXPECT_EQ(BlockBytes(file, 1), Bytes(4, 1));
}

TEST_F(InterfaceTest, ReadOnlyObjectNeverChangesTheFile) {
    {
        XBlockFile file;
        CreateAndOpen(&file);
        WriteBytes(&file, 1, Pattern(1, 0, 40));
        WriteBytes(&file, 2, Pattern(2, 0, 40));
        ASSERT_EQ(file.DeleteBlock(1), 1);
    }
    Bytes before = FileBytes();
    XBlockFile file;
    ASSERT_EQ(file.Open(Portable("test.db").c_str(), true), 0);
    EXPECT_TRUE(file.IsReadOnly());
    EXPECT_EQ(file.WriteBlock(2, "x", 1), -1);
    EXPECT_EQ(file.WriteBlock(3, "x", 1), -1);
    EXPECT_EQ(file.DeleteBlock(2), -1);
    file.Compact(false);
    file.Flush();
    EXPECT_EQ(BlockBytes(file, 2), Pattern(2, 0, 40));
    file.Close();
    EXPECT_EQ(FileBytes(), before);
}

TEST_F(InterfaceTest, CreateMakesAnOwnerOnlyFileAndNeverOverwrites) {
    ASSERT_EQ(XBlockFile::Create(Portable("test.db").c_str()), 0);
    struct stat info;
    ASSERT_EQ(stat(Native("test.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, static_cast<mode_t>(S_IRUSR | S_IWUSR));
    WriteFileBytes(Native("test.db"), Bytes{1, 2, 3});
    EXPECT_EQ(XBlockFile::Create(Portable("test.db").c_str()), -1);
    EXPECT_EQ(FileBytes(), (Bytes{1, 2, 3}));
}

TEST_F(InterfaceTest, CreateAndOpenReportTheErrorNumber) {
    XBlockFile file;
    EXPECT_EQ(XBlockFile::Create(Portable("missing/test.db").c_str()), ENOENT);
    EXPECT_EQ(file.Open(Portable("absent.db").c_str(), false), ENOENT);
    EXPECT_EQ(file.Open(Portable("absent.db").c_str(), true), ENOENT);
    EXPECT_EQ(XBlockFile::Create(nullptr), -1);
    EXPECT_EQ(file.Open(nullptr, true), -1);
    std::string longPath = Portable(std::string(kPortablePathSize, 'n'));
    EXPECT_EQ(XBlockFile::Create(longPath.c_str()), ENAMETOOLONG);
    EXPECT_EQ(file.Open(longPath.c_str(), false), ENAMETOOLONG);
    EXPECT_EQ(system(("test -z \"$(ls -A '" + dir_ + "')\"").c_str()), 0) << "nothing was created";
}

// Permissions do not bind root, so as root the opens run in a child that becomes "nobody".
TEST_F(InterfaceTest, OpenOfAReadOnlyFileReportsEaccesForWriting) {
    ASSERT_EQ(XBlockFile::Create(Portable("test.db").c_str()), 0);
    ASSERT_EQ(chmod(Native("test.db").c_str(), S_IRUSR | S_IRGRP | S_IROTH), 0);
    auto openBoth = [this] {
        XBlockFile writer;
        XBlockFile reader;
        return std::make_pair(writer.Open(Portable("test.db").c_str(), false),
                              reader.Open(Portable("test.db").c_str(), true));
    };
    if (geteuid() != 0) {
        EXPECT_EQ(openBoth(), std::make_pair(EACCES, 0));
        return;
    }
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(3);
        _exit(openBoth() == std::make_pair(EACCES, 0) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "as nobody: read-write open must give EACCES, "
                                         "read-only open must succeed";
}

TEST_F(InterfaceTest, AliasPathsReachTheAliasDirectory) {
    RegisterPathAlias(0x54455354, ("/" + dir_).c_str());  // "TEST"
    ASSERT_EQ(XBlockFile::Create("[TEST]/aliased.db"), 0);
    EXPECT_EQ(FileBytes("aliased.db").size(), 28u);
    XBlockFile file;
    EXPECT_EQ(file.Open("[TEST]/aliased.db", false), 0);
}

TEST(XBlockFileCopy, CopiesAreRefused) {
    static_assert(!std::is_copy_constructible<XBlockFile>::value, "no shared descriptor");
    static_assert(!std::is_copy_assignable<XBlockFile>::value, "no shared descriptor");
}

TEST_F(InterfaceTest, OnFlushRunsOnlyForFlushesThatWrite) {
    class HookedFile : public XBlockFile {
      public:
        int flushes = 0;
        int rebuilds = 0;

      protected:
        void OnFlush() override { ++flushes; }
        void OnRebuild() override { ++rebuilds; }
    };
    HookedFile file;
    CreateAndOpen(&file);
    file.Flush();
    EXPECT_EQ(file.flushes, 0);
    WriteBytes(&file, 1, Bytes(2));
    file.Flush();
    file.Flush();
    EXPECT_EQ(file.flushes, 1);
    WriteBytes(&file, 1, Bytes(2, 5));  // same length on a clean file
    file.Close();
    EXPECT_EQ(file.flushes, 1);
    EXPECT_EQ(file.rebuilds, 0);
}

// Every allocation of an operation is made to fail in turn: the operation must then fail
// cleanly and leave the file usable, until it succeeds with the failure unused.
TEST_F(InterfaceTest, RunningOutOfMemoryFailsCleanly) {
    {
        XBlockFile file;
        CreateAndOpen(&file);
        for (uint32_t id = 1; id <= 9; ++id)
            WriteBytes(&file, id, Pattern(id, 0, 30));
        ASSERT_EQ(file.DeleteBlock(4), 1);
    }
    const Bytes original = FileBytes();
    for (uint32_t nth = 1;; ++nth) {
        SCOPED_TRACE("nth " + std::to_string(nth));
        WriteFileBytes(Native("test.db"), original);
        XBlockFile file;
        DebgFailAllocation(nth);
        int32_t opened = file.Open(Portable("test.db").c_str(), false);
        int32_t wrote = -1;
        int32_t deleted = -1;
        uint32_t len = 0;
        if (opened == 0) {
            wrote = file.WriteBlock(100, "abc", 3);
            deleted = file.DeleteBlock(5);
            free(file.ReadBlock_NF(1, &len));
            file.Compact(false);
        }
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        EXPECT_TRUE(opened == 0 || opened == ENOMEM);
        if (opened == 0) {
            EXPECT_EQ(len, 30u);
            EXPECT_EQ(BlockBytes(file, 100),
                      wrote == 0 ? std::optional(Bytes{'a', 'b', 'c'}) : std::nullopt);
            EXPECT_EQ(file.BlockExists(5), deleted != 1);
        }
        file.Close();
        // Whatever happened, the file reopens with its other blocks intact.
        XBlockFile check;
        ASSERT_EQ(check.Open(Portable("test.db").c_str(), true), 0);
        for (uint32_t id : {1u, 2u, 3u, 6u, 9u})
            EXPECT_EQ(BlockBytes(check, id), Pattern(id, 0, 30));
        if (!fired)
            break;
    }
}

}  // namespace
}  // namespace blockfile_test
