// SPDX-License-Identifier: MIT
// Appending to the text and binary streams, each against a standard-library baseline run in
// the same program: XStrStream against std::string, XOutput against std::vector<char>.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <brindle/serialization/XOutput.h>
#include <brindle/serialization/XStrStream.h>

namespace {

constexpr int kPieces = 4096;
const char kWord[] = "piece of text ";
constexpr uint32_t kWordLength = sizeof kWord - 1;

// Baseline: a std::string built from characters and words, as a text stream is.
void BM_TextStdString(benchmark::State& state) {
    for (auto _ : state) {
        std::string text;
        for (int i = 0; i < kPieces; ++i) {
            text += static_cast<char>('a' + (i & 15));
            text.append(kWord, kWordLength);
        }
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations() * kPieces * 2);
}
BENCHMARK(BM_TextStdString);

void BM_TextXStrStream(benchmark::State& state) {
    for (auto _ : state) {
        XStrStream text;
        for (int i = 0; i < kPieces; ++i) {
            text.WriteChar(static_cast<char>('a' + (i & 15)));
            text.Write(kWord, kWordLength);
        }
        benchmark::DoNotOptimize(text.Buffer(nullptr));
    }
    state.SetItemsProcessed(state.iterations() * kPieces * 2);
}
BENCHMARK(BM_TextXStrStream);

// Baseline: the same binary items appended to a std::vector<char>, padded to 4 bytes.
void BM_BinaryStdVector(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<char> bytes;
        uint32_t mark = XOutput::kMark;
        bytes.insert(bytes.end(), reinterpret_cast<char*>(&mark),
                     reinterpret_cast<char*>(&mark) + 4);
        for (int i = 0; i < kPieces; ++i) {
            uint32_t value = static_cast<uint32_t>(i);
            bytes.insert(bytes.end(), reinterpret_cast<char*>(&value),
                         reinterpret_cast<char*>(&value) + 4);
            bytes.insert(bytes.end(), kWord, kWord + kWordLength + 1);
            bytes.resize((bytes.size() + 3) & ~size_t{3});
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetItemsProcessed(state.iterations() * kPieces * 2);
}
BENCHMARK(BM_BinaryStdVector);

void BM_BinaryXOutput(benchmark::State& state) {
    for (auto _ : state) {
        XOutput out;
        for (int i = 0; i < kPieces; ++i) {
            out.WriteInt(static_cast<uint32_t>(i));
            out.WriteStr(kWord);
        }
        benchmark::DoNotOptimize(out.GetData(nullptr));
    }
    state.SetItemsProcessed(state.iterations() * kPieces * 2);
}
BENCHMARK(BM_BinaryXOutput);

}  // namespace
