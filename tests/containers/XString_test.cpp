#include "brindle/containers/XString.h"

#include <limits.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "brindle/Debg.h"

namespace {

// The string's length bytes, NULs included.
std::string Bytes(const XString& s) {
    return std::string(s.GetBuffer(), static_cast<size_t>(s.GetLength()));
}

// Checks the invariant every string keeps: a NUL right after its length bytes.
void ExpectTerminated(const XString& s) {
    ASSERT_NE(s.GetBuffer(), nullptr);
    ASSERT_GE(s.GetLength(), 0);
    EXPECT_EQ(s.GetBuffer()[s.GetLength()], '\0');
}

// Runs op on a fresh copy of start with the nth allocation failing, for n = 1, 2, ... until
// op no longer reaches the failure; each outcome must be either start unchanged or the full
// result.
template <class Op>
void SweepAllocationFailures(const char* start, const std::string& result, Op op) {
    for (uint32_t n = 1;; ++n) {
        XString s(start);
        DebgFailAllocation(n);
        op(s);
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        ExpectTerminated(s);
        if (!fired) {
            EXPECT_EQ(Bytes(s), result);
            return;
        }
        EXPECT_TRUE(Bytes(s) == start || Bytes(s) == result) << "at allocation " << n;
    }
}

TEST(XStringConstruction, NullTextIsEmptyWithSingleNul) {
    XString s(static_cast<const char*>(nullptr));
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(s.GetBuffer()[0], '\0');
    EXPECT_TRUE(XString().IsEmpty());
}

TEST(XStringConstruction, NumbersFormatAsDecimal) {
    EXPECT_EQ(Bytes(XString(-42)), "-42");
    EXPECT_EQ(Bytes(XString(0)), "0");
    EXPECT_EQ(Bytes(XString(INT32_MAX)), "2147483647");
    EXPECT_EQ(Bytes(XString(INT32_MIN)), "-2147483648");
}

TEST(XStringConstruction, CharGivesOneByte) {
    XString s('x');
    EXPECT_EQ(Bytes(s), "x");
    XString nul('\0');
    EXPECT_EQ(nul.GetLength(), 1);
    ExpectTerminated(nul);
}

TEST(XStringConstruction, PointerAndLengthKeepsInnerNuls) {
    XString s("ab\0cd", 5);
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(Bytes(s), std::string("ab\0cd", 5));
    ExpectTerminated(s);
}

TEST(XStringConstruction, NegativeLengthOrNullTextIsEmpty) {
    EXPECT_TRUE(XString("abc", -5).IsEmpty());
    EXPECT_TRUE(XString(nullptr, 5).IsEmpty());
}

TEST(XStringConstruction, CopyCopiesAllLengthBytes) {
    XString source("x\0y", 3);
    XString copy(source);
    EXPECT_EQ(Bytes(copy), std::string("x\0y", 3));
    EXPECT_NE(copy.GetBuffer(), source.GetBuffer());
}

TEST(XStringConstruction, FailedAllocationGivesUsableEmptyString) {
    DebgFailAllocation(1);
    XString s("abc");
    DebgFailAllocation(0);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_STREQ(s.GetBuffer(), "");
    s += "later";
    EXPECT_EQ(Bytes(s), "later");
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

TEST(XStringAssignment, OtherLengthTakesNewText) {
    XString s("abc");
    s = "longer text";
    EXPECT_EQ(Bytes(s), "longer text");
    s = XString("x\0y", 3);
    EXPECT_EQ(Bytes(s), std::string("x\0y", 3));
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.IsEmpty());
    ExpectTerminated(s);
}

TEST(XStringAssignment, NumberAssignmentFormats) {
    XString s("abc");
    s = -7;
    EXPECT_EQ(Bytes(s), "-7");
}

TEST(XStringAssignment, SelfAssignmentKeepsText) {
    XString s("same");
    XString& alias = s;
    s = alias;
    EXPECT_EQ(Bytes(s), "same");
    s = s.GetBuffer();
    EXPECT_EQ(Bytes(s), "same");
}

TEST(XStringAssignment, TextFromOwnBufferIsCopiedBeforeRelease) {
    XString s("hello world");
    s = s.GetBuffer() + 6;
    EXPECT_EQ(Bytes(s), "world");
    s.Set(s.GetBuffer() + 1, 3);
    EXPECT_EQ(Bytes(s), "orl");
}

TEST(XStringAssignment, SetFromOwnBufferStopsAtTerminator) {
    XString s("abcdef");
    s.Set(s.GetBuffer() + 4, 100);
    EXPECT_EQ(Bytes(s), "ef");
    s.Set(s.GetBuffer() + 2, 1);
    EXPECT_EQ(Bytes(s), "");
}

TEST(XStringAssignment, SetKeepsExactBytesAndRefusesBadArguments) {
    XString s("abc");
    s.Set(
        "12\0"
        "45",
        5);
    EXPECT_EQ(Bytes(s), std::string("12\0"
                                    "45",
                                    5));
    s.Set("abc", -1);
    EXPECT_TRUE(s.IsEmpty());
    s = "abc";
    s.Set(nullptr, 10);
    EXPECT_TRUE(s.IsEmpty());
    ExpectTerminated(s);
}

TEST(XStringAssignment, InitOnHeldTextEmptiesIt) {
    XString s("some text");
    s.Init();  // releases the old buffer: the leak checker sees no loss
    EXPECT_TRUE(s.IsEmpty());
    ExpectTerminated(s);
}

TEST(XStringAssignment, FailedAllocationLeavesStringUnchanged) {
    SweepAllocationFailures("abc", "longer", [](XString& s) { s = "longer"; });
    SweepAllocationFailures("abc", "xy", [](XString& s) { s.Set("xyz", 2); });
    SweepAllocationFailures("abc", "12345", [](XString& s) { s = 12345; });
}

TEST(XStringComparison, ComparesTextUpToFirstNul) {
    XString a("ab\0xx", 5);
    XString b("ab\0yy", 5);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a == "ab");
    EXPECT_TRUE(XString("abc") != "abd");
    EXPECT_TRUE(XString("abc") != XString("ab"));
}

