// Treats the input as the bytes of a block file found on disk: opens it read-only and
// read-write, reads every block, writes, deletes and compacts, and checks that whatever the
// library leaves behind reopens with exactly the blocks it should hold.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "ScratchFile.h"
#include "brindle/blockfile/XBlockFile.h"

namespace {

using Blocks = std::map<uint32_t, std::vector<uint8_t>>;

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

// A little deterministic noise from the input, to vary the operations.
uint32_t Mix(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteScratch(data, size);
    const char* path = ScratchPath().c_str();

    XBlockFile reader;
    bool readable = reader.Open(path, true) == 0;
    Blocks seen;
    if (readable) {
        seen = ReadAll(reader);
        reader.Close();
    }

    XBlockFile file;
    if (file.Open(path, false) != 0) {
        Check(!readable);  // a file that opens read-only opens read-write too
        return 0;
    }
    Blocks blocks = ReadAll(file);
    if (readable)
        Check(blocks == seen);
    Check(blocks.size() == file.BlockCount());

    uint32_t noise = Mix(data, size);
    std::vector<uint8_t> bytes(noise % 700);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(noise >> (i % 24));
    uint32_t id = noise % 64;
    Check(file.WriteBlock(id, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0);
    blocks[id] = bytes;
    if (!blocks.empty()) {
        uint32_t victim = std::next(blocks.begin(), noise % blocks.size())->first;
        Check(file.DeleteBlock(victim) == 1);
        blocks.erase(victim);
    }
    if (!blocks.empty()) {
        auto& grown = *blocks.begin();
        grown.second.resize(grown.second.size() + 17, 0x5A);
        Check(file.WriteBlock(grown.first, grown.second.data(),
                              static_cast<uint32_t>(grown.second.size())) == 0);
    }
    if (noise & 1)
        file.Compact(false);
    Check(ReadAll(file) == blocks);
    file.Close();

    XBlockFile check;
    Check(check.Open(path, true) == 0);
    Check(ReadAll(check) == blocks);
    return 0;
}
