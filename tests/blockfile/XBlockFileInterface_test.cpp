// SPDX-License-Identifier: MIT
// Create and Open: the bytes of the file they make, and the errors they report.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/blockfile/PortablePath.h>
#include <brindle/blockfile/XBlockFileCheck.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using InterfaceTest = BlockFileTest;

// Create makes a new file of the documented bytes, owner-only, durable with its name, and
// never overwrites a file;
// both calls report the error number of what went wrong with the path, and find an alias's
// directory. A slot header is little-endian on every host.
TEST_F(InterfaceTest, CreateAndOpenMakeTheDocumentedBytesOrReportTheError) {
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
    RegisterPathAlias(0x54455354, ("/" + dir_).c_str());  // "TEST"
    // The new file is written and synced, and then its directory.
    std::vector<std::pair<int32_t, DebgFileCall>> calls;
    DebgWatchFileCalls(
        [](int32_t fd, DebgFileCall call, uint64_t, const void*, uint64_t, void* context) {
            static_cast<decltype(calls)*>(context)->emplace_back(fd, call);
        },
        &calls);
    ASSERT_EQ(XBlockFile::Create("[TEST]/test.db"), 0);
    DebgWatchFileCalls(nullptr, nullptr);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].second, DebgFileCallWrite);
    EXPECT_EQ(calls[1], std::make_pair(calls[0].first, DebgFileCallSync));
    EXPECT_EQ(calls[2].second, DebgFileCallSync);
    const Bytes expected = {'A', 'a', 'v', 'E', 0, 0, 0,  0, 0xFF, 0xFF, 0xFF, 0xFF, 0,   0,
                            0,   0,   0,   0,   0, 0, 12, 0, 0,    0,    'A',  'a',  'v', 'E'};
    EXPECT_EQ(FileBytes(), expected);
    struct stat info;
    ASSERT_EQ(stat(Native("test.db").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, static_cast<mode_t>(S_IRUSR | S_IWUSR));
    ASSERT_EQ(file.Open("[TEST]/test.db", false), 0);
    EXPECT_EQ(file.Open("[TEST]/test.db", true), -1) << "already open";
    WriteBytes(&file, 0x01020304, Bytes(0x21, 7));
    const Bytes header = {8, 0, 0, 0, 4, 3, 2, 1, 0x31, 0, 0, 0, 0, 0, 0, 0};
    const Bytes bytes = FileBytes();
    EXPECT_EQ(Bytes(bytes.begin() + 8, bytes.begin() + 24), header);
    file.Close();
    WriteFileBytes(Native("test.db"), Bytes{1, 2, 3});
    EXPECT_EQ(XBlockFile::Create(Portable("test.db").c_str()), -1);
    EXPECT_EQ(FileBytes(), (Bytes{1, 2, 3}));
}

// An object never opened, or closed after use, answers as closed and touches no file; so do
// the protected calls a derived class may make.
TEST_F(InterfaceTest, ClosedObjectAnswersAsClosed) {
    class Derived : public XBlockFile {
      public:
        void Destroy(uint32_t offset) {
            _XBlockFile_BlockRec rec = {offset, 1, 32, 0};
            DestroyBlock(&rec);
            uint32_t pos = 7;
            EXPECT_FALSE(FindIndex(1, &pos));
            EXPECT_EQ(pos, 7u);
        }
    };
    Derived file;
    for (int round = 0; round < 2; ++round) {
        uint8_t buf[4];
        uint32_t id = 5;
        uint32_t len = 9;
        EXPECT_EQ(file.ReadBlock(1, buf, sizeof buf), -1);
        EXPECT_EQ(file.ReadIndBlock(0, buf, sizeof buf), -1);
        EXPECT_EQ(file.ReadBlock_NF(1, &len), nullptr);
        EXPECT_EQ(file.ReadIndBlock_NF(0, &len), nullptr);
        EXPECT_EQ(len, 9u);
        EXPECT_EQ(file.BlockLen(1), -1);
        EXPECT_EQ(file.IndBlockLen(0), -1);
        EXPECT_EQ(file.GetIndBlockID(0, &id), -1);
        EXPECT_EQ(id, 5u);
        EXPECT_FALSE(file.BlockExists(1));
        EXPECT_TRUE(file.IsUnique(1));
        EXPECT_EQ(file.BlockCount(), 0u);
        EXPECT_EQ(file.WriteBlock(1, "x", 1), -1);
        EXPECT_EQ(file.DeleteBlock(1), -1);
        file.Destroy(8);
        file.Compact(false);
        file.Flush();
        file.Close();
        EXPECT_EQ(file.IOError(), 0);
        if (round == 0) {  // again after a file was open and held a block
            CreateAndOpen(&file);
            WriteBytes(&file, 1, Bytes(20, 1));
            file.Close();
        }
    }
    const Bytes closed = FileBytes();
    file.Destroy(8);
    EXPECT_EQ(FileBytes(), closed);
}