TEST(XStringComparison, NullTextEqualsEmptyString) {
    EXPECT_TRUE(XString() == static_cast<const char*>(nullptr));
    EXPECT_TRUE(XString("a") != static_cast<const char*>(nullptr));
}

TEST(XStringSearch, FindsFirstAndLastByte) {
    XString s("banana");
    EXPECT_EQ(s.OffsetOf('n'), 2);
    EXPECT_EQ(s.ROffsetOf('n'), 4);
    EXPECT_EQ(s.OffsetOf('x'), -1);
    EXPECT_EQ(s.ROffsetOf('x'), -1);
    EXPECT_EQ(s.OffsetOf('\0'), 6);
}

TEST(XStringGlyphWidth, Utf8CharactersGiveTheirByteLength) {
    XString s("a\xC3\xA9\xE2\x82\xAC");  // 'a', e-acute, euro sign
    const int expected[] = {1, 2, 2, 3, 3, 3};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(s.GlyphWidth(i), expected[i]) << "index " << i;
}

TEST(XStringGlyphWidth, FourByteCharactersAndStrayBytes) {
    XString emoji("\xF0\x9F\x98\x80");
    EXPECT_EQ(emoji.GlyphWidth(0), 3);
    EXPECT_EQ(emoji.GlyphWidth(1), 3);
    EXPECT_EQ(emoji.GlyphWidth(2), 3);  // continuation after continuation
    XString stray("a\x80");
    EXPECT_EQ(stray.GlyphWidth(1), 1);  // continuation after ASCII
}

TEST(XStringGlyphWidth, ContinuationAtStartAndOutsideIndices) {
    XString s("\xA9z");
    EXPECT_EQ(s.GlyphWidth(0), 1);
    EXPECT_EQ(s.GlyphWidth(-1), 0);
    EXPECT_EQ(s.GlyphWidth(2), 0);
    EXPECT_EQ(s.GlyphWidth(INT32_MAX), 0);
    EXPECT_EQ(XString().GlyphWidth(0), 0);
}

