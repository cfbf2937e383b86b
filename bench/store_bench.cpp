// Building, flattening and reading a mutable store of N distinct names, against
// std::map<std::string, int> doing the same with the same names in the same run.
//
// Names come in a fixed pseudo-random order, so that each new name lands somewhere inside
// the sorted entries rather than at the end.
#include <benchmark/benchmark.h>
#include <brindle/serialization/XStore.h>
#include <stdlib.h>

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

void BM_StoreLookupChanged(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    XStore store;
    Fill(store, names);
    std::vector<std::string> order(names.rbegin(), names.rend());
    for (auto _ : state) {
        int32_t sum = 0;
        for (const std::string& name : order)
            sum += store.ReadInt(name.c_str(), 0, 0);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same lookups on a reader of the flattened store, for comparison.
void BM_ReaderLookupFlattened(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    XStore store;
    Fill(store, names);
    XStoreReader reader;
    reader.SetAllocatedData(store.GetData_NF(nullptr));
    std::vector<std::string> order(names.rbegin(), names.rend());
    for (auto _ : state) {
        int32_t sum = 0;
        for (const std::string& name : order)
            sum += reader.ReadInt(name.c_str(), 0, 0);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

#define BRINDLE_STORE_SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_MapInsert) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreAddInt) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreAddIntAndFlatten) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreFlatten) BRINDLE_STORE_SIZES;
BENCHMARK(BM_MapLookup) BRINDLE_STORE_SIZES;
BENCHMARK(BM_StoreLookupChanged) BRINDLE_STORE_SIZES;
BENCHMARK(BM_ReaderLookupFlattened) BRINDLE_STORE_SIZES;

}  // namespace
