// Several threads reading one reader at once: lookups and getters write nothing.
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::StoreBytes;

TEST(StoreThreads, ConcurrentReadersAgree) {
    StoreBytes store;
    for (uint32_t i = 0; i < 200; ++i) {
        char name[16];
        snprintf(name, sizeof name, "n%u", i);
        store.Int(name, {i, i * 2});
        snprintf(name, sizeof name, "s%u", i);
        store.Pieces(name, StoreBytes::kLocStr, {name});
    }
    // Converted once, then read by everyone.
    XStoreReader reader(store.Build(true).data());
    XSepStrResolver resolver;
    reader.SetStrResolver(nullptr, &resolver);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&reader, &mismatches, t] {
            for (uint32_t round = 0; round < 20; ++round) {
                for (uint32_t i = 0; i < 200; ++i) {
                    char name[16];
                    snprintf(name, sizeof name, "n%u", (i + 50 * t) % 200);
                    const int32_t expected = static_cast<int32_t>((i + 50 * t) % 200 * 2);
                    if (reader.ReadInt(name, -1, 1) != expected)
                        ++mismatches;
                    name[0] = 's';
                    const char* text = reader.ReadString(name, "", 0);
                    if (strcmp(text, name) != 0)
                        ++mismatches;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
