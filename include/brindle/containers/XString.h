// SPDX-License-Identifier: MIT
// XString: an owned, NUL-terminated byte string with its length.
//
// The text always lies in a buffer of exactly length + 1 bytes whose last byte is NUL; there
// is no spare capacity, so every operation that changes the length builds a new buffer. The
// text is normally free of NUL bytes. Set and the constructor from a pointer and a length copy
// exactly the bytes given, so a NUL inside them survives, but the operations that work on
// NUL-terminated text (comparison, concatenation, Insert, Replace of text, OffsetOf,
// ROffsetOf, Wordwrap) stop at the first NUL.
//
// Numbers are formatted as "%ld" does: decimal, with a leading minus for negative values.
// Every integer type is a number (short, int, long, long long, their unsigned forms, size_t,
// int64_t...; bool gives 0 or 1), written with its whole value, 64 bits included. The
// character types (char, signed char, unsigned char) are not numbers: they stay single bytes.
//
// Safety rules, which hold for every operation:
//   - A null `const char*` argument reads as the empty text.
//   - Positions, counts and lengths are clamped into the text, so no operation reads or
//     writes outside the buffer; a negative length or count counts as 0.
//   - Text that lies inside the string's own buffer may be passed to any operation: the new
//     text is built before the old buffer is released.
//   - When memory runs out, a changing operation leaves the string as it was, and a
//     constructor yields the empty string. No operation reports failure.
//
// An XString has no lock; it belongs to one thread at a time. Copying an XString copies its
// text.
#ifndef BRINDLE_CONTAINERS_XSTRING_H_
#define BRINDLE_CONTAINERS_XSTRING_H_

#include <stdint.h>

#include <type_traits>

#include "brindle/Export.h"

class BRINDLE_API XString {
    // Enables a member for the integer types that are written as numbers.
    template <class T>
    using IfNumber = std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, char>::value &&
                                          !std::is_same<T, signed char>::value &&
                                          !std::is_same<T, unsigned char>::value,
                                      int>;
    // The 64-bit type of the same signedness, which holds every value of T.
    template <class T>
    using Wide = std::conditional_t<std::is_signed<T>::value, int64_t, uint64_t>;

  public:
    // The empty string.
    XString();
    // A copy of the NUL-terminated text s; null gives the empty string.
    XString(const char* s);  // NOLINT: converts implicitly, as a C string does
    // A copy of the other string's length bytes, NULs included.
    XString(const XString& other);
    // The decimal text of v, as "%ld" formats it: XString(-42L) holds "-42".
    template <class T, IfNumber<T> = 0>
    explicit XString(T v) : buffer_(nullptr), length_(0) {
        AssignNumber(Wide<T>{v});
    }
    // The one-byte string ch.
    explicit XString(char ch);
    // Exactly n bytes from s, as Set(s, n) copies them.
    XString(const char* s, int32_t n);
    ~XString();

    // Makes this the empty string with a fresh one-byte buffer, releasing the buffer it held.
    void Init();
    // Replaces the text with exactly n bytes from s plus a terminating NUL; NULs among the n
    // bytes are kept. A null s or a negative n gives the empty string. When s points into
    // this string's own text, n is cut to the bytes that remain up to the terminator.
    void Set(const char* s, int32_t n);

    // Copies the other string's length bytes. When the length is unchanged the buffer is
    // reused (no allocation); assigning a string to itself leaves it unchanged.
    XString& operator=(const XString& other);
    // Copies the NUL-terminated text s (null: empty), reusing the buffer when the length is
    // unchanged.
    XString& operator=(const char* s);
    // The decimal text of v.
    template <class T, IfNumber<T> = 0>
    XString& operator=(T v) {
        return AssignNumber(Wide<T>{v});
    }

    // The buffer itself: length bytes of text and a NUL. It stays owned by the string and is
    // valid until the string next changes or is destroyed. Never null.
    operator const char*() const { return GetBuffer(); }  // NOLINT: implicit by design
    const char* GetBuffer() const;
    // The number of bytes of text, not counting the terminator.
    int GetLength() const { return length_; }
    bool IsEmpty() const { return length_ <= 0; }

    // True when the two NUL-terminated texts are equal byte for byte (strcmp returns 0);
    // bytes after a NUL inside the text are not compared. A null s equals the empty string.
    bool operator==(const XString& other) const;
    bool operator==(const char* s) const;
    bool operator!=(const XString& other) const { return !(*this == other); }
    bool operator!=(const char* s) const { return !(*this == s); }

