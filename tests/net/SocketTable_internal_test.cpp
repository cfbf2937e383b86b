// SPDX-License-Identifier: MIT

#include "net/SocketTable.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace {

using brindle::SocketTable;

// Random entries, replacements and departures over a range of descriptors that makes the
// table grow, against a map: a word finds its owner exactly while that owner is entered,
// never once the descriptor has left or been given to another owner.
TEST(SocketTable, AWordFindsItsOwnerOnlyWhileThatOwnerIsEntered) {
    SocketTable table;
    std::mt19937 random(7);
    std::map<int, uint64_t> current;  // descriptor -> its owner's word
    std::vector<uint64_t> retired;
    int owners[2000];
    for (int step = 0; step < 20000; ++step) {
        int socket = int(random() % 2000);
        if (random() % 3 != 0) {
            uint64_t word = table.Enter(socket, SocketTable::kHandler, &owners[socket]);
            ASSERT_NE(word, SocketTable::kWakeWord);
            if (current.count(socket) != 0)
                retired.push_back(current[socket]);
            current[socket] = word;
        } else {
            table.Leave(socket);
            if (current.count(socket) != 0)
                retired.push_back(current[socket]);
            current.erase(socket);
        }
    }
    for (const auto& [socket, word] : current) {
        const SocketTable::Entry* entry = table.Find(word);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->owner, &owners[socket]);
        EXPECT_EQ(entry->kind, SocketTable::kHandler);
    }
    for (uint64_t word : retired)
        EXPECT_EQ(table.Find(word), nullptr);
    EXPECT_EQ(table.Find(SocketTable::kWakeWord), nullptr);
    EXPECT_EQ(table.Find(uint64_t{1} << 32 | 5000), nullptr);  // beyond the table
    table.Leave(100000);                                       // never entered: nothing
}

}  // namespace
