// SPDX-License-Identifier: MIT
// Helpers shared by the block file tests: a scratch directory, raw file access and a
// checker that reads a clean block file byte by byte and verifies its whole structure.
#ifndef BRINDLE_TESTS_BLOCKFILE_BLOCKFILETESTSUPPORT_H_
#define BRINDLE_TESTS_BLOCKFILE_BLOCKFILETESTSUPPORT_H_

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/blockfile/XBlockFile.h>
#include <brindle/blockfile/XBlockFileCheck.h>

namespace blockfile_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFileBytes(const std::string& native) {
    std::ifstream file(native, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// Writes a new file: a file truncated and rewritten is written out to disk at once on some
// file systems, which would make the tests wait on the disk.
inline void WriteFileBytes(const std::string& native, const Bytes& bytes) {
    unlink(native.c_str());
    std::ofstream file(native, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    ASSERT_TRUE(file.good()) << native;
}

inline uint32_t Le32(const Bytes& bytes, size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

inline void PutLe32(Bytes* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline _XBlockFile_BlockRec RecordAt(const Bytes& bytes, size_t at) {
    return {Le32(bytes, at), Le32(bytes, at + 4), Le32(bytes, at + 8), Le32(bytes, at + 12)};
}

inline uint32_t SlotSize(uint32_t len) {
    return (len + 15) & ~15u;
}

// Bytes of a block that depend on its ID, a version and the position.
inline Bytes Pattern(uint32_t id, uint32_t version, uint32_t len) {
    Bytes bytes(len);
    uint32_t state = id * 2654435761u ^ version * 40503u ^ 0x9E3779B9u;
    for (uint32_t i = 0; i < len; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(state >> 24);
    }
    return bytes;
}

// The structure of a clean file as read from its bytes.
struct DiskLayout {
    uint32_t dataEnd = 0;
    std::vector<_XBlockFile_BlockRec> used;
    std::vector<_XBlockFile_BlockRec> freeSlots;
};

// The (offset, size) of each free slot, in file order.
using Spans = std::vector<std::pair<uint32_t, uint32_t>>;
inline Spans FreeSpans(const DiskLayout& layout) {
    Spans spans;
    for (const auto& rec : layout.freeSlots)
        spans.emplace_back(rec.offset, rec.len);
    return spans;
}

// Parses a clean block file and checks everything the format promises: the magic at both
// ends, the trailer, sorted records, slot headers on disk equal to the records, and every
// byte from 8 to dataEnd covered by exactly one slot. Returns "" or what is wrong.
inline std::string CheckCleanFile(const Bytes& bytes, DiskLayout* layout) {
    if (bytes.size() < 28 || Le32(bytes, 0) != 0x45766141 || Le32(bytes, 4) != 0)
        return "bad header";
    if (Le32(bytes, bytes.size() - 4) != 0x45766141)
        return "no trailer";
    uint64_t indexOffset = Le32(bytes, bytes.size() - 8);
    if (indexOffset < 12 || indexOffset + 16 > bytes.size())
        return "bad index offset";
    layout->dataEnd = static_cast<uint32_t>(indexOffset - 4);
    if (Le32(bytes, layout->dataEnd) != 0xFFFFFFFF)
        return "no end marker";
    uint64_t at = indexOffset;
    for (auto* list : {&layout->used, &layout->freeSlots}) {
        if (at + 4 > bytes.size())
            return "index runs past the end";
        uint32_t count = Le32(bytes, at);
        at += 4;
        if (at + uint64_t{count} * 16 > bytes.size())
            return "records run past the end";
        list->clear();
        for (uint32_t i = 0; i < count; ++i, at += 16)
            list->push_back(RecordAt(bytes, at));
    }
    if (at + 8 != bytes.size())
        return "index area size does not match the file";
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (const auto* list : {&layout->used, &layout->freeSlots}) {
        const bool used = list == &layout->used;
        for (size_t i = 0; i < list->size(); ++i) {
            const auto& rec = (*list)[i];
            const auto* previous = i > 0 ? &(*list)[i - 1] : nullptr;
            if (previous != nullptr &&
                (used ? rec.id <= previous->id : rec.offset <= previous->offset))
                return "records not in ascending order of ID (used) or offset (free)";
            if ((rec.freeFlag == 0) != used || rec.len < 16 || (!used && rec.len % 16 != 0))
                return "bad record at " + std::to_string(rec.offset);
            if (uint64_t{rec.offset} + 16 > layout->dataEnd)
                return "record outside the data";
            // A used slot's header equals its record; a free slot's header may carry any
            // non-zero flag and any length that rounds up to its size.
            const _XBlockFile_BlockRec header = RecordAt(bytes, rec.offset);
            if (used ? memcmp(&header, &rec, sizeof rec) != 0
                     : header.offset != rec.offset || header.freeFlag == 0 ||
                           SlotSize(header.len) != rec.len)
                return "slot header differs from its record at " + std::to_string(rec.offset);
            spans.emplace_back(rec.offset, SlotSize(rec.len));
        }
    }
    std::sort(spans.begin(), spans.end());
    uint64_t covered = 8;
    for (const auto& span : spans) {
        if (span.first != covered)
            return "slots leave a gap or overlap at " + std::to_string(covered);
        covered += span.second;
    }
    if (covered != layout->dataEnd)
        return "slots do not end at the end marker";
    return "";
}

// A scratch directory for one test, removed with everything in it afterwards. It lies on a
// memory file system where there is one: the tests make every sync the library makes, and
// a disk would only make them wait for each (what a power cut keeps is tested by replaying
// the recorded file calls, not by the disk).
class BlockFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                              "/brindle-blockfile-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    std::string Native(const std::string& name) const { return dir_ + "/" + name; }
    std::string Portable(const std::string& name) const { return "/" + Native(name); }

    // Creates `name` and opens it read-write in `file`.
    void CreateAndOpen(XBlockFile* file, const std::string& name = "test.db") {
        ASSERT_EQ(XBlockFile::Create(Portable(name).c_str()), 0);
        ASSERT_EQ(file->Open(Portable(name).c_str(), false), 0);
    }

    Bytes FileBytes(const std::string& name = "test.db") const {
        return ReadFileBytes(Native(name));
    }

    std::string dir_;
};

// Reads a whole block through ReadBlock_NF; nothing when it cannot.
inline std::optional<Bytes> BlockBytes(const XBlockFile& file, uint32_t id) {
    uint32_t len = 0;
    void* data = file.ReadBlock_NF(id, &len);
    if (data == nullptr)
        return std::nullopt;
    Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
    free(data);
    return bytes;
}

// The IDs and data lengths of the blocks `file` serves, in ID order.
inline std::vector<std::pair<uint32_t, uint32_t>> ServedBlocks(const XBlockFile& file) {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (uint32_t pos = 0; pos < file.BlockCount(); ++pos) {
        uint32_t id = 0;
        EXPECT_EQ(file.GetIndBlockID(pos, &id), 0);
        blocks.emplace_back(id, static_cast<uint32_t>(file.IndBlockLen(pos)));
    }
    return blocks;
}

// The IDs and data lengths of the blocks the check says the file serves (after a rebuild,
// where its index is not usable).
inline std::vector<std::pair<uint32_t, uint32_t>> CheckedBlocks(const XBlockFileCheck& check) {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (uint32_t i = 0; i < check.BlockCount(); ++i)
        blocks.emplace_back(check.Blocks()[i].id, check.Blocks()[i].len - 16);
    return blocks;
}

// Opens the file named by the portable `path` read-write, as after a crash, and checks that
// it then serves exactly the blocks XBlockFileCheck predicted for it; the result of Open.
inline int32_t OpenAsPredicted(XBlockFile* file, const std::string& path) {
    XBlockFileCheck check;
    EXPECT_EQ(check.Examine(path.c_str()), 0);
    const int32_t result = file->Open(path.c_str(), false);
    if (result == 0) {
        EXPECT_EQ(ServedBlocks(*file), CheckedBlocks(check)) << "the check predicted otherwise";
    }
    return result;
}

inline void WriteBytes(XBlockFile* file, uint32_t id, const Bytes& bytes) {
    ASSERT_EQ(file->WriteBlock(id, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
}

// Whether `actual` is one of the versions a block may hold. A rewrite with the block's
// exact length changes only the data, in place, so a crash or a failure in the middle of
// that write may leave the front of one version before the rest of another.
inline bool IsOneVersion(const Bytes& actual, const std::set<Bytes>& versions) {
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

// The blocks a file should hold, by ID.
using State = std::map<uint32_t, Bytes>;

// Checks that `file` holds exactly the blocks of `state`, each at the position of its ID.
inline void ExpectHolds(const XBlockFile& file, const State& state) {
    ASSERT_EQ(file.BlockCount(), state.size());
    uint32_t pos = 0;
    for (const auto& [id, bytes] : state) {
        uint32_t atPos = 0;
        ASSERT_EQ(file.GetIndBlockID(pos, &atPos), 0);
        ASSERT_EQ(atPos, id);
        uint32_t len = 0;
        void* data = file.ReadIndBlock_NF(pos++, &len);
        ASSERT_NE(data, nullptr) << "block " << id;
        const Bytes read(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
        free(data);
        ASSERT_EQ(read, bytes) << "block " << id;
    }
}

// Checks that `file` holds `state`, but for block `id`, which may hold any of `versions` (see
// IsOneVersion) or, if `mayBeAbsent`, be absent.
inline void ExpectHoldsButOne(const XBlockFile& file, State state, uint32_t id,
                              const std::set<Bytes>& versions, bool mayBeAbsent) {
    const std::optional<Bytes> changed = BlockBytes(file, id);
    EXPECT_TRUE(changed ? IsOneVersion(*changed, versions) : mayBeAbsent) << "block " << id;
    state.erase(id);
    if (changed)
        state[id] = *changed;
    ExpectHolds(file, state);
}

}  // namespace blockfile_test

#endif  // BRINDLE_TESTS_BLOCKFILE_BLOCKFILETESTSUPPORT_H_
