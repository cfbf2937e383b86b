#include "brindle/containers/XString.h"

#include <limits.h>
#include <string.h>

#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "brindle/Debg.h"

namespace {

// The string's length bytes, NULs included, after checking the NUL right after them.
std::string Bytes(const XString& s) {
    EXPECT_NE(s.GetBuffer(), nullptr);
    EXPECT_GE(s.GetLength(), 0);
    EXPECT_EQ(s.GetBuffer()[s.GetLength()], '\0');
    return std::string(s.GetBuffer(), static_cast<size_t>(s.GetLength()));
}

// Runs op on a fresh copy of start with the nth allocation failing, for n = 1, 2, ... until
// op no longer reaches the failure; each outcome must be either start unchanged or the full
// result.
void SweepAllocationFailures(const char* start, const std::string& result,
                             const std::function<void(XString&)>& op) {
    for (uint32_t n = 1;; ++n) {
        XString s(start);
        DebgFailAllocation(n);
        op(s);
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        if (!fired) {
            EXPECT_EQ(Bytes(s), result);
            return;
        }
        EXPECT_TRUE(Bytes(s) == start || Bytes(s) == result) << "at allocation " << n;
    }
}

// Each string against the bytes it must hold.
void ExpectBytes(std::initializer_list<std::pair<XString, std::string>> cases) {
    int i = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(Bytes(c.first), c.second) << "case " << i;
        ++i;
    }
}

// Applies each edit in turn to one string, checking the bytes after each.
void ExpectEdits(
    const char* start,
    std::initializer_list<std::pair<std::function<void(XString&)>, std::string>> edits) {
    XString s(start);
    int i = 0;
    for (const auto& edit : edits) {
        edit.first(s);
        EXPECT_EQ(Bytes(s), edit.second) << "edit " << i;
        ++i;
    }
}

TEST(XStringConstruction, EveryConstructorKeepsTheExactBytes) {
    XString source("x\0y", 3);
    XString copy(source);
    EXPECT_NE(copy.GetBuffer(), source.GetBuffer());
    ExpectBytes({{XString(static_cast<const char*>(nullptr)), ""},
                 {XString(), ""},
                 {XString('x'), "x"},
                 {XString('\0'), std::string(1, '\0')},
                 {XString("ab\0cd", 5), {"ab\0cd", 5}},
                 {XString("abc", -5), ""},
                 {XString(nullptr, 5), ""},
                 {copy, {"x\0y", 3}}});
    DebgFailAllocation(1);
    XString failed("abc");
    DebgFailAllocation(0);
    EXPECT_EQ(Bytes(failed), "") << "a failed allocation leaves a usable empty string";
    failed += "later";
    EXPECT_EQ(Bytes(failed), "later");
}

TEST(XStringAssignment, SameLengthReusesBufferWithoutAllocating) {
    XString s("abc");
    XString other("pqr");
    const char* before = s.GetBuffer();
    DebgFailAllocation(1);
    s = "xyz";
    EXPECT_EQ(Bytes(s), "xyz");
    s = other;
    EXPECT_EQ(DebgPendingAllocationFailure(), 1u);  // nothing was allocated
    DebgFailAllocation(0);
    EXPECT_EQ(Bytes(s), "pqr");
    EXPECT_EQ(s.GetBuffer(), before);
}

TEST(XStringAssignment, TakesNewTextOfAnyKind) {
    ExpectEdits("abc", {
                           {[](XString& s) { s = "longer text"; }, "longer text"},
                           {[](XString& s) { s = XString("x\0y", 3); }, {"x\0y", 3}},
                           {[](XString& s) { s = static_cast<const char*>(nullptr); }, ""},
                           {[](XString& s) { s.Set("12\0ab", 5); }, {"12\0ab", 5}},
                           {[](XString& s) { s.Set("abc", -1); }, ""},
                           {[](XString& s) { s = "abc"; }, "abc"},
                           {[](XString& s) { s.Set(nullptr, 10); }, ""},
                           {[](XString& s) { s = "some text"; }, "some text"},
                           // Init releases the old buffer: the leak checker sees no loss.
                           {[](XString& s) { s.Init(); }, ""},
                       });
}

