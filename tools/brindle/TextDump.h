// SPDX-License-Identifier: MIT
// Readable renderings of the library's byte formats: a flattened store, a blob set, and a
// hex dump for anything else. Every function takes untrusted bytes and writes text; none
// reads outside the bytes it is given.
#ifndef BRINDLE_TOOLS_BRINDLE_TEXTDUMP_H_
#define BRINDLE_TOOLS_BRINDLE_TEXTDUMP_H_

#include <stdint.h>
#include <stdio.h>

#include <vector>

namespace cli {

// Writes the store in `bytes` (either byte order; converted in place) one entry a line:
//     # store: 2 entries, 64 bytes, little-endian
//     "name": int 5, 6
// or, with `json`, as the JSON object that `brindle store from-json` reads back. Returns
// kExitOk; kExitNo when the store is not well formed or parts of it cannot be shown (what
// can be read is shown, the rest marked in the text, and all of it named on stderr); or
// kExitFailed when `bytes` have no store header that fits them (nothing written).
// Bytes that a damaged store uses twice are not shown twice: the text and the time taken
// stay within a fixed multiple of the store's size.
int DumpStore(std::vector<uint8_t>* bytes, bool json, FILE* out);

// Writes the blob set in `bytes` one blob a line: "name": 3 bytes 010203; or, with `json`, as
// the JSON object {"blobs": [{"name": "name", "size": 3, "hex": "010203"}, ...]}, in name
// order. kExitFailed, with nothing written, when `bytes` is not a blob set.
int DumpBlobs(const std::vector<uint8_t>& bytes, bool json, FILE* out);

// Writes `size` bytes as lines of 16: offset, hex bytes, printable characters.
void DumpHex(const uint8_t* data, size_t size, FILE* out);

// What `bytes` are: "store", "blob set" or, for anything else, "bytes".
const char* KindOf(const std::vector<uint8_t>& bytes);

// Writes `bytes` as what KindOf finds them to be: a store, a blob set or a hex dump.
// Returns as DumpStore.
int DumpAny(std::vector<uint8_t>* bytes, FILE* out);

// Writes `text` of `length` bytes as a JSON string: quoted, with quotes, backslashes and
// control characters escaped; other bytes as they are.
void PutQuoted(const char* text, size_t length, FILE* out);

// Writes `size` bytes as lower-case hex, two digits each.
void PutHex(const uint8_t* data, size_t size, FILE* out);

}  // namespace cli

#endif  // BRINDLE_TOOLS_BRINDLE_TEXTDUMP_H_
