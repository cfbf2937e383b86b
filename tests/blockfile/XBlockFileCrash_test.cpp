// SPDX-License-Identifier: MIT
// Recovery tested for real: a child process writes, deletes, flushes and compacts, syncing
// or not, and is killed with SIGKILL, either between two operations or in the middle of one
// at a chosen file call (the file keeps exactly what was written before that call, whole or
// torn). Meanwhile the parent cannot open the file. Then it reopens the file read-write and
// checks every block against what the child did. Power cuts: see PowerCutTest below.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

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
    [[noreturn]] void RunChild(uint64_t seed, const Ending& ending, bool syncing, int report) {
        XBlockFile file;
        file.SetSyncing(syncing);
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
            RunChild(seed, ending, round % 2 == 0, report[1]);
        close(report[1]);
        // However slowly the child runs (as under a sanitizer), it reports before the kill.
        pollfd ready = {report[0], POLLIN, 0};
        uint8_t cut = 2;
        EXPECT_EQ(poll(&ready, 1, 120000), 1);
        EXPECT_EQ(read(report[0], &cut, sizeof cut), ssize_t{sizeof cut});
        close(report[0]);
        XBlockFile intruder;
        EXPECT_EQ(intruder.Open(Portable("test.db").c_str(), false), EAGAIN);
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
        ASSERT_EQ(OpenAsPredicted(&file, Portable("test.db")), 0);
        ExpectHoldsButOne(file, state, last.id, versions, mayBeAbsent);
        file.Close();
        DiskLayout layout;
        EXPECT_EQ(CheckCleanFile(FileBytes(), &layout), "");
    }
}

// What a power cut keeps: every file call of a workload is recorded; for every sync, the
// file is rebuilt from all calls up to it and any part of those after it, up to the next:
// each 512-byte sector of a write lands or not, and so does its growth of the file, and a
// cut lands or not. Every such file must open read-write, and read-only too when nothing
// began after the last Flush or Close; every block that was in the file at the last Flush
// or Close that returned before the cut, and not changed since, must read exactly; a block
// changed since must read as it was then or as one of the versions written since (or be
// absent where one of those is absence); no other ID may appear. A process that batches its
// writes keeps the same promise when it is killed: see ReplayEveryWrite.
class PowerCutTest : public BlockFileTest {
  protected:
    // One file call as it reached the file.
    struct FileCall {
        DebgFileCall call;
        uint64_t offset;
        Bytes bytes;
    };

    // One operation of the workload: the calls it made, and what it did to the blocks.
    struct Step {
        size_t firstCall;
        size_t endCall;
        bool flushes;                // a Flush or Close: `state` is what it made durable
        uint32_t id;                 // the block it changed, 0 for none
        std::optional<Bytes> value;  // its new contents; none when deleted
        State state;
    };

