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

TEST(XStrStreamFormat, EachWriterAppendsItsText) {
    const struct {
        int32_t (*write)(XStrStream*);
        std::string text;
    } cases[] = {
        {[](XStrStream* s) { return s->WriteInt(-5); }, "-5"},
        {[](XStrStream* s) { return s->WriteInt(INT32_MIN); }, "-2147483648"},
        {[](XStrStream* s) { return s->WriteHex(255); }, "0xFF"},
        {[](XStrStream* s) { return s->WriteHex(0); }, "0x0"},
        {[](XStrStream* s) { return s->WriteHex(-1); }, "0xFFFFFFFF"},
        {[](XStrStream* s) { return s->WriteBool(false); }, "false"},
        {[](XStrStream* s) { return s->WriteBool(true); }, "true"},
        {[](XStrStream* s) { return s->WriteFloat(0.25f); }, "0.250000"},
        {[](XStrStream* s) { return s->WriteFloat(1.5f); }, "1.500000"},
        {[](XStrStream* s) { return s->WriteFloat(FLT_MAX); },
         "340282346638528859811704183484516925440.000000"},
        {[](XStrStream* s) { return s->WriteFloat(-FLT_MAX); },
         "-340282346638528859811704183484516925440.000000"},
        {[](XStrStream* s) { return s->WriteChar(' '); }, " "},
        {[](XStrStream* s) { return s->WriteStr(" end"); }, " end"},
        {[](XStrStream* s) { return s->WriteStr(""); }, ""},
        {[](XStrStream* s) { return s->WriteStr(nullptr); }, ""},
        {[](XStrStream* s) { return s->Write("abc", 0); }, ""},
    };
    for (const auto& c : cases) {
        XStrStream stream;
        stream.WriteStr("<");
        EXPECT_EQ(c.write(&stream), 0) << c.text;
        EXPECT_EQ(Text(stream), "<" + c.text);
    }
    XStrStream stream;
    stream.WriteStr("kept");
    EXPECT_EQ(stream.Write(nullptr, 3), -1) << "null text with a length";
    EXPECT_EQ(Text(stream), "kept");
}

TEST(XStrStreamFormat, FormattedWritersGoThroughWrite) {
    PeekStream stream;
    stream.WriteStr("a");
    stream.WriteBool(true);
    stream.WriteInt(12);
    stream.WriteHex(12);
    stream.WriteFloat(2.0f);
    EXPECT_EQ(stream.writes, 5);
    EXPECT_EQ(stream.pieces, "atrue120xC2.000000");
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

TEST(XStrStreamGrowth, FailedGrowthKeepsTextAndCapacity) {
    PeekStream stream;
    stream.WriteStr("0123456789");
    DebgFailAllocation(1);
    EXPECT_EQ(stream.WriteStr("0123456789"), -1);
    EXPECT_EQ(stream.Capacity(), 16u);
    EXPECT_EQ(Text(stream), "0123456789");
    EXPECT_EQ(stream.WriteInt(123456), 0) << "fits without growing";
    EXPECT_EQ(Text(stream), "0123456789123456");
}

TEST(XStrStreamGrowth, TextFromTheStreamItselfSurvivesGrowth) {
    XStrStream stream;
    stream.WriteStr("abcdefghij");
    uint32_t len = 0;
    const char* own = stream.Buffer(&len);
    EXPECT_EQ(stream.Write(own, len), 0);  // grows, moving the text it copies from
    EXPECT_EQ(Text(stream), "abcdefghijabcdefghij");
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
            switch (rng() % 4) {
                case 0: {
                    char c = static_cast<char>('a' + rng() % 26);
                    ASSERT_EQ(stream.WriteChar(c), 0);
                    expected += c;
                    break;
                }
                case 1: {
                    std::string word(rng() % 300, static_cast<char>('A' + rng() % 26));
                    ASSERT_EQ(stream.WriteStr(word.c_str()), 0);
                    expected += word;
                    break;
                }
                case 2: {
                    int32_t value = static_cast<int32_t>(rng());
                    ASSERT_EQ(stream.WriteInt(value), 0);
                    expected += std::to_string(value);
                    break;
                }
                default: {
                    bool b = rng() % 2 == 0;
                    ASSERT_EQ(stream.WriteBool(b), 0);
                    expected += b ? "true" : "false";
                }
            }
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