    // Index of the first byte equal to ch in the NUL-terminated text, or -1. Searching for
    // NUL yields the index of the terminator.
    int OffsetOf(char ch) const;
    // Index of the last byte equal to ch in the NUL-terminated text, or -1.
    int ROffsetOf(char ch) const;
    // Byte length of the multi-byte character that the byte at index belongs to: 1 below
    // 0x80, 2 for 0xC0..0xDF, 3 from 0xE0 on; a continuation byte (0x80..0xBF) takes its
    // width from the byte before it (1 before an ASCII byte, 3 after another continuation
    // byte). A continuation byte at index 0, having no byte before it, yields 1; an index
    // outside the text yields 0.
    int GlyphWidth(int32_t index) const;

    // Appends the other string's text up to its first NUL; the length grows by the other
    // string's full length, any bytes past its NUL being appended as NULs.
    XString& operator+=(const XString& other);
    // Appends the NUL-terminated text s (null: nothing).
    XString& operator+=(const char* s);
    // Appends the decimal text of v.
    template <class T, IfNumber<T> = 0>
    XString& operator+=(T v) {
        return AppendNumber(Wide<T>{v});
    }
    // Appends the byte ch.
    XString& operator+=(char ch);
    // A copy of this string with the addition appended; this string is unchanged. When
    // memory runs out the result is the empty string or a plain copy of this one.
    XString operator+(const XString& other) const;
    XString operator+(const char* s) const;
    template <class T, IfNumber<T> = 0>
    XString operator+(T v) const {
        return PlusNumber(Wide<T>{v});
    }
    XString operator+(char ch) const;

    // Inserts the NUL-terminated text s before position, which is clamped to 0 .. length.
    XString& Insert(const char* s, int32_t position);
    // Replaces count bytes from position with the NUL-terminated text s. position is clamped
    // to 0 .. length; a count running past the end is cut to the end, a negative count is 0.
    XString& Replace(const char* s, int32_t position, int32_t count);
    // Turns every byte of the text equal to from into to.
    XString& Replace(char from, char to);
    // Maps every byte through toupper or tolower (ASCII letters in the default locale).
    XString& ToUpper();
    XString& ToLower();
    // Breaks the NUL-terminated text into lines of at most width bytes where it can, by
    // turning spaces into carriage returns (byte 13). Existing carriage returns end lines;
    // a word longer than width stays whole on a line of its own. Width 0 breaks at every
    // space; a negative width counts as 0. The length does not change.
    XString& Wordwrap(int32_t width);

    // The first n bytes, n clamped to 0 .. length.
    XString Left(int n) const;
    // The last n bytes, n clamped to 0 .. length.
    XString Right(int n) const;
    // count bytes from start: a negative start or count counts as 0, a start past the end
    // gives the empty string, and a count running past the end is cut to the end.
    XString Mid(int start, int count) const;
    // The bytes from start to the end (a negative start counts as 0).
    XString Mid(int start) const;

  private:
    // The number forms of operator=, operator+= and operator+, for every integer type.
    XString& AssignNumber(int64_t v);
    XString& AssignNumber(uint64_t v);
    XString& AppendNumber(int64_t v);
    XString& AppendNumber(uint64_t v);
    XString PlusNumber(int64_t v) const;
    XString PlusNumber(uint64_t v) const;

    // Copies n bytes from s, keeping the buffer when n equals the current length and
    // otherwise replacing it by a new one of n + 1 bytes; s may lie inside this string.
    void ReadFrom(const char* s, int32_t n);
    // Replaces the text by head, then addition (addedLength bytes of NUL-terminated text,
    // padded with NULs past its end), then tail, in a new buffer; nothing changes when memory
    // runs out or the result would be too long. The pieces may lie inside the old buffer.
    void Splice(const char* head, int32_t headLength, const char* addition, int64_t addedLength,
                const char* tail, int32_t tailLength);
    // Releases the buffer and installs text (length bytes already in place), terminating it.
    void Adopt(char* text, int32_t length);
    // A new string of the count bytes from start, which the caller has clamped into the text.
    XString Substring(int32_t start, int32_t count) const;

    // Null only after an allocation failure; the string then reads as empty.
    char* buffer_;
    int32_t length_;
};

#endif  // BRINDLE_CONTAINERS_XSTRING_H_
