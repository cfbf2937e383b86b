// XStrStream: appending text, growth, taking the text out, copies.
#include <float.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

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

TEST(XStrStreamGrowth, WriteCharStoresDirectlyUntilTheBufferIsFull) {
    PeekStream stream;
    EXPECT_EQ(stream.Capacity(), 16u);
    stream.WriteStr("0123456789abcd");
    EXPECT_EQ(stream.Capacity(), 16u) << "14 characters fit";
    EXPECT_EQ(stream.WriteChar('e'), 0);
    EXPECT_EQ(stream.writes, 1) << "the 15th character is stored directly";
    EXPECT_EQ(stream.Capacity(), 16u);
    EXPECT_EQ(Text(stream), "0123456789abcde");
    EXPECT_EQ(stream.WriteChar('f'), 0);
    EXPECT_EQ(stream.writes, 2) << "a full buffer sends the character through Write";
    EXPECT_EQ(stream.Capacity(), 1024u);
    EXPECT_EQ(Text(stream), "0123456789abcdef");

    PeekStream fifteen;
    fifteen.WriteStr("0123456789abcde");
    EXPECT_EQ(fifteen.Capacity(), 1024u) << "15 characters and the NUL need growth";
}

TEST(XStrStreamGrowth, KilobyteStepsBelow4KiBThenAQuarter) {
    PeekStream stream;
    // 4000 + 1 needs more than 2048; 4095 + 1 grows with a step of 1024; then 1280 from 5120.
    const struct {
        size_t write;
        uint32_t capacity;
    } steps[] = {{2000, 2048}, {2000, 4096}, {95, 5120}, {1024, 6400}};
    for (const auto& step : steps) {
        stream.WriteStr(std::string(step.write, 'a').c_str());
        EXPECT_EQ(stream.Capacity(), step.capacity);
    }
    PeekStream big(8192);
    big.WriteStr(std::string(8191, 'd').c_str());
    EXPECT_EQ(big.Capacity(), 10240u) << "the step at 8192 is 2048";
    EXPECT_EQ(Text(big), std::string(8191, 'd'));
}

TEST(XStrStreamGrowth, InitialSizeZeroIsSafe) {
    for (uint32_t size : {0u, 1u, 2u}) {
        PeekStream stream(size);
        EXPECT_GE(stream.Capacity(), 2u);
        EXPECT_STREQ(stream.Buffer(nullptr), "");
        EXPECT_EQ(stream.WriteChar('x'), 0);
        EXPECT_EQ(stream.WriteChar('y'), 0);
        EXPECT_EQ(Text(stream), "xy");
        stream.Reset();
        EXPECT_EQ(Text(stream), "");
        stream.WriteChar('z');
        char* text = stream.RetreiveBuffer_NF(nullptr);
        EXPECT_STREQ(text, "z");
        free(text);
    }
}

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

TEST(XStrStreamBuffer, RetreiveAndResetStartOverAtTheInitialSize) {
    PeekStream stream(32);
    stream.WriteStr(std::string(100, 'q').c_str());
    uint32_t len = 0;
    char* text = stream.RetreiveBuffer_NF(&len);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(std::string(text), std::string(100, 'q'));
    free(text);
    EXPECT_EQ(stream.Capacity(), 32u);
    EXPECT_EQ(Text(stream), "");
    stream.WriteStr(std::string(3000, 'r').c_str());
    EXPECT_EQ(stream.Capacity(), 3072u);
    stream.Reset();
    EXPECT_EQ(stream.Capacity(), 32u);
    EXPECT_EQ(Text(stream), "");
}

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
    EXPECT_NE(stream.Buffer(nullptr), copy.Buffer(nullptr));

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

TEST(XStrStreamRoundTrip, RandomPiecesMatchAStdString) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 20; ++round) {
        XStrStream stream(rng() % 64);
        std::string expected;
        int pieces = static_cast<int>(rng() % 2000);
        for (int i = 0; i < pieces; ++i) {
            std::string piece;
            int32_t result;
            uint32_t kind = rng() % 3;
            if (kind == 0) {
                piece = std::string(1, static_cast<char>('a' + rng() % 26));
                result = stream.WriteChar(piece[0]);
            } else if (kind == 1) {
                piece = std::string(rng() % 300, static_cast<char>('A' + rng() % 26));
                result = stream.WriteStr(piece.c_str());
            } else {
                int32_t value = static_cast<int32_t>(rng());
                piece = std::to_string(value);
                result = stream.WriteInt(value);
            }
            ASSERT_EQ(result, 0);
            expected += piece;
            if (rng() % 100 == 0) {  // taking a look leaves the text to be continued
                ASSERT_EQ(Text(stream), expected);
            }
        }
        ASSERT_EQ(Text(stream), expected);
        uint32_t len = 0;
        char* taken = stream.RetreiveBuffer_NF(&len);
        ASSERT_EQ(std::string(taken, len + 1), expected + '\0');
        free(taken);
    }
}

}  // namespace
