// SPDX-License-Identifier: MIT
// Thousands of random operations checked against two references: a map of the blocks, and
// an allocator that places their slots as the format promises. Every lookup and read is
// compared with the map; the whole file structure, the place of every slot and what the
// structure check reports are compared with the allocator after every flush, reopen,
// compaction and simulated crash. Part of the time the object batches its writes, which must
// change no placement and no byte.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <random>

#include <gtest/gtest.h>

#include <brindle/Debg.h>
#include <brindle/blockfile/XBlockFileCheck.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

using Rec = _XBlockFile_BlockRec;
// The used slots by block ID: (offset, data length + 16).
using Slots = std::map<uint32_t, std::pair<uint32_t, uint32_t>>;

// Where the slots lie: an exact fit first, else the free slot leaving the smallest remainder
// of at least 32 bytes (the first of equals), else the end of the data. A freed slot merges
// with the free slots it touches; compaction packs the blocks in file order. A rewrite
// keeps a block in its slot when the slot keeps its size; otherwise its old slot is freed
// before the new one is chosen, unless the file syncs: then the new slot is chosen first,
// and the old one freed after.
struct ReferenceSpace {
    using Free = std::map<uint32_t, uint32_t>;  // offset -> size
    Slots used;
    Free free;
    uint32_t dataEnd = 8;

    void Release(uint32_t id) {
        FreeSlot(used[id]);
        used.erase(id);
    }
    void FreeSlot(std::pair<uint32_t, uint32_t> slot) {
        const auto at = free.emplace(slot.first, SlotSize(slot.second)).first;
        const auto before = at == free.begin() ? at : std::prev(at);
        Touch(at);
        Touch(before);
    }
    // Merges the free slot after `at` into it if they touch.
    void Touch(Free::iterator at) {
        const auto next = std::next(at);
        if (next != free.end() && at->first + at->second == next->first) {
            at->second += next->second;
            free.erase(next);
        }
    }
    void Write(uint32_t id, uint32_t len, bool syncing) {
        const uint32_t size = SlotSize(len + 16);
        const bool exists = used.count(id) != 0;
        if (exists && !syncing && SlotSize(used[id].second) == size) {
            used[id].second = len + 16;  // rewritten in its own slot
            return;
        }
        const auto old = exists ? used[id] : std::pair<uint32_t, uint32_t>{};
        if (exists && !syncing)
            Release(id);
        auto best = free.end();
        for (auto it = free.begin();
             it != free.end() && (best == free.end() || best->second != size); ++it) {
            if (it->second == size ||
                (it->second >= size + 32 && (best == free.end() || it->second < best->second)))
                best = it;
        }
        uint32_t offset = dataEnd;
        if (best == free.end()) {
            dataEnd += size;
        } else {
            offset = best->first;
            if (best->second > size)
                free[offset + size] = best->second - size;
            free.erase(best);
        }
        used[id] = {offset, len + 16};
        if (exists && syncing)
            FreeSlot(old);
    }
    void Compact() {
        if (free.empty())
            return;
        std::map<uint32_t, uint32_t> byOffset;
        for (const auto& [id, slot] : used)
            byOffset[slot.first] = id;
        dataEnd = 8;
        for (const auto& [offset, id] : byOffset) {
            used[id].first = dataEnd;
            dataEnd += SlotSize(used[id].second);
        }
        free.clear();
    }
};

