// SPDX-License-Identifier: MIT
// XStore: random stores of every type built and changed against a model laid out by hand,
// then the examples, limits and buffers that a model does not reach.
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
using storetest::Example;
using storetest::Flatten;
using storetest::StoreBytes;

// One entry of the model: word values (Int, Float, Bool) or pieces (the others).
struct ModelEntry {
    uint32_t type;
    std::vector<uint32_t> words;
    std::vector<std::string> pieces;
    bool IsWords() const { return type <= StoreBytes::kBool; }
    uint32_t Count() const { return static_cast<uint32_t>(words.size() + pieces.size()); }
};
using Model = std::map<std::string, ModelEntry>;

class RoundTrip : public ::testing::Test {
  protected:
    std::string RandomText(size_t maxLength, bool anyByte) {
        std::string text(random_() % (maxLength + 1), ' ');
        // Names and texts have no NUL; blob bytes may be anything.
        for (char& c : text)
            c = static_cast<char>(anyByte ? random_() % 256 : 1 + random_() % 255);
        return text;
    }

    // Adds a random value to the store and the model (index == Count()), or replaces value
    // `index` with one. A new name is made by Add or by Set at index 0 alike.
    bool PutValue(XStore& store, const std::string& name, ModelEntry& entry, uint32_t index) {
        const bool add = index == entry.Count() && (index != 0 || random_() % 2 == 0);
        const char* n = name.c_str();
        if (entry.IsWords()) {
            uint32_t word =
                entry.type == StoreBytes::kBool ? random_() % 2 : static_cast<uint32_t>(random_());
            if (entry.type == StoreBytes::kFloat && random_() % 4 == 0)
                word |= 0x7F800001;  // A NaN, whose bits must come back unchanged.
            if (index == entry.Count())
                entry.words.push_back(word);
            entry.words[index] = word;
            float asFloat;
            memcpy(&asFloat, &word, 4);
            if (entry.type == StoreBytes::kInt)
                return add ? store.AddInt(n, word) : store.SetInt(n, word, index);
            if (entry.type == StoreBytes::kFloat)
                return add ? store.AddFloat(n, asFloat) : store.SetFloat(n, asFloat, index);
            return add ? store.AddBool(n, word != 0) : store.SetBool(n, word != 0, index);
        }
        const bool blob = entry.type == StoreBytes::kBlob;
        const std::string piece = RandomText(blob ? 12 : 9, blob);
        if (index == entry.Count())
            entry.pieces.push_back(piece);
        entry.pieces[index] = piece;
        const char* p = piece.c_str();
        switch (entry.type) {
            case StoreBytes::kString:
                return add ? store.AddString(n, p) : store.SetString(n, p, index);
            case StoreBytes::kBlob: {
                const uint32_t length = static_cast<uint32_t>(piece.size());
                return add ? store.AddBlob(n, p, length) : store.SetBlob(n, p, length, index);
            }
            case StoreBytes::kLocStr:
                return add ? store.AddLocStr(n, p) : store.SetLocStr(n, p, index);
            default:
                return add ? store.AddMovStr(n, p) : store.SetMovStr(n, p, index);
        }
    }

    // The model's entry of a random name, new (of a random type) or not.
    ModelEntry& RandomEntry(Model& model, std::string* name) {
        *name = RandomText(20, false);
        const ModelEntry fresh{static_cast<uint32_t>(random_() % 7), {}, {}};
        return model.emplace(*name, fresh).first->second;
    }

    static Bytes Build(const Model& model, bool reversed) {
        StoreBytes bytes;
        for (const auto& [name, entry] : model) {
            if (entry.IsWords())
                bytes.Words(name, entry.type, entry.words);
            else
                bytes.Pieces(name, entry.type, entry.pieces);
        }
        return bytes.Build(reversed);
    }

