// SPDX-License-Identifier: MIT

#include "brindle/containers/XString.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "platform/Alloc.h"

namespace {

// Longest text a string can hold: its length must fit the 32-bit signed field.
constexpr int64_t kMaxLength = INT32_MAX;

// Room for the text of any 64-bit value: "-9223372036854775808" or "18446744073709551615",
// and the NUL.
constexpr size_t kNumberSize = 21;

// The decimal text of a number.
class NumberText {
  public:
    explicit NumberText(int64_t v) : length_(snprintf(digits_, sizeof digits_, "%" PRId64, v)) {}
    explicit NumberText(uint64_t v) : length_(snprintf(digits_, sizeof digits_, "%" PRIu64, v)) {}
    const char* Digits() const { return digits_; }
    int32_t Length() const { return length_; }

  private:
    char digits_[kNumberSize];
    int32_t length_;
};

const char* TextOrEmpty(const char* s) {
    return s != nullptr ? s : "";
}

// Length of the NUL-terminated text s (null: 0), never read beyond kMaxLength bytes.
int32_t TextLength(const char* s) {
    return s != nullptr ? static_cast<int32_t>(strnlen(s, kMaxLength)) : 0;
}

// A buffer for length bytes of text and a NUL; null when memory runs out or length is out of
// range.
char* AllocateText(int64_t length) {
    if (length < 0 || length > kMaxLength)
        return nullptr;
    return brindle::NewArray<char>(static_cast<size_t>(length) + 1);
}

int32_t Clamp(int64_t value, int32_t low, int32_t high) {
    return static_cast<int32_t>(value < low ? low : value > high ? high : value);
}

// A copy of left with right appended; the empty string when the copy cannot be made, so a
// failure never yields the addition alone.
template <class Addition>
XString Concatenate(const XString& left, Addition right) {
    XString result(left);
    if (result.GetLength() == left.GetLength())
        result += right;
    return result;
}

}  // namespace

XString::XString() : buffer_(nullptr), length_(0) {
    Init();
}

XString::XString(const char* s) : buffer_(nullptr), length_(0) {
    ReadFrom(TextOrEmpty(s), TextLength(s));
}

XString::XString(const XString& other) : buffer_(nullptr), length_(0) {
    ReadFrom(other.GetBuffer(), other.length_);
}

XString::XString(char ch) : buffer_(nullptr), length_(0) {
    ReadFrom(&ch, 1);
}

XString::XString(const char* s, int32_t n) : buffer_(nullptr), length_(0) {
    Set(s, n);
}

XString::~XString() {
    delete[] buffer_;
}

void XString::Init() {
    Adopt(AllocateText(0), 0);
}

void XString::Set(const char* s, int32_t n) {
    if (s == nullptr || n < 0)
        n = 0;
    // A source inside our own text must not run past its terminator.
    uintptr_t from = reinterpret_cast<uintptr_t>(s);
    uintptr_t own = reinterpret_cast<uintptr_t>(buffer_);
    if (buffer_ != nullptr && from >= own && from <= own + length_ &&
        static_cast<uintptr_t>(n) > own + length_ - from)
        n = static_cast<int32_t>(own + length_ - from);
    char* text = AllocateText(n);
    if (text == nullptr)
        return;
    if (n > 0)
        memcpy(text, s, static_cast<size_t>(n));
    Adopt(text, n);
}

void XString::ReadFrom(const char* s, int32_t n) {
    if (n < 0)
        n = 0;
    if (buffer_ != nullptr && n == length_) {
        // Same length: overwrite in place; s may be this very buffer.
        memmove(buffer_, s, static_cast<size_t>(n));
        buffer_[n] = '\0';
        return;
    }
    char* text = AllocateText(n);
    if (text == nullptr)
        return;
    memcpy(text, s, static_cast<size_t>(n));
    Adopt(text, n);
}

void XString::Adopt(char* text, int32_t length) {
    delete[] buffer_;
    buffer_ = text;
    if (text == nullptr) {
        length_ = 0;
        return;
    }
    text[length] = '\0';
    length_ = length;
}

void XString::Splice(const char* head, int32_t headLength, const char* addition,
                     int64_t addedLength, const char* tail, int32_t tailLength) {
    char* text = AllocateText(int64_t{headLength} + addedLength + tailLength);
    if (text == nullptr)
        return;
    size_t present = strnlen(addition, static_cast<size_t>(addedLength));
    memcpy(text, head, static_cast<size_t>(headLength));
    memcpy(text + headLength, addition, present);
    memset(text + headLength + present, 0, static_cast<size_t>(addedLength) - present);
    memcpy(text + headLength + addedLength, tail, static_cast<size_t>(tailLength));
    Adopt(text, static_cast<int32_t>(headLength + addedLength + tailLength));
}

XString& XString::operator=(const XString& other) {
    ReadFrom(other.GetBuffer(), other.length_);
    return *this;
}

XString& XString::operator=(const char* s) {
    ReadFrom(TextOrEmpty(s), TextLength(s));
    return *this;
}

XString& XString::AssignNumber(int64_t v) {
    const NumberText text(v);
    ReadFrom(text.Digits(), text.Length());
    return *this;
}

XString& XString::AssignNumber(uint64_t v) {
    const NumberText text(v);
    ReadFrom(text.Digits(), text.Length());
    return *this;
}

const char* XString::GetBuffer() const {
    return TextOrEmpty(buffer_);
}

