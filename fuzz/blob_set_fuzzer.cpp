// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to XAKeyBlob::SetData, then exercises every accessor and checks that
// the flat form survives a GetData round trip.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "brindle/serialization/XAKeyBlob.h"

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

// Reads every entry by position and by name; names must be strictly ascending.
void Visit(XAKeyBlob* set) {
    const char* previous = nullptr;
    for (uint32_t i = 0; i < set->BlobCount(); ++i) {
        const char* name = set->GetIndBlobName(i);
        uint32_t size = 0;
        const uint8_t* blob = static_cast<const uint8_t*>(set->GetIndBlob(i, &size));
        Check(name != nullptr && blob != nullptr);
        Check(previous == nullptr || strcmp(previous, name) < 0);
        volatile uint8_t sink = 0;
        for (uint32_t j = 0; j < size; ++j)
            sink = sink + blob[j];
        uint32_t found = 0;
        Check(set->GetBlob(name, &found) == blob && found == size);
        previous = name;
    }
    Check(set->GetIndBlobName(set->BlobCount()) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size + (size == 0 ? 1 : 0)]);
    memcpy(exact.get(), data, size);
    XAKeyBlob set;
    if (!set.SetData(exact.get(), static_cast<uint32_t>(size))) {
        Check(set.BlobCount() == 0);
        return 0;
    }
    Visit(&set);

    // The flat form is the accepted buffer, converted to native order; reading it back gives
    // the same set.
    uint32_t flatSize = 0;
    void* flat = set.GetData(&flatSize);
    Check(flat != nullptr && flatSize == size);
    XAKeyBlob copy;
    Check(copy.SetData(flat, flatSize));
    Check(copy.BlobCount() == set.BlobCount());

    // A change forces a rebuild, whose entries point into the new form.
    uint32_t count = set.BlobCount();
    set.SetBlob("\xFF fuzz", exact.get(), static_cast<uint32_t>(size < 16 ? size : 16));
    if (count != 0)
        set.RemoveIndBlob(0);
    void* rebuilt = set.GetData(&flatSize);
    Check(rebuilt != nullptr);
    Visit(&set);
    XAKeyBlob again;
    Check(again.SetData(rebuilt, flatSize));
    Check(again.BlobCount() == set.BlobCount());
    for (uint32_t i = 0; i < again.BlobCount(); ++i) {
        uint32_t a = 0, b = 0;
        const void* x = again.GetIndBlob(i, &a);
        const void* y = set.GetIndBlob(i, &b);
        Check(a == b && memcmp(x, y, a) == 0);
        Check(strcmp(again.GetIndBlobName(i), set.GetIndBlobName(i)) == 0);
    }
    return 0;
}
