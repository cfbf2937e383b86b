// SPDX-License-Identifier: MIT
// Writes held back and sent together, against a reference: a byte array to which every write
// is applied in the order made. Random appends, header writes, reads of the tail and sends,
// some of them failing: what is held or refused must follow the rules, reads of the tail must
// equal the reference at once, and after every send the file must equal it.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "blockfile/FileCalls.h"
#include "blockfile/WriteBehind.h"
#include "brindle/Debg.h"

namespace {

using brindle::WriteSlice;
using brindle::blockfile::WriteBehind;
using Bytes = std::vector<uint8_t>;

class WriteBehindTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char path[] = "/tmp/brindle-writebehind-XXXXXX";
        fd_ = mkstemp(path);
        ASSERT_GE(fd_, 0);
        unlink(path);
    }
    void TearDown() override { close(fd_); }

    Bytes FileContents() const {
        Bytes bytes(static_cast<size_t>(lseek(fd_, 0, SEEK_END)));
        EXPECT_EQ(pread(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        return bytes;
    }

    void Apply(const uint8_t* data, size_t size, uint64_t offset) {
        reference_.resize(std::max<uint64_t>(reference_.size(), offset + size));
        std::copy(data, data + size, reference_.begin() + static_cast<ptrdiff_t>(offset));
    }

    // Sends what is held, now and then through a file call that fails first (everything
    // stays held then), and checks the file against the reference.
    void SendAndCompare(WriteBehind* behind, bool rewriteBetween, bool failFirst) {
        if (failFirst) {
            DebgFailFileCall(1 + static_cast<uint32_t>(random_() % 3), EIO, 0);
            const bool sent = behind->Send(fd_, rewriteBetween);
            const bool struck = DebgPendingFileCallFailure() == 0;
            DebgFailFileCall(0, 0, 0);
            ASSERT_EQ(sent, !struck);
            ASSERT_EQ(behind->Empty(), sent);
        }
        ASSERT_TRUE(behind->Send(fd_, rewriteBetween));
        ASSERT_TRUE(behind->Empty());
        ASSERT_EQ(FileContents(), reference_);
        tailSize_ = 0;
        held_ = 0;
        heldEnd_ = 0;
    }

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(random_() % n); }

    int fd_ = -1;
    std::mt19937 random_{2026};
    Bytes reference_;
    // What the test expects to be held.
    uint64_t tailStart_ = 0;
    uint64_t tailSize_ = 0;
    uint32_t held_ = 0;
    uint64_t heldEnd_ = 0;
};