// One writer or any number of readers, in this process or another: a conflicting Open
// returns the lock's error number and touches nothing, so a writer's changes that are not yet
// flushed survive the attempt, and so does what it reads.
TEST_F(InterfaceTest, OneWriterOrAnyNumberOfReaders) {
    const std::string path = Portable("test.db");
    XBlockFile writer;
    CreateAndOpen(&writer);
    EXPECT_TRUE(writer.IsSyncing());
    writer.SetSyncing(false);
    WriteBytes(&writer, 1, Pattern(1, 0, 40));
    const Bytes unflushed = FileBytes();  // no trailer: a read-write Open would rebuild it
    XBlockFile other;
    XBlockFileCheck check;
    EXPECT_EQ(other.Open(path.c_str(), false), EAGAIN);
    EXPECT_EQ(other.Open(path.c_str(), true), EAGAIN);
    EXPECT_EQ(check.Examine(path.c_str()), EAGAIN);
    EXPECT_EQ(check.State(), XBlockFileUnreadable);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        XBlockFile file;
        _exit(file.Open(path.c_str(), false) == EAGAIN && file.Open(path.c_str(), true) == EAGAIN
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got in";
    EXPECT_EQ(FileBytes(), unflushed);
    EXPECT_EQ(BlockBytes(writer, 1), Pattern(1, 0, 40));
    WriteBytes(&writer, 2, Pattern(2, 0, 10));
    writer.Close();
    EXPECT_FALSE(writer.IsSyncing()) << "kept across Close";
    ASSERT_EQ(writer.Open(path.c_str(), true), 0);
    ASSERT_EQ(other.Open(path.c_str(), true), 0);
    EXPECT_EQ(check.Examine(path.c_str()), 0);
    EXPECT_EQ(check.BlockCount(), 2u);
    XBlockFile third;
    EXPECT_EQ(third.Open(path.c_str(), false), EAGAIN);
    writer.Close();
    other.Close();
    EXPECT_EQ(third.Open(path.c_str(), false), 0);
}

// A file that its user may only read opens read-only, and read-write gives EACCES. As
// permissions do not bind root, the opens run in a child that is not root.
TEST_F(InterfaceTest, OpenOfAReadOnlyFileReportsEaccesForWriting) {
    ASSERT_EQ(XBlockFile::Create(Portable("test.db").c_str()), 0);
    ASSERT_EQ(chmod(Native("test.db").c_str(), S_IRUSR | S_IRGRP | S_IROTH), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const uid_t nobody = 65534;
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        XBlockFile writer;
        XBlockFile reader;
        _exit(writer.Open(Portable("test.db").c_str(), false) == EACCES &&
                      reader.Open(Portable("test.db").c_str(), true) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "read-write open must give EACCES, read-only succeed";
}

}  // namespace
}  // namespace blockfile_test
