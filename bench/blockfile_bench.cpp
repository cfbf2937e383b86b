// SPDX-License-Identifier: MIT
// Block file throughput: writing 10,000 blocks and then reading them in random order, for
// blocks of 64 bytes and of 1 KiB. Three baselines run the same workload in the same
// program: raw pwrite/pread of the same bytes at fixed places in a plain file (the floor of
// what any file format can do); SQLite (a table of blobs under an INTEGER PRIMARY KEY,
// journal off, synchronous off, all inserts in one transaction, each pass of reads in one
// transaction too); and LMDB (a memory-mapped B+tree, no sync, the same transactions). The
// block file does not sync here either. Compare items_per_second.
//
// The cost of durability: one block of 100 bytes changed (a new version of one of 1,000
// blocks) or added, and made durable, against SQLite committing the same change to one row
// with synchronous=FULL (its default rollback journal) and LMDB committing it with its
// default sync. The block file writes the block and Flushes, syncing as it does by default.
// Compare the time per change; the files lie in /tmp, on a disk where there is one.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <brindle/blockfile/XBlockFile.h>

#include "BenchScratch.h"

namespace {

using brindle_bench::ScratchFile;

constexpr uint32_t kBlocks = 10000;

std::vector<uint8_t> Payload(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

// The IDs 1..kBlocks in a fixed random order.
const std::vector<uint32_t>& ReadOrder() {
    static const std::vector<uint32_t> order = [] {
        std::vector<uint32_t> ids(kBlocks);
        std::iota(ids.begin(), ids.end(), 1);
        std::shuffle(ids.begin(), ids.end(), std::mt19937(42));
        return ids;
    }();
    return order;
}

void FillBlockFile(const std::string& native, const std::vector<uint8_t>& payload) {
    unlink(native.c_str());
    std::string portable = "/" + native;
    XBlockFile file;
    file.SetSyncing(false);
    if (XBlockFile::Create(portable.c_str()) != 0 || file.Open(portable.c_str(), false) != 0)
        abort();
    for (uint32_t id = 1; id <= kBlocks; ++id)
        file.WriteBlock(id, payload.data(), static_cast<uint32_t>(payload.size()));
    file.Close();
}

void BM_BlockFileRead(benchmark::State& state) {
    const std::vector<uint8_t> payload = Payload(static_cast<size_t>(state.range(0)));
    const std::string native = ScratchFile("read.db");
    FillBlockFile(native, payload);
    XBlockFile file;
    if (file.Open(("/" + native).c_str(), true) != 0)
        abort();
    std::vector<uint8_t> buf(payload.size());
    for (auto _ : state) {
        for (uint32_t id : ReadOrder())
            benchmark::DoNotOptimize(
                file.ReadBlock(id, buf.data(), static_cast<uint32_t>(buf.size())));
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

void FillRawFile(const std::string& native, const std::vector<uint8_t>& payload) {
    int fd = open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        abort();
    for (uint32_t id = 1; id <= kBlocks; ++id) {
        if (pwrite(fd, payload.data(), payload.size(),
                   off_t{id} * static_cast<off_t>(payload.size())) < 0)
            abort();
    }
    close(fd);
}

void BM_RawRead(benchmark::State& state) {
    const std::vector<uint8_t> payload = Payload(static_cast<size_t>(state.range(0)));
    const std::string native = ScratchFile("read.raw");
    FillRawFile(native, payload);
    int fd = open(native.c_str(), O_RDONLY);
    std::vector<uint8_t> buf(payload.size());
    for (auto _ : state) {
        for (uint32_t id : ReadOrder()) {
            benchmark::DoNotOptimize(
                pread(fd, buf.data(), buf.size(), off_t{id} * static_cast<off_t>(buf.size())));
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

sqlite3* OpenSqlite(const std::string& native,
                    const char* pragmas = "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;") {
    sqlite3* db = nullptr;
    if (sqlite3_open(native.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, pragmas, nullptr, nullptr, nullptr) != SQLITE_OK)
        abort();
    return db;
}

void FillSqlite(const std::string& native, const std::vector<uint8_t>& payload) {
    unlink(native.c_str());
    sqlite3* db = OpenSqlite(native);
    sqlite3_exec(db, "CREATE TABLE blocks (id INTEGER PRIMARY KEY, data BLOB); BEGIN;", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO blocks VALUES (?, ?)", -1, &insert, nullptr);
    for (uint32_t id = 1; id <= kBlocks; ++id) {
        sqlite3_bind_int64(insert, 1, id);
        sqlite3_bind_blob(insert, 2, payload.data(), static_cast<int>(payload.size()),
                          SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE)
            abort();
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void BM_SqliteRead(benchmark::State& state) {
    const std::vector<uint8_t> payload = Payload(static_cast<size_t>(state.range(0)));
    const std::string native = ScratchFile("read.sqlite");
    FillSqlite(native, payload);
    sqlite3* db = OpenSqlite(native);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM blocks WHERE id = ?", -1, &select, nullptr);
    std::vector<uint8_t> buf(payload.size());
    for (auto _ : state) {
        // One read transaction per pass, as the writes have one: SQLite then checks its
        // cache once instead of at every statement.
        sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
        for (uint32_t id : ReadOrder()) {
            sqlite3_bind_int64(select, 1, id);
            if (sqlite3_step(select) == SQLITE_ROW) {
                memcpy(buf.data(), sqlite3_column_blob(select, 0),
                       static_cast<size_t>(sqlite3_column_bytes(select, 0)));
            }
            sqlite3_reset(select);
        }
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(buf.data());
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

// An LMDB environment of one file (plus its lock file) with integer keys; aborts on error.
struct Lmdb {
    explicit Lmdb(const std::string& native, unsigned flags = MDB_NOSYNC) {
        if (mdb_env_create(&env) != 0 || mdb_env_set_mapsize(env, size_t{1} << 30) != 0 ||
            mdb_env_open(env, native.c_str(), MDB_NOSUBDIR | flags, 0600) != 0)
            abort();
    }
    ~Lmdb() { mdb_env_close(env); }
    // Begins a transaction and opens the database in it.
    MDB_txn* Begin(unsigned flags) {
        MDB_txn* txn = nullptr;
        if (mdb_txn_begin(env, nullptr, flags, &txn) != 0 ||
            mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi) != 0)
            abort();
        return txn;
    }
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
};

void FillLmdb(const std::string& native, const std::vector<uint8_t>& payload) {
    unlink(native.c_str());
    unlink((native + "-lock").c_str());
    Lmdb db(native);
    MDB_txn* txn = db.Begin(0);
    for (uint32_t id = 1; id <= kBlocks; ++id) {
        MDB_val key = {sizeof id, &id};
        MDB_val value = {payload.size(), const_cast<uint8_t*>(payload.data())};
        if (mdb_put(txn, db.dbi, &key, &value, 0) != 0)
            abort();
    }
    if (mdb_txn_commit(txn) != 0)
        abort();
}

void BM_LmdbRead(benchmark::State& state) {
    const std::vector<uint8_t> payload = Payload(static_cast<size_t>(state.range(0)));
    const std::string native = ScratchFile("read.lmdb");
    FillLmdb(native, payload);
    Lmdb db(native);
    std::vector<uint8_t> buf(payload.size());
    for (auto _ : state) {
        MDB_txn* txn = db.Begin(MDB_RDONLY);
        for (uint32_t id : ReadOrder()) {
            MDB_val key = {sizeof id, &id};
            MDB_val value;
            if (mdb_get(txn, db.dbi, &key, &value) == 0)
                memcpy(buf.data(), value.mv_data, std::min(value.mv_size, buf.size()));
        }
        mdb_txn_abort(txn);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

// Writes kBlocks blocks of state.range(0) bytes into a new file through `fill`.
void BM_Write(benchmark::State& state,
              void (*fill)(const std::string&, const std::vector<uint8_t>&), const char* name) {
    const std::vector<uint8_t> payload = Payload(static_cast<size_t>(state.range(0)));
    const std::string native = ScratchFile(name);
    for (auto _ : state)
        fill(native, payload);
    state.SetItemsProcessed(state.iterations() * kBlocks);
}

// The durable changes: each iteration makes one 100-byte change and waits until it is on
// disk. `added` adds a new block (a new row, a new key) each time; otherwise one of 1,000
// is given new contents of the same length.
constexpr uint32_t kDurableBlocks = 1000;
constexpr size_t kDurableBytes = 100;

// The contents of change `i`.
const std::vector<uint8_t>& Version(uint64_t i) {
    static std::vector<uint8_t> bytes(kDurableBytes);
    for (size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<uint8_t>(i * 31 + k);
    return bytes;
}

uint32_t ChangedId(uint64_t i, bool added) {
    return added ? kDurableBlocks + 1 + static_cast<uint32_t>(i) : 1 + i % kDurableBlocks;
}

void BM_DurableChange_BlockFile(benchmark::State& state) {
    const bool added = state.range(0) != 0;
    const std::string native = ScratchFile("durable.db");
    unlink(native.c_str());
    XBlockFile file;
    file.SetSyncing(false);  // while filling
    if (XBlockFile::Create(("/" + native).c_str()) != 0 ||
        file.Open(("/" + native).c_str(), false) != 0)
        abort();
    for (uint32_t id = 1; id <= kDurableBlocks; ++id)
        file.WriteBlock(id, Version(0).data(), kDurableBytes);
    file.SetSyncing(true);
    file.Flush();
    uint64_t i = 0;
    for (auto _ : state) {
        if (file.WriteBlock(ChangedId(i, added), Version(i).data(), kDurableBytes) != 0)
            abort();
        file.Flush();
        ++i;
    }
    if (file.IOError() != 0)
        abort();
}

void BM_DurableChange_Sqlite(benchmark::State& state) {
    const bool added = state.range(0) != 0;
    const std::string native = ScratchFile("durable.sqlite");
    unlink(native.c_str());
    sqlite3* db = OpenSqlite(native, "PRAGMA synchronous=FULL;");
    sqlite3_exec(db, "CREATE TABLE blocks (id INTEGER PRIMARY KEY, data BLOB); BEGIN;", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO blocks VALUES (?, ?)", -1, &insert, nullptr);
    sqlite3_stmt* update = nullptr;
    sqlite3_prepare_v2(db, "UPDATE blocks SET data = ? WHERE id = ?", -1, &update, nullptr);
    for (uint32_t id = 1; id <= kDurableBlocks; ++id) {
        sqlite3_bind_int64(insert, 1, id);
        sqlite3_bind_blob(insert, 2, Version(0).data(), kDurableBytes, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    uint64_t i = 0;
    for (auto _ : state) {
        // Outside a transaction each statement commits on its own.
        sqlite3_stmt* change = added ? insert : update;
        sqlite3_bind_int64(change, added ? 1 : 2, ChangedId(i, added));
        sqlite3_bind_blob(change, added ? 2 : 1, Version(i).data(), kDurableBytes,
                          SQLITE_TRANSIENT);
        if (sqlite3_step(change) != SQLITE_DONE)
            abort();
        sqlite3_reset(change);
        ++i;
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(update);
    sqlite3_close(db);
}

void BM_DurableChange_Lmdb(benchmark::State& state) {
    const bool added = state.range(0) != 0;
    const std::string native = ScratchFile("durable.lmdb");
    unlink(native.c_str());
    unlink((native + "-lock").c_str());
    Lmdb db(native, 0);
    auto put = [&db](uint32_t id, const std::vector<uint8_t>& bytes) {
        MDB_txn* txn = db.Begin(0);
        MDB_val key = {sizeof id, &id};
        MDB_val value = {bytes.size(), const_cast<uint8_t*>(bytes.data())};
        if (mdb_put(txn, db.dbi, &key, &value, 0) != 0 || mdb_txn_commit(txn) != 0)
            abort();
    };
    MDB_txn* fill = db.Begin(0);
    for (uint32_t id = 1; id <= kDurableBlocks; ++id) {
        MDB_val key = {sizeof id, &id};
        MDB_val value = {kDurableBytes, const_cast<uint8_t*>(Version(0).data())};
        mdb_put(fill, db.dbi, &key, &value, 0);
    }
    if (mdb_txn_commit(fill) != 0)
        abort();
    uint64_t i = 0;
    for (auto _ : state) {
        put(ChangedId(i, added), Version(i));
        ++i;
    }
}

}  // namespace

BENCHMARK(BM_DurableChange_BlockFile)
    ->ArgName("added")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DurableChange_Sqlite)->ArgName("added")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DurableChange_Lmdb)->ArgName("added")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_CAPTURE(BM_Write, Raw, FillRawFile, "write.raw")
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, BlockFile, FillBlockFile, "write.db")
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, Sqlite, FillSqlite, "write.sqlite")
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Write, Lmdb, FillLmdb, "write.lmdb")
    ->Arg(64)
    ->Arg(1024)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawRead)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockFileRead)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteRead)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LmdbRead)->Arg(64)->Arg(1024)->Unit(benchmark::kMillisecond);