TEST(XStringConcatenation, AppendsEveryKind) {
    XString s("ab");
    s += XString("cd");
    s += "ef";
    s += 7;
    s += -1;
    s += 'g';
    EXPECT_EQ(Bytes(s), "abcdef7-1g");
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(Bytes(s), "abcdef7-1g");
}

TEST(XStringConcatenation, PlusLeavesOperandUnchanged) {
    const XString s("ab");
    EXPECT_EQ(Bytes(s + XString("c")), "abc");
    EXPECT_EQ(Bytes(s + "cd"), "abcd");
    EXPECT_EQ(Bytes(s + 12), "ab12");
    EXPECT_EQ(Bytes(s + '!'), "ab!");
    EXPECT_EQ(Bytes(s), "ab");
}

TEST(XStringConcatenation, AppendingItselfOrItsOwnText) {
    XString s("abc");
    s += s;
    EXPECT_EQ(Bytes(s), "abcabc");
    s += s.GetBuffer() + 4;
    EXPECT_EQ(Bytes(s), "abcabcbc");
}

TEST(XStringConcatenation, OtherStringCopiedUpToItsNul) {
    XString s("ab");
    s += XString("x\0y", 3);
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(Bytes(s), std::string("abx\0\0", 5));
    ExpectTerminated(s);
}

TEST(XStringConcatenation, FailedAllocationLeavesStringUnchanged) {
    SweepAllocationFailures("ab", "abcd", [](XString& s) { s += "cd"; });
    SweepAllocationFailures("ab", "ab-5", [](XString& s) { s += -5; });
}

TEST(XStringConcatenation, FailedAllocationInPlusNeverGivesAdditionAlone) {
    const XString s("ab");
    for (uint32_t n = 1;; ++n) {
        DebgFailAllocation(n);
        XString sum = s + "cd";
        bool fired = DebgPendingAllocationFailure() == 0;
        DebgFailAllocation(0);
        EXPECT_EQ(Bytes(s), "ab");
        if (!fired) {
            EXPECT_EQ(Bytes(sum), "abcd");
            break;
        }
        EXPECT_TRUE(Bytes(sum).empty() || Bytes(sum) == "ab" || Bytes(sum) == "abcd");
    }
}

TEST(XStringEditing, InsertClampsPosition) {
    EXPECT_EQ(Bytes(XString("abc").Insert("XY", 99)), "abcXY");
    EXPECT_EQ(Bytes(XString("abc").Insert("XY", -5)), "XYabc");
    EXPECT_EQ(Bytes(XString("abc").Insert("XY", 1)), "aXYbc");
    EXPECT_EQ(Bytes(XString("abc").Insert(nullptr, 1)), "abc");
}

TEST(XStringEditing, InsertOwnText) {
    XString s("abc");
    s.Insert(s.GetBuffer() + 1, 0);
    EXPECT_EQ(Bytes(s), "bcabc");
}

TEST(XStringEditing, ReplaceClampsPositionAndCount) {
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", 1, 2)), "aZdef");
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", 4, 10)), "abcdZ");
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", 2, -1)), "abZcdef");
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", 99, 3)), "abcdefZ");
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", -4, 1)), "Zbcdef");
    EXPECT_EQ(Bytes(XString("abcdef").Replace("Z", 3, INT32_MAX)), "abcZ");
    EXPECT_EQ(Bytes(XString("abcdef").Replace(nullptr, 1, 3)), "aef");
}

TEST(XStringEditing, FailedAllocationLeavesStringUnchanged) {
    SweepAllocationFailures("abc", "aXYbc", [](XString& s) { s.Insert("XY", 1); });
    SweepAllocationFailures("abcdef", "aZdef", [](XString& s) { s.Replace("Z", 1, 2); });
}

TEST(XStringEditing, ReplaceCharacter) {
    EXPECT_EQ(Bytes(XString("banana").Replace('a', 'b')), "bbnbnb");
    XString s("a\0a", 3);
    s.Replace('\0', '-');
    EXPECT_EQ(Bytes(s), "a-a");
    ExpectTerminated(s);
}

