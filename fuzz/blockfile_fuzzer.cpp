// SPDX-License-Identifier: MIT
// Treats the input as the bytes of a block file found on disk, after a first byte that
// chooses a file call to fail: opens the file read-only and read-write, reads every block,
// writes, deletes and compacts with the fault armed, and checks that whatever the library
// leaves behind reopens with the blocks it should hold: every block as the model says,
// except that one whose change was reported failed may hold what it held before or after.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ScratchFile.h"
#include "brindle/Debg.h"
#include "brindle/blockfile/XBlockFile.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Blocks = std::map<uint32_t, Bytes>;
// What each block may hold: its contents, or nothing when it may be absent.
using Possible = std::map<uint32_t, std::set<std::optional<Bytes>>>;

// The faults the first input byte chooses from: its top three bits pick one, its low five
// bits the file call (0: no fault).
struct Fault {
    int32_t error;
    uint32_t flags;
    bool reported;  // whether the library must report it
};
const Fault kFaults[8] = {
    {EIO, 0, true},
    {ENOSPC, 0, true},
    {EINTR, 0, false},
    {0, DebgFilePartial, false},
    {EIO, DebgFilePartial, true},
    {EIO, DebgFileSticky, true},
    {EIO, DebgFileSticky | DebgFilePartial, true},
    {ENOSPC, DebgFileSticky, true},
};

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Reads every block in every way the interface offers; they must agree.
Blocks ReadAll(const XBlockFile& file) {
    Blocks blocks;
    uint32_t previous = 0;
    for (uint32_t pos = 0; pos < file.BlockCount(); ++pos) {
        uint32_t id = 0;
        Check(file.GetIndBlockID(pos, &id) == 0);
        Check(pos == 0 || id > previous);
        previous = id;
        int32_t len = file.IndBlockLen(pos);
        Check(len >= 0 && file.BlockLen(id) == len);
        uint32_t wholeLen = 0;
        void* whole = file.ReadIndBlock_NF(pos, &wholeLen);
        Check(wholeLen == static_cast<uint32_t>(len));
        uint8_t head[32];
        int32_t headLen = file.ReadBlock(id, head, sizeof head);
        if (whole != nullptr) {
            const uint8_t* bytes = static_cast<const uint8_t*>(whole);
            blocks[id].assign(bytes, bytes + wholeLen);
            Check(headLen == std::min<int32_t>(len, sizeof head));
            Check(memcmp(head, whole, static_cast<size_t>(headLen)) == 0);
            free(whole);
        }
    }
    return blocks;
}

// Whether `actual` is one of `versions`, or for a rewrite in place cut short, the front of
// one before the rest of another of the same length.
bool IsOneOf(const std::optional<Bytes>& actual, const std::set<std::optional<Bytes>>& versions) {
    if (versions.count(actual))
        return true;
    for (const auto& front : versions) {
        for (const auto& back : versions) {
            if (!actual || !front || !back || front->size() != actual->size() ||
                back->size() != actual->size())
                continue;
            size_t split = 0;
            while (split < actual->size() && (*actual)[split] == (*front)[split])
                ++split;
            if (std::equal(actual->begin() + split, actual->end(), back->begin() + split))
                return true;
        }
    }
    return false;
}

// Checks the blocks that `file` holds against what they may hold.
void CheckPossible(const XBlockFile& file, const Possible& possible) {
    Blocks blocks = ReadAll(file);
    for (const auto& [id, versions] : possible) {
        auto found = blocks.find(id);
        Check(IsOneOf(found == blocks.end() ? std::nullopt : std::optional<Bytes>(found->second),
                      versions));
    }
    for (const auto& block : blocks)
        Check(possible.count(block.first) != 0);
}

