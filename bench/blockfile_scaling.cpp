// SPDX-License-Identifier: MIT
// Block file costs as files grow, part of blockfile_bench: five workloads on files of 10,000,
// 100,000 and 1,000,000 blocks of 64 bytes, each run by LMDB too, in the same program on the
// same data (an integer-keyed database, no sync, mdb_put and mdb_del in one write
// transaction per 1,000 operations, mdb_get in one read transaction per 1,000):
//   Insert           N blocks under IDs in random order, into a new file;
//   DeleteLowest     the N/10 lowest IDs of a file of N blocks;
//   DeleteAlternate  every other block of a file of N blocks (N/2 deletes);
//   WriteFragmented  N/10 blocks of 128 bytes under new IDs, into a file of N blocks of which
//                    every other one was deleted (N/2 free slots, none of which fits);
//   Read             every block of a file of N blocks, in random order.
// Only the operations are timed, with the Close (block file: writing the index) or the last
// commit (LMDB) that ends them; files are prepared beforehand, each from a copy of a base
// file that is synced to disk first. Neither engine syncs while timed (the block file with
// SetSyncing(false), LMDB with MDB_NOSYNC). The block file runs twice: writing every change
// at once (BlockFile), which a killed process does not undo, and batching (BlockFileBatched),
// which holds appends and the header writes of deletions in memory and sends them together,
// as LMDB's transactions of 1,000 operations do. Compare the counter ns_per_op across
// engines and sizes: per operation, a block file should stay within 2x of LMDB, and grow no
// more than logarithmically with the size of the file.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lmdb.h>

#include <brindle/blockfile/XBlockFile.h>

#include "BenchScratch.h"

namespace {

constexpr uint32_t kBlockSize = 64;
constexpr uint32_t kLargeBlockSize = 128;
constexpr uint32_t kOpsPerTransaction = 1000;

void Check(bool ok) {
    if (!ok)
        abort();
}

const std::vector<uint8_t>& Payload(uint32_t size) {
    static std::map<uint32_t, std::vector<uint8_t>> payloads;
    std::vector<uint8_t>& bytes = payloads[size];
    if (bytes.empty()) {
        for (uint32_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<uint8_t>(i * 131 + 7));
    }
    return bytes;
}

// The i-th of N distinct IDs in random order: a multiplication by an odd constant permutes
// the 32-bit numbers.
uint32_t RandomId(uint32_t i) {
    return i * 2654435761u;
}

// 0 .. blocks - 1 in a fixed random order.
const std::vector<uint32_t>& Shuffled(uint32_t blocks) {
    static std::map<uint32_t, std::vector<uint32_t>> orders;
    std::vector<uint32_t>& order = orders[blocks];
    if (order.empty()) {
        order.resize(blocks);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(42));
    }
    return order;
}

void CopyFile(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Check(in >= 0 && out >= 0);
    std::vector<char> buffer(1 << 20);
    for (ssize_t got; (got = read(in, buffer.data(), buffer.size())) != 0;)
        Check(got > 0 && write(out, buffer.data(), static_cast<size_t>(got)) == got);
    // On disk before the operations begin, so that they do not wait for its write-back.
    Check(fdatasync(out) == 0);
    close(in);
    close(out);
}

// The engines, behind one face: Put, Delete and Get a block by ID, and Finish (the block
// file closes, LMDB commits). Each aborts on any failure. The block file batches or not; both
// ways make the same files, so they share their base files.
template <bool kBatching>
class BlockFileEngine {
  public:
    static constexpr const char* kName = "db";
    // Opens the file at `native`, after creating it when `create`.
    BlockFileEngine(const std::string& native, bool create) {
        const std::string portable = "/" + native;
        if (create) {
            unlink(native.c_str());
            Check(XBlockFile::Create(portable.c_str()) == 0);
        }
        // Without syncs, as LMDB runs here.
        file_.SetSyncing(false);
        file_.SetBatching(kBatching);
        Check(file_.Open(portable.c_str(), false) == 0);
    }
    void Put(uint32_t id, uint32_t size) {
        Check(file_.WriteBlock(id, Payload(size).data(), size) == 0);
    }
    void Delete(uint32_t id) { Check(file_.DeleteBlock(id) == 1); }
    void Get(uint32_t id, uint8_t* buf, uint32_t size) {
        Check(file_.ReadBlock(id, buf, size) == static_cast<int32_t>(size));
    }
    void Finish() { file_.Close(); }

