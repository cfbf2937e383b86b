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

void Put(XAKeyBlob* set, const std::string& name, const std::string& bytes) {
    set->SetBlob(name.c_str(), const_cast<char*>(bytes.data()),
                 static_cast<uint32_t>(bytes.size()));
}

std::string Get(XAKeyBlob& set, const std::string& name) {
    uint32_t size = 0;
    const char* bytes = static_cast<const char*>(set.GetBlob(name.c_str(), &size));
    return bytes == nullptr ? "<none>" : std::string(bytes, size);
}

// Every entry in position order. std::map orders std::string keys by unsigned bytes too.
Contents All(XAKeyBlob& set) {
    Contents all;
    std::string previous;
    for (uint32_t i = 0; i < set.BlobCount(); ++i) {
        uint32_t size = 0;
        const char* bytes = static_cast<const char*>(set.GetIndBlob(i, &size));
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

void SetWord(Bytes* bytes, size_t at, uint32_t value) {
    memcpy(&(*bytes)[at], &value, 4);
}

// Hands SetData an exact heap copy, so that AddressSanitizer sees any read beyond it.
bool SetExact(XAKeyBlob* set, const Bytes& bytes) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    if (!bytes.empty())
        memcpy(block.get(), bytes.data(), bytes.size());
    return set->SetData(block.get(), static_cast<uint32_t>(bytes.size()));
}

size_t Padded(size_t n) {
    return (n + 3) & ~size_t{3};
}

// The flat form written on a machine of the other byte order: the mark, the count and every
// length reversed, walking the native form.
Bytes SwapFlat(Bytes bytes) {
    auto reverse = [&bytes](size_t at) { std::reverse(&bytes[at], &bytes[at] + 4); };
    uint32_t count = Word(bytes, 4);
    reverse(0);
    reverse(4);
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i) {
        at += Padded(strlen(reinterpret_cast<const char*>(&bytes[at])) + 1);
        uint32_t length = Word(bytes, at);
        reverse(at);
        at += 4 + Padded(length);
    }
    EXPECT_EQ(at, bytes.size());
    return bytes;
}

// ---- Entries and their order ----

TEST(XAKeyBlobEntries, StoresFindsAndRemoves) {
    XAKeyBlob set;
    Put(&set, "one", "1");
    Put(&set, "two", "22");
    EXPECT_EQ(set.BlobCount(), 2u);
    EXPECT_EQ(Get(set, "one"), "1");
    EXPECT_EQ(Get(set, "two"), "22");
    uint32_t size = 77;
    EXPECT_EQ(set.GetBlob("three", &size), nullptr);
    EXPECT_EQ(size, 77u) << "the size is untouched for an absent name";
    EXPECT_EQ(set.GetBlob(nullptr, &size), nullptr);
    set.RemoveBlob("three");
    set.RemoveBlob(nullptr);
    EXPECT_EQ(set.BlobCount(), 2u);
    set.RemoveBlob("one");
    EXPECT_EQ(set.BlobCount(), 1u);
    EXPECT_EQ(Get(set, "one"), "<none>");
    EXPECT_EQ(Get(set, "two"), "22");
}

TEST(XAKeyBlobEntries, NamesSortByUnsignedBytes) {
    XAKeyBlob set;
    for (const char* name : {"a", "\xE9t\xE9", "B", "ab", "", "z"})
        Put(&set, name, name);
    const char* order[] = {"", "B", "a", "ab", "z", "\xE9t\xE9"};
    ASSERT_EQ(set.BlobCount(), 6u);
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_STREQ(set.GetIndBlobName(i), order[i]) << i;
}

TEST(XAKeyBlobEntries, ReplacingKeepsCountAndPosition) {
    XAKeyBlob set;
    Put(&set, "a", "x");
    Put(&set, "b", "old");
    Put(&set, "c", "y");
    Put(&set, "b", "brand new");
    EXPECT_EQ(set.BlobCount(), 3u);
    EXPECT_STREQ(set.GetIndBlobName(1), "b");
    EXPECT_EQ(Get(set, "b"), "brand new");
}

TEST(XAKeyBlobEntries, ReplacingWithItsOwnBytes) {
    XAKeyBlob set;
    Put(&set, "self", "abcdef");
    uint32_t size = 0;
    void* own = set.GetBlob("self", &size);
    set.SetBlob("self", static_cast<char*>(own) + 2, 3);
    EXPECT_EQ(Get(set, "self"), "cde");
}

TEST(XAKeyBlobEntries, PositionsOutOfRange) {
    XAKeyBlob set;
    Put(&set, "only", "1");
    uint32_t size = 5;
    EXPECT_EQ(set.GetIndBlobName(1), nullptr);
    EXPECT_EQ(set.GetIndBlob(1, &size), nullptr);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(set.GetIndBlobName(0xFFFFFFFF), nullptr);
    set.RemoveIndBlob(set.BlobCount());
    set.RemoveIndBlob(0xFFFFFFFF);
    EXPECT_EQ(set.BlobCount(), 1u);
    set.RemoveIndBlob(0);
    EXPECT_EQ(set.BlobCount(), 0u);
}

