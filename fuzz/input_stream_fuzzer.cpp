// SPDX-License-Identifier: MIT
// Drives XInput over arbitrary bytes with a script of reads taken from the input.
//
// Input layout: one byte giving the script length S, then S script bytes, then the stream.
// Each script byte picks a read (low 2 bits) and, for ReadData, a length (the other bits,
// scaled so that lengths past the end of the stream come up often).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "brindle/serialization/XInput.h"

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

// True when [at, at + n) lies inside the stream.
bool Inside(const void* at, size_t n, const uint8_t* begin, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(at);
    return p >= begin && p <= begin + size && n <= static_cast<size_t>(begin + size - p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    size_t scriptSize = data[0];
    if (scriptSize > size - 1)
        scriptSize = size - 1;
    const uint8_t* script = data + 1;
    size_t streamSize = size - 1 - scriptSize;
    std::unique_ptr<uint8_t[]> stream(new uint8_t[streamSize + (streamSize == 0 ? 1 : 0)]);
    memcpy(stream.get(), script + scriptSize, streamSize);

    XInput in(stream.get(), static_cast<uint32_t>(streamSize));
    Check(in.Overrun() == (streamSize < 4));
    for (size_t i = 0; i < scriptSize; ++i) {
        bool refusedBefore = in.Overrun();
        uint8_t step = script[i];
        switch (step & 3) {
            case 0:
                in.ReadInt();
                break;
            case 1: {
                const char* text = in.ReadStr();
                if (!in.Overrun())
                    Check(Inside(text, strlen(text) + 1, stream.get(), streamSize));
                break;
            }
            case 2: {
                uint32_t len = (step >> 2) * (step & 0x80 ? 1024u : 1u);
                const void* bytes = in.ReadData(len);
                Check(in.Overrun() == (bytes == nullptr));
                if (bytes != nullptr)
                    Check(Inside(bytes, len, stream.get(), streamSize));
                break;
            }
            default:
                in.ReadBool();
                break;
        }
        Check(!refusedBefore || in.Overrun());
    }
    return 0;
}
