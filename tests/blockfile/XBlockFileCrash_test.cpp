// Recovery tested for real: a child process writes and deletes blocks and is killed with
// SIGKILL at a random moment; the parent reopens the file read-write and checks every block
// against what the child did up to its last flush and after it.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

constexpr uint32_t kIds = 40;
constexpr uint32_t kInitialVersion = 0xFFFFFFFF;

// What the child reports through memory shared with the parent. Each count is published
// after the step it counts has returned.
struct Progress {
    std::atomic<uint32_t> done;     // operations completed
    std::atomic<uint32_t> flushed;  // operations completed before the last completed Flush
};

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

using State = std::map<uint32_t, Bytes>;

// Whether `actual` is one of the versions a block may hold. A rewrite with the block's
// exact length changes only the data, in place, so a kill in the middle of that write may
// leave the front of one version before the rest of another of the same length.
bool IsOneVersion(const Bytes& actual, const std::set<Bytes>& versions) {
    if (versions.count(actual))
        return true;
    for (const Bytes& front : versions) {
        for (const Bytes& back : versions) {
            if (front.size() != actual.size() || back.size() != actual.size())
                continue;
            size_t split = 0;
            while (split < actual.size() && actual[split] == front[split])
                ++split;
            if (std::equal(actual.begin() + split, actual.end(), back.begin() + split))
                return true;
        }
    }
    return false;
}

class CrashTest : public BlockFileTest {
  protected:
    void SetUp() override {
        BlockFileTest::SetUp();
        void* shared = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(shared, MAP_FAILED);
        progress_ = new (shared) Progress();
    }
    void TearDown() override {
        munmap(progress_, sizeof(Progress));
        BlockFileTest::TearDown();
    }

    // The child's side: runs operations until it is killed.
    [[noreturn]] void RunChild(uint64_t seed) {
        XBlockFile file;
        if (file.Open(Portable("test.db").c_str(), false) != 0)
            _exit(3);
        for (uint32_t i = 0; i < 100000; ++i) {
            Op op = OperationAt(seed, i);
            if (op.kind == Op::kWrite) {
                Bytes data = Pattern(op.id, i, op.len);
                file.WriteBlock(op.id, data.data(), op.len);
            } else if (op.kind == Op::kDelete) {
                file.DeleteBlock(op.id);
            } else {
                file.Flush();
                progress_->flushed.store(i + 1);
            }
            progress_->done.store(i + 1);
        }
        _exit(0);
    }

    // Applies operations [from, to) of the run to `state`.
    static void Replay(uint64_t seed, uint32_t from, uint32_t to, State* state) {
        for (uint32_t i = from; i < to; ++i) {
            Op op = OperationAt(seed, i);
            if (op.kind == Op::kWrite)
                (*state)[op.id] = Pattern(op.id, i, op.len);
            else if (op.kind == Op::kDelete)
                state->erase(op.id);
        }
    }

    Progress* progress_ = nullptr;
};

TEST_F(CrashTest, KilledWriterLeavesEveryBlockWhole) {
    std::mt19937_64 random(20260601);
    int killedWithUnflushedChanges = 0;
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        unlink(Native("test.db").c_str());
        State initial;
        {
            XBlockFile file;
            CreateAndOpen(&file);
            for (uint32_t id = 1; id <= kIds; ++id) {
                initial[id] = Pattern(id, kInitialVersion, InitialLen(id));
                WriteBytes(&file, id, initial[id]);
            }
        }
        progress_->done.store(0);
        progress_->flushed.store(0);
        const uint64_t seed = random();
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            RunChild(seed);
        // Let the child get going (however slowly it starts, as under a sanitizer), then
        // kill it at a random moment of its work.
        const uint32_t target = static_cast<uint32_t>(random() % 400) + 1;
        for (int wait = 0; wait < 20000 && progress_->done.load() < target; ++wait)
            usleep(100);
        usleep(static_cast<useconds_t>(random() % 500));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
        const uint32_t flushed = progress_->flushed.load();
        const uint32_t done = progress_->done.load();
        if (WIFSIGNALED(status) && done > flushed + 1)
            ++killedWithUnflushedChanges;
        // The state at the last flush, and what every block may hold now: the operation
        // that was running when the kill came (number `done`) counts as changed too.
        State atFlush = initial;
        Replay(seed, 0, flushed, &atFlush);
        std::map<uint32_t, std::set<Bytes>> changed;
        for (uint32_t i = flushed; i <= done; ++i) {
            Op op = OperationAt(seed, i);
            if (op.kind == Op::kFlush)
                continue;
            auto& allowed = changed[op.id];
            if (atFlush.count(op.id))
                allowed.insert(atFlush[op.id]);
            if (op.kind == Op::kWrite)
                allowed.insert(Pattern(op.id, i, op.len));
        }
        XBlockFile file;
        ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
        for (uint32_t id = 1; id <= kIds; ++id) {
            std::optional<Bytes> actual = BlockBytes(file, id);
            auto change = changed.find(id);
            if (change == changed.end()) {
                if (atFlush.count(id))
                    EXPECT_EQ(actual, atFlush[id]) << "untouched block " << id;
                else
                    EXPECT_FALSE(actual.has_value()) << "deleted block " << id;
            } else if (actual) {
                EXPECT_TRUE(IsOneVersion(*actual, change->second))
                    << "block " << id << " changed after the flush holds foreign bytes";
            }
        }
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    }
    // Most kills must land while the file has no trailer, or recovery went untested.
    EXPECT_GT(killedWithUnflushedChanges, 15);
}

}  // namespace
}  // namespace blockfile_test