TEST(XStringAssignment, TextFromOwnBufferIsCopiedBeforeRelease) {
    ExpectEdits("same", {
                            {[](XString& s) { s = static_cast<const XString&>(s); }, "same"},
                            {[](XString& s) { s = s.GetBuffer(); }, "same"},
                            {[](XString& s) { s = "hello world"; }, "hello world"},
                            {[](XString& s) { s = s.GetBuffer() + 6; }, "world"},
                            {[](XString& s) { s.Set(s.GetBuffer() + 1, 3); }, "orl"},
                            {[](XString& s) { s = "abcdef"; }, "abcdef"},
                            // Set stops at the terminator.
                            {[](XString& s) { s.Set(s.GetBuffer() + 4, 100); }, "ef"},
                            {[](XString& s) { s.Set(s.GetBuffer() + 2, 1); }, ""},
                            {[](XString& s) { s = "abc"; }, "abc"},
                            {[](XString& s) { s += s; }, "abcabc"},
                            {[](XString& s) { s += s.GetBuffer() + 4; }, "abcabcbc"},
                            {[](XString& s) { s.Insert(s.GetBuffer() + 5, 0); }, "cbcabcabcbc"},
                        });
}

TEST(XStringComparisonAndSearch, ComparesTextUpToFirstNul) {
    EXPECT_TRUE(XString("ab\0xx", 5) == XString("ab\0yy", 5));
    EXPECT_FALSE(XString("ab\0xx", 5) != XString("ab\0yy", 5));
    EXPECT_TRUE(XString("ab\0xx", 5) == "ab");
    EXPECT_TRUE(XString("abc") != "abd");
    EXPECT_TRUE(XString("abc") != XString("ab"));
    EXPECT_TRUE(XString() == static_cast<const char*>(nullptr));
    EXPECT_TRUE(XString("a") != static_cast<const char*>(nullptr));
    XString s("banana");
    EXPECT_EQ(s.OffsetOf('n'), 2);
    EXPECT_EQ(s.ROffsetOf('n'), 4);
    EXPECT_EQ(s.OffsetOf('x'), -1);
    EXPECT_EQ(s.ROffsetOf('x'), -1);
    EXPECT_EQ(s.OffsetOf('\0'), 6);
}

