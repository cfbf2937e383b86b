// Several threads reading one reader at once: lookups and getters write nothing.
#include <string.h>

#include <atomic>
#include <string>
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
        store.Int("n" + std::to_string(i), {i, i * 2});
        store.Pieces("s" + std::to_string(i), StoreBytes::kLocStr, {"s" + std::to_string(i)});
    }
    // Converted once, then read by everyone.
    XStoreReader reader(store.Build(true).data());
    XSepStrResolver resolver;
    reader.SetStrResolver(nullptr, &resolver);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&reader, &mismatches, t] {
            for (uint32_t round = 0; round < 20; ++round) {
                for (uint32_t i = 0; i < 200; ++i) {
                    const uint32_t k = (i + 50 * t) % 200;
                    std::string name = "n" + std::to_string(k);
                    if (reader.ReadInt(name.c_str(), -1, 1) != static_cast<int32_t>(2 * k))
                        ++mismatches;
                    name[0] = 's';
                    if (strcmp(reader.ReadString(name.c_str(), "", 0), name.c_str()) != 0)
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