  private:
    XBlockFile file_;
};

class LmdbEngine {
  public:
    static constexpr const char* kName = "lmdb";
    // An environment of one file (plus its lock file) with integer keys.
    LmdbEngine(const std::string& native, bool create) {
        if (create) {
            unlink(native.c_str());
            unlink((native + "-lock").c_str());
        }
        Check(mdb_env_create(&env_) == 0 && mdb_env_set_mapsize(env_, size_t{1} << 31) == 0 &&
              mdb_env_open(env_, native.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0600) == 0);
    }
    ~LmdbEngine() {
        if (txn_ != nullptr)
            mdb_txn_abort(txn_);
        mdb_env_close(env_);
    }

    void Put(uint32_t id, uint32_t size) {
        MDB_val key = {sizeof id, &id};
        MDB_val value = {size, const_cast<uint8_t*>(Payload(size).data())};
        MDB_txn* txn = Txn(0);
        Check(mdb_put(txn, dbi_, &key, &value, 0) == 0);
    }
    void Delete(uint32_t id) {
        MDB_val key = {sizeof id, &id};
        MDB_txn* txn = Txn(0);
        Check(mdb_del(txn, dbi_, &key, nullptr) == 0);
    }
    void Get(uint32_t id, uint8_t* buf, uint32_t size) {
        MDB_val key = {sizeof id, &id};
        MDB_val value;
        MDB_txn* txn = Txn(MDB_RDONLY);
        Check(mdb_get(txn, dbi_, &key, &value) == 0 && value.mv_size == size);
        memcpy(buf, value.mv_data, size);
    }
    // Commits the open transaction.
    void Finish() {
        if (txn_ != nullptr)
            Check(mdb_txn_commit(txn_) == 0);
        txn_ = nullptr;
        done_ = 0;
    }

  private:
    // The open transaction, after committing one that is full; it sets dbi_.
    MDB_txn* Txn(unsigned flags) {
        if (done_ == kOpsPerTransaction)
            Finish();
        if (txn_ == nullptr) {
            Check(mdb_txn_begin(env_, nullptr, flags, &txn_) == 0 &&
                  mdb_dbi_open(txn_, nullptr, MDB_INTEGERKEY, &dbi_) == 0);
        }
        ++done_;
        return txn_;
    }

    MDB_env* env_ = nullptr;
    MDB_txn* txn_ = nullptr;
    MDB_dbi dbi_ = 0;
    uint32_t done_ = 0;
};

template <class Engine>
std::string ScratchName(const char* what, uint32_t blocks) {
    return brindle_bench::ScratchFile("scaling-" + std::string(what) + "-" +
                                      std::to_string(blocks) + "." + Engine::kName);
}

// A file of `blocks` blocks under IDs 0 .. blocks - 1, and, when `holes`, the same with the
// even IDs deleted; made once per run.
template <class Engine>
std::string Base(uint32_t blocks, bool holes) {
    const std::string native = ScratchName<Engine>(holes ? "holes" : "full", blocks);
    if (access(native.c_str(), F_OK) == 0)
        return native;
    Engine engine(native, true);
    for (uint32_t id = 0; id < blocks; ++id)
        engine.Put(id, kBlockSize);
    for (uint32_t id = 0; holes && id < blocks; id += 2)
        engine.Delete(id);
    engine.Finish();
    return native;
}

