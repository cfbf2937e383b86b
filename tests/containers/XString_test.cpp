// SPDX-License-Identifier: MIT

#include "brindle/containers/XString.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "containers/AllocationProbe.h"

namespace {

using allocationtest::SweepAllocationFailures;

// The string's length bytes, NULs included, after checking the NUL right after them.
std::string Bytes(const XString& s) {
    EXPECT_NE(s.GetBuffer(), nullptr);
    EXPECT_GE(s.GetLength(), 0);
    EXPECT_EQ(s.GetBuffer()[s.GetLength()], '\0');
    return std::string(s.GetBuffer(), static_cast<size_t>(s.GetLength()));
}

// Each string against the bytes it must hold.
void ExpectBytes(std::initializer_list<std::pair<XString, std::string>> cases) {
    int i = 0;
    for (const auto& c : cases)
        EXPECT_EQ(Bytes(c.first), c.second) << "case " << i++;
}

// What the string operations do with positions and counts: clamp them into 0 .. high.
size_t Clamp(int64_t value, size_t high) {
    return value < 0 ? 0 : static_cast<size_t>(value) > high ? high : static_cast<size_t>(value);
}

// The text with its ASCII letters in upper or lower case; other bytes stay as they are.
std::string AsciiCase(std::string text, bool upper) {
    for (char& c : text) {
        if (c >= (upper ? 'a' : 'A') && c <= (upper ? 'z' : 'Z'))
            c = static_cast<char>(upper ? c - 'a' + 'A' : c - 'A' + 'a');
    }
    return text;
}

// Random edits, searches and substrings, with positions and counts inside and outside the
// text and with arguments that lie in the string's own buffer, checked against std::string.
// Now and then the allocation of a changing operation fails: the string must then be as it
// was. One that keeps the length allocates nothing.
TEST(XStringModel, MatchesStdStringUnderRandomOperations) {
    std::mt19937_64 random(5);
    const char alphabet[] = "abcXYZ \xE9";
    XString s;
    std::string model;
    for (int step = 0; step < 20000; ++step) {
        std::string text(random() % 6, ' ');
        for (char& c : text)
            c = alphabet[random() % (sizeof alphabet - 1)];
        const char* arg = text.c_str();
        const bool own = random() % 4 == 0;
        if (own) {
            size_t offset = random() % (model.size() + 1);
            text = model.substr(offset);
            arg = s.GetBuffer() + offset;
        }
        const XString other(text.c_str());
        const int64_t len = static_cast<int64_t>(model.size());
        const int32_t at = random() % 16 == 0 ? (random() % 2 ? INT32_MIN : INT32_MAX)
                                              : static_cast<int32_t>(random() % (len + 7)) - 3;
        const int32_t count =
            random() % 16 == 0 ? INT32_MAX : static_cast<int32_t>(random() % (len + 7)) - 3;
        const size_t from = Clamp(at, model.size());
        const size_t span = Clamp(count, model.size() - from);
        const char ch = alphabet[random() % 3];
        const std::string before = model;
        const uint32_t action = random() % 11;
        const bool starve = action < 6 && random() % 8 == 0;
        DebgFailAllocation(starve ? 1 : 0);
        switch (action) {
            case 0:
                s = arg;
                EXPECT_TRUE(!starve || text.size() != model.size() ||
                            DebgPendingAllocationFailure() == 1);
                model = text;
                break;
            case 1: {
                // Text of the string's own is cut at its terminator; other text is not.
                int32_t n = own ? count : std::min(count, static_cast<int32_t>(text.size()));
                s.Set(arg, n);
                model = n < 0 ? "" : text.substr(0, static_cast<size_t>(n));
                break;
            }
            case 2:
                s += arg;
                model += text;
                break;
            case 3:
                s += other;
                model += text;
                break;
            case 4:
                s.Insert(arg, at);
                model.insert(from, text);
                break;
            case 5:
                s.Replace(arg, at, count);
                model.replace(from, span, text);
                break;
            case 6:
                s = s + arg + ch + other + static_cast<uint64_t>(step);
                model += text + ch + text + std::to_string(step);
                break;
            case 7: {
                // NUL never occurs in the text: replacing it must leave the terminator be.
                const char from = random() % 4 ? ch : '\0', to = alphabet[random() % 8];
                s.Replace(from, to);
                std::replace(model.begin(), model.end(), from, to);
                const bool upper = random() % 2;
                upper ? s.ToUpper() : s.ToLower();
                model = AsciiCase(model, upper);
                break;
            }
            case 8:
                EXPECT_EQ(Bytes(s.Left(at)), model.substr(0, from));
                EXPECT_EQ(Bytes(s.Right(at)), model.substr(model.size() - from));
                EXPECT_EQ(Bytes(s.Mid(at)), model.substr(from));
                s = s.Mid(at, count);
                model = model.substr(from, span);
                break;
            case 9:
                EXPECT_EQ(s.OffsetOf(ch), static_cast<int>(model.find(ch)));
                EXPECT_EQ(s.ROffsetOf(ch), static_cast<int>(model.rfind(ch)));
                EXPECT_EQ(s.OffsetOf('\0'), len);
                break;
            default:
                EXPECT_EQ(s == text.c_str(), model == text);
                EXPECT_EQ(s != other, model != text);
                EXPECT_EQ(s.IsEmpty(), model.empty());
        }
        if (starve && DebgPendingAllocationFailure() == 0)
            model = before;
        DebgFailAllocation(0);
        ASSERT_EQ(Bytes(s), model) << "step " << step;
    }
}

TEST(XStringNul, BytesAfterANulAreKeptButTextOperationsStopThere) {
    const XString source("x\0y", 3);
    ExpectBytes({{XString(static_cast<const char*>(nullptr)), ""},
                 {XString('\0'), std::string(1, '\0')},
                 {XString("ab\0cd", 5), {"ab\0cd", 5}},
                 {XString("abc", -5), ""},
                 {XString(nullptr, 5), ""},
                 {XString(source), {"x\0y", 3}},
                 // Copied up to its NUL; the length still grows by 3.
                 {XString("ab") += source, {"abx\0\0", 5}},
                 {XString("a\0b\0c", 5).Mid(1, 3), {"\0b\0", 3}},
                 {XString("a\0a", 3).Replace('\0', '-'), "a-a"},
                 {XString("aa bb\0cc dd", 11).Wordwrap(1), {"aa\rbb\0cc dd", 11}}});
    EXPECT_TRUE(XString("ab\0xx", 5) == XString("ab\0yy", 5));
    EXPECT_FALSE(XString("ab\0xx", 5) != "ab");
    EXPECT_EQ(XString("ab\0b", 4).ROffsetOf('b'), 1);
}

TEST(XStringGlyphWidth, LeadBytesContinuationsAndOutsideIndices) {
    // The width at each index: e-acute and euro sign; a four-byte lead and continuations
    // after continuations; a continuation after ASCII, at the start and after 0x80.
    const char* const cases[][2] = {
        {"a\xC3\xA9\xE2\x82\xAC", "122333"},
        {"\xF0\x9F\x98\x80", "3333"},
        {"a\x80", "11"},
        {"\xA9z", "11"},
        {"\x80\x80\x7F\x80", "1311"},
    };
    for (const auto& c : cases) {
        XString s(c[0]);
        for (int32_t i = 0; i <= s.GetLength(); ++i)
            EXPECT_EQ(s.GlyphWidth(i), i < s.GetLength() ? c[1][i] - '0' : 0) << c[1] << i;
        EXPECT_EQ(s.GlyphWidth(-1), 0);
        EXPECT_EQ(s.GlyphWidth(INT32_MAX), 0);
    }
    EXPECT_EQ(XString().GlyphWidth(0), 0);
}

// The constructor, assignment, += and + all give the decimal text of the value as given.
template <class T>
void ExpectNumberText(T v) {
    const std::string text = std::to_string(v);
    XString assigned("x");
    assigned = v;
    ExpectBytes({{XString(v), text},
                 {assigned, text},
                 {XString("n=") += v, "n=" + text},
                 {XString("a") + v, "a" + text}});
}

template <class... T>
void ExpectLimitsAsText() {
    (ExpectNumberText(std::numeric_limits<T>::min()), ...);
    (ExpectNumberText(std::numeric_limits<T>::max()), ...);
}

TEST(XStringNumbers, EveryIntegerTypeGivesItsWholeDecimalText) {
    ExpectLimitsAsText<short, unsigned short, int, unsigned, long, unsigned long, long long,
                       unsigned long long, int32_t, int64_t, uint64_t, size_t, ptrdiff_t>();
    ExpectNumberText(-42L);
    ExpectNumberText(0);
    // The character types stay single bytes.
    ExpectBytes({{XString('7'), "7"},
                 {XString(static_cast<signed char>('A')), "A"},
                 {XString("a") + static_cast<unsigned char>('B'), "aB"}});
}

TEST(XStringAllocationFailure, APlusGivesTheWholeResultOrNeverTheAdditionAlone) {
    const XString ab("ab");
    SweepAllocationFailures(
        [&] { return Bytes(ab + "cd"); },
        [&](const std::string& sum, bool fired) {
            EXPECT_EQ(Bytes(ab), "ab");
            EXPECT_TRUE(sum == "abcd" || (fired && (sum.empty() || sum == "ab")));
        });
    DebgFailAllocation(1);
    XString failed("abc");
    DebgFailAllocation(0);
    EXPECT_EQ(Bytes(failed), "") << "a failed allocation leaves a usable empty string";
    failed += "later";
    EXPECT_EQ(Bytes(failed), "later");
}

TEST(XStringWordwrap, BreaksAtTheLastSpaceWithinWidth) {
    const struct {
        const char* text;
        int32_t width;
        const char* wrapped;
    } cases[] = {
        {"the quick brown fox jumps", 10, "the quick\rbrown fox\rjumps"},
        {"abcdefgh ij", 3, "abcdefgh\rij"},  // a long word stays whole
        {"abcdefgh", 3, "abcdefgh"},
        {"abc def ghi", 3, "abc\rdef\rghi"},   // a space exactly at the width is the break
        {"ab\rcd ef gh", 5, "ab\rcd ef\rgh"},  // an existing carriage return ends the line
        // A carriage return exactly at line start + width is an ordinary byte, and one
        // beyond it belongs to a later line.
        {"ab cd\ref gh", 5, "ab\rcd\ref gh"},
        {"aaa bbb ccc\rd", 3, "aaa\rbbb\rccc\rd"},
        // The look-back includes the line start: break there, leaving an empty line.
        {"ab\r cdefg", 3, "ab\r\rcdefg"},
        {"a b  c", 0, "a\rb\r\rc"},
        {"a b  c", -7, "a\rb\r\rc"},
        {"a b  c", INT32_MIN, "a\rb\r\rc"},
        {"a b c", INT32_MAX, "a b c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bytes(XString(c.text).Wordwrap(c.width)), c.wrapped) << c.text << " " << c.width;
}

}  // namespace