TEST(XAKeyBlobEntries, BadArgumentsChangeNothing) {
    XAKeyBlob set;
    set.SetBlob(nullptr, const_cast<char*>("x"), 1);
    set.SetBlob("name", nullptr, 4);
    EXPECT_EQ(set.BlobCount(), 0u);
    set.SetBlob("empty", nullptr, 0);
    uint32_t size = 9;
    EXPECT_NE(set.GetBlob("empty", &size), nullptr) << "an empty blob still has a pointer";
    EXPECT_EQ(size, 0u);
}

TEST(XAKeyBlobEntries, ManyEntriesGrowTheArray) {
    XAKeyBlob set;
    Contents expected;
    for (int i = 0; i < 100; ++i) {
        std::string name = "k" + std::to_string(i * 7919 % 1000);
        Put(&set, name, std::to_string(i));
        expected[name] = std::to_string(i);
    }
    EXPECT_EQ(All(set), expected);
}

// ---- Flat form ----

TEST(XAKeyBlobFlat, NewSetIsTheMarkAndZero) {
    XAKeyBlob set;
    Bytes flat = Flat(set);
    ASSERT_EQ(flat.size(), 8u);
    EXPECT_EQ(Word(flat, 0), 0xB0AAB033u);
    EXPECT_EQ(Word(flat, 4), 0u);
    if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        EXPECT_EQ(Bytes(flat.begin(), flat.begin() + 4), (Bytes{0x33, 0xB0, 0xAA, 0xB0}));
    }
}

TEST(XAKeyBlobFlat, TwentyEightByteExample) {
    XAKeyBlob set;
    set.SetBlob("b", const_cast<char*>("xyz"), 3);
    set.SetBlob("a", const_cast<char*>(""), 0);
    Bytes flat = Flat(set);
    ASSERT_EQ(flat.size(), 28u);
    Bytes expected(28, 0);
    SetWord(&expected, 0, 0xB0AAB033);
    SetWord(&expected, 4, 2);
    expected[8] = 'a';
    SetWord(&expected, 12, 0);
    expected[16] = 'b';
    SetWord(&expected, 20, 3);
    memcpy(&expected[24], "xyz", 3);
    EXPECT_EQ(flat, expected);
}

TEST(XAKeyBlobFlat, NamesArePaddedWithTheirNul) {
    for (auto [name, size] : {std::pair<const char*, size_t>{"abc", 16}, {"abcd", 20}}) {
        XAKeyBlob set;
        set.SetBlob(name, nullptr, 0);
        EXPECT_EQ(Flat(set).size(), size) << name;
    }
}

TEST(XAKeyBlobFlat, SetDataOfGetDataGivesTheSameSet) {
    XAKeyBlob set;
    Put(&set, "alpha", "first blob");
    Put(&set, "beta", std::string("\0\1\2", 3));
    Put(&set, "gamma", "");
    Bytes flat = Flat(set);
    XAKeyBlob back;
    ASSERT_TRUE(SetExact(&back, flat));
    EXPECT_EQ(All(back), All(set));
    EXPECT_EQ(Flat(back), flat);
}

TEST(XAKeyBlobFlat, GetDataRebuildsOnlyWhenChanged) {
    XAKeyBlob set;
    Put(&set, "k", "v");
    uint32_t size1 = 0, size2 = 0;
    void* first = set.GetData(&size1);
    void* second = set.GetData(&size2);
    EXPECT_EQ(first, second);
    EXPECT_EQ(size1, size2);
    Put(&set, "k2", "v2");
    Bytes rebuilt = Flat(set);
    EXPECT_EQ(rebuilt.size(), size1 + 12);
    XAKeyBlob back;
    ASSERT_TRUE(SetExact(&back, rebuilt));
    EXPECT_EQ(Get(back, "k2"), "v2");
}

TEST(XAKeyBlobFlat, SetDataPointsIntoItsCopyAndReturnsItUnchanged) {
    XAKeyBlob source;
    Put(&source, "name", "bytes");
    Bytes flat = Flat(source);
    flat.push_back(0xEE);  // trailing bytes are kept but ignored
    flat.push_back(0xEE);
    flat.push_back(0xEE);
    flat.push_back(0xEE);
    XAKeyBlob set;
    ASSERT_TRUE(SetExact(&set, flat));
    uint32_t size = 0;
    const uint8_t* data = static_cast<const uint8_t*>(set.GetData(&size));
    ASSERT_EQ(Bytes(data, data + size), flat);
    const uint8_t* blob = static_cast<const uint8_t*>(set.GetBlob("name", nullptr));
    EXPECT_TRUE(blob >= data && blob < data + size) << "no copy per entry";
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(set.GetIndBlobName(0)), data + 8);
}