    // Every entry and value of the model, read through `reader`.
    static void ExpectReads(XStoreReader& reader, const Model& model) {
        ASSERT_EQ(reader.EntryCount(), model.size());
        uint32_t index = 0;
        for (const auto& [name, entry] : model) {
            const char* n = name.c_str();
            XStoreType type = XStoreTypeNone;
            ASSERT_EQ(reader.IndEntry(index++, &type), name);
            ASSERT_EQ(static_cast<uint32_t>(type), entry.type);
            ASSERT_EQ(reader.ValueCount(n), entry.Count());
            // Each getter takes only its types, and no index past the values.
            for (uint32_t i : {0u, entry.Count()}) {
                const uint32_t t = i < entry.Count() ? entry.type : ~0u;
                EXPECT_EQ(reader.GetInt(n, nullptr, i), t == StoreBytes::kInt);
                EXPECT_EQ(reader.GetFloat(n, nullptr, i), t == StoreBytes::kFloat);
                EXPECT_EQ(reader.GetBool(n, nullptr, i), t == StoreBytes::kBool);
                EXPECT_EQ(reader.GetBlob(n, nullptr, nullptr, i), t == StoreBytes::kBlob);
                const bool text = t == StoreBytes::kString || t == StoreBytes::kLocStr ||
                                  t == StoreBytes::kMovStr;
                EXPECT_EQ(reader.GetString(n, nullptr, i), text);
            }
            for (uint32_t i = 0; i < entry.Count(); ++i) {
                if (entry.type == StoreBytes::kInt) {
                    EXPECT_EQ(static_cast<uint32_t>(reader.ReadInt(n, 0, i)), entry.words[i]);
                } else if (entry.type == StoreBytes::kFloat) {
                    float value = 0;
                    ASSERT_TRUE(reader.GetFloat(n, &value, i));
                    EXPECT_EQ(memcmp(&value, &entry.words[i], 4), 0);
                } else if (entry.type == StoreBytes::kBool) {
                    EXPECT_EQ(reader.ReadBool(n, false, i), entry.words[i] != 0);
                } else if (entry.type == StoreBytes::kBlob) {
                    uint32_t length = 0;
                    const void* data = reader.ReadBlob(n, &length, i);
                    ASSERT_NE(data, nullptr);
                    EXPECT_EQ(std::string(static_cast<const char*>(data), length), entry.pieces[i]);
                } else {
                    EXPECT_STREQ(reader.ReadString(n, nullptr, i), entry.pieces[i].c_str());
                }
            }
        }
    }

    std::mt19937 random_{20261205};
};