TEST_F(WriteBehindTest, SentFilesEqualEveryWriteAppliedInOrder) {
    {
        // Without its memory, it holds nothing.
        WriteBehind starved;
        DebgFailAllocation(2);
        EXPECT_FALSE(starved.Init());
        DebgFailAllocation(0);
        const WriteSlice slice = {"abcd", 4};
        EXPECT_FALSE(starved.HoldAppend(&slice, 1, 0));
        EXPECT_FALSE(starved.HoldWrite("abcd", 4, 0, 4096, false));
        EXPECT_TRUE(starved.Empty());
    }
    WriteBehind behind;
    ASSERT_TRUE(behind.Init());
    Bytes start(256 << 10);
    for (uint8_t& byte : start)
        byte = static_cast<uint8_t>(random_());
    ASSERT_TRUE(brindle::WriteAt(fd_, start.data(), start.size(), 0));
    reference_ = start;
    // Header writes land within what the file held at the last send, as the block file's do.
    uint64_t onDisk = start.size();
    uint64_t lastWrite = 0;
    int sends = 0;
    int heldWrites = 0;
    int heldAppends = 0;
    for (int step = 0; step < 6000 && !HasFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const uint32_t roll = Below(100);
        if (roll < 35) {
            // Pieces that continue the tail, begin at the end of the file, or anywhere.
            Bytes bytes(1 + (Below(50) == 0 ? Below(70000) : Below(400)));
            for (uint8_t& byte : bytes)
                byte = static_cast<uint8_t>(random_());
            const size_t cut = bytes.empty() ? 0 : Below(static_cast<uint32_t>(bytes.size()));
            const WriteSlice pieces[] = {{bytes.data(), cut},
                                         {bytes.data() + cut, bytes.size() - cut}};
            const uint64_t tailEnd = tailStart_ + tailSize_;
            const uint32_t where = Below(10);
            uint64_t offset = where < 6 && tailSize_ != 0
                                  ? tailEnd - std::min<uint64_t>(Below(6), tailSize_)
                              : where < 8 ? reference_.size()
                                          : Below(static_cast<uint32_t>(reference_.size()));
            const uint64_t from = tailSize_ == 0 ? offset : tailStart_;
            const bool continues = tailSize_ == 0 || (offset >= tailStart_ && offset <= tailEnd &&
                                                      offset + bytes.size() >= tailEnd);
            const bool fits = offset + bytes.size() - from <= WriteBehind::kBufferSize;
            const bool held = behind.HoldAppend(pieces, 2, offset);
            ASSERT_EQ(held, continues && fits && offset >= heldEnd_);
            if (!held) {
                SendAndCompare(&behind, Below(2) == 0, false);
                onDisk = reference_.size();
                if (!behind.HoldAppend(pieces, 2, offset)) {
                    ASSERT_GT(bytes.size(), WriteBehind::kBufferSize);
                    ASSERT_TRUE(brindle::WriteAt(fd_, bytes.data(), bytes.size(), offset));
                    Apply(bytes.data(), bytes.size(), offset);
                    onDisk = reference_.size();
                    continue;
                }
            }
            ++heldAppends;
            Apply(bytes.data(), bytes.size(), offset);
            tailStart_ = tailSize_ == 0 ? offset : tailStart_;
            tailSize_ = std::max(tailStart_ + tailSize_, offset + bytes.size()) - tailStart_;
            ASSERT_FALSE(behind.Empty());
        } else if (roll < 85) {
            // Header writes, often near the one before, so that they overlap, touch or lie near.
            // As in the block file, bytes 12 to 15 of every 16 hold a flag, which the writes
            // that go first set and the others keep set, so that where both write they agree.
            const bool first = Below(3) == 0;
            size_t size = Below(40) == 0 ? Below(2) * 17 : 1 + Below(16);
            const uint32_t unit = Below(2) == 0 ? 512 : 4096;
            uint64_t offset =
                Below(2) == 0 ? lastWrite + Below(64) : Below(static_cast<uint32_t>(onDisk));
            offset = std::min(offset - std::min<uint64_t>(offset, 24), onDisk - 17);
            if (first) {
                offset = offset / 16 * 16 + 12;
                size = 4;
            }
            lastWrite = offset;
            uint8_t bytes[17];
            for (size_t i = 0; i < sizeof bytes; ++i)
                bytes[i] = (offset + i) % 16 >= 12 ? 0xFF : static_cast<uint8_t>(random_());
            const bool valid = size != 0 && size <= WriteBehind::kMaxWriteSize &&
                               offset / unit == (offset + size - 1) / unit;
            const bool inTail =
                tailSize_ != 0 && offset < tailStart_ + tailSize_ && tailStart_ < offset + size;
            const bool held = behind.HoldWrite(bytes, size, offset, unit, first);
            ASSERT_EQ(held, valid && !inTail && held_ < WriteBehind::kMaxWrites);
            if (!held) {
                SendAndCompare(&behind, Below(2) == 0, false);
                onDisk = reference_.size();
                if (!behind.HoldWrite(bytes, size, offset, unit, first)) {
                    ASSERT_FALSE(valid);
                    ASSERT_TRUE(brindle::WriteAt(fd_, bytes, size, offset));
                    Apply(bytes, size, offset);
                    continue;
                }
            }
            ++heldWrites;
            ++held_;
            heldEnd_ = std::max(heldEnd_, offset + size);
            Apply(bytes, size, offset);
        } else if (roll < 95) {
            // Reads around the tail: what lies in it comes from it, the rest is left alone.
            const uint64_t from = tailStart_ - std::min<uint64_t>(tailStart_, Below(300));
            const uint64_t offset = from + Below(static_cast<uint32_t>(tailSize_ + 300));
            Bytes buf(Below(400), 0xEE);
            const size_t front = behind.ReadTail(buf.data(), buf.size(), offset);
            const uint64_t tailEnd = tailStart_ + tailSize_;
            const bool reaches =
                tailSize_ != 0 && offset + buf.size() > tailStart_ && offset < tailEnd;
            ASSERT_EQ(front, !reaches ? buf.size() : offset < tailStart_ ? tailStart_ - offset : 0);
            for (size_t i = 0; i < buf.size(); ++i) {
                const bool inTail = i >= front && offset + i < tailEnd;
                ASSERT_EQ(buf[i], inTail ? reference_[offset + i] : 0xEE) << "byte " << i;
            }
        } else if (roll < 99) {
            SendAndCompare(&behind, Below(2) == 0, Below(3) == 0);
            onDisk = reference_.size();
            ++sends;
        } else {
            // Dropped, what was held never reaches the file.
            behind.Drop();
            ASSERT_TRUE(behind.Empty());
            reference_ = FileContents();
            onDisk = reference_.size();
            tailSize_ = 0;
            held_ = 0;
            heldEnd_ = 0;
        }
    }
    EXPECT_GT(sends, 150);
    EXPECT_GT(heldWrites, 2000);
    EXPECT_GT(heldAppends, 1000);
}

// Sent, held writes go out in as few writes as the rules allow: writes that touch as one,
// writes near each other as one only when the bytes between may be rewritten, the writes that
// go first apart from the others.
TEST_F(WriteBehindTest, HeldWritesAreMergedWhereTheyMayBe) {
    WriteBehind behind;
    ASSERT_TRUE(behind.Init());
    const Bytes zeros(8192);
    ASSERT_TRUE(brindle::WriteAt(fd_, zeros.data(), zeros.size(), 0));
    const uint8_t flag[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    size_t writes = 0;
    auto count = [](int32_t, DebgFileCall call, uint64_t, const void*, uint64_t, void* context) {
        *static_cast<size_t*>(context) += call == DebgFileCallWrite ? 1 : 0;
    };
    for (const bool rewriteBetween : {false, true}) {
        writes = 0;
        // Two that touch, one near them, one that goes first among them, one far away.
        for (const uint64_t offset : {100, 104, 300, 6000})
            ASSERT_TRUE(behind.HoldWrite(flag, 4, offset, 4096, false));
        ASSERT_TRUE(behind.HoldWrite(flag, 4, 200, 4096, true));
        DebgWatchFileCalls(count, &writes);
        ASSERT_TRUE(behind.Send(fd_, rewriteBetween));
        DebgWatchFileCalls(nullptr, nullptr);
        EXPECT_EQ(writes, rewriteBetween ? 3u : 4u);
    }
}

}  // namespace