TEST(XStringGlyphWidth, LeadBytesContinuationsAndOutsideIndices) {
    // The width at each index: e-acute and euro sign; a four-byte lead and continuations
    // after continuations; a continuation after ASCII and at the start.
    const char* const cases[][2] = {
        {"a\xC3\xA9\xE2\x82\xAC", "122333"},
        {"\xF0\x9F\x98\x80", "3333"},
        {"a\x80", "11"},
        {"\xA9z", "11"},
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

TEST(XStringConcatenation, AppendsEveryKind) {
    const XString t("ab");
    ExpectBytes({{t + XString("c"), "abc"}, {t + "cd", "abcd"}, {t + '!', "ab!"}, {t, "ab"}});
    ExpectEdits("ab", {
                          {[](XString& s) { s += XString("cd"); }, "abcd"},
                          {[](XString& s) { s += "ef"; }, "abcdef"},
                          {[](XString& s) { s += 'g'; }, "abcdefg"},
                          {[](XString& s) { s += static_cast<const char*>(nullptr); }, "abcdefg"},
                          // Another string is copied up to its NUL; the length grows by 3.
                          {[](XString& s) { s = "ab"; }, "ab"},
                          {[](XString& s) { s += XString("x\0y", 3); }, {"abx\0\0", 5}},
                      });
}

// The constructor, assignment, += and + all give the decimal text of the value as given.
template <class T>
void ExpectNumberText(T v) {
    const std::string text = std::to_string(v);
    XString made(v), assigned("x"), appended("n=");
    assigned = v;
    appended += v;
    EXPECT_EQ(Bytes(made), text);
    EXPECT_EQ(Bytes(assigned), text);
    EXPECT_EQ(Bytes(appended), "n=" + text);
    EXPECT_EQ(Bytes(XString("a") + v), "a" + text);
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

TEST(XStringAllocationFailure, LeavesStringUnchangedOrComplete) {
    SweepAllocationFailures("abc", "longer", [](XString& s) { s = "longer"; });
    SweepAllocationFailures("abc", "xy", [](XString& s) { s.Set("xyz", 2); });
    SweepAllocationFailures("abc", "12345", [](XString& s) { s = 12345; });
    SweepAllocationFailures("ab", "abcd", [](XString& s) { s += "cd"; });
    SweepAllocationFailures("ab", "ab-5", [](XString& s) { s += -5; });
    SweepAllocationFailures("abc", "aXYbc", [](XString& s) { s.Insert("XY", 1); });
    SweepAllocationFailures("abcdef", "aZdef", [](XString& s) { s.Replace("Z", 1, 2); });
    const XString ab("ab");
    for (uint32_t n = 1;; ++n) {
        DebgFailAllocation(n);
        XString sum = ab + "cd";
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        EXPECT_EQ(Bytes(ab), "ab");
        // Never the addition alone.
        EXPECT_TRUE(Bytes(sum).empty() || Bytes(sum) == "ab" || Bytes(sum) == "abcd");
        if (!fired) {
            EXPECT_EQ(Bytes(sum), "abcd");
            break;
        }
    }
}

TEST(XStringEditing, InsertAndReplaceClampPositionAndCount) {
    const struct {
        const char* start;
        const char* text;
        int32_t position;
        int32_t count;  // -2: Insert
        const char* result;
    } cases[] = {
        {"abc", "XY", 99, -2, "abcXY"},    {"abc", "XY", -5, -2, "XYabc"},
        {"abc", "XY", 1, -2, "aXYbc"},     {"abc", nullptr, 1, -2, "abc"},
        {"abcdef", "Z", 1, 2, "aZdef"},    {"abcdef", "Z", 4, 10, "abcdZ"},
        {"abcdef", "Z", 2, -1, "abZcdef"}, {"abcdef", "Z", 99, 3, "abcdefZ"},
        {"abcdef", "Z", -4, 1, "Zbcdef"},  {"abcdef", "Z", 3, INT32_MAX, "abcZ"},
        {"abcdef", nullptr, 1, 3, "aef"},
    };
    for (const auto& c : cases) {
        XString s(c.start);
        if (c.count == -2)
            s.Insert(c.text, c.position);
        else
            s.Replace(c.text, c.position, c.count);
        EXPECT_EQ(Bytes(s), c.result) << c.start << " " << c.position << " " << c.count;
    }
}

TEST(XStringEditing, ByteMappingKeepsLengthAndNonAscii) {
    EXPECT_EQ(Bytes(XString("banana").Replace('a', 'b')), "bbnbnb");
    EXPECT_EQ(Bytes(XString("a\0a", 3).Replace('\0', '-')), "a-a");
    EXPECT_EQ(Bytes(XString("Hello, World 1\xC3\xA9").ToUpper()), "HELLO, WORLD 1\xC3\xA9");
    EXPECT_EQ(Bytes(XString("Hello, World 1\xC3\x89").ToLower()), "hello, world 1\xC3\x89");
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
        // A carriage return exactly at line start + width is an ordinary byte.
        {"ab cd\ref gh", 5, "ab\rcd\ref gh"},
        // The look-back includes the line start: break there, leaving an empty line.
        {"ab\r cdefg", 3, "ab\r\rcdefg"},
        {"a b  c", 0, "a\rb\r\rc"},
        {"a b  c", -7, "a\rb\r\rc"},
        {"a b  c", INT32_MIN, "a\rb\r\rc"},
        {"a b c", INT32_MAX, "a b c"},
    };
    for (const auto& c : cases) {
        XString s(c.text);
        s.Wordwrap(c.width);
        EXPECT_EQ(Bytes(s), c.wrapped) << c.text << " width " << c.width;
    }
    XString inner("aa bb\0cc dd", 11);  // stops at the inner NUL
    inner.Wordwrap(1);
    EXPECT_EQ(Bytes(inner), std::string("aa\rbb\0cc dd", 11));
}

TEST(XStringSubstrings, LeftRightAndMidClamp) {
    XString s("abcdef");
    XString inner("a\0b\0c", 5);
    ExpectBytes({{s.Left(-1), ""},
                 {s.Left(2), "ab"},
                 {s.Left(99), "abcdef"},
                 {s.Right(2), "ef"},
                 {s.Right(99), "abcdef"},
                 {s.Right(INT_MIN), ""},
                 {s.Mid(2, 100), "cdef"},
                 {s.Mid(10, 2), ""},
                 {s.Mid(-3, 2), "ab"},
                 {s.Mid(2), "cdef"},
                 {s.Mid(-3), "abcdef"},
                 {s.Mid(99), ""},
                 {s.Mid(INT_MAX, INT_MAX), ""},
                 {s.Mid(1, INT_MAX), "bcdef"},
                 {s.Mid(INT_MIN, 3), "abc"},
                 {inner.Mid(1, 3), {"\0b\0", 3}},
                 {inner.Right(1), "c"}});
}

}  // namespace
