// SPDX-License-Identifier: MIT
// Recovery tested for real: a child process writes, deletes, flushes and compacts, and is
// killed with SIGKILL, either between two operations or in the middle of one at a chosen
// file call (the file keeps exactly what was written before that call, whole or torn). The
// parent reopens the file read-write and checks every block against what the child did.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include <gtest/gtest.h>

#include <brindle/Debg.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

constexpr uint32_t kIds = 40;
constexpr uint32_t kInitialVersion = 0xFFFFFFFF;

struct Op {
    enum Kind { kWrite, kDelete, kFlush, kCompact } kind;
    uint32_t id;
    uint32_t len;
};

// Where a round ends: after `count` operations, the last of which is `last` and, when
// `call` is not 0, is cut short at its file call number `call` (torn in half if `torn`).
struct Ending {
    uint32_t count;
    Op last;
    uint32_t call;
    bool torn;
};

// The operation number `i` of a run: a pure function of the seed and `i`, so that the parent
// can replay what the child did.
Op OperationAt(uint64_t seed, uint32_t i) {
    uint64_t z = seed + (uint64_t{i} + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    uint32_t roll = z % 100;
    Op::Kind kind = roll < 68   ? Op::kWrite
                    : roll < 88 ? Op::kDelete
                    : roll < 95 ? Op::kFlush
                                : Op::kCompact;
    return {kind, static_cast<uint32_t>((z >> 8) % kIds) + 1,
            static_cast<uint32_t>((z >> 20) % 700)};
}

Op OperationAt(uint64_t seed, uint32_t i, const Ending& ending) {
    return i + 1 == ending.count ? ending.last : OperationAt(seed, i);
}

uint32_t InitialLen(uint32_t id) {
    return id * 17 % 300;
}

class CrashTest : public BlockFileTest {
  protected:
    // The child's side: runs the operations of the round, reports through `report` whether
    // the file call chosen to end the last one was reached, and waits to be killed.
    [[noreturn]] void RunChild(uint64_t seed, const Ending& ending, int report) {
        XBlockFile file;
        if (file.Open(Portable("test.db").c_str(), false) != 0)
            _exit(3);
        for (uint32_t i = 0; i < ending.count; ++i) {
            if (i + 1 == ending.count && ending.call != 0)
                DebgFailFileCall(ending.call, EIO,
                                 DebgFileSticky | (ending.torn ? DebgFilePartial : 0));
            Op op = OperationAt(seed, i, ending);
            if (op.kind == Op::kWrite) {
                Bytes data = Pattern(op.id, i, op.len);
                file.WriteBlock(op.id, data.data(), op.len);
            } else if (op.kind == Op::kDelete) {
                file.DeleteBlock(op.id);
            } else if (op.kind == Op::kFlush) {
                file.Flush();
            } else {
                file.Compact(false);
            }
        }
        uint8_t cut = ending.call != 0 && DebgPendingFileCallFailure() == 0;
        if (write(report, &cut, sizeof cut) != sizeof cut)
            _exit(4);
        for (;;)
            pause();
    }

    // Applies operations [0, count) of the run to `state`.
    static void Replay(uint64_t seed, const Ending& ending, uint32_t count, State* state) {
        for (uint32_t i = 0; i < count; ++i) {
            Op op = OperationAt(seed, i, ending);
            if (op.kind == Op::kWrite)
                (*state)[op.id] = Pattern(op.id, i, op.len);
            else if (op.kind == Op::kDelete)
                state->erase(op.id);
        }
    }
};

TEST_F(CrashTest, KilledProcessLosesNothingItHadWritten) {
    std::mt19937_64 random(20260601);
    for (int round = 0; round < 60; ++round) {
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
        // A third of the rounds end between operations; the others in the middle of a write,
        // a delete or a compaction.
        const uint64_t seed = random();
        Ending ending = {static_cast<uint32_t>(random() % 400) + 1, {}, 0, false};
        ending.last = OperationAt(seed, ending.count - 1);
        if (round % 3 != 0) {
            ending.last.kind = round % 3 == 1 ? Op::kWrite : Op::kCompact;
            if (round % 6 == 4)
                ending.last.kind = Op::kDelete;
            ending.call =
                static_cast<uint32_t>(random() % (ending.last.kind == Op::kCompact ? 200 : 6) + 1);
            ending.torn = random() % 2 == 0;
        }
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            RunChild(seed, ending, report[1]);
        close(report[1]);
        // However slowly the child runs (as under a sanitizer), it reports before the kill.
        pollfd ready = {report[0], POLLIN, 0};
        uint8_t cut = 2;
        EXPECT_EQ(poll(&ready, 1, 120000), 1);
        EXPECT_EQ(read(report[0], &cut, sizeof cut), ssize_t{sizeof cut});
        close(report[0]);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        ASSERT_LE(cut, 1);
        // Every operation before the last was complete. The last one, when it was cut
        // short, may have left its block as it was or as it would be (or, for a rewrite in
        // place, a mixture of the two); everything else must be exactly as replayed.
        Replay(seed, ending, ending.count - (cut ? 1 : 0), &state);
        const Op& last = ending.last;
        const bool cutChange = cut && (last.kind == Op::kWrite || last.kind == Op::kDelete);
        std::set<Bytes> versions;
        if (state.count(last.id) != 0)
            versions.insert(state[last.id]);
        if (cutChange && last.kind == Op::kWrite)
            versions.insert(Pattern(last.id, ending.count - 1, last.len));
        const bool mayBeAbsent =
            state.count(last.id) == 0 || (cutChange && last.kind == Op::kDelete);
        XBlockFile file;
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        ExpectHoldsButOne(file, state, last.id, versions, mayBeAbsent);
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    }
}

}  // namespace
}  // namespace blockfile_test