TEST(XAKeyBlobFlat, EntriesInTheOldFlatBufferSurviveChanges) {
    XAKeyBlob source;
    Contents expected;
    for (int i = 0; i < 10; ++i) {
        expected["old" + std::to_string(i)] = std::string(i * 3, static_cast<char>('a' + i));
        Put(&source, "old" + std::to_string(i), expected["old" + std::to_string(i)]);
    }
    XAKeyBlob set;
    ASSERT_TRUE(SetExact(&set, Flat(source)));
    for (int i = 0; i < 40; ++i) {  // also grows the entry array, moving the old entries
        expected["new" + std::to_string(i)] = std::to_string(i);
        Put(&set, "new" + std::to_string(i), std::to_string(i));
    }
    set.RemoveBlob("old3");
    expected.erase("old3");
    Put(&set, "old4", "replaced");
    expected["old4"] = "replaced";
    EXPECT_EQ(All(set), expected);
    Bytes rebuilt = Flat(set);
    EXPECT_EQ(All(set), expected) << "entries point into the rebuilt form";
    XAKeyBlob back;
    ASSERT_TRUE(SetExact(&back, rebuilt));
    EXPECT_EQ(All(back), expected);
}

TEST(XAKeyBlobFlat, OtherByteOrderIsConverted) {
    XAKeyBlob set;
    Put(&set, "b", "xyz");
    Put(&set, "a", "");
    Put(&set, "long name", std::string(300, 'L'));
    Bytes native = Flat(set);
    Bytes foreign = SwapFlat(native);
    ASSERT_NE(foreign, native);
    XAKeyBlob back;
    ASSERT_TRUE(SetExact(&back, foreign));
    EXPECT_EQ(All(back), All(set));
    EXPECT_EQ(Flat(back), native) << "the copy is converted to native order";
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
    EXPECT_EQ(Get(set, "outer").size(), innerFlat.size());
    void* blob = set.GetBlob("outer", &size);
    ASSERT_TRUE(set.SetData(blob, size));  // a flat form held as one of its blobs
    EXPECT_EQ(Get(set, "nested"), "value");
    EXPECT_EQ(set.BlobCount(), 1u);
}

// ---- Refusals ----

TEST(XAKeyBlobRefusal, ShortOrUnmarkedBuffersLeaveAnEmptySet) {
    XAKeyBlob set;
    Put(&set, "was", "here");
    Bytes seven = {0x33, 0xB0, 0xAA, 0xB0, 0, 0, 0};
    EXPECT_FALSE(SetExact(&set, seven));
    EXPECT_EQ(set.BlobCount(), 0u);
    uint32_t size = 5;
    EXPECT_EQ(set.GetData(&size), nullptr) << "emptied by a failed SetData";
    EXPECT_EQ(size, 0u);
    Put(&set, "again", "1");
    Bytes flat = Flat(set);
    flat[0] ^= 1;
    EXPECT_FALSE(SetExact(&set, flat));
    EXPECT_EQ(set.BlobCount(), 0u);
    EXPECT_FALSE(set.SetData(nullptr, 100));
    EXPECT_FALSE(SetExact(&set, Bytes()));
}

// A valid two-entry form: "a" -> "xyz", "b" -> "".
Bytes TwoEntries() {
    XAKeyBlob set;
    Put(&set, "a", "xyz");
    Put(&set, "b", "");
    return Flat(set);  // 8 + (4 + 4 + 4) + (4 + 4) = 28 bytes
}