bool XString::operator==(const XString& other) const {
    return strcmp(GetBuffer(), other.GetBuffer()) == 0;
}

bool XString::operator==(const char* s) const {
    return strcmp(GetBuffer(), TextOrEmpty(s)) == 0;
}

int XString::OffsetOf(char ch) const {
    const char* text = GetBuffer();
    const char* found = strchr(text, ch);
    return found != nullptr ? static_cast<int>(found - text) : -1;
}

int XString::ROffsetOf(char ch) const {
    const char* text = GetBuffer();
    const char* found = strrchr(text, ch);
    return found != nullptr ? static_cast<int>(found - text) : -1;
}

int XString::GlyphWidth(int32_t index) const {
    if (index < 0 || index >= length_)
        return 0;
    unsigned byte = static_cast<unsigned char>(buffer_[index]);
    if (byte < 0x80)
        return 1;
    if (byte >= 0xE0)
        return 3;
    if (byte >= 0xC0)
        return 2;
    // A continuation byte: the byte before it tells the width.
    if (index == 0)
        return 1;
    unsigned before = static_cast<unsigned char>(buffer_[index - 1]);
    if (before >= 0xE0)
        return 3;
    if (before >= 0xC0)
        return 2;
    return before < 0x80 ? 1 : 3;
}

XString& XString::operator+=(const XString& other) {
    Splice(GetBuffer(), length_, other.GetBuffer(), other.length_, "", 0);
    return *this;
}

XString& XString::operator+=(const char* s) {
    Splice(GetBuffer(), length_, TextOrEmpty(s), TextLength(s), "", 0);
    return *this;
}

XString& XString::AppendNumber(int64_t v) {
    const NumberText text(v);
    return *this += text.Digits();
}

XString& XString::AppendNumber(uint64_t v) {
    const NumberText text(v);
    return *this += text.Digits();
}

XString& XString::operator+=(char ch) {
    const char addition[2] = {ch, '\0'};
    Splice(GetBuffer(), length_, addition, 1, "", 0);
    return *this;
}

XString XString::operator+(const XString& other) const {
    return Concatenate(*this, other);
}

XString XString::operator+(const char* s) const {
    return Concatenate(*this, s);
}

XString XString::PlusNumber(int64_t v) const {
    return Concatenate(*this, NumberText(v).Digits());
}

XString XString::PlusNumber(uint64_t v) const {
    return Concatenate(*this, NumberText(v).Digits());
}

XString XString::operator+(char ch) const {
    return Concatenate(*this, ch);
}

XString& XString::Insert(const char* s, int32_t position) {
    return Replace(s, position, 0);
}

XString& XString::Replace(const char* s, int32_t position, int32_t count) {
    position = Clamp(position, 0, length_);
    count = Clamp(count, 0, length_ - position);
    const char* text = GetBuffer();
    Splice(text, position, TextOrEmpty(s), TextLength(s), text + position + count,
           length_ - position - count);
    return *this;
}

XString& XString::Replace(char from, char to) {
    for (int32_t i = 0; i < length_; ++i) {
        if (buffer_[i] == from)
            buffer_[i] = to;
    }
    return *this;
}

XString& XString::ToUpper() {
    for (int32_t i = 0; i < length_; ++i)
        buffer_[i] = static_cast<char>(toupper(static_cast<unsigned char>(buffer_[i])));
    return *this;
}

XString& XString::ToLower() {
    for (int32_t i = 0; i < length_; ++i)
        buffer_[i] = static_cast<char>(tolower(static_cast<unsigned char>(buffer_[i])));
    return *this;
}

XString& XString::Wordwrap(int32_t width) {
    if (buffer_ == nullptr)
        return *this;
    char* text = buffer_;
    const int64_t step = width < 0 ? 0 : width;
    const int64_t end = static_cast<int64_t>(strnlen(text, static_cast<size_t>(length_)));
    int64_t start = 0;
    while (start < end) {
        int64_t limit = start + step < end ? start + step : end;
        // A carriage return already inside the line ends it there.
        const void* cr = memchr(text + start, '\r', static_cast<size_t>(limit - start));
        if (cr != nullptr) {
            start = static_cast<const char*>(cr) - text + 1;
            continue;
        }
        if (start + step >= end)
            break;
        // Break at the space at start + step, else the nearest one before it within the line,
        // else the first one after it.
        int64_t at = start + step;
        int64_t split = at;
        while (split >= start && text[split] != ' ')
            --split;
        if (split < start) {
            const void* space = memchr(text + at + 1, ' ', static_cast<size_t>(end - at - 1));
            if (space == nullptr)
                break;
            split = static_cast<const char*>(space) - text;
        }
        text[split] = '\r';
        start = split + 1;
    }
    return *this;
}

XString XString::Substring(int32_t start, int32_t count) const {
    return XString(GetBuffer() + start, count);
}

XString XString::Left(int n) const {
    return Substring(0, Clamp(n, 0, length_));
}

XString XString::Right(int n) const {
    int32_t count = Clamp(n, 0, length_);
    return Substring(length_ - count, count);
}

XString XString::Mid(int start, int count) const {
    start = Clamp(start, 0, length_);
    return Substring(start, Clamp(count, 0, length_ - start));
}

XString XString::Mid(int start) const {
    start = Clamp(start, 0, length_);
    return Substring(start, length_ - start);
}