bool SameRecord(const Rec& a, const Rec& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

class ModelTest : public BlockFileTest {
  protected:
    // Checks that `name` is clean with its slots where `space_` puts them, and that the
    // structure check finds nothing wrong and lists the same records.
    void ExpectLayout(const std::string& name) {
        const Bytes bytes = FileBytes(name);
        DiskLayout layout;
        ASSERT_EQ(CheckCleanFile(bytes, &layout), "");
        Slots slots;
        for (const Rec& rec : layout.used)
            slots[rec.id] = {rec.offset, rec.len};
        ASSERT_EQ(slots, space_.used);
        ASSERT_EQ(FreeSpans(layout), Spans(space_.free.begin(), space_.free.end()));
        ASSERT_EQ(layout.dataEnd, space_.dataEnd);
        XBlockFileCheck check;
        check.ExamineBytes(bytes.data(), bytes.size());
        ASSERT_EQ(check.State(), XBlockFileClean);
        ASSERT_EQ(check.FindingCount(), 0u);
        ASSERT_EQ(check.BlockCount(), layout.used.size());
        ASSERT_EQ(check.FreeCount(), layout.freeSlots.size());
        ASSERT_TRUE(std::equal(layout.used.begin(), layout.used.end(), check.Blocks(), SameRecord));
        ASSERT_TRUE(std::equal(layout.freeSlots.begin(), layout.freeSlots.end(), check.FreeSlots(),
                               SameRecord));
    }

    // A changed file ends just after its end marker (but is never shorter than 16 bytes); while
    // batching, appends held in memory may not have reached it yet.
    void ExpectCut(bool batching) {
        struct stat info;
        ASSERT_EQ(stat(Native("test.db").c_str(), &info), 0);
        const off_t cut = std::max<off_t>(space_.dataEnd + 4, 16);
        if (batching)
            ASSERT_LE(info.st_size, cut);
        else
            ASSERT_EQ(info.st_size, cut);
    }

    ReferenceSpace space_;
};

TEST_F(ModelTest, RandomOperationsMatchTheReferences) {
    class Hooked : public XBlockFile {
      public:
        int flushes = 0;
        int64_t rebuilt = -1;  // the blocks that OnRebuild found

      protected:
        void OnFlush() override { ++flushes; }
        void OnRebuild() override { rebuilt = BlockCount(); }
    };
    std::mt19937 random(12345);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    // Runs `call` with, now and then, one of its first allocations failing; true if one did.
    auto starve = [&below](const std::function<void()>& call) {
        const uint32_t nth = below(8) == 0 ? below(4) + 1 : 0;
        DebgFailAllocation(nth);
        call();
        const bool failed = nth != 0 && DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        return failed;
    };
    State model;
    auto file = std::make_unique<Hooked>();
    file->SetBatching(true);
    CreateAndOpen(file.get());
    const std::string path = Portable("test.db");
    uint32_t version = 0;
    int flushes = 0;     // the flushes that found changes to write, which OnFlush sees
    bool dirty = false;  // changed since the last flush
    int reopens = 0;
    int compactions = 0;
    int crashes = 0;
    for (int step = 0; step < 6000 && !HasFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const uint32_t roll = below(1000);
        const uint32_t id = below(600) * 7163311u;  // from 0 to near 2^32
        int32_t result = 0;
        if (roll < 450) {
            // Now and then a block too large to wait in memory while batching.
            uint32_t len = below(10) == 0 ? below(4097) : below(300);
            if (below(1000) == 0)
                len = 65536 + below(8192);
            auto existing = model.find(id);
            if (existing != model.end() && below(4) == 0)
                len = static_cast<uint32_t>(existing->second.size());  // in-place rewrite
            // Only a rewrite with the same length, and without syncing, leaves a clean file
            // clean.
            const bool changes =
                existing == model.end() || existing->second.size() != len || file->IsSyncing();
            ASSERT_EQ(file->WriteBlock(id, nullptr, 1), -1);
            ASSERT_EQ(file->WriteBlock(id, "x", 0x7FFFFFF0), -1) << "too long to report";
            const Bytes bytes = Pattern(id, ++version, len);
            const bool starved = starve([&] { result = file->WriteBlock(id, bytes.data(), len); });
            ASSERT_EQ(result, starved ? -1 : 0);
            if (starved)
                continue;  // and nothing changed
            model[id] = bytes;
            space_.Write(id, len, file->IsSyncing());
            dirty = dirty || changes;
            if (dirty)
                ExpectCut(file->IsBatching());
            else
                ExpectLayout("test.db");
        } else if (roll < 650) {
            const bool starved = starve([&] { result = file->DeleteBlock(id); });
            ASSERT_EQ(result, model.count(id) != 0 && !starved ? 1 : -1);
            if (result == 1) {
                model.erase(id);
                space_.Release(id);
                dirty = true;
                ExpectCut(file->IsBatching());
            }
        } else if (roll < 850) {
            // Lookups by ID and by position; reads whole (without memory for the copy, they fail),
            // into a buffer that may be too short (it gets the first bytes), or with growing the
            // file's mapping failing (they read through file calls). Now and then batching is
            // turned on or off, which sends what is held.
            if (below(40) == 0)
                file->SetBatching(!file->IsBatching());
            const auto at = model.lower_bound(id);
            const uint32_t pos = static_cast<uint32_t>(std::distance(model.begin(), at));
            const bool present = at != model.end() && at->first == id;
            const int32_t len = present ? static_cast<int32_t>(at->second.size()) : -1;
            ASSERT_EQ(file->BlockLen(id), len);
            ASSERT_EQ(file->BlockExists(id), present);
            ASSERT_EQ(file->IsUnique(id), !present);
            ASSERT_TRUE(file->IsUnique(file->UniqueID()));
            std::optional<Bytes> whole;
            const bool starved = starve([&] { whole = BlockBytes(*file, id); });
            ASSERT_EQ(whole, present && !starved ? std::optional(at->second) : std::nullopt);
            ASSERT_EQ(file->ReadBlock(id, nullptr, 1), len == 0 ? 0 : -1);
            Bytes buf(below(600));
            DebgFailAllocation(below(2));
            result = file->ReadIndBlock(pos, buf.data(), static_cast<uint32_t>(buf.size()));
            DebgFailAllocation(0);
            uint32_t idAt = 0;
            if (at == model.end()) {
                ASSERT_EQ(result, -1);
                ASSERT_EQ(file->GetIndBlockID(pos, &idAt), -1);
                ASSERT_EQ(file->IndBlockLen(pos), -1);
            } else {
                ASSERT_EQ(result, static_cast<int32_t>(std::min(buf.size(), at->second.size())));
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + result, at->second.begin()));
                ASSERT_EQ(file->GetIndBlockID(pos, &idAt), 0);
                ASSERT_EQ(idAt, at->first);
                ASSERT_EQ(file->IndBlockLen(pos), static_cast<int32_t>(at->second.size()));
            }
        } else if (roll < 900) {
            // Without memory for its buffer, the index goes out in small pieces.
            DebgFailAllocation(below(2));
            file->Flush();
            DebgFailAllocation(0);
            flushes += dirty;
            dirty = false;
            ASSERT_EQ(file->flushes, flushes);
            ExpectLayout("test.db");
        } else if (roll < 950) {
            file->Close();
            flushes += dirty;
            dirty = false;
            ExpectLayout("test.db");
            // Without memory for the index, Open fails; without it for the mapping, it
            // reads through file calls. Syncing or not, as the object was set before.
            const bool readOnly = below(2) == 0;
            file->SetSyncing(below(2) == 0);
            file->SetBatching(below(2) == 0);
            if (starve([&] { result = file->Open(path.c_str(), readOnly); }) && result != 0) {
                ASSERT_EQ(result, ENOMEM);
                result = file->Open(path.c_str(), readOnly);
            }
            ASSERT_EQ(result, 0);
            ASSERT_EQ(file->IsReadOnly(), readOnly);
            ExpectHolds(*file, model);
            // Beside a writer nobody opens the file, beside a reader only readers.
            XBlockFile second;
            ASSERT_EQ(second.Open(path.c_str(), false), EAGAIN);
            ASSERT_EQ(second.Open(path.c_str(), true), readOnly ? 0 : EAGAIN);
            second.Close();
            if (readOnly) {
                // Changes are refused, which is no I/O error, and the file stays as it was.
                const Bytes before = FileBytes();
                ASSERT_EQ(file->WriteBlock(id, "x", 1), -1);
                ASSERT_EQ(file->DeleteBlock(model.empty() ? id : model.begin()->first), -1);
                file->Compact(false);
                file->Flush();
                ASSERT_EQ(file->IOError(), 0);
                file->Close();
                ASSERT_EQ(FileBytes(), before);
                ASSERT_EQ(file->Open(path.c_str(), false), 0);
            }
            ASSERT_EQ(file->flushes, flushes);
            ++reopens;
        } else if (roll < 975) {
            // Without memory for its list of blocks, its first allocation, a compaction does
            // nothing.
            const Bytes before = FileBytes();
            const bool starved = below(4) == 0;
            DebgFailAllocation(starved ? 1 : 0);
            file->Compact(false);
            DebgFailAllocation(0);
            const bool reclaims = !space_.free.empty() && !starved;
            if (!reclaims) {
                ASSERT_EQ(FileBytes(), before) << "nothing reclaimed: not even flushed";
            }
            if (reclaims)
                space_.Compact();
            file->Flush();
            flushes += reclaims || dirty;  // by the compaction, or else by the Flush
            dirty = false;
            ASSERT_EQ(file->flushes, flushes);
            ExpectLayout("test.db");
            ExpectHolds(*file, model);
            ++compactions;
        } else {
            // What a crash would leave: the file as it stands, opened by another object. A
            // file without an index opens only read-write, which rebuilds the index. What is
            // held goes out first (see the crash tests for what a crash while batching keeps).
            if (file->IsBatching()) {
                file->SetBatching(false);
                file->SetBatching(true);
            }
            const Bytes crashed = FileBytes();
            WriteFileBytes(Native("crash.db"), crashed);
            XBlockFileCheck predicted;
            predicted.ExamineBytes(crashed.data(), crashed.size());
            auto recovered = std::make_unique<Hooked>();
            const std::string crash = Portable("crash.db");
            ASSERT_EQ(recovered->Open(crash.c_str(), true), dirty ? -1 : 0);
            recovered->Close();
            // Without memory, the rebuild fails and leaves the file as it was.
            if (starve([&] { result = recovered->Open(crash.c_str(), false); }) && result != 0) {
                ASSERT_EQ(result, ENOMEM);
                ASSERT_EQ(FileBytes("crash.db"), crashed);
                result = recovered->Open(crash.c_str(), false);
            }
            ASSERT_EQ(result, 0);
            ASSERT_EQ(recovered->rebuilt, dirty ? static_cast<int64_t>(model.size()) : -1);
            ASSERT_EQ(ServedBlocks(*recovered), CheckedBlocks(predicted));
            ExpectLayout("crash.db");
            ExpectHolds(*recovered, model);
            ++crashes;
            // Now and then the work goes on in the recovered file, so that the slots a rebuilt
            // index and free list choose are checked too.
            if (below(2) == 0) {
                file->Close();
                ASSERT_EQ(rename(Native("crash.db").c_str(), Native("test.db").c_str()), 0);
                file = std::move(recovered);
                flushes = file->flushes;
                dirty = false;
            }
        }
    }
    EXPECT_GT(reopens, 100);
    EXPECT_GT(compactions, 50);
    EXPECT_GT(crashes, 50);
}

