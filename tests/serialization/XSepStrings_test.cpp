// Detaching separated strings and resolving them again.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <brindle/serialization/XStoreReader.h>

#include "StoreBytes.h"

namespace {

using storetest::StoreBytes;

// Keeps every text it is given and answers with a running id from `first`.
class KeepingRecorder : public XSepStrRecorder {
  public:
    explicit KeepingRecorder(uint32_t first) : next_(first) {}
    uint32_t Record(const char* text) override {
        texts_[next_] = text;
        return next_++;
    }
    const std::map<uint32_t, std::string>& Texts() const { return texts_; }

  private:
    uint32_t next_;
    std::map<uint32_t, std::string> texts_;
};

// Resolves the ids that a KeepingRecorder gave; records what it was asked.
class MapResolver : public XSepStrResolver {
  public:
    explicit MapResolver(const std::map<uint32_t, std::string>& texts) : texts_(texts) {}
    const char* Resolve(uint32_t id) override {
        asked.push_back(id);
        auto it = texts_.find(id);
        return it == texts_.end() ? nullptr : it->second.c_str();
    }
    std::vector<uint32_t> asked;

  private:
    std::map<uint32_t, std::string> texts_;
};

std::vector<uint8_t> Example(bool reversed = false) {
    StoreBytes store;
    store.Int("a", {5}).Pieces("b", StoreBytes::kBlob, {"\x01\x02\x03"});
    store.Pieces("s", StoreBytes::kString, {"hi"}).Pieces("t", StoreBytes::kLocStr, {"x"});
    return store.Build(reversed);
}

uint32_t HeaderWord(const void* buffer, int index) {
    uint32_t word;
    memcpy(&word, static_cast<const uint8_t*>(buffer) + 4 * index, 4);
    return word;
}

TEST(SepStrDetach, ExampleSlotBecomesTheRecordedId) {
    XStoreReader reader(Example().data());
    KeepingRecorder loc(77);
    reader.DetachStrings(&loc, nullptr);
    EXPECT_EQ(loc.Texts().at(77), "x");

    uint32_t size = 0;
    void* detached = reader.GetData_NF(&size);
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(size, 120u);
    EXPECT_EQ(HeaderWord(detached, 2), 120u);
    EXPECT_EQ(HeaderWord(detached, 3), 0u);
    EXPECT_EQ(HeaderWord(detached, 29), 77u);  // the slot of 't', at offset 116

    XStoreReader second(detached);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "");
    EXPECT_EQ(second.ReadInt("a", 0, 0), 5);
    MapResolver resolver(loc.Texts());
    second.SetStrResolver(&resolver, nullptr);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "x");
    second.SetStrResolver(nullptr, nullptr);
    EXPECT_STREQ(second.ReadString("t", nullptr, 0), "");
    free(detached);
}

TEST(SepStrDetach, EachKindGoesToItsOwnRecorder) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"one", "two", "one"});
    store.Pieces("m", StoreBytes::kMovStr, {"three"});
    std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data(), false);
    KeepingRecorder loc(10), mov(500);
    reader.DetachStrings(&loc, &mov);
    // The same text in two values is recorded twice; in place, in the caller's memory.
    EXPECT_EQ(loc.Texts(),
              (std::map<uint32_t, std::string>{{10, "one"}, {11, "two"}, {12, "one"}}));
    EXPECT_EQ(mov.Texts(), (std::map<uint32_t, std::string>{{500, "three"}}));
    EXPECT_EQ(HeaderWord(bytes.data(), 3), 0u);

    MapResolver locResolver(loc.Texts()), movResolver(mov.Texts());
    reader.SetStrResolver(&locResolver, &movResolver);
    EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "two");
    EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "three");
    EXPECT_EQ(locResolver.asked, std::vector<uint32_t>{11});
}

TEST(SepStrDetach, ConvertedSlotsAreRecordedWithTheirTexts) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"first", "second"});
    const std::vector<uint8_t> bytes = store.Build(true);
    XStoreReader reader(bytes.data());
    KeepingRecorder loc(3);
    reader.DetachStrings(&loc, nullptr);
    EXPECT_EQ(loc.Texts(), (std::map<uint32_t, std::string>{{3, "first"}, {4, "second"}}));
    MapResolver resolver(loc.Texts());
    reader.SetStrResolver(&resolver, nullptr);
    EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "second");
}

