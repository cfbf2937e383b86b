// Random stores of every type, built through XStore and checked against a model laid out by
// hand: byte for byte, as valid data, through a plain reader, in the other byte order, and
// after further changes to an unflattened copy, among them new names.
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "StoreBytes.h"

namespace {

using storetest::Bytes;
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
    // `index` with one.
    bool PutValue(XStore& store, const std::string& name, ModelEntry& entry, uint32_t index) {
        const bool add = index == entry.Count();
        const char* n = name.c_str();
        if (entry.IsWords()) {
            const uint32_t word =
                entry.type == StoreBytes::kBool ? random_() % 2 : static_cast<uint32_t>(random_());
            if (add)
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
        if (add)
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

TEST_F(RoundTrip, RandomStoresFlattenReadAndChange) {
    for (int round = 0; round < 40; ++round) {
        Model model;
        XStore store;
        for (int e = 0, entries = random_() % 30; e < entries; ++e) {
            const std::string name = RandomText(6, false);
            ModelEntry& entry =
                model.emplace(name, ModelEntry{static_cast<uint32_t>(random_() % 7), {}, {}})
                    .first->second;
            for (int v = 0, values = 1 + random_() % 4; v < values; ++v)
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
        for (int step = 0; step < 40; ++step) {
            const uint32_t action = random_() % 6;
            if (action >= 4 || model.empty()) {
                const std::string name = RandomText(6, false);
                ModelEntry& entry =
                    model.emplace(name, ModelEntry{static_cast<uint32_t>(random_() % 7), {}, {}})
                        .first->second;
                ASSERT_TRUE(PutValue(changed, name, entry, entry.Count()));
                continue;
            }
            auto it = model.begin();
            std::advance(it, random_() % model.size());
            const char* name = it->first.c_str();
            ModelEntry& entry = it->second;
            const uint32_t index = random_() % entry.Count();
            if (action < 2) {
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
        }
        ExpectReads(changed, model);
        ASSERT_EQ(Flatten(changed), Build(model, false)) << "round " << round;
    }
}

}  // namespace