    static void Record(int32_t, DebgFileCall call, uint64_t offset, const void* data, uint64_t size,
                       void* context) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        static_cast<std::vector<FileCall>*>(context)->push_back(
            {call, offset, Bytes(bytes, bytes + size)});
    }

    static void Apply(const FileCall& c, Bytes* file) {
        if (c.call == DebgFileCallCut) {
            file->resize(c.offset);
        } else if (c.call == DebgFileCallWrite) {
            file->resize(std::max<uint64_t>(file->size(), c.offset + c.bytes.size()));
            std::copy(c.bytes.begin(), c.bytes.end(), file->begin() + c.offset);
        }
    }

    // Applies `c` as a power cut may have left it.
    static void ApplyTorn(const FileCall& c, std::mt19937_64* random, Bytes* file) {
        if (c.call == DebgFileCallCut && (*random)() % 2 == 0)
            file->resize(c.offset);
        if (c.call != DebgFileCallWrite)
            return;
        const uint64_t end = c.offset + c.bytes.size();
        if (end > file->size() && (*random)() % 2 == 0)
            file->resize(end);  // the new length landed; what did not land of the data reads 0
        for (uint64_t at = c.offset; at < end;) {
            const uint64_t sectorEnd = std::min<uint64_t>(end, (at / 512 + 1) * 512);
            const uint64_t landed = std::min<uint64_t>(sectorEnd, file->size());
            if ((*random)() % 2 == 0 && at < landed) {
                std::copy(c.bytes.begin() + (at - c.offset), c.bytes.begin() + (landed - c.offset),
                          file->begin() + at);
            }
            at = sectorEnd;
        }
    }

    // Runs `call` as one step of the workload.
    void Run(bool flushes, uint32_t id, std::optional<Bytes> value,
             const std::function<void()>& call) {
        Step step = {calls_.size(), 0, flushes, id, value, {}};
        call();
        step.endCall = calls_.size();
        if (id != 0 && value)
            model_[id] = *value;
        else if (id != 0)
            model_.erase(id);
        step.state = model_;
        steps_.push_back(std::move(step));
    }

    // Checks the file `bytes` left by a power cut just before call `cut`.
    void ExpectPromiseKept(const Bytes& bytes, size_t cut) { ExpectPromiseKept(bytes, cut, cut); }
    // Checks the file `bytes` left by a power cut or a kill when the calls before `returned`
    // have landed, and perhaps parts of those before `landed`: relative to the last Flush or
    // Close that returned before call `returned`, with every step that began before call
    // `landed` allowed to have changed its block. Where a call was torn, a block rewritten in
    // place with its exact length (which is done without syncing) may hold the front of one
    // version and the rest of another.
    void ExpectPromiseKept(const Bytes& bytes, size_t returned, size_t landed) {
        // The last Flush or Close that returned, and what each block may hold since.
        size_t last = 0;
        for (size_t i = 0; i < steps_.size() && steps_[i].endCall <= returned; ++i)
            last = steps_[i].flushes ? i : last;
        std::map<uint32_t, std::set<std::optional<Bytes>>> allowed;
        for (uint32_t id : ids_) {
            const auto at = steps_[last].state.find(id);
            allowed[id].insert(at == steps_[last].state.end() ? std::nullopt
                                                              : std::optional<Bytes>(at->second));
        }
        bool changedSince = false;
        for (size_t i = last + 1; i < steps_.size() && steps_[i].firstCall < landed; ++i) {
            changedSince = true;
            if (steps_[i].id != 0)
                allowed[steps_[i].id].insert(steps_[i].value);
        }
        WriteFileBytes(Native("cut.db"), bytes);
        if (!changedSince) {
            // Nothing began after the last Flush or Close returned: the file is clean.
            XBlockFile reader;
            ASSERT_EQ(reader.Open(Portable("cut.db").c_str(), true), 0) << "a flushed file";
        }
        XBlockFile file;
        file.SetSyncing(false);
        ASSERT_EQ(OpenAsPredicted(&file, Portable("cut.db")), 0);
        for (const auto& [id, versions] : allowed) {
            const std::optional<Bytes> actual = BlockBytes(file, id);
            std::set<Bytes> present;
            for (const auto& version : versions) {
                if (version)
                    present.insert(*version);
            }
            ASSERT_TRUE(versions.count(actual) == 1 ||
                        (landed > returned && actual && IsOneVersion(*actual, present)))
                << "block " << id;
        }
        ASSERT_EQ(file.BlockCount(), ServedBlocks(file).size());
        for (const auto& [id, len] : ServedBlocks(file))
            ASSERT_EQ(allowed.count(id), 1u) << "a block that was never written: " << id;
        file.Close();
        ASSERT_EQ(file.Open(Portable("cut.db").c_str(), true), 0);
    }

    // Records a workload of `steps` random operations on a new file, from `seed`: writes of
    // new blocks and rewrites (some with the same length), deletions, new blocks that take
    // the slot of one just deleted, runs of deletions followed by runs of new blocks, flushes,
    // closes, and two compactions; syncing, batching, or neither. Returns the file as Create
    // left it.
    Bytes RecordWorkload(uint32_t seed, int steps, bool syncing, bool batching) {
        const std::string path = Portable("test.db");
        unlink(Native("test.db").c_str());
        calls_.clear();
        steps_.clear();
        model_.clear();
        ids_.clear();
        EXPECT_EQ(XBlockFile::Create(path.c_str()), 0);
        const Bytes created = FileBytes();
        std::mt19937 random(seed);
        auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        XBlockFile file;
        file.SetSyncing(syncing);
        file.SetBatching(batching);
        DebgWatchFileCalls(&Record, &calls_);
        Run(true, 0, {}, [&] { ASSERT_EQ(file.Open(path.c_str(), false), 0); });  // empty
        auto write = [&](uint32_t id, uint32_t len) {
            ids_.insert(id);
            const Bytes bytes = Pattern(id, static_cast<uint32_t>(steps_.size()), len);
            Run(false, id, bytes, [&] { ASSERT_EQ(file.WriteBlock(id, bytes.data(), len), 0); });
        };
        auto flush = [&] { Run(true, 0, {}, [&] { file.Flush(); }); };
        // The slot of block 2 begins 8 bytes before a page boundary, where the header of a
        // free slot, written whole without syncing, could be torn.
        for (uint32_t id = 1; id <= 12; ++id)
            write(id, id == 1 ? 4096 - 8 - 24 : below(600));
        flush();
        for (const uint32_t id : {2u, 5u})
            Run(false, id, std::nullopt, [&] { ASSERT_EQ(file.DeleteBlock(id), 1); });
        std::vector<uint32_t> freedLengths;  // of deleted blocks, whose slots others can take
        uint32_t newId = 100;
        for (int i = 0; i < steps && !::testing::Test::HasFailure(); ++i) {
            const uint32_t roll = below(100);
            const auto existing = std::next(model_.begin(), below(uint32_t(model_.size())));
            const uint32_t len = uint32_t(existing->second.size());
            if (i == steps / 2 || i == steps - 5) {
                Run(false, 0, {}, [&] { file.Compact(false); });
                flush();
            } else if (roll < 35) {
                write(existing->first, below(4) == 0 ? len : below(700));
            } else if (roll < 70 && model_.size() > 4) {
                const uint32_t id = existing->first;
                Run(false, id, std::nullopt, [&] { ASSERT_EQ(file.DeleteBlock(id), 1); });
                if (below(2) == 0)
                    write(newId++, len);
                else
                    freedLengths.push_back(len);
            } else if (roll < 75 && !freedLengths.empty()) {
                write(newId++, freedLengths[below(uint32_t(freedLengths.size()))]);
            } else if (roll < 85) {
                flush();
            } else if (roll < 92 && model_.size() > 10) {
                const uint32_t run = 2 + below(5);
                for (uint32_t k = 0; k < run; ++k) {
                    const uint32_t id =
                        std::next(model_.begin(), below(uint32_t(model_.size())))->first;
                    Run(false, id, std::nullopt, [&] { ASSERT_EQ(file.DeleteBlock(id), 1); });
                }
                for (uint32_t k = 0; k < run; ++k)
                    write(newId++, below(4) == 0 ? below(3000) : below(700));
            } else {
                Run(true, 0, {}, [&] {
                    file.Close();
                    ASSERT_EQ(file.Open(path.c_str(), false), 0);
                });
            }
        }
        Run(true, 0, {}, [&] { file.Close(); });
        DebgWatchFileCalls(nullptr, nullptr);
        return created;
    }

    // Replays the workload recorded, from the file `created`, with `trials` cuts after each
    // sync; returns how many.
    size_t ReplayEverySync(const Bytes& created, uint64_t seed, int trials) {
        std::mt19937_64 random(seed);
        Bytes synced = created;
        size_t made = 0;
        for (size_t sync = 0; sync <= calls_.size() && !::testing::Test::HasFailure(); ++sync) {
            size_t next = sync;
            while (next < calls_.size() && calls_[next].call != DebgFileCallSync)
                ++next;
            for (int trial = 0; trial < trials && !::testing::Test::HasFailure(); ++trial, ++made) {
                SCOPED_TRACE("cut after call " + std::to_string(sync) + ", trial " +
                             std::to_string(trial));
                // The cut comes before call `cut`. The first trial keeps none of the calls
                // since the sync, the second all of them (a process killed there), the others
                // parts of those up to a random call.
                const size_t cut = trial == 0   ? sync
                                   : trial == 1 ? next
                                                : sync + random() % (next - sync + 1);
                Bytes bytes = synced;
                for (size_t i = sync; i < cut; ++i) {
                    if (trial == 1)
                        Apply(calls_[i], &bytes);
                    else
                        ApplyTorn(calls_[i], &random, &bytes);
                }
                ExpectPromiseKept(bytes, cut);
            }
            for (; sync < next; ++sync)
                Apply(calls_[sync], &synced);
        }
        return made;
    }

    // Replays the workload recorded, from the file `created`, as a process killed at any
    // moment would leave it: before each write, and in the middle of each at a page boundary
    // (where a kill stops a write; at most `tears` of them, chosen at random, per write).
    // Returns how many files it checked.
    size_t ReplayEveryWrite(const Bytes& created, uint64_t seed, size_t tears) {
        std::mt19937_64 random(seed);
        Bytes bytes = created;
        size_t made = 0;
        for (size_t k = 0; k < calls_.size() && !::testing::Test::HasFailure(); ++k) {
            const FileCall& c = calls_[k];
            if (c.call == DebgFileCallWrite) {
                SCOPED_TRACE("killed at call " + std::to_string(k));
                ExpectPromiseKept(bytes, k, k);
                std::vector<uint64_t> pages;
                for (uint64_t at = (c.offset / 4096 + 1) * 4096; at < c.offset + c.bytes.size();
                     at += 4096)
                    pages.push_back(at);
                std::shuffle(pages.begin(), pages.end(), random);
                pages.resize(std::min(pages.size(), tears));
                for (const uint64_t page : pages) {
                    SCOPED_TRACE("torn at " + std::to_string(page));
                    Bytes torn = bytes;
                    Apply({c.call, c.offset,
                           Bytes(c.bytes.begin(), c.bytes.begin() + (page - c.offset))},
                          &torn);
                    ExpectPromiseKept(torn, k, k + 1);
                }
                made += 1 + pages.size();
            }
            Apply(c, &bytes);
        }
        if (!::testing::Test::HasFailure())
            ExpectPromiseKept(bytes, calls_.size(), calls_.size());
        return made + 1;
    }

    std::vector<FileCall> calls_;
    std::vector<Step> steps_;
    State model_;
    std::set<uint32_t> ids_;
};

