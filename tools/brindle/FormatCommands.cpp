// SPDX-License-Identifier: MIT
// The store and blobs commands: flattened stores and blob sets read from files or stdin.
#include <string>
#include <vector>

#include "Commands.h"
#include "StoreJson.h"
#include "TextDump.h"

namespace cli {
namespace {

// Stores and blob sets count their size in 32 bits.
constexpr uint64_t kMaxBuffer = 0xFFFFFFFE;

const char* Shown(const std::string& name) {
    return name == "-" ? "standard input" : name.c_str();
}

}  // namespace

int StoreDump(const Args& args) {
    std::vector<uint8_t> bytes;
    if (!ReadInput(args.positional[0], kMaxBuffer, &bytes))
        return kExitFailed;
    const int result = DumpStore(&bytes, args.json, stdout);
    if (result == kExitFailed)
        Fail(kExitFailed,
             "%s: not a store (no store magic, or a header that does not fit its %zu bytes)",
             Shown(args.positional[0]), bytes.size());
    return result;
}

int StoreFromJsonCommand(const Args& args) {
    std::vector<uint8_t> json;
    if (!ReadInput(args.positional[0], kMaxBuffer, &json))
        return kExitFailed;
    std::vector<uint8_t> flat;
    const std::string error = StoreFromJson(std::string(json.begin(), json.end()), &flat);
    if (!error.empty())
        return Fail(kExitFailed, "%s: %s", Shown(args.positional[0]), error.c_str());
    Output out;
    if (!out.Open(args.output))
        return kExitFailed;
    out.Write(flat.data(), flat.size());
    return out.Finish();
}

int BlobsDump(const Args& args) {
    std::vector<uint8_t> bytes;
    if (!ReadInput(args.positional[0], kMaxBuffer, &bytes))
        return kExitFailed;
    if (DumpBlobs(bytes, args.json, stdout) != kExitOk)
        return Fail(kExitFailed, "%s: not a blob set", Shown(args.positional[0]));
    return kExitOk;
}

}  // namespace cli