// Batching changes when bytes reach the file, never which: two objects, one of them
// batching, make the same changes in phases of mostly writes, mostly deletions and a mix,
// read the same blocks after each, and leave the same bytes at every flush and compaction,
// with syncing and without.
TEST_F(ModelTest, BatchingWritesTheSameBytes) {
    for (const bool syncing : {false, true}) {
        SCOPED_TRACE(syncing ? "syncing" : "not syncing");
        std::mt19937 random(syncing ? 7 : 8);
        auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        XBlockFile plain;
        XBlockFile batched;
        batched.SetBatching(true);
        ASSERT_TRUE(batched.IsBatching());
        for (XBlockFile* file : {&plain, &batched})
            file->SetSyncing(syncing);
        const std::string plainName = syncing ? "plain-synced.db" : "plain.db";
        const std::string batchedName = syncing ? "batched-synced.db" : "batched.db";
        CreateAndOpen(&plain, plainName);
        CreateAndOpen(&batched, batchedName);
        for (int step = 0; step < 3000 && !HasFailure(); ++step) {
            const uint32_t writeShare = step / 250 % 3 == 0 ? 85 : step / 250 % 3 == 1 ? 10 : 50;
            const uint32_t roll = below(100);
            const uint32_t id = below(400);
            if (roll < writeShare) {
                const Bytes bytes = Pattern(id, step, below(6) == 0 ? below(2000) : below(100));
                const uint32_t len = static_cast<uint32_t>(bytes.size());
                ASSERT_EQ(batched.WriteBlock(id, bytes.data(), len),
                          plain.WriteBlock(id, bytes.data(), len));
            } else if (roll < 96) {
                ASSERT_EQ(batched.DeleteBlock(id), plain.DeleteBlock(id));
            } else {
                for (XBlockFile* file : {&plain, &batched}) {
                    if (roll < 99)
                        file->Flush();
                    else
                        file->Compact(false);
                }
                ASSERT_EQ(FileBytes(batchedName), FileBytes(plainName));
            }
            ASSERT_EQ(BlockBytes(batched, id), BlockBytes(plain, id));
        }
        plain.Close();
        batched.Close();
        ASSERT_EQ(batched.IOError(), 0);
        ASSERT_EQ(FileBytes(batchedName), FileBytes(plainName));
        ASSERT_TRUE(batched.IsBatching()) << "kept across Close";
    }
}

}  // namespace
}  // namespace blockfile_test