// Whether the slot headers of a clean file tell what its index does: a copy cut at the end
// marker, as a crash leaves it, rebuilds to the same blocks. Only then can the file survive
// a fault that strikes once its index is cut off (Open checks the index, not the headers).
bool HeadersAgree(const uint8_t* data, size_t size, const Blocks& blocks) {
    uint32_t indexOffset = 0;
    memcpy(&indexOffset, data + size - 8, 4);  // little-endian, as the hosts this runs on
    WriteScratch(data, indexOffset);
    XBlockFile copy;
    const bool agree = copy.Open(ScratchPath().c_str(), false) == 0 && ReadAll(copy) == blocks;
    copy.Close();
    WriteScratch(data, size);
    return agree;
}

// A little deterministic noise from the input, to vary the operations.
uint32_t Mix(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t selector = size != 0 ? data[0] : 0;
    if (size != 0) {
        ++data;
        --size;
    }
    WriteScratch(data, size);
    const char* path = ScratchPath().c_str();

    XBlockFile reader;
    bool readable = reader.Open(path, true) == 0;
    Blocks seen;
    if (readable) {
        seen = ReadAll(reader);
        reader.Close();
    }
    const bool agree = !readable || HeadersAgree(data, size, seen);

    XBlockFile file;
    if (file.Open(path, false) != 0) {
        Check(!readable);  // a file that opens read-only opens read-write too
        return 0;
    }
    Blocks blocks = ReadAll(file);
    if (readable)
        Check(blocks == seen);
    Check(blocks.size() == file.BlockCount());
    Possible possible;
    for (const auto& block : blocks)
        possible[block.first] = {block.second};

    const Fault& fault = kFaults[selector >> 5];
    const uint32_t nth = selector & 31;
    DebgFailFileCall(nth, fault.error, fault.flags);
    bool reportedFailure = false;
    // Runs one change of block `id` to `after` (nothing: deleted) and updates the model: a
    // change reported as failed leaves the block as it was or as it would be.
    auto change = [&](uint32_t id, std::optional<Bytes> after, bool succeeded) {
        const bool untouched = !succeeded && reportedFailure;
        reportedFailure = reportedFailure || !succeeded;
        if (succeeded)
            possible[id] = {after};
        else if (!untouched)
            possible[id].insert(after);
    };

    uint32_t noise = Mix(data, size);
    Bytes bytes(noise % 700);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(noise >> (i % 24));
    uint32_t id = noise % 64;
    if (!possible.count(id))
        possible[id] = {std::nullopt};
    change(id, bytes, file.WriteBlock(id, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0);
    blocks[id] = bytes;
    uint32_t victim = std::next(blocks.begin(), noise % blocks.size())->first;
    change(victim, std::nullopt, file.DeleteBlock(victim) == 1);
    blocks.erase(victim);
    if (!blocks.empty()) {
        auto& grown = *blocks.begin();
        grown.second.resize(grown.second.size() + 17, 0x5A);
        change(grown.first, grown.second,
               file.WriteBlock(grown.first, grown.second.data(),
                               static_cast<uint32_t>(grown.second.size())) == 0);
    }
    if (noise & 1)
        file.Compact(false);
    const bool fired = nth != 0 && DebgPendingFileCallFailure() == 0;
    DebgFailFileCall(0, 0, 0);
    // Every file call made here changes the file, so every fault that must be reported is.
    reportedFailure = reportedFailure || file.IOError() != 0;
    Check(reportedFailure ? fired && fault.reported : !fired || !fault.reported);
    CheckPossible(file, possible);
    file.Close();

    // Reopened, after Close or as a crash would leave the file, it holds the same; a file
    // whose headers disagree with its index is rebuilt from them after a failure, and then
    // only has to be consistent. It always opens read-write: even a write cut short just
    // after block bytes that read "AavE", which look like a trailer, is rebuilt.
    XBlockFile check;
    Check(check.Open(path, false) == 0);
    if (agree || !reportedFailure)
        CheckPossible(check, possible);
    const Blocks reopened = ReadAll(check);
    check.Close();
    Check(check.Open(path, true) == 0);
    Check(ReadAll(check) == reopened);
    return 0;
}
