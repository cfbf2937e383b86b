// SPDX-License-Identifier: MIT
// Drives the brindle tool's JSON reader and store printer. The first byte of an input picks
// what the rest is:
//   even: JSON. When it builds a store, that store printed as JSON must build a store that
//         prints the same, and the store must print as text as well.
//   odd:  a store buffer, printed as text, as JSON, as a blob set and as whatever it is.
//         With bit 1 set, its header first gets the store magic (in the byte order bit 2
//         picks) and its true size, so that the printer gets past the header.
// Whatever the bytes, every printing stays within a fixed multiple of their size. Each
// buffer printed lives in a heap block of exactly its size, so that any read beyond it is
// caught.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "Cli.h"
#include "StoreJson.h"
#include "TextDump.h"

namespace {

// The most text one byte of input may print as (six for a control character escaped in a
// name or text, with room for each entry's and each value's punctuation), and the most any
// input prints beyond that (a header line, the hex dump of a few bytes).
constexpr size_t kTextPerByte = 8;
constexpr size_t kTextBeyond = 256;

void Check(bool condition) {
    if (!condition)
        abort();
}

// The text that `print` writes to its stream, checked against the size of `bytes`.
template <typename Print>
std::string Printed(const std::vector<uint8_t>& bytes, Print print) {
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    Check(out != nullptr);
    print(out);
    Check(fclose(out) == 0);
    std::string result(text, length);
    free(text);
    Check(result.size() <= kTextPerByte * bytes.size() + kTextBeyond);
    return result;
}

// The store in `flat` as JSON, which must print without a fault.
std::string AsJson(std::vector<uint8_t> flat) {
    return Printed(flat,
                   [&](FILE* out) { Check(cli::DumpStore(&flat, true, out) == cli::kExitOk); });
}

void RoundTrip(const uint8_t* data, size_t size) {
    std::vector<uint8_t> flat;
    if (!cli::StoreFromJson(std::string(reinterpret_cast<const char*>(data), size), &flat).empty())
        return;
    const std::string json = AsJson(flat);
    std::vector<uint8_t> again;
    Check(cli::StoreFromJson(json, &again).empty());
    Check(AsJson(again) == json);
    Printed(flat, [&](FILE* out) { Check(cli::DumpStore(&flat, false, out) == cli::kExitOk); });
}

void PrintAnyway(const uint8_t* data, size_t size) {
    // A heap block of exactly the input's size for each printing, which may convert it.
    auto fresh = [&] { return std::vector<uint8_t>(data, data + size); };
    std::vector<uint8_t> bytes = fresh();
    Printed(bytes, [&](FILE* out) { cli::DumpStore(&bytes, false, out); });
    bytes = fresh();
    Printed(bytes, [&](FILE* out) { cli::DumpStore(&bytes, true, out); });
    bytes = fresh();
    Printed(bytes, [&](FILE* out) { cli::DumpBlobs(bytes, false, out); });
    Printed(bytes, [&](FILE* out) { cli::DumpBlobs(bytes, true, out); });
    cli::KindOf(bytes);
    Printed(bytes, [&](FILE* out) { cli::DumpAny(&bytes, out); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // What the printer says about damage would drown the fuzzer's own output.
    static FILE* const quiet = fopen("/dev/null", "w");
    cli::SetMessageStream(quiet);
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> body(data + 1, data + size);
    if ((mode & 1) == 0) {
        RoundTrip(body.data(), body.size());
        return 0;
    }
    if ((mode & 2) != 0 && body.size() >= 20) {
        const bool reversed = (mode & 4) != 0;
        const uint32_t magic = reversed ? 0x726F7473 : 0x73746F72;
        const uint32_t length = static_cast<uint32_t>(body.size());
        const uint32_t total = reversed ? __builtin_bswap32(length) : length;
        memcpy(body.data(), &magic, 4);
        memcpy(body.data() + 8, &total, 4);
    }
    PrintAnyway(body.data(), body.size());
    return 0;
}
