// SPDX-License-Identifier: MIT
// XAKeyBlob: named blobs, their order, the flat form in both byte orders, refusals, copies.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <brindle/Debg.h>
#include <brindle/serialization/XAKeyBlob.h>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Contents = std::map<std::string, std::string>;

// Stores `bytes` under `name`; an empty blob comes from null data. Whether it was stored.
bool Put(XAKeyBlob* set, const std::string& name, const std::string& bytes) {
    return set->StoreBlob(name.c_str(), bytes.empty() ? nullptr : bytes.data(),
                          static_cast<uint32_t>(bytes.size()));
}

// Every entry in position order. std::map orders std::string keys by unsigned bytes too.
Contents All(XAKeyBlob& set) {
    Contents all;
    std::string previous;
    for (uint32_t i = 0; i < set.BlobCount(); ++i) {
        uint32_t size = 0;
        const char* bytes = static_cast<const char*>(set.GetIndBlob(i, &size));
        EXPECT_NE(bytes, nullptr) << "an empty blob still has a pointer";
        std::string name = set.GetIndBlobName(i);
        EXPECT_TRUE(i == 0 || previous < name) << "names are sorted and unique";
        previous = name;
        all[name] = std::string(bytes, size);
    }
    return all;
}

Bytes Flat(XAKeyBlob& set) {
    uint32_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(set.GetData(&size));
    return data == nullptr ? Bytes() : Bytes(data, data + size);
}

uint32_t Word(const Bytes& bytes, size_t at) {
    uint32_t value;
    memcpy(&value, &bytes[at], 4);
    return value;
}

// Hands SetData an exact heap copy, so that AddressSanitizer sees any read beyond it.
bool SetExact(XAKeyBlob* set, const Bytes& bytes) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), block.get());
    return set->SetData(block.get(), static_cast<uint32_t>(bytes.size()));
}

// The flat form written on a machine of the other byte order: the mark, the count and every
// length reversed, walking the native form.
Bytes SwapFlat(Bytes bytes) {
    auto reverse = [&bytes](size_t at) { std::reverse(&bytes[at], &bytes[at] + 4); };
    auto padded = [](size_t n) { return (n + 3) & ~size_t{3}; };
    uint32_t count = Word(bytes, 4);
    reverse(0);
    reverse(4);
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i) {
        at += padded(strlen(reinterpret_cast<const char*>(&bytes[at])) + 1);
        uint32_t length = Word(bytes, at);
        reverse(at);
        at += 4 + padded(length);
    }
    EXPECT_EQ(at, bytes.size());
    return bytes;
}

Bytes LittleEndian(const Bytes& native) {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? native : SwapFlat(native);
}

// ---- Flat form ----

TEST(XAKeyBlobFlat, ByteExactForms) {
    XAKeyBlob set;
    EXPECT_EQ(LittleEndian(Flat(set)), (Bytes{0x33, 0xB0, 0xAA, 0xB0, 0, 0, 0, 0}));
    set.SetBlob("b", "xyz", 3);
    set.SetBlob("a", "", 0);
    EXPECT_EQ(LittleEndian(Flat(set)),
              (Bytes{0x33, 0xB0, 0xAA, 0xB0, 2, 0, 0, 0, 'a', 0, 0,   0,   0,   0,
                     0,    0,    'b',  0,    0, 0, 3, 0, 0,   0, 'x', 'y', 'z', 0}));
}

TEST(XAKeyBlobFlat, SetDataPointsIntoItsCopyAndKeepsTrailingBytes) {
    XAKeyBlob source;
    for (int i = 0; i < 10; ++i)
        Put(&source, "old" + std::to_string(i), std::string(i * 3, static_cast<char>('a' + i)));
    Bytes flat = Flat(source);
    flat.insert(flat.end(), 4, 0xEE);  // trailing bytes are kept but ignored
    XAKeyBlob set;
    ASSERT_TRUE(SetExact(&set, flat));
    uint32_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(set.GetData(&size));
    ASSERT_EQ(Bytes(data, data + size), flat);
    EXPECT_EQ(set.GetData(nullptr), data) << "no rebuild while nothing changed";
    const uint8_t* blob = static_cast<const uint8_t*>(set.GetBlob("old9", nullptr));
    EXPECT_TRUE(blob >= data && blob < data + size) << "no copy per entry";
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(set.GetIndBlobName(0)), data + 8);
}

