// Random stores of every type, built through XStore and checked against a model laid out by
// hand: byte for byte, through a plain reader, in the other byte order, and after further
// changes to an unflattened copy.
#include <brindle/serialization/XStore.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "StoreBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using storetest::StoreBytes;

// One entry of the model: word values (Int, Float, Bool) or pieces (the others).
struct ModelEntry {
    uint32_t type;
    std::vector<uint32_t> words;
    std::vector<std::string> pieces;
    size_t Count() const { return words.size() + pieces.size(); }
};
using Model = std::map<std::string, ModelEntry>;

bool IsWordType(uint32_t type) {
    return type <= StoreBytes::kBool;
}

class RoundTrip : public ::testing::Test {
  protected:
    std::string RandomText(size_t maxLength, bool anyByte) {
        std::string text(random_() % (maxLength + 1), ' ');
        for (char& c : text) {
            // Names and texts have no NUL; blob bytes may be anything.
            c = static_cast<char>(anyByte ? random_() % 256 : 1 + random_() % 255);
        }
        return text;
    }

    uint32_t RandomWord(uint32_t type) {
        if (type == StoreBytes::kBool)
            return random_() % 2;
        return static_cast<uint32_t>(random_());
    }

    std::string RandomPiece(uint32_t type) {
        return RandomText(type == StoreBytes::kBlob ? 12 : 9, type == StoreBytes::kBlob);
    }

    // Adds value to the store as the model's type says, and to the model.
    bool AddValue(XStore& store, const std::string& name, ModelEntry& entry) {
        if (IsWordType(entry.type)) {
            const uint32_t word = RandomWord(entry.type);
            entry.words.push_back(word);
            float asFloat;
            memcpy(&asFloat, &word, 4);
            switch (entry.type) {
                case StoreBytes::kInt:
                    return store.AddInt(name.c_str(), static_cast<int32_t>(word));
                case StoreBytes::kFloat:
                    return store.AddFloat(name.c_str(), asFloat);
                default:
                    return store.AddBool(name.c_str(), word != 0);
            }
        }
        const std::string piece = RandomPiece(entry.type);
        entry.pieces.push_back(piece);
        switch (entry.type) {
            case StoreBytes::kString:
                return store.AddString(name.c_str(), piece.c_str());
            case StoreBytes::kBlob:
                return store.AddBlob(name.c_str(), piece.data(),
                                     static_cast<uint32_t>(piece.size()));
            case StoreBytes::kLocStr:
                return store.AddLocStr(name.c_str(), piece.c_str());
            default:
                return store.AddMovStr(name.c_str(), piece.c_str());
        }
    }

    // Replaces value `index` in the store and the model.
    bool SetValue(XStore& store, const std::string& name, ModelEntry& entry, uint32_t index) {
        const char* n = name.c_str();
        if (IsWordType(entry.type)) {
            const uint32_t word = RandomWord(entry.type);
            entry.words[index] = word;
            float asFloat;
            memcpy(&asFloat, &word, 4);
            return entry.type == StoreBytes::kInt     ? store.SetInt(n, word, index)
                   : entry.type == StoreBytes::kFloat ? store.SetFloat(n, asFloat, index)
                                                      : store.SetBool(n, word != 0, index);
        }
        const std::string piece = RandomPiece(entry.type);
        entry.pieces[index] = piece;
        const uint32_t length = static_cast<uint32_t>(piece.size());
        return entry.type == StoreBytes::kString   ? store.SetString(n, piece.c_str(), index)
               : entry.type == StoreBytes::kBlob   ? store.SetBlob(n, piece.data(), length, index)
               : entry.type == StoreBytes::kLocStr ? store.SetLocStr(n, piece.c_str(), index)
                                                   : store.SetMovStr(n, piece.c_str(), index);
    }

    static Bytes Build(const Model& model, bool reversed) {
        StoreBytes bytes;
        for (const auto& [name, entry] : model) {
            if (IsWordType(entry.type))
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
            XStoreType type = XStoreTypeNone;
            ASSERT_EQ(reader.IndEntry(index++, &type), name);
            ASSERT_EQ(static_cast<uint32_t>(type), entry.type);
            ASSERT_EQ(reader.ValueCount(name.c_str()), entry.Count());
            for (uint32_t i = 0; i < entry.Count(); ++i)
                ExpectValue(reader, name, entry, i);
        }
    }

    static void ExpectValue(XStoreReader& reader, const std::string& name, const ModelEntry& entry,
                            uint32_t i) {
        const char* n = name.c_str();
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

    static Bytes Flatten(XStore& store) {
        uint32_t size = 0;
        void* data = store.GetData_NF(&size);
        EXPECT_NE(data, nullptr);
        Bytes bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
        free(data);
        return bytes;
    }

    std::mt19937 random_{20261205};
};

TEST_F(RoundTrip, RandomStoresFlattenReadAndChange) {
    for (int round = 0; round < 40; ++round) {
        Model model;
        XStore store;
        const int entries = random_() % 30;
        for (int e = 0; e < entries; ++e) {
            const std::string name = RandomText(6, false);
            auto found = model.find(name);
            ModelEntry& entry = found != model.end()
                                    ? found->second
                                    : model[name] =
                                          ModelEntry{static_cast<uint32_t>(random_() % 7), {}, {}};
            const int values = 1 + random_() % 4;
            for (int v = 0; v < values; ++v)
                ASSERT_TRUE(AddValue(store, name, entry));
        }
        const Bytes flat = Flatten(store);
        ASSERT_EQ(flat, Build(model, false)) << "round " << round;
        XStoreReader reader(flat.data());
        ExpectReads(reader, model);
        Bytes reversed = Build(model, true);
        XStoreReader swapped(reversed.data());
        ASSERT_TRUE(swapped.MustSwap());
        ExpectReads(swapped, model);

        // Unflatten a copy, change it, and compare again.
        XStore changed(reversed.data());
        for (int step = 0; step < 20 && !model.empty(); ++step) {
            auto it = model.begin();
            std::advance(it, random_() % model.size());
            const std::string name = it->first;
            ModelEntry& entry = it->second;
            const uint32_t index = random_() % entry.Count();
            switch (random_() % 4) {
                case 0:
                    ASSERT_TRUE(AddValue(changed, name, entry));
                    break;
                case 1:
                    ASSERT_TRUE(SetValue(changed, name, entry, index));
                    break;
                case 2:
                    ASSERT_TRUE(changed.RemoveValue(name.c_str(), index));
                    if (IsWordType(entry.type))
                        entry.words.erase(entry.words.begin() + index);
                    else
                        entry.pieces.erase(entry.pieces.begin() + index);
                    if (entry.Count() == 0)
                        model.erase(it);
                    break;
                default:
                    ASSERT_TRUE(changed.RemoveEntry(name.c_str()));
                    model.erase(it);
                    break;
            }
        }
        ExpectReads(changed, model);
        ASSERT_EQ(Flatten(changed), Build(model, false)) << "round " << round;
    }
}

}  // namespace