// Random stores of every type, built through XStore and checked against the model: byte for
// byte, as valid data, through a plain reader, in the other byte order, and after further
// changes to an unflattened copy, among them new names and changes the store must refuse; the
// version counts exactly the changes made.
TEST_F(RoundTrip, RandomStoresFlattenReadAndChange) {
    for (int round = 0; round < 40; ++round) {
        Model model;
        XStore store;
        for (int e = 0, entries = random_() % 30; e < entries; ++e) {
            std::string name;
            ModelEntry& entry = RandomEntry(model, &name);
            // Now and then an entry with many values, which are read by index past the eighth.
            const int values = random_() % 8 == 0 ? 9 + random_() % 40 : 1 + random_() % 4;
            for (int v = 0; v < values; ++v)
                ASSERT_TRUE(PutValue(store, name, entry, entry.Count()));
        }
        const Bytes flat = Flatten(store);
        ASSERT_EQ(flat, Build(model, false)) << "round " << round;
        const Bytes reversed = Build(model, true);
        for (const Bytes* bytes : {&flat, &reversed})
            ASSERT_TRUE(
                XStoreReader::IsValidData(bytes->data(), static_cast<uint32_t>(bytes->size())));
        XStoreReader reader(flat.data());
        ExpectReads(reader, model);
        XStoreReader swapped(reversed.data());
        ASSERT_TRUE(swapped.MustSwap());
        ExpectReads(swapped, model);

        // Unflatten a copy, change it, and compare again; new names wait for order until a
        // read by index now and then needs it.
        XStore changed(reversed.data());
        uint32_t version = 0;
        for (int step = 0; step < 40; ++step, ++version) {
            const uint32_t action = random_() % 7;
            if (action >= 5 || model.empty()) {
                std::string name;
                ModelEntry& entry = RandomEntry(model, &name);
                ASSERT_TRUE(PutValue(changed, name, entry, entry.Count()));
                continue;
            }
            auto it = model.begin();
            std::advance(it, random_() % model.size());
            const char* name = it->first.c_str();
            ModelEntry& entry = it->second;
            const uint32_t index = random_() % entry.Count();
            if (action == 4) {
                // Refused: a value of another type, Set or RemoveValue past the end, and
                // changes of a missing name (RemoveEntry still counts a version).
                ModelEntry other{
                    static_cast<uint32_t>((entry.type + 1 + random_() % 6) % 7), {}, {}};
                if (random_() % 2 == 0) {
                    other.type = entry.type;
                    ASSERT_FALSE(changed.RemoveValue(name, entry.Count()));
                }
                other.words.resize(other.IsWords() ? entry.Count() + 1 : 0);
                other.pieces.resize(other.IsWords() ? 0 : entry.Count() + 1);
                const uint32_t at =
                    other.type == entry.type ? entry.Count() : random_() % (entry.Count() + 2);
                ASSERT_FALSE(PutValue(changed, it->first, other, at));
                ASSERT_FALSE(changed.SetInt("absent!", 1, 1));
                ASSERT_FALSE(changed.RemoveValue("absent!", 0));
                ASSERT_FALSE(changed.RemoveEntry("absent!"));
            } else if (action < 2) {
                ASSERT_TRUE(
                    PutValue(changed, it->first, entry, action == 0 ? entry.Count() : index));
            } else if (action == 2) {
                ASSERT_TRUE(changed.RemoveValue(name, index));
                if (entry.IsWords())
                    entry.words.erase(entry.words.begin() + index);
                else
                    entry.pieces.erase(entry.pieces.begin() + index);
                if (entry.Count() == 0)
                    model.erase(it);
            } else {
                ASSERT_TRUE(changed.RemoveEntry(name));
                model.erase(it);
            }
            if (random_() % 4 == 0)
                ExpectReads(changed, model);
            ASSERT_EQ(changed.GetVersion(), version + 1);
        }
        ExpectReads(changed, model);
        ASSERT_EQ(Flatten(changed), Build(model, false)) << "round " << round;
    }
}

static_assert(!std::is_copy_constructible<XStore>::value, "copying a store is refused");
static_assert(!std::is_copy_assignable<XStore>::value, "copying a store is refused");

TEST(XStoreBasics, RefusesNullArgumentsAndOverlongBlobs) {
    XStore store;
    // Reading and flattening a new store build nothing and count no version.
    EXPECT_EQ(Flatten(store), StoreBytes().Build());
    EXPECT_EQ(store.ReadInt("a", 3, 0), 3);
    const uint8_t byte = 0;
    EXPECT_FALSE(store.AddInt(nullptr, 1));
    EXPECT_FALSE(store.AddString("s", nullptr));
    EXPECT_FALSE(store.SetLocStr("s", nullptr, 0));
    EXPECT_FALSE(store.AddBlob("b", nullptr, 4));
    // Refused before a byte is read: the block of length + 4 bytes cannot be described.
    EXPECT_FALSE(store.AddBlob("c", &byte, 0xFFFFFFFC));
    EXPECT_FALSE(store.SetBlob("c", &byte, 0xFFFFFFFF, 0));
    EXPECT_EQ(store.GetVersion(), 0u);
    EXPECT_TRUE(store.AddBlob("b", nullptr, 0));
    EXPECT_EQ(store.GetVersion(), 1u);
}

TEST(XStoreFlatten, ExampleGivesItsBytes) {
    XStore store;
    const uint8_t blob[] = {1, 2, 3};
    ASSERT_TRUE(store.AddLocStr("t", "x") && store.AddString("s", "hi"));
    ASSERT_TRUE(store.AddBlob("b", blob, 3) && store.AddInt("a", 5));
    EXPECT_EQ(Flatten(store), Example());
    EXPECT_EQ(Flatten(store), Example()) << "flattening changes nothing";
    EXPECT_EQ(store.GetVersion(), 4u);
}

// Reaches the protected value path to plant a blob block whose length word claims nearly
// 4 GiB while the block itself is 4 bytes long.
class PlantingStore : public XStore {
  public:
    bool PlantBlob(const char* name, uint32_t claimedLength) {
        void* block = malloc(4);
        memcpy(block, &claimedLength, 4);
        if (AddVal(name, XStoreTypeBlob, block))
            return true;
        free(block);
        return false;
    }
};

