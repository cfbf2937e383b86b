// SPDX-License-Identifier: MIT
// Treats the input as the bytes of a block file and checks it, in memory and on disk; then
// holds the check to what XBlockFile does with the same bytes: a file whose index the check
// calls usable opens read-only and serves exactly the blocks the check listed, and any other
// (non-foreign) file, rebuilt by a read-write open, serves exactly the blocks the check
// predicted for it, and a rebuild forced on a file whose index opens keeps as many blocks as
// the check counted for that.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "ScratchFile.h"
#include "brindle/blockfile/XBlockFile.h"
#include "brindle/blockfile/XBlockFileCheck.h"

namespace {

using IdLens = std::vector<std::pair<uint32_t, uint32_t>>;

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The blocks the check lists, after checking that the lists are in order and that every
// slot lies inside the data.
IdLens CheckedBlocks(const XBlockFileCheck& check) {
    IdLens blocks;
    for (uint32_t i = 0; i < check.BlockCount(); ++i) {
        const _XBlockFile_BlockRec& rec = check.Blocks()[i];
        Check(i == 0 || rec.id > check.Blocks()[i - 1].id);
        Check(rec.len >= 16 && rec.offset % 16 == 8 &&
              rec.offset + uint64_t{rec.len} <= check.DataEnd());
        blocks.emplace_back(rec.id, rec.len - 16);
    }
    for (uint32_t i = 0; i < check.FreeCount(); ++i) {
        const _XBlockFile_BlockRec& rec = check.FreeSlots()[i];
        Check(i == 0 || rec.offset > check.FreeSlots()[i - 1].offset);
        Check(rec.len >= 16 && rec.len % 16 == 0 &&
              rec.offset + uint64_t{rec.len} <= check.DataEnd());
    }
    for (uint32_t i = 0; i < check.FindingCount(); ++i)
        Check(check.Findings()[i].offset <= check.FileSize());
    Check(check.DataEnd() <= check.FileSize());
    return blocks;
}

IdLens ServedBlocks(const XBlockFile& file) {
    IdLens blocks;
    for (uint32_t pos = 0; pos < file.BlockCount(); ++pos) {
        uint32_t id = 0;
        Check(file.GetIndBlockID(pos, &id) == 0);
        blocks.emplace_back(id, static_cast<uint32_t>(file.IndBlockLen(pos)));
    }
    return blocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    XBlockFileCheck inMemory;
    inMemory.ExamineBytes(bytes.data(), bytes.size());
    IdLens predicted = CheckedBlocks(inMemory);
    WriteScratch(bytes.data(), bytes.size());
    const char* path = ScratchPath().c_str();
    XBlockFileCheck onDisk;
    Check(onDisk.Examine(path) == 0);
    Check(onDisk.State() == inMemory.State() && CheckedBlocks(onDisk) == predicted &&
          onDisk.FindingCount() == inMemory.FindingCount());
    if (inMemory.State() == XBlockFileForeign) {
        XBlockFile file;
        Check(file.Open(path, false) != 0);
        return 0;
    }

    XBlockFile file;
    Check((file.Open(path, true) == 0) == inMemory.IndexUsable());
    if (!inMemory.IndexUsable())
        Check(file.Open(path, false) == 0);
    Check(ServedBlocks(file) == predicted);
    file.Close();
    XBlockFileCheck after;
    Check(after.Examine(path) == 0);
    Check(after.State() == (inMemory.IndexUsable() ? inMemory.State() : XBlockFileClean));
    Check(CheckedBlocks(after) == predicted);
    // A rebuild forced on a file whose index opens (its trailer magic gone) keeps as many
    // blocks as the check counted.
    if (inMemory.IndexUsable()) {
        memset(&bytes[size - 4], 0, 4);
        WriteScratch(bytes.data(), bytes.size());
        Check(file.Open(path, false) == 0 && file.BlockCount() == inMemory.RebuildBlockCount());
    }
    return 0;
}