TEST(XAKeyBlobFlat, SetDataFromInsideTheSetItself) {
    XAKeyBlob inner;
    Put(&inner, "nested", "value");
    Bytes innerFlat = Flat(inner);
    XAKeyBlob set;
    Put(&set, "outer", std::string(innerFlat.begin(), innerFlat.end()));
    uint32_t size = 0;
    void* own = set.GetData(&size);
    ASSERT_TRUE(set.SetData(own, size));  // its own flat form
    EXPECT_EQ(All(set), (Contents{{"outer", std::string(innerFlat.begin(), innerFlat.end())}}));
    void* blob = set.GetBlob("outer", &size);
    ASSERT_TRUE(set.SetData(blob, size));  // a flat form held as one of its blobs
    EXPECT_EQ(All(set), (Contents{{"nested", "value"}}));
}

// ---- Refusals ----

// Expects SetData to refuse the bytes and leave the set empty, whatever it held.
void ExpectRefused(const Bytes& bytes, const std::string& what) {
    XAKeyBlob set;
    Put(&set, "prior", "entry");
    EXPECT_FALSE(SetExact(&set, bytes)) << what;
    EXPECT_EQ(set.BlobCount(), 0u) << what;
    uint32_t size = 5;
    EXPECT_EQ(set.GetData(&size), nullptr) << what;
    EXPECT_EQ(size, 0u) << what;
}

// The mark and the count reversed, the lengths left as they are.
Bytes SwapHeader(Bytes bytes) {
    std::reverse(&bytes[0], &bytes[4]);
    std::reverse(&bytes[4], &bytes[8]);
    return bytes;
}

TEST(XAKeyBlobRefusal, MalformedBuffersAreRefusedInBothByteOrders) {
    XAKeyBlob two;
    Put(&two, "a", "xyz");
    Put(&two, "b", "");
    const Bytes good = Flat(two);  // 8 + (4 + 4 + 4) + (4 + 4) = 28 bytes
    ASSERT_EQ(good.size(), 28u);
    const struct {
        const char* what;
        size_t at;
        uint32_t word;
    } wordPatches[] = {{"count beyond the entries", 4, 3},
                       {"huge count", 4, 0xFFFFFFFF},
                       {"blob length past the next entry", 12, 5},
                       {"blob length that wraps when padded", 12, 0xFFFFFFFE},
                       {"last blob past the end", 24, 1}};
    std::vector<std::pair<std::string, Bytes>> cases;
    for (const auto& patch : wordPatches) {
        cases.push_back({patch.what, good});
        memcpy(&cases.back().second[patch.at], &patch.word, 4);
    }
    cases.push_back({"duplicate names", good});
    cases.back().second[20] = 'a';
    cases.push_back({"names out of order", good});
    cases.back().second[8] = 'c';
    cases.push_back({"name without NUL", Bytes(good.begin(), good.begin() + 20)});
    cases.back().second.insert(cases.back().second.end(), 4, 'n');
    for (const auto& [what, bytes] : cases) {
        ExpectRefused(bytes, what);
        if (Word(bytes, 4) < 3)  // the swapped copy of a form whose entries can be walked
            ExpectRefused(SwapHeader(bytes), what + std::string(" (swapped)"));
    }
    ExpectRefused(SwapHeader(good), "a foreign mark with native lengths");
    Bytes unmarked = good;
    unmarked[0] ^= 1;
    ExpectRefused(unmarked, "unmarked");
    ExpectRefused(Bytes(good.begin(), good.begin() + 7), "shorter than the header");
    XAKeyBlob set;
    EXPECT_FALSE(set.SetData(nullptr, 100));
}

// ---- Copies ----

TEST(XAKeyBlobCopy, CopiesAreDeep) {
    XAKeyBlob source;
    Put(&source, "x", "1");
    XAKeyBlob set;
    ASSERT_TRUE(SetExact(&set, Flat(source)));  // entries point into the flat copy
    Put(&set, "y", "22");                       // and one owns its bytes
    XAKeyBlob copy(set), assigned;
    Put(&assigned, "z", "3");
    assigned = set;
    assigned = assigned;
    set.SetData(nullptr, 0);  // frees everything the original held
    EXPECT_EQ(All(copy), (Contents{{"x", "1"}, {"y", "22"}}));
    EXPECT_EQ(All(assigned), All(copy));
    assigned = XAKeyBlob();
    EXPECT_EQ(Flat(assigned).size(), 8u) << "a copy of a new set is a new set";
}

// ---- Allocation failures ----

// Runs op with the nth allocation failing, for n = 1, 2, ... until op runs with the hook
// unfired; check gets the outcome of every run.
template <class Op, class Check>
void SweepAllocations(Op op, Check check) {
    for (uint32_t nth = 1;; ++nth) {
        DebgFailAllocation(nth);
        op();
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        check(fired);
        if (!fired)
            break;
    }
}