// A fresh copy of a base file, to be changed.
template <class Engine>
std::string WorkCopy(uint32_t blocks, bool holes) {
    const std::string native = ScratchName<Engine>("work", blocks);
    unlink((native + "-lock").c_str());
    CopyFile(Base<Engine>(blocks, holes), native);
    return native;
}

// Times `work`, ended by engine.Finish(), in seconds.
template <class Engine, class Work>
double Timed(Engine* engine, Work work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    engine->Finish();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The workloads: each prepares its file, stores the number of operations and returns the
// seconds they took.
template <class Engine>
double Insert(uint32_t blocks, uint32_t* ops) {
    Engine engine(ScratchName<Engine>("work", blocks), true);
    *ops = blocks;
    return Timed(&engine, [&] {
        for (uint32_t i = 0; i < blocks; ++i)
            engine.Put(RandomId(i), kBlockSize);
    });
}

// Deletes the IDs 0, step, 2 step, ... below `end`.
template <class Engine>
double Delete(uint32_t blocks, uint32_t end, uint32_t step, uint32_t* ops) {
    Engine engine(WorkCopy<Engine>(blocks, false), false);
    *ops = (end + step - 1) / step;
    return Timed(&engine, [&] {
        for (uint32_t id = 0; id < end; id += step)
            engine.Delete(id);
    });
}

template <class Engine>
double DeleteLowest(uint32_t blocks, uint32_t* ops) {
    return Delete<Engine>(blocks, blocks / 10, 1, ops);
}

template <class Engine>
double DeleteAlternate(uint32_t blocks, uint32_t* ops) {
    return Delete<Engine>(blocks, blocks, 2, ops);
}

template <class Engine>
double WriteFragmented(uint32_t blocks, uint32_t* ops) {
    Engine engine(WorkCopy<Engine>(blocks, true), false);
    *ops = blocks / 10;
    return Timed(&engine, [&] {
        for (uint32_t i = 0; i < *ops; ++i)
            engine.Put(blocks + i, kLargeBlockSize);
    });
}

template <class Engine>
double Read(uint32_t blocks, uint32_t* ops) {
    Engine engine(Base<Engine>(blocks, false), false);
    uint8_t buf[kBlockSize];
    *ops = blocks;
    return Timed(&engine, [&] {
        for (uint32_t id : Shuffled(blocks))
            engine.Get(id, buf, sizeof buf);
    });
}

using Workload = double (*)(uint32_t blocks, uint32_t* ops);

// Runs `workload` on files of state.range(0) blocks; reports the time per operation.
void BM_Scaling(benchmark::State& state, Workload workload) {
    const uint32_t blocks = static_cast<uint32_t>(state.range(0));
    double seconds = 0;
    uint64_t ops = 0;
    for (auto _ : state) {
        uint32_t done = 0;
        const double time = workload(blocks, &done);
        state.SetIterationTime(time);
        seconds += time;
        ops += done;
    }
    state.SetItemsProcessed(static_cast<int64_t>(ops));
    state.counters["ns_per_op"] = seconds * 1e9 / static_cast<double>(ops);
}

template <class Engine>
void Register(const char* engine) {
    const struct {
        const char* name;
        Workload workload;
    } series[] = {{"Insert", Insert<Engine>},
                  {"DeleteLowest", DeleteLowest<Engine>},
                  {"DeleteAlternate", DeleteAlternate<Engine>},
                  {"WriteFragmented", WriteFragmented<Engine>},
                  {"Read", Read<Engine>}};
    for (const auto& one : series) {
        const std::string name = "BM_Scaling/" + std::string(one.name) + "/" + engine;
        benchmark::RegisterBenchmark(name.c_str(), BM_Scaling, one.workload)
            ->Arg(10000)
            ->Arg(100000)
            ->Arg(1000000)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

const bool kRegistered = [] {
    Register<BlockFileEngine<false>>("BlockFile");
    Register<BlockFileEngine<true>>("BlockFileBatched");
    Register<LmdbEngine>("Lmdb");
    return true;
}();

}  // namespace