TEST(XAKeyBlobRefusal, MalformedBuffersAreRefusedInBothByteOrders) {
    Bytes good = TwoEntries();
    ASSERT_EQ(good.size(), 28u);
    std::vector<std::pair<const char*, Bytes>> cases;
    const struct {
        const char* what;
        size_t at;
        uint32_t word;
    } wordPatches[] = {{"count beyond the entries", 4, 3},
                       {"huge count", 4, 0xFFFFFFFF},
                       {"blob length past the next entry", 12, 5},
                       {"blob length that wraps when padded", 12, 0xFFFFFFFE},
                       {"last blob past the end", 24, 1}};
    for (const auto& patch : wordPatches) {
        Bytes b = good;
        SetWord(&b, patch.at, patch.word);
        cases.push_back({patch.what, b});
    }
    Bytes b = good;
    b[20] = 'a';
    cases.push_back({"duplicate names", b});
    b = good;
    b[8] = 'c';
    cases.push_back({"names out of order", b});
    b = Bytes(good.begin(), good.begin() + 26);
    cases.push_back({"truncated", b});
    b = Bytes(good.begin(), good.begin() + 24);
    for (size_t i = 20; i < 24; ++i)
        b[i] = 'n';
    cases.push_back({"name without NUL", b});
    for (const auto& [what, bytes] : cases) {
        XAKeyBlob set;
        Put(&set, "prior", "entry");
        EXPECT_FALSE(SetExact(&set, bytes)) << what;
        EXPECT_EQ(set.BlobCount(), 0u) << what;
        EXPECT_EQ(set.GetData(nullptr), nullptr) << what;
        if (Word(bytes, 4) < 3) {  // the swapped copy of a form whose entries can be walked
            XAKeyBlob other;
            Bytes foreign = bytes;
            std::reverse(&foreign[0], &foreign[4]);
            std::reverse(&foreign[4], &foreign[8]);
            EXPECT_FALSE(SetExact(&other, foreign)) << what << " (lengths left native)";
            EXPECT_EQ(other.BlobCount(), 0u);
        }
    }
    Bytes halfSwapped = good;
    std::reverse(&halfSwapped[0], &halfSwapped[4]);
    std::reverse(&halfSwapped[4], &halfSwapped[8]);
    XAKeyBlob set;
    EXPECT_FALSE(SetExact(&set, halfSwapped)) << "a foreign mark with native lengths";
    EXPECT_EQ(set.BlobCount(), 0u);
}

// ---- Copies ----

TEST(XAKeyBlobCopy, CopiesAreDeep) {
    XAKeyBlob source;
    Put(&source, "x", "1");
    XAKeyBlob set;
    ASSERT_TRUE(SetExact(&set, Flat(source)));  // entries point into the flat copy
    Put(&set, "y", "22");                       // and one owns its bytes
    XAKeyBlob copy(set);
    EXPECT_EQ(All(copy), All(set));
    set.SetData(nullptr, 0);  // frees everything the original held
    EXPECT_EQ(Get(copy, "x"), "1");
    EXPECT_EQ(Get(copy, "y"), "22");

    XAKeyBlob assigned;
    Put(&assigned, "z", "3");
    assigned = copy;
    EXPECT_EQ(All(assigned), All(copy));
    assigned = assigned;
    EXPECT_EQ(All(assigned), All(copy));
    XAKeyBlob empty;
    assigned = empty;
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
    Bytes flat = Flat(source);
    Contents expected = All(source);

    XAKeyBlob set;
    SweepAllocations([&] { SetExact(&set, flat); },
                     [&](bool fired) {
                         if (fired)
                             EXPECT_EQ(set.BlobCount(), 0u);
                         else
                             EXPECT_EQ(All(set), expected);
                     });

    std::unique_ptr<XAKeyBlob> grown;
    SweepAllocations(
        [&] {
            grown.reset(new XAKeyBlob(set));
            Put(grown.get(), "added", "blob");
        },
        [&](bool fired) {
            Contents now = All(*grown);
            if (!fired) {
                Contents more = expected;
                more["added"] = "blob";
                EXPECT_EQ(now, more);
            }
        });

    SweepAllocations([&] { grown->GetData(nullptr); },
                     [&](bool) {
                         Contents more = expected;
                         more["added"] = "blob";
                         EXPECT_EQ(All(*grown), more) << "a failed rebuild changes nothing";
                     });
}

// ---- Random contents ----

TEST(XAKeyBlobRoundTrip, RandomSetsInBothByteOrders) {
    std::mt19937 rng(90210);
    for (int round = 0; round < 40; ++round) {
        XAKeyBlob set;
        Contents expected;
        int operations = static_cast<int>(rng() % 120);
        for (int i = 0; i < operations; ++i) {
            std::string name(1 + rng() % 6, ' ');
            for (char& c : name)
                c = static_cast<char>(1 + rng() % 255);
            if (rng() % 5 == 0 && !expected.empty()) {
                auto victim = expected.begin();
                std::advance(victim, rng() % expected.size());
                set.RemoveBlob(victim->first.c_str());
                expected.erase(victim);
                continue;
            }
            std::string bytes(rng() % 50, ' ');
            for (char& c : bytes)
                c = static_cast<char>(rng());
            Put(&set, name, bytes);
            expected[name] = bytes;
            if (rng() % 10 == 0)
                set.GetData(nullptr);
        }
        ASSERT_EQ(All(set), expected);
        Bytes native = Flat(set);
        XAKeyBlob back;
        ASSERT_TRUE(SetExact(&back, native));
        ASSERT_EQ(All(back), expected);
        XAKeyBlob foreign;
        ASSERT_TRUE(SetExact(&foreign, SwapFlat(native)));
        ASSERT_EQ(All(foreign), expected);
        ASSERT_EQ(Flat(foreign), native);
    }
}

}  // namespace
