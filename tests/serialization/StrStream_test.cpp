// SPDX-License-Identifier: MIT
// XStrStream: appending text, growth, taking the text out, copies.
#include <float.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>

#include <brindle/Debg.h>
#include <brindle/serialization/XStrStream.h>
#include <gtest/gtest.h>

namespace {

// Exposes the capacity and counts the calls of Write.
class PeekStream : public XStrStream {
  public:
    using XStrStream::XStrStream;
    uint32_t Capacity() const { return capacity; }
    int32_t Write(const char* text, uint32_t n) override {
        ++writes;
        if (text != nullptr)
            pieces.append(text, n);
        return XStrStream::Write(text, n);
    }
    int writes = 0;
    std::string pieces;
};

std::string Text(XStrStream& stream) {
    uint32_t len = 0;
    const char* text = stream.Buffer(&len);
    EXPECT_EQ(strlen(text), len);
    return std::string(text, len);
}

// ---- Formatting ----

TEST(XStrStreamFormat, WritersAppendTheirTextThroughWrite) {
    PeekStream stream;
    int32_t result = stream.WriteFloat(FLT_MAX);  // 46 characters into a 16-byte buffer
    result |= stream.WriteFloat(-FLT_MAX);
    result |= stream.WriteFloat(0.25f);
    result |= stream.WriteInt(-5);
    result |= stream.WriteInt(INT32_MIN);
    result |= stream.WriteHex(255);
    result |= stream.WriteHex(0);
    result |= stream.WriteHex(-1);
    result |= stream.WriteBool(false);
    result |= stream.WriteBool(true);
    result |= stream.WriteStr(" end");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(stream.writes, 11) << "one Write per item";
    const std::string expected =
        "340282346638528859811704183484516925440.000000"
        "-340282346638528859811704183484516925440.000000"
        "0.250000-5-21474836480xFF0x00xFFFFFFFFfalsetrue end";
    EXPECT_EQ(stream.pieces, expected);
    EXPECT_EQ(Text(stream), expected);
    // Nothing to append, or nothing to append from.
    EXPECT_EQ(stream.WriteStr(""), 0);
    EXPECT_EQ(stream.WriteStr(nullptr), 0);
    EXPECT_EQ(stream.Write("abc", 0), 0);
    EXPECT_EQ(stream.Write(nullptr, 3), -1);
    EXPECT_EQ(Text(stream), expected);
}

// ---- Growth ----

TEST(XStrStreamGrowth, FailedGrowthKeepsTheTextAndOwnTextSurvivesGrowth) {
    PeekStream stream;
    stream.WriteStr("0123456789");
    DebgFailAllocation(1);
    EXPECT_EQ(stream.WriteStr("0123456789"), -1);
    EXPECT_EQ(stream.Capacity(), 16u);
    EXPECT_EQ(stream.WriteInt(12345), 0) << "fits without growing";
    uint32_t len = 0;
    const char* own = stream.Buffer(&len);
    EXPECT_EQ(stream.Write(own, len), 0);  // grows, moving the text it copies from
    EXPECT_EQ(Text(stream), "012345678912345012345678912345");
}

// ---- Taking the text ----

TEST(XStrStreamBuffer, OutOfMemoryLeavesAnEmptyUsableStream) {
    DebgFailAllocation(1);
    PeekStream starved;  // the constructor's allocation fails
    PeekStream taken;
    taken.WriteStr("first");
    DebgFailAllocation(1);
    char* text = taken.RetreiveBuffer_NF(nullptr);  // starting over fails
    EXPECT_STREQ(text, "first");
    free(text);
    for (PeekStream* stream : {&starved, &taken}) {
        EXPECT_EQ(stream->Capacity(), 0u);
        uint32_t len = 7;
        EXPECT_STREQ(stream->Buffer(&len), "");
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(stream->RetreiveBuffer_NF(&len), nullptr);
        EXPECT_EQ(stream->WriteChar('a'), 0) << "the next write allocates";
        EXPECT_EQ(Text(*stream), "a");
    }
    taken.WriteStr(std::string(2000, 'b').c_str());
    DebgFailAllocation(1);
    taken.Reset();
    EXPECT_EQ(Text(taken), "") << "a failed shrink keeps the larger buffer";
    EXPECT_EQ(taken.Capacity(), 2048u);
}

// ---- Copies ----

TEST(XStrStreamCopy, CopiesOwnTheirText) {
    XStrStream stream;
    stream.WriteStr("original");
    XStrStream copy(stream);
    copy.WriteStr("+copy");
    EXPECT_EQ(Text(stream), "original");

    XStrStream assigned(100);
    assigned.WriteStr("old");
    assigned = copy;
    assigned = assigned;
    EXPECT_EQ(Text(assigned), "original+copy");
    free(assigned.RetreiveBuffer_NF(nullptr));
    EXPECT_EQ(Text(copy), "original+copy");

    DebgFailAllocation(1);
    XStrStream starved(stream);
    EXPECT_EQ(Text(starved), "") << "a copy under out-of-memory is empty and usable";
    starved.WriteStr("again");
    EXPECT_EQ(Text(starved), "again");
}

// ---- Random contents ----

// Random characters, strings and numbers against a std::string, now and then taken out or
// reset, with the capacity and the calls of Write checked against the growth rule: a Write that
// would leave fewer than two bytes free grows the buffer to the smallest multiple of the step (1024
// below 4 KiB, then a quarter of the capacity) above the length it needs with the NUL; WriteChar
// stores directly while the character and the NUL fit.
TEST(XStrStreamRoundTrip, RandomPiecesMatchAStdStringAndTheGrowthRule) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 20; ++round) {
        const uint32_t initSize = round < 3 ? round : rng() % 64;  // 0 and 1 are raised to 2
        PeekStream stream(initSize);
        uint32_t capacity = std::max(initSize, 2u);
        int writes = 0;
        std::string expected;
        for (int i = 0, pieces = static_cast<int>(rng() % 2000); i < pieces; ++i) {
            std::string piece;
            int32_t result;
            const uint32_t kind = rng() % 3;
            if (kind == 0) {
                piece = std::string(1, static_cast<char>('a' + rng() % 26));
                result = stream.WriteChar(piece[0]);
            } else if (kind == 1) {
                piece = std::string(rng() % 300, static_cast<char>('A' + rng() % 26));
                result = stream.WriteStr(piece.c_str());
            } else {
                const int32_t value = static_cast<int32_t>(rng());
                piece = std::to_string(value);
                result = stream.WriteInt(value);
            }
            ASSERT_EQ(result, 0);
            const uint64_t needed = expected.size() + piece.size() + 1;
            writes += kind != 0 || needed > capacity;
            if (needed > capacity || (needed == capacity && kind != 0)) {
                const uint64_t step = capacity < 4096 ? 1024 : capacity / 4;
                capacity = static_cast<uint32_t>((needed / step + 1) * step);
            }
            ASSERT_EQ(stream.Capacity(), capacity) << "after " << expected.size();
            ASSERT_EQ(stream.writes, writes);
            expected += piece;
            if (rng() % 100 == 0) {  // taking a look leaves the text to be continued
                ASSERT_EQ(Text(stream), expected);
            } else if (rng() % 100 == 0 || i == pieces - 1) {
                // Taking the text or a Reset starts over at the initial size.
                uint32_t len = 0;
                char* taken = rng() % 2 ? stream.RetreiveBuffer_NF(&len) : nullptr;
                if (taken == nullptr)
                    stream.Reset();
                else
                    ASSERT_EQ(std::string(taken, len + 1), expected + '\0');
                free(taken);
                expected.clear();
                capacity = std::max(initSize, 2u);
                ASSERT_EQ(stream.Capacity(), capacity);
            }
        }
        ASSERT_EQ(Text(stream), expected);
    }
}

}  // namespace
