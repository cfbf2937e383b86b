// Thousands of random operations checked against an in-memory map, with the whole file
// structure verified after every reopen, compaction and simulated crash.
#include <random>

#include <gtest/gtest.h>

#include "BlockFileTestSupport.h"

namespace blockfile_test {
namespace {

class ModelTest : public BlockFileTest {
  protected:
    void ExpectCleanFile(const std::string& name) {
        DiskLayout layout;
        ASSERT_EQ(CheckCleanFile(FileBytes(name), &layout), "");
    }
};

TEST_F(ModelTest, RandomOperationsMatchAMap) {
    std::mt19937 random(12345);
    auto below = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    State model;
    XBlockFile file;
    CreateAndOpen(&file);
    uint32_t version = 0;
    int reopens = 0;
    int compactions = 0;
    int crashes = 0;
    for (int step = 0; step < 6000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const uint32_t roll = below(1000);
        const uint32_t id = below(150) + 1;
        if (roll < 450) {
            uint32_t len = below(10) == 0 ? below(4097) : below(300);
            auto existing = model.find(id);
            if (existing != model.end() && below(4) == 0)
                len = static_cast<uint32_t>(existing->second.size());  // in-place rewrite
            model[id] = Pattern(id, ++version, len);
            WriteBytes(&file, id, model[id]);
        } else if (roll < 650) {
            ASSERT_EQ(file.DeleteBlock(id), model.erase(id) ? 1 : -1);
        } else if (roll < 850) {
            auto expected = model.find(id);
            if (expected == model.end())
                ASSERT_FALSE(BlockBytes(file, id).has_value());
            else
                ASSERT_EQ(BlockBytes(file, id), expected->second);
        } else if (roll < 900) {
            file.Flush();
            ExpectCleanFile("test.db");
        } else if (roll < 950) {
            file.Close();
            ExpectCleanFile("test.db");
            ASSERT_EQ(file.Open(Portable("test.db").c_str(), below(2) == 0), 0);
            ExpectHolds(file, model);
            if (file.IsReadOnly()) {
                file.Close();
                ASSERT_EQ(file.Open(Portable("test.db").c_str(), false), 0);
            }
            ++reopens;
        } else if (roll < 975) {
            file.Compact(false);
            file.Flush();  // a file without free slots is left as it was, maybe changed
            DiskLayout layout;
            ASSERT_EQ(CheckCleanFile(FileBytes(), &layout), "");
            ASSERT_TRUE(layout.freeSlots.empty());
            ExpectHolds(file, model);
            ++compactions;
        } else {
            // What a crash would leave: the file as it stands, opened by another object.
            WriteFileBytes(Native("crash.db"), FileBytes());
            XBlockFile recovered;
            ASSERT_EQ(recovered.Open(Portable("crash.db").c_str(), false), 0);
            ExpectHolds(recovered, model);
            recovered.Close();
            ExpectCleanFile("crash.db");
            ++crashes;
        }
    }
    EXPECT_GT(reopens, 100);
    EXPECT_GT(compactions, 50);
    EXPECT_GT(crashes, 50);
}

}  // namespace
}  // namespace blockfile_test
