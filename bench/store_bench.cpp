// SPDX-License-Identifier: MIT
// Building, flattening and reading a mutable store of N distinct names, against
// std::map<std::string, int> doing the same with the same names in the same run; and
// unflattening a buffer of 200,000 entries whose names come in ascending or descending order.
//
// Names come in a fixed pseudo-random order, so that each new name lands somewhere inside
// the sorted entries rather than at the end.
#include <benchmark/benchmark.h>
#include <brindle/serialization/XStore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const std::vector<std::string>& Names(size_t count) {
    static std::map<size_t, std::vector<std::string>> cache;
    std::vector<std::string>& names = cache[count];
    if (names.empty()) {
        std::mt19937 random(7);
        for (size_t i = 0; i < count; ++i)
            names.push_back("setting." + std::to_string(i));
        std::shuffle(names.begin(), names.end(), random);
    }
    return names;
}

void Fill(XStore& store, const std::vector<std::string>& names) {
    int32_t value = 0;
    for (const std::string& name : names)
        store.AddInt(name.c_str(), value++);
}

void BM_MapInsert(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        std::map<std::string, int> map;
        int value = 0;
        for (const std::string& name : names)
            map.emplace(name, value++);
        benchmark::DoNotOptimize(map.begin());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StoreAddInt(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        XStore store;
        Fill(store, names);
        benchmark::DoNotOptimize(store.EntryCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StoreAddIntAndFlatten(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        XStore store;
        Fill(store, names);
        uint32_t size = 0;
        free(store.GetData_NF(&size));
        benchmark::DoNotOptimize(size);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StoreFlatten(benchmark::State& state) {
    XStore store;
    Fill(store, Names(state.range(0)));
    for (auto _ : state) {
        uint32_t size = 0;
        free(store.GetData_NF(&size));
        benchmark::DoNotOptimize(size);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Lookups of every name, in another order than they were added.
void BM_MapLookup(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    std::map<std::string, int> map;
    for (const std::string& name : names)
        map.emplace(name, 1);
    std::vector<std::string> order(names.rbegin(), names.rend());
    for (auto _ : state) {
        int sum = 0;
        for (const std::string& name : order)
            sum += map.find(name)->second;
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Looks every name up in `reader`, in another order than they were added.
void LookUpEvery(benchmark::State& state, XStoreReader& reader) {
    const std::vector<std::string>& names = Names(state.range(0));
    std::vector<std::string> order(names.rbegin(), names.rend());
    for (auto _ : state) {
        int32_t sum = 0;
        for (const std::string& name : order)
            sum += reader.ReadInt(name.c_str(), 0, 0);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StoreLookupChanged(benchmark::State& state) {
    XStore store;
    Fill(store, Names(state.range(0)));
    LookUpEvery(state, store);
}

// The same once the store has put every name in order (as reading by index does).
void BM_StoreLookupOrdered(benchmark::State& state) {
    XStore store;
    Fill(store, Names(state.range(0)));
    store.IndEntry(0, nullptr);
    LookUpEvery(state, store);
}

// A buffer of `count` Int entries laid out in table order, names ascending or descending.
std::vector<uint8_t> EntriesInOrder(uint32_t count, bool descending) {
    std::vector<uint32_t> words = {0x73746F72, 0, 0, 0, count};
    std::vector<uint32_t> values;
    for (uint32_t i = 0; i < count; ++i) {
        char name[12];
        snprintf(name, sizeof name, "n%09u", descending ? count - 1 - i : i);
        const uint32_t at = static_cast<uint32_t>(values.size() * 4);
        words.insert(words.end(), {at, 1, 0, at + 12});
        uint32_t text[3];
        memcpy(text, name, sizeof text);
        values.insert(values.end(), {text[0], text[1], text[2], i});
    }
    words.insert(words.end(), values.begin(), values.end());
    words[2] = words[3] = static_cast<uint32_t>(words.size() * 4);
    std::vector<uint8_t> bytes(words.size() * 4);
    memcpy(bytes.data(), words.data(), bytes.size());
    return bytes;
}

// Unflattening (the first change) and putting the names in order (the first read by index).
void BM_StoreUnflatten(benchmark::State& state) {
    const std::vector<uint8_t> bytes = EntriesInOrder(200000, state.range(0) != 0);
    for (auto _ : state) {
        XStore store(bytes.data(), false);
        if (!store.AddInt("~", 1) || store.IndEntry(0, nullptr) == nullptr)
            state.SkipWithError("the buffer was not unflattened");
    }
    state.SetItemsProcessed(state.iterations() * 200000);
}

// The same on a reader of the flattened store, for comparison.
void BM_ReaderLookupFlattened(benchmark::State& state) {
    XStore store;
    Fill(store, Names(state.range(0)));
    XStoreReader reader;
    reader.SetAllocatedData(store.GetData_NF(nullptr));
    LookUpEvery(state, reader);
}

#define BRINDLE_STORE_SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_MapInsert) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreAddInt) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreAddIntAndFlatten) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreFlatten) BRINDLE_STORE_SIZES;
BENCHMARK(BM_MapLookup) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreLookupChanged) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreLookupOrdered) BRINDLE_STORE_SIZES;
BENCHMARK(BM_ReaderLookupFlattened) BRINDLE_STORE_SIZES;
// 0: names ascending, 1: descending.
BENCHMARK(BM_StoreUnflatten)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