TEST(XAKeyBlobOutOfMemory, EveryOperationFailsCleanly) {
    XAKeyBlob source;
    for (int i = 0; i < 20; ++i)
        Put(&source, "n" + std::to_string(i), std::string(i, 'v'));
    const Bytes flat = Flat(source);
    Contents expected = All(source);

    XAKeyBlob set;
    SweepAllocations([&] { SetExact(&set, flat); },
                     [&](bool fired) { EXPECT_EQ(All(set), fired ? Contents() : expected); });
    std::unique_ptr<XAKeyBlob> grown;
    expected["added"] = "blob";
    bool stored = false;
    SweepAllocations(
        [&] {
            grown.reset(new XAKeyBlob(set));
            stored = Put(grown.get(), "added", "blob");
        },
        [&](bool fired) {
            Contents now = All(*grown);  // walks whatever the failure left
            EXPECT_TRUE(fired || now == expected);
            EXPECT_EQ(stored, now.count("added") == 1) << "StoreBlob tells whether it stored";
        });
    SweepAllocations(
        [&] { grown->GetData(nullptr); },
        [&](bool) { EXPECT_EQ(All(*grown), expected) << "a failed rebuild changes nothing"; });
}

// ---- Random contents ----

// Random changes to `set` and to `expected` alike: SetBlob (now and then with bytes the set
// holds itself), RemoveBlob, RemoveIndBlob, flat forms, and requests that change nothing.
void RandomChanges(std::mt19937& rng, XAKeyBlob& set, Contents& expected, int count) {
    for (int i = 0; i < count; ++i) {
        std::string name(rng() % 7, ' ');  // ordered by unsigned bytes
        for (char& c : name)
            c = static_cast<char>(1 + rng() % 255);
        auto victim = expected.begin();
        std::advance(victim, expected.empty() ? 0 : rng() % expected.size());
        const uint32_t action = expected.empty() ? 3 + rng() % 5 : rng() % 8;
        if (action == 0) {
            set.RemoveBlob(victim->first.c_str());
            expected.erase(victim);
        } else if (action == 1) {
            set.RemoveIndBlob(static_cast<uint32_t>(std::distance(expected.begin(), victim)));
            expected.erase(victim);
        } else if (action == 2) {
            uint32_t size = 0;
            char* own = static_cast<char*>(set.GetBlob(victim->first.c_str(), &size));
            const uint32_t from = rng() % (size + 1);
            set.SetBlob(victim->first.c_str(), own + from, size - from);
            victim->second.erase(0, from);
        } else if (action == 3) {
            const std::string missing = "missing" + name;
            const uint32_t past = rng() % 2 ? set.BlobCount() : 0xFFFFFFFF;
            set.RemoveBlob(missing.c_str());
            set.RemoveBlob(nullptr);
            set.RemoveIndBlob(past);
            set.SetBlob(nullptr, "x", 1);
            EXPECT_FALSE(set.StoreBlob(nullptr, "x", 1));
            EXPECT_FALSE(set.StoreBlob(name.c_str(), nullptr, 4));
            uint32_t size = 77;
            EXPECT_EQ(set.GetBlob(missing.c_str(), &size), nullptr);
            EXPECT_EQ(set.GetBlob(nullptr, &size), nullptr);
            EXPECT_EQ(set.GetIndBlob(past, &size), nullptr);
            EXPECT_EQ(size, 77u) << "the size is untouched when nothing is found";
            EXPECT_EQ(set.GetIndBlobName(past), nullptr);
        } else {
            std::string bytes(rng() % 300, ' ');  // lengths of one and two bytes
            for (char& c : bytes)
                c = static_cast<char>(rng());
            Put(&set, name, bytes);
            expected[name] = bytes;
        }
        if (rng() % 10 == 0)
            set.GetData(nullptr);
    }
}

// A new set, and the same read back from its flat form in either byte order and changed
// further while its entries point into that form.
TEST(XAKeyBlobRoundTrip, RandomSetsInBothByteOrders) {
    std::mt19937 rng(90210);
    for (int round = 0; round < 40; ++round) {
        XAKeyBlob set;
        Contents expected;
        RandomChanges(rng, set, expected, rng() % 120);
        ASSERT_EQ(All(set), expected);
        const Bytes native = Flat(set);
        for (bool foreign : {false, true}) {
            XAKeyBlob back;
            ASSERT_TRUE(SetExact(&back, foreign ? SwapFlat(native) : native));
            ASSERT_EQ(All(back), expected);
            ASSERT_EQ(Flat(back), native);
            Contents changed = expected;
            RandomChanges(rng, back, changed, rng() % 60);
            ASSERT_EQ(All(back), changed);
            const Bytes rebuilt = Flat(back);
            ASSERT_EQ(All(back), changed) << "entries point into the rebuilt form";
            XAKeyBlob again;
            ASSERT_TRUE(SetExact(&again, rebuilt));
            ASSERT_EQ(All(again), changed);
        }
    }
}

}  // namespace