TEST(XStoreFlatten, StoreBeyondFourGigabytesIsRefusedBeforeAnyWrite) {
    PlantingStore store;
    ASSERT_TRUE(store.AddInt("a", 1));
    ASSERT_TRUE(store.PlantBlob("huge", 0xFFFFFFF0));
    uint32_t size = 123;
    EXPECT_EQ(store.GetData_NF(&size), nullptr);
    EXPECT_EQ(size, 0u);
    // Two blobs that only overflow together.
    PlantingStore pair;
    ASSERT_TRUE(pair.PlantBlob("x", 0x80000000));
    ASSERT_TRUE(pair.PlantBlob("y", 0x80000000));
    EXPECT_EQ(pair.GetData_NF(&size), nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(XStoreBuffer, AnswersFromBufferUntilFirstChange) {
    Bytes example = Example();
    XStore store(example.data(), false);
    EXPECT_EQ(store.GetVersion(), 0u);
    // The buffer is read in place: a change to it shows until the store is changed.
    example[88] = 6;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    ASSERT_TRUE(store.AddInt("n", 1));
    example[88] = 7;
    EXPECT_EQ(store.ReadInt("a", 0, 0), 6);
    EXPECT_EQ(store.GetVersion(), 1u);
    StoreBytes expected;
    expected.Int("a", {6}).Pieces("b", StoreBytes::kBlob, {"\x01\x02\x03"}).Int("n", {1});
    expected.Pieces("s", StoreBytes::kString, {"hi"}).Pieces("t", StoreBytes::kLocStr, {"x"});
    EXPECT_EQ(Flatten(store), expected.Build());
    // A store deleted through its base class frees its editable form.
    std::unique_ptr<XStoreReader> owned(new XStore);
    static_cast<XStore*>(owned.get())->AddString("s", "t");
}

TEST(XStoreBuffer, TakingABufferDiscardsChangesAndCountsAVersion) {
    Bytes example = Example();
    XStore store;
    store.AddInt("mine", 1);
    store.SetData(example.data(), true);
    EXPECT_EQ(store.GetVersion(), 2u);
    EXPECT_EQ(store.EntryType("mine"), XStoreTypeNone);
    void* owned = malloc(example.size());
    memcpy(owned, example.data(), example.size());
    store.AddInt("mine", 1);
    store.SetAllocatedData(owned);
    EXPECT_EQ(store.GetVersion(), 4u);
    EXPECT_EQ(store.EntryType("mine"), XStoreTypeNone);
    EXPECT_EQ(Flatten(store), example);
    store.SetEmpty();
    EXPECT_EQ(store.GetVersion(), 5u);
    EXPECT_EQ(store.EntryCount(), 0u);
    store.ResetVersion();
    EXPECT_EQ(store.GetVersion(), 0u);
    // A rejected buffer leaves the store empty, and still counts.
    Bytes bad = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    store.SetData(bad.data(), true);
    EXPECT_EQ(store.GetVersion(), 1u);
    EXPECT_EQ(store.EntryCount(), 0u);
}

// The editable form holds texts: resolvers are ignored once it exists, and detaching the
// separated strings does nothing before or after.
TEST(XStoreBuffer, EditableFormHoldsTextsAndIgnoresDetachAndResolvers) {
    Bytes example = Example();
    storetest::MapResolver resolver({{0, "resolved"}});
    storetest::KeepingRecorder recorder(1);
    XStore store(example.data());
    XStoreReader* asReader = &store;
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_EQ(Flatten(store), example);
    store.SetStrResolver(&resolver, &resolver);
    // Before the first change the buffer's reading asks the resolver.
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "resolved");
    ASSERT_TRUE(store.AddMovStr("u", "y"));
    asReader->DetachStrings(&recorder, &recorder);
    EXPECT_TRUE(recorder.texts.empty());
    EXPECT_STREQ(store.ReadString("t", nullptr, 0), "x");
    EXPECT_STREQ(store.ReadString("u", nullptr, 0), "y");
}

}  // namespace