TEST(XStringEditing, CaseConversionTouchesAsciiLettersOnly) {
    EXPECT_EQ(Bytes(XString("Hello, World 1\xC3\xA9").ToUpper()), "HELLO, WORLD 1\xC3\xA9");
    EXPECT_EQ(Bytes(XString("Hello, World 1\xC3\x89").ToLower()), "hello, world 1\xC3\x89");
}

// The text after Wordwrap(width).
std::string Wrapped(const char* text, int32_t width) {
    XString s(text);
    s.Wordwrap(width);
    return Bytes(s);
}

TEST(XStringWordwrap, BreaksAtSpaceBeforeWidth) {
    EXPECT_EQ(Wrapped("the quick brown fox jumps", 10), "the quick\rbrown fox\rjumps");
}

TEST(XStringWordwrap, LongWordStaysWhole) {
    EXPECT_EQ(Wrapped("abcdefgh ij", 3), "abcdefgh\rij");
    EXPECT_EQ(Wrapped("abcdefgh", 3), "abcdefgh");
}

TEST(XStringWordwrap, SpaceExactlyAtWidthIsTheBreak) {
    EXPECT_EQ(Wrapped("abc def ghi", 3), "abc\rdef\rghi");
}

TEST(XStringWordwrap, ExistingCarriageReturnEndsLine) {
    EXPECT_EQ(Wrapped("ab\rcd ef gh", 5), "ab\rcd ef\rgh");
}

TEST(XStringWordwrap, WidthZeroOrNegativeBreaksEverySpace) {
    EXPECT_EQ(Wrapped("a b  c", 0), "a\rb\r\rc");
    EXPECT_EQ(Wrapped("a b  c", -7), "a\rb\r\rc");
    EXPECT_EQ(Wrapped("a b  c", INT32_MIN), "a\rb\r\rc");
    EXPECT_EQ(Wrapped("a b c", INT32_MAX), "a b c");
}

TEST(XStringWordwrap, StopsAtInnerNul) {
    XString s("aa bb\0cc dd", 11);
    s.Wordwrap(1);
    EXPECT_EQ(Bytes(s), std::string("aa\rbb\0cc dd", 11));
}

TEST(XStringSubstrings, LeftAndRightClamp) {
    XString s("abcdef");
    EXPECT_EQ(Bytes(s.Left(-1)), "");
    EXPECT_EQ(Bytes(XString("abc").Left(99)), "abc");
    EXPECT_EQ(Bytes(s.Left(2)), "ab");
    EXPECT_EQ(Bytes(s.Right(2)), "ef");
    EXPECT_EQ(Bytes(s.Right(99)), "abcdef");
    EXPECT_EQ(Bytes(s.Right(INT_MIN)), "");
}

TEST(XStringSubstrings, MidClamps) {
    XString s("abcdef");
    EXPECT_EQ(Bytes(s.Mid(2, 100)), "cdef");
    EXPECT_EQ(Bytes(s.Mid(10, 2)), "");
    EXPECT_EQ(Bytes(s.Mid(-3, 2)), "ab");
    EXPECT_EQ(Bytes(s.Mid(2)), "cdef");
    EXPECT_EQ(Bytes(s.Mid(-3)), "abcdef");
    EXPECT_EQ(Bytes(s.Mid(99)), "");
    EXPECT_EQ(Bytes(s.Mid(INT_MAX, INT_MAX)), "");
    EXPECT_EQ(Bytes(s.Mid(1, INT_MAX)), "bcdef");
    EXPECT_EQ(Bytes(s.Mid(INT_MIN, 3)), "abc");
}

TEST(XStringSubstrings, KeepInnerNuls) {
    XString s("a\0b\0c", 5);
    EXPECT_EQ(Bytes(s.Mid(1, 3)), std::string("\0b\0", 3));
    EXPECT_EQ(Bytes(s.Right(1)), "c");
}

}  // namespace