TEST(SepStrDetach, StoreWithoutSeparatedStringsKeepsItsSize) {
    StoreBytes store;
    store.Int("a", {1});
    XStoreReader reader(store.Build().data());
    uint32_t before = 0;
    free(reader.GetData_NF(&before));
    reader.DetachStrings(nullptr, nullptr);
    uint32_t after = 0;
    void* out = reader.GetData_NF(&after);
    EXPECT_EQ(after, before);
    EXPECT_EQ(HeaderWord(out, 3), 0u);
    free(out);
}

TEST(SepStrDetach, SecondDetachDoesNothing) {
    XStoreReader reader(Example().data());
    KeepingRecorder first(77), second(1000);
    reader.DetachStrings(&first, nullptr);
    reader.DetachStrings(&second, nullptr);
    EXPECT_TRUE(second.Texts().empty());
    uint32_t size = 0;
    void* out = reader.GetData_NF(&size);
    EXPECT_EQ(size, 120u);
    EXPECT_EQ(HeaderWord(out, 29), 77u);
    free(out);
}

TEST(SepStrDetach, MissingRecorderForPresentKindChangesNothing) {
    const std::vector<uint8_t> original = Example();
    std::vector<uint8_t> bytes = original;
    XStoreReader reader(bytes.data(), false);
    KeepingRecorder mov(1);
    reader.DetachStrings(nullptr, &mov);
    EXPECT_EQ(bytes, original);
    EXPECT_STREQ(reader.ReadString("t", nullptr, 0), "x");
}

TEST(SepStrDetach, EmptyReaderIgnoresDetach) {
    XStoreReader reader;
    KeepingRecorder loc(1);
    reader.DetachStrings(&loc, &loc);
    EXPECT_EQ(reader.EntryCount(), 0u);
}

TEST(SepStrResolve, ResolverIsAskedWhileAttachedWithTheOffset) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"abc", "defgh"});
    store.Pieces("m", StoreBytes::kMovStr, {"z"});
    const std::vector<uint8_t> bytes = store.Build();
    XStoreReader reader(bytes.data());
    MapResolver resolver({{4, "from resolver"}});
    reader.SetStrResolver(&resolver, nullptr);
    EXPECT_STREQ(reader.ReadString("l", nullptr, 1), "from resolver");
    // Whatever the resolver gives, null included, is handed on.
    const char* text = "untouched";
    EXPECT_TRUE(reader.GetString("l", &text, 0));
    EXPECT_EQ(text, nullptr);
    // The other kind has no resolver and reads the strings area.
    EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "z");
    EXPECT_EQ(resolver.asked, (std::vector<uint32_t>{4, 0}));
}

TEST(SepStrResolve, ResolversOutliveBuffers) {
    XSepStrResolver base;
    XStoreReader reader;
    reader.SetStrResolver(nullptr, &base);
    StoreBytes store;
    store.Pieces("m", StoreBytes::kMovStr, {"text"});
    reader.SetData(store.Build().data(), true);
    EXPECT_STREQ(reader.ReadString("m", nullptr, 0), "");
}

TEST(SepStrResolve, ConvertedSlotsReachTheResolverAsStored) {
    StoreBytes store;
    store.Pieces("l", StoreBytes::kLocStr, {"abc", "defgh"});
    XStoreReader reader(store.Build(true).data());
    MapResolver resolver({});
    reader.SetStrResolver(&resolver, nullptr);
    reader.ReadString("l", nullptr, 1);
    EXPECT_EQ(resolver.asked, std::vector<uint32_t>{storetest::Reverse(4)});
}

TEST(SepStrBase, BaseClassesKeepAndKnowNothing) {
    XSepStrRecorder recorder;
    XSepStrResolver resolver;
    EXPECT_EQ(recorder.Record("anything"), 0u);
    EXPECT_STREQ(resolver.Resolve(0), "");
    EXPECT_STREQ(resolver.Resolve(123456), "");
    XSepStrRecorder copy(recorder);
    copy = recorder;
    EXPECT_EQ(copy.Record("x"), 0u);
}

}  // namespace
