// Recovery tested for real: a child process writes and deletes blocks and is killed with
// SIGKILL at a point the parent chose; the parent reopens the file read-write and checks
// every block against what the child had done.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

constexpr uint32_t kIds = 40;
constexpr uint32_t kInitialVersion = 0xFFFFFFFF;

struct Op {
    enum Kind { kWrite, kDelete, kFlush } kind;
    uint32_t id;
    uint32_t len;
};

// The operation number `i` of a run: a pure function of the seed and `i`, so that the parent
// can replay what the child did.
Op OperationAt(uint64_t seed, uint32_t i) {
    uint64_t z = seed + (uint64_t{i} + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    uint32_t roll = z % 100;
    Op::Kind kind = roll < 70 ? Op::kWrite : roll < 92 ? Op::kDelete : Op::kFlush;
    return {kind, static_cast<uint32_t>((z >> 8) % kIds) + 1,
            static_cast<uint32_t>((z >> 20) % 700)};
}

uint32_t InitialLen(uint32_t id) {
    return id * 17 % 300;
}

class CrashTest : public BlockFileTest {
  protected:
    // The child's side: runs the first `count` operations, reports through `report` that it
    // got there, and waits to be killed.
    [[noreturn]] void RunChild(uint64_t seed, uint32_t count, int report) {
        XBlockFile file;
        if (file.Open(Portable("test.db").c_str(), false) != 0)
            _exit(3);
        for (uint32_t i = 0; i < count; ++i) {
            Op op = OperationAt(seed, i);
            if (op.kind == Op::kWrite) {
                Bytes data = Pattern(op.id, i, op.len);
                file.WriteBlock(op.id, data.data(), op.len);
            } else if (op.kind == Op::kDelete) {
                file.DeleteBlock(op.id);
            } else {
                file.Flush();
            }
        }
        if (write(report, &count, sizeof count) != sizeof count)
            _exit(4);
        for (;;)
            pause();
    }

    // Applies operations [0, count) of the run to `state`.
    static void Replay(uint64_t seed, uint32_t count, State* state) {
        for (uint32_t i = 0; i < count; ++i) {
            Op op = OperationAt(seed, i);
            if (op.kind == Op::kWrite)
                (*state)[op.id] = Pattern(op.id, i, op.len);
            else if (op.kind == Op::kDelete)
                state->erase(op.id);
        }
    }
};

TEST_F(CrashTest, KilledWriterLeavesEveryBlockWhole) {
    std::mt19937_64 random(20260601);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        unlink(Native("test.db").c_str());
        State state;
        {
            XBlockFile file;
            CreateAndOpen(&file);
            for (uint32_t id = 1; id <= kIds; ++id) {
                state[id] = Pattern(id, kInitialVersion, InitialLen(id));
                WriteBytes(&file, id, state[id]);
            }
        }
        const uint64_t seed = random();
        const uint32_t count = static_cast<uint32_t>(random() % 400) + 1;
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            RunChild(seed, count, report[1]);
        close(report[1]);
        // However slowly the child runs (as under a sanitizer), it reports before the kill.
        pollfd ready = {report[0], POLLIN, 0};
        uint32_t reached = 0;
        EXPECT_EQ(poll(&ready, 1, 120000), 1);
        EXPECT_EQ(read(report[0], &reached, sizeof reached), ssize_t{sizeof reached});
        close(report[0]);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        ASSERT_EQ(reached, count);
        // Every operation was complete when the kill came, so recovery finds their result.
        Replay(seed, count, &state);
        XBlockFile file;
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        ExpectHolds(file, state);
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    }
}

}  // namespace
}  // namespace blockfile_test
