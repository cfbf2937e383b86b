// SPDX-License-Identifier: MIT
// Building a sorted list of N distinct names, against std::map insertion of the same names.
//
// "AddThenFind" is the pattern of a store being built: every addition is followed by a
// lookup, so each lookup merges a tail of one entry into the sorted part. "AddAllThenFind"
// adds everything first and sorts once. Names come in a fixed pseudo-random order.
#include <benchmark/benchmark.h>
#include <brindle/containers/XSortedList.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

int Compare(const void* a, const void* b) {
    return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

const std::vector<std::string>& Names(size_t count) {
    static std::map<size_t, std::vector<std::string>> cache;
    std::vector<std::string>& names = cache[count];
    if (names.empty()) {
        std::mt19937 random(42);
        for (size_t i = 0; i < count; ++i)
            names.push_back("entry." + std::to_string(i));
        std::shuffle(names.begin(), names.end(), random);
    }
    return names;
}

void* Key(const std::string& name) {
    return const_cast<char*>(name.c_str());
}

void BM_SortedListAddThenFind(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
        for (const std::string& name : names) {
            list.FindItem(Key(name), nullptr);
            list.AddItem(Key(name), nullptr);
        }
        benchmark::DoNotOptimize(list.GetKey(0));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SortedListAddAllThenFind(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        XSortedList list(Compare, nullptr, nullptr, nullptr, nullptr);
        for (const std::string& name : names)
            list.AddItem(Key(name), nullptr);
        benchmark::DoNotOptimize(list.FindItem(Key(names[0]), nullptr));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Baseline: a balanced tree keyed by the same names.
void BM_MapInsert(benchmark::State& state) {
    const std::vector<std::string>& names = Names(state.range(0));
    for (auto _ : state) {
        std::map<std::string, int> map;
        for (const std::string& name : names)
            map.emplace(name, 0);
        benchmark::DoNotOptimize(map.begin());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_MapInsert)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortedListAddThenFind)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SortedListAddAllThenFind)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
