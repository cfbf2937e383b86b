// SPDX-License-Identifier: MIT
// XString and XStrList against the standard library doing the same work in the same run:
// compare each pair of results as a ratio, never as absolute times.
#include <algorithm>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "brindle/containers/XStrList.h"
#include "brindle/containers/XString.h"

namespace {

constexpr int kWords = 100;
const char kWord[] = "lorem ips ";

// Builds a 1000-byte text from 10-byte words. XString makes an exact-size buffer on every
// append, so this shows the price of having no spare capacity.
void BM_XStringAppend(benchmark::State& state) {
    for (auto _ : state) {
        XString s;
        for (int i = 0; i < kWords; ++i)
            s += kWord;
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_XStringAppend);

void BM_StdStringAppend(benchmark::State& state) {
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < kWords; ++i)
            s += kWord;
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StdStringAppend);

// Assigning texts of one length over and over: XString reuses its buffer.
void BM_XStringSameLengthAssign(benchmark::State& state) {
    XString s(kWord);
    const char* texts[] = {"abcdefghij", "0123456789"};
    int i = 0;
    for (auto _ : state) {
        s = texts[i ^= 1];
        benchmark::DoNotOptimize(s.GetBuffer());
    }
}
BENCHMARK(BM_XStringSameLengthAssign);

void BM_StdStringSameLengthAssign(benchmark::State& state) {
    std::string s(kWord);
    const char* texts[] = {"abcdefghij", "0123456789"};
    int i = 0;
    for (auto _ : state) {
        s = texts[i ^= 1];
        benchmark::DoNotOptimize(s.data());
    }
}
BENCHMARK(BM_StdStringSameLengthAssign);

// The texts "item 0" .. "item 99".
std::vector<std::string> Items() {
    std::vector<std::string> items;
    for (int i = 0; i < kWords; ++i)
        items.push_back("item " + std::to_string(i));
    return items;
}

// Fills a list with copies, then looks every text up by content.
void BM_XStrListAddAndFind(benchmark::State& state) {
    std::vector<std::string> items = Items();
    for (auto _ : state) {
        XStrList list;
        for (const std::string& item : items)
            list.AddStr(item.c_str());
        for (const std::string& item : items)
            benchmark::DoNotOptimize(list.IndexOfStr(item.c_str()));
    }
}
BENCHMARK(BM_XStrListAddAndFind);

void BM_StdVectorAddAndFind(benchmark::State& state) {
    std::vector<std::string> items = Items();
    for (auto _ : state) {
        std::vector<std::string> list;
        list.reserve(256);
        for (const std::string& item : items)
            list.push_back(item);
        for (const std::string& item : items)
            benchmark::DoNotOptimize(std::find(list.begin(), list.end(), item));
    }
}
BENCHMARK(BM_StdVectorAddAndFind);

}  // namespace