TEST_F(PowerCutTest, EveryBlockFlushedSurvivesAPowerCutAnywhere) {
    size_t trials = 0;
    size_t syncs = 0;
    // Batching, while syncing, keeps the promise as it is.
    for (uint32_t seed = 1; seed <= 6 && !HasFailure(); ++seed) {
        SCOPED_TRACE("workload " + std::to_string(seed));
        const Bytes created = RecordWorkload(seed, 60, true, seed > 4);
        syncs += std::count_if(calls_.begin(), calls_.end(),
                               [](const FileCall& c) { return c.call == DebgFileCallSync; });
        trials += ReplayEverySync(created, seed, 12);
    }
    RecordProperty("syncs", static_cast<int>(syncs));
    RecordProperty("trials", static_cast<int>(trials));
}

// A process that batches its writes without syncing, killed at any moment, keeps the promise
// for power cuts: the file holds every call before the one it was killed in, and of that one
// nothing, all, or what comes before a page boundary.
TEST_F(PowerCutTest, KilledWhileBatchingKeepsThePowerCutPromise) {
    size_t files = 0;
    for (uint32_t seed = 11; seed <= 13 && !HasFailure(); ++seed) {
        SCOPED_TRACE("workload " + std::to_string(seed));
        const Bytes created = RecordWorkload(seed, 80, false, true);
        files += ReplayEveryWrite(created, seed, 3);
    }
    RecordProperty("files", static_cast<int>(files));
}

}  // namespace
}  // namespace blockfile_test
