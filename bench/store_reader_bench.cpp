// SPDX-License-Identifier: MIT
// XStoreReader costs against in-run baselines:
// - a lookup by name (GetInt) in a 1,000-entry store against std::map<std::string, int>::find
//   on the same names;
// - SetData of a buffer of the other byte order (copy and conversion, per MiB) against
//   SetData of the same buffer in the native order (copy only);
// - reading every value of a String entry of 40,000 values by index (GetString(name, i) for
//   i = 0, 1, ...), against a plain loop that reads the same texts in order straight from the
//   buffer: both take the length of each text. Reading by index should cost at most twice the
//   loop: linear, not quadratic, in the number of values.
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <brindle/serialization/XStoreReader.h>

namespace {

// Lays out a store of Int and Blob entries, with names "e0000", "e0001", ... (8 bytes with
// NUL and padding), in the native byte order or the other one.
class Layout {
  public:
    explicit Layout(bool reversed) : reversed_(reversed) {}

    // Adds entry number `count()` with `values` Int values, or as many blobs of
    // `blobLength` bytes when `blobLength` is not 0.
    void Add(uint32_t values, uint32_t blobLength) {
        AddEntry(values, blobLength != 0 ? 4 : 0);
        for (uint32_t i = 0; i < values; ++i) {
            Word(values_, blobLength != 0 ? blobLength : i);
            values_.resize(values_.size() + ((blobLength + 3) & ~3u), 0x5A);
        }
    }

    // Adds entry number `count()` with one String value for each text.
    void AddStrings(const std::vector<std::string>& texts) {
        AddEntry(static_cast<uint32_t>(texts.size()), 3);
        for (const std::string& text : texts) {
            values_.insert(values_.end(), text.begin(), text.end());
            values_.resize(values_.size() + 4 - text.size() % 4, 0);
        }
    }

    std::vector<uint8_t> Build() const {
        const uint32_t main = 20 + 16 * Count() + Size(values_);
        std::vector<uint8_t> out;
        for (uint32_t word : {0x73746F72u, 0u, main, main, Count()})
            Word(out, word);
        for (uint32_t word : table_)
            Word(out, word);
        out.insert(out.end(), values_.begin(), values_.end());
        return out;
    }

    uint32_t Count() const { return Size(table_) / 4; }
    static std::string Name(uint32_t i) {
        char name[8];
        snprintf(name, sizeof name, "e%04u", i);
        return name;
    }

  private:
    // Adds the record and the name of the next entry, whose values are to follow.
    void AddEntry(uint32_t values, uint32_t type) {
        table_.insert(table_.end(), {Size(values_), values, type, 0});
        char name[8] = {};
        snprintf(name, sizeof name, "e%04u", Count() - 1);
        values_.insert(values_.end(), name, name + sizeof name);
        table_.back() = Size(values_);
    }

    template <class T>
    static uint32_t Size(const std::vector<T>& v) {
        return static_cast<uint32_t>(v.size());
    }
    void Word(std::vector<uint8_t>& out, uint32_t word) const {
        if (reversed_)
            word = __builtin_bswap32(word);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&word);
        out.insert(out.end(), bytes, bytes + 4);
    }

    bool reversed_;
    std::vector<uint32_t> table_;
    std::vector<uint8_t> values_;
};

constexpr uint32_t kEntries = 1000;

// The names in a scrambled order, so that successive lookups take different paths.
std::vector<std::string> LookupOrder() {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < kEntries; ++i)
        names.push_back(Layout::Name(i * 7919 % kEntries));
    return names;
}

void BM_StoreGetInt(benchmark::State& state) {
    Layout layout(false);
    for (uint32_t i = 0; i < kEntries; ++i)
        layout.Add(1, 0);
    const std::vector<uint8_t> bytes = layout.Build();
    XStoreReader reader(bytes.data(), false);
    const std::vector<std::string> names = LookupOrder();
    size_t next = 0;
    uint32_t found = 0;
    for (auto _ : state) {
        int32_t value;
        found += reader.GetInt(names[next].c_str(), &value, 0);
        benchmark::DoNotOptimize(value);
        next = next + 1 == names.size() ? 0 : next + 1;
    }
    if (found != state.iterations())
        state.SkipWithError("a name was not found");
}
BENCHMARK(BM_StoreGetInt);

void BM_MapFind(benchmark::State& state) {
    std::map<std::string, int> map;
    for (uint32_t i = 0; i < kEntries; ++i)
        map[Layout::Name(i)] = static_cast<int>(i);
    const std::vector<std::string> names = LookupOrder();
    size_t next = 0;
    for (auto _ : state) {
        auto it = map.find(names[next]);
        benchmark::DoNotOptimize(it->second);
        next = next + 1 == names.size() ? 0 : next + 1;
    }
}
BENCHMARK(BM_MapFind);

// About 1 MiB: entries of 128 Int values alternating with entries of four 120-byte blobs.
std::vector<uint8_t> LargeStore(bool reversed) {
    Layout layout(reversed);
    while (layout.Count() < 2000) {
        const bool blobs = layout.Count() % 2 != 0;
        layout.Add(blobs ? 4 : 128, blobs ? 120 : 0);
    }
    return layout.Build();
}

void SetDataOf(benchmark::State& state, bool reversed) {
    const std::vector<uint8_t> bytes = LargeStore(reversed);
    XStoreReader reader;
    for (auto _ : state) {
        reader.SetData(bytes.data(), true);
        benchmark::DoNotOptimize(reader.EntryCount());
    }
    if (reader.MustSwap() != reversed)
        state.SkipWithError("buffer was not taken as intended");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_SetDataOtherOrder(benchmark::State& state) {
    SetDataOf(state, true);
}
BENCHMARK(BM_SetDataOtherOrder);

void BM_SetDataNative(benchmark::State& state) {
    SetDataOf(state, false);
}
BENCHMARK(BM_SetDataNative);

// A store whose entry "e0000" holds 40,000 texts of 8 to 71 bytes, and the texts.
constexpr uint32_t kTexts = 40000;

const std::vector<std::string>& Texts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> made;
        for (uint32_t i = 0; i < kTexts; ++i)
            made.push_back("text " + std::to_string(i) + std::string(i * 7919 % 64, 'x'));
        return made;
    }();
    return texts;
}

std::vector<uint8_t> TextStore() {
    Layout layout(false);
    layout.AddStrings(Texts());
    return layout.Build();
}

void BM_StoreGetStringByIndex(benchmark::State& state) {
    const std::vector<uint8_t> bytes = TextStore();
    XStoreReader reader(bytes.data(), false);
    const std::string name = Layout::Name(0);
    size_t total = 0;
    for (auto _ : state) {
        for (uint32_t i = 0; i < kTexts; ++i) {
            const char* text = nullptr;
            if (!reader.GetString(name.c_str(), &text, i))
                state.SkipWithError("a value was not found");
            total += strlen(text);
        }
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_StoreGetStringByIndex);

void BM_StringsLoop(benchmark::State& state) {
    const std::vector<uint8_t> bytes = TextStore();
    // The first text follows the header, the entry record and the 8-byte name.
    const char* first = reinterpret_cast<const char*>(bytes.data()) + 20 + 16 + 8;
    size_t total = 0;
    for (auto _ : state) {
        const char* text = first;
        for (uint32_t i = 0; i < kTexts; ++i) {
            benchmark::DoNotOptimize(text);
            const size_t length = strlen(text);
            total += length;
            text += (length + 4) & ~size_t{3};
        }
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(state.iterations() * kTexts);
}
BENCHMARK(BM_StringsLoop);

}  // namespace
